// Checks the binding against the C header: NativeMethods must declare exactly the header's
// functions, each returning int with the same parameters (int -> int, double -> double,
// double * -> out double, OperMode -> the OperMode enum of int), as Cdecl imports of "Zolvane";
// the header's numeric #defines and OperMode values must match too.
//
//   mono ZolvaneHeaderCheck.exe <Zolvane.h> <Zolvane.Net.dll> [expected function count]
//
// Exit status 0 when everything matches, 1 with every difference listed otherwise.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;

static class HeaderCheck
{
    static readonly List<string> Problems = new List<string>();

    static int Main(string[] args)
    {
        if (args.Length < 2 || args.Length > 3)
        {
            Console.Error.WriteLine("usage: ZolvaneHeaderCheck.exe <Zolvane.h> <Zolvane.Net.dll> [count]");
            return 2;
        }
        int expectedCount = args.Length == 3 ? int.Parse(args[2], CultureInfo.InvariantCulture) : 37;
        string header = StripComments(File.ReadAllText(args[0]));
        Type native = Assembly.LoadFrom(args[1]).GetType("Zolvane.NativeMethods", true);

        Dictionary<string, string[]> prototypes = ParsePrototypes(header);
        if (prototypes.Count != expectedCount)
            Problems.Add("parsed " + prototypes.Count + " functions from the header, expected " + expectedCount);
        CheckFunctions(prototypes, native);
        CheckDefines(header, native);
        CheckOperMode(header, native.Assembly.GetType("Zolvane.OperMode", true));

        foreach (string p in Problems)
            Console.WriteLine("MISMATCH " + p);
        Console.WriteLine(Problems.Count == 0
            ? "OK: " + prototypes.Count + " functions, constants and OperMode match the header"
            : Problems.Count + " mismatch(es)");
        return Problems.Count == 0 ? 0 : 1;
    }

    static string StripComments(string text)
    {
        text = Regex.Replace(text, @"/\*.*?\*/", " ", RegexOptions.Singleline);
        return Regex.Replace(text, @"//[^\n]*", " ");
    }

    // Every ZOLVANE_API declaration outside the preprocessor lines; one that does not read as
    // "ZOLVANE_API <type> ZOLVANE_CALL <name>(<parameters>);" is reported, never skipped.
    static Dictionary<string, string[]> ParsePrototypes(string header)
    {
        string code = string.Join("\n", header.Split('\n').Where(l => !l.TrimStart().StartsWith("#")));
        var result = new Dictionary<string, string[]>();
        var declaration = new Regex(@"^ZOLVANE_API\s+(.+?)\s+ZOLVANE_CALL\s+(\w+)\s*\(([^()]*)\)\s*;$",
                                    RegexOptions.Singleline);
        int at = 0;
        while ((at = code.IndexOf("ZOLVANE_API", at, StringComparison.Ordinal)) >= 0)
        {
            int end = code.IndexOf(';', at);
            string text = Regex.Replace(code.Substring(at, (end < 0 ? code.Length : end + 1) - at), @"\s+", " ").Trim();
            at += "ZOLVANE_API".Length;
            Match m = declaration.Match(text);
            if (!m.Success)
            {
                Problems.Add("cannot read the declaration \"" + text + "\"");
                continue;
            }
            string name = m.Groups[2].Value;
            if (m.Groups[1].Value != "int")
                Problems.Add(name + ": returns " + m.Groups[1].Value + " in the header, not int");
            string parameters = m.Groups[3].Value.Trim();
            string[] types = parameters == "void" || parameters == ""
                ? new string[0]
                : parameters.Split(',').Select(ParameterType).ToArray();
            if (result.ContainsKey(name))
                Problems.Add(name + ": declared twice in the header");
            result[name] = types;
        }
        return result;
    }

    // "double *lfFER" -> "double *"; "int nSID" -> "int"
    static string ParameterType(string parameter)
    {
        Match m = Regex.Match(parameter.Trim(), @"^(?:const\s+)?(\w+)\s*(\*?)\s*\w+$");
        if (!m.Success)
            return "?" + parameter.Trim();
        return m.Groups[2].Value == "*" ? m.Groups[1].Value + " *" : m.Groups[1].Value;
    }

    static bool Matches(string cType, ParameterInfo p)
    {
        Type t = p.ParameterType;
        switch (cType)
        {
            case "int": return t == typeof(int);
            case "double": return t == typeof(double);
            case "double *": return t == typeof(double).MakeByRefType() && p.IsOut && !p.IsIn;
            case "OperMode":
                return t == typeof(int) || (t.IsEnum && t.Name == "OperMode" && Enum.GetUnderlyingType(t) == typeof(int));
            default: return false;
        }
    }

    static void CheckFunctions(Dictionary<string, string[]> prototypes, Type native)
    {
        var imports = native.GetMethods(BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Static)
                            .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0)
                            .ToDictionary(m => m.Name);
        foreach (string name in imports.Keys.Where(n => !prototypes.ContainsKey(n)).OrderBy(n => n))
            Problems.Add(name + ": in NativeMethods, not in the header");
        foreach (var proto in prototypes.OrderBy(p => p.Key, StringComparer.Ordinal))
        {
            MethodInfo m;
            if (!imports.TryGetValue(proto.Key, out m))
            {
                Problems.Add(proto.Key + ": in the header, missing from NativeMethods");
                continue;
            }
            var import = (DllImportAttribute)m.GetCustomAttributes(typeof(DllImportAttribute), false).SingleOrDefault();
            if (import == null || import.Value != "Zolvane" || import.CallingConvention != CallingConvention.Cdecl
                || (import.EntryPoint != null && import.EntryPoint != proto.Key))
                Problems.Add(proto.Key + ": not a Cdecl import of \"Zolvane\" under its own name");
            if (m.ReturnType != typeof(int))
                Problems.Add(proto.Key + ": returns " + m.ReturnType.Name + " in NativeMethods, not int");
            ParameterInfo[] ps = m.GetParameters();
            if (ps.Length != proto.Value.Length)
            {
                Problems.Add(proto.Key + ": " + proto.Value.Length + " parameter(s) in the header, " + ps.Length + " in NativeMethods");
                continue;
            }
            for (int i = 0; i < ps.Length; i++)
                if (!Matches(proto.Value[i], ps[i]))
                    Problems.Add(proto.Key + ": parameter " + (i + 1) + " is " + proto.Value[i] + " in the header, "
                                 + (ps[i].IsOut ? "out " : "") + ps[i].ParameterType.Name + " in NativeMethods");
        }
    }

    // #define NAME 99999.0 and #define NAME ((int32_t)0xBFFF0000) against NativeMethods' constants.
    static void CheckDefines(string header, Type native)
    {
        int count = 0;
        foreach (Match d in Regex.Matches(header, @"^\s*#\s*define\s+(\w+)\s+\(*(?:\(int32_t\))?\s*(0x[0-9A-Fa-f]+|-?[0-9.]+)\)*\s*$",
                                          RegexOptions.Multiline))
        {
            count++;
            string name = d.Groups[1].Value, text = d.Groups[2].Value;
            FieldInfo f = native.GetField(name, BindingFlags.Public | BindingFlags.Static);
            if (f == null || !f.IsLiteral)
            {
                Problems.Add(name + ": #define in the header, no constant in NativeMethods");
                continue;
            }
            object value = f.GetRawConstantValue();
            bool same = text.StartsWith("0x")
                ? value is int && (int)value == unchecked((int)uint.Parse(text.Substring(2), NumberStyles.HexNumber))
                : text.Contains(".")
                    ? value is double && (double)value == double.Parse(text, CultureInfo.InvariantCulture)
                    : value is int && (int)value == int.Parse(text, CultureInfo.InvariantCulture);
            if (!same)
                Problems.Add(name + ": " + text + " in the header, " + Convert.ToString(value, CultureInfo.InvariantCulture) + " in NativeMethods");
        }
        if (count == 0)
            Problems.Add("found no numeric #define in the header");
    }

    static void CheckOperMode(string header, Type operMode)
    {
        Match body = Regex.Match(header, @"enum\s+OperMode[^{]*\{([^}]*)\}");
        if (!body.Success)
        {
            Problems.Add("OperMode: no enumeration in the header");
            return;
        }
        var cValues = Regex.Matches(body.Groups[1].Value, @"OPER_MODE_(\w+)\s*=\s*(-?\d+)").Cast<Match>()
                           .ToDictionary(m => m.Groups[1].Value.ToUpperInvariant(), m => int.Parse(m.Groups[2].Value, CultureInfo.InvariantCulture));
        var csValues = Enum.GetNames(operMode).ToDictionary(n => n.ToUpperInvariant(), n => (int)Enum.Parse(operMode, n));
        if (cValues.Count == 0)
            Problems.Add("OperMode: no values read from the header");
        foreach (string name in cValues.Keys.Union(csValues.Keys).OrderBy(n => n))
        {
            int c, cs;
            bool inC = cValues.TryGetValue(name, out c), inCs = csValues.TryGetValue(name, out cs);
            if (!inC || !inCs || c != cs)
                Problems.Add("OperMode " + name + ": " + (inC ? c.ToString(CultureInfo.InvariantCulture) : "absent")
                             + " in the header, " + (inCs ? cs.ToString(CultureInfo.InvariantCulture) : "absent") + " in C#");
        }
    }
}
