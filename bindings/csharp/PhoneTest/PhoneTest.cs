// The phone test's default plan through the C# binding: the same steps, limits and verdicts as
// zolvane_phone_test, printed in the same table. With the simulator's folder first on the loader
// path it runs on the simulated test set:
//
//   LD_LIBRARY_PATH=build/simulator_path:build/src mono build/bindings/csharp/PhoneTest.exe
//
// Exit status as zolvane_phone_test's: 0 when every step passed, 1 when one failed or was
// skipped, 3 when one ended in an error status.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Linq;
using Zolvane;

static class PhoneTest
{
    // The plan: band and channel, then the handoff target; limits as zolvane_phone_test's.
    const int Gpib = 14;
    const Band FirstBand = Band.USC;
    const int FirstChannel = 384;
    const Band HandoffBand = Band.USPC;
    const int HandoffChannel = 25;
    const double Loss = 0.5, CellPower = -65.0;
    const int Sid = 1, Nid = 1, RegTimeout = 10, ConnectTimeout = 5, DapCount = 10;
    const double FerMax = 0.5, MaxPowerMin = 23.0, MaxPowerMax = 30.0, MinPowerMax = -50.0;
    const double RolopTolerance = 9.5;

    static readonly CultureInfo C = CultureInfo.InvariantCulture;

    enum Verdict { PASS, FAIL, ERROR, SKIP }

    sealed class Row
    {
        public string Step, Value = "-", Limits = "-", Note = "";
        public Verdict Verdict = Verdict.PASS;
        public double Seconds;
    }

    sealed class Measurement
    {
        public string Name, Unit;
        public Action Init, Abort;
        public Func<double?> Read;
        public double? Low, High;
        public double Scale;
        public int Decimals;

        public string LimitsText()
        {
            if (Low.HasValue && High.HasValue) return Fixed(Low.Value, Decimals) + " .. " + Fixed(High.Value, Decimals) + " " + Unit;
            if (High.HasValue) return "<= " + Fixed(High.Value, Decimals) + " " + Unit;
            if (Low.HasValue) return ">= " + Fixed(Low.Value, Decimals) + " " + Unit;
            return "-";
        }
    }

    static readonly List<Row> Rows = new List<Row>();
    static bool setUpHolds = true;
    static TestSet testSet;

    static int Main()
    {
        var total = Stopwatch.StartNew();
        Console.WriteLine("Zolvane phone test from C#, GPIB0::" + Gpib + "::INSTR");
        Console.WriteLine("Plan: " + BandText(FirstBand, FirstChannel) + ", then " + BandText(HandoffBand, HandoffChannel)
                          + "; cell power " + Fixed(CellPower, 2) + " dBm; path loss " + Fixed(Loss, 2) + " dB");
        Console.WriteLine();
        Console.WriteLine(string.Format(C, " {0,2}  {1,-36} {2,-18} {3,-22} {4,-6} {5,8}", "#", "Step", "Value", "Limits", "Result", "Time"));

        Gate(StatusStep("Open test set GPIB0::" + Gpib + "::INSTR", () => testSet = new TestSet(Gpib)));
        Gated("Reset test set", () => testSet.Reset());
        Gated("Configure CDMA2000, band " + (int)FirstBand + " " + FirstBand, () => testSet.ConfigCdma2K(FirstBand));
        Gated("Tune channel " + FirstChannel, () => testSet.SetChannel(FirstChannel, ChannelMode.Both));
        Gated("Load path loss " + Fixed(Loss, 2) + " dB", () => testSet.SetLoss(Loss));
        Gated("Overhead channels on", () => testSet.OpenAct());
        Gated("Cell power " + Fixed(CellPower, 2) + " dBm", () => testSet.SetCellPower(CellPower));
        Gated("Network SID " + Sid + " NID " + Nid, () => testSet.SetNetwork(Sid, Nid));
        GatedWait("Wait for registration", RegTimeout, () => testSet.SyncNetwork(RegTimeout),
                  "registration time-out: the phone did not register within " + RegTimeout + " s");
        bool originated = setUpHolds;
        Gated("Originate call", () => testSet.SetOrig());
        GatedWait("Confirm connection", ConnectTimeout, () => testSet.CheckConnect(ConnectTimeout),
                  "no connection within " + ConnectTimeout + " s");
        MeasureAll(FirstBand, FirstChannel);
        Gated("Hand off to " + BandText(HandoffBand, HandoffChannel), () => testSet.HandOff(HandoffBand, HandoffChannel));
        GatedWait("Confirm connection after handoff", ConnectTimeout, () => testSet.CheckConnect(ConnectTimeout),
                  "the call did not survive the handoff");
        MeasureAll(HandoffBand, HandoffChannel);

        if (originated)
        {
            Row end = StatusStep("End call", () => testSet.EndCall());
            // The library gives up after 5 s of a call still up and resets the test set, returning 0.
            if (end.Verdict == Verdict.PASS && end.Seconds >= 5.0)
            {
                end.Verdict = Verdict.FAIL;
                end.Note = "the call was still up after 5 s; the reset ended it";
            }
            end.Limits = "< 5 s";
            Add(end);
        }
        else
        {
            Skip("End call", "-");
        }
        // After a failed open there is nothing to release: the constructor released it.
        Add(StatusStep("Release test set", () => { if (testSet != null) testSet.Release(); }));
        return Summary(total.Elapsed.TotalSeconds);
    }

    static string Fixed(double v, int decimals) { return v.ToString("F" + decimals, C); }

    static string BandText(Band band, int channel)
    {
        return "band " + (int)band + " " + band + " channel " + channel;
    }

    // Runs one binding call; the status of the exception it threw, or 0.
    static int Status(Action call)
    {
        try
        {
            call();
            return 0;
        }
        catch (ZolvaneException e)
        {
            return (int)e.Status;
        }
    }

    static Row StatusStep(string name, Action call)
    {
        var r = new Row { Step = name };
        var clock = Stopwatch.StartNew();
        int status = Status(call);
        r.Seconds = clock.Elapsed.TotalSeconds;
        if (status != 0)
        {
            r.Verdict = Verdict.ERROR;
            r.Value = "status " + status;
            r.Note = "status " + DescribeStatus(status);
        }
        return r;
    }

    static Row WaitStep(string name, int timeoutSeconds, Action call, string onTimeOut)
    {
        var r = new Row { Step = name, Limits = "<= " + timeoutSeconds + " s" };
        var clock = Stopwatch.StartNew();
        int status = Status(call);
        r.Seconds = clock.Elapsed.TotalSeconds;
        r.Value = Fixed(r.Seconds, 2) + " s";
        if (status == (int)Zolvane.Status.ZOLVANE_TIMEOUT_OR_NO_CONNECTION)
        {
            r.Verdict = Verdict.FAIL;
            r.Value = "timed out";
            r.Note = onTimeOut + " (status 1)";
        }
        else if (status != 0)
        {
            r.Verdict = Verdict.ERROR;
            r.Note = "status " + DescribeStatus(status);
        }
        return r;
    }

    // Init, read, abort; the abort runs whatever happened before it, so that the test set is
    // left with the measurement stopped.
    static Row MeasureStep(Measurement m)
    {
        var r = new Row { Step = m.Name, Limits = m.LimitsText() };
        var clock = Stopwatch.StartNew();
        double? value = null;
        int initStatus = Status(m.Init);
        int readStatus = initStatus == 0 ? Status(() => value = m.Read()) : 0;
        int abortStatus = Status(m.Abort);
        r.Seconds = clock.Elapsed.TotalSeconds;
        if (initStatus != 0)
        {
            r.Verdict = Verdict.ERROR;
            r.Value = "status " + initStatus;
            r.Note = "starting the measurement failed: status " + DescribeStatus(initStatus);
        }
        else if (readStatus != 0)
        {
            r.Verdict = Verdict.ERROR;
            r.Value = "status " + readStatus;
            r.Note = "reading the measurement failed: status " + DescribeStatus(readStatus);
        }
        else if (value == null)
        {
            r.Verdict = Verdict.FAIL;
            r.Value = "no result";
            r.Note = "the test set answered NAN: no call up, or the measurement is not running";
        }
        else
        {
            double shown = value.Value * m.Scale;
            r.Value = Fixed(shown, m.Decimals) + " " + m.Unit;
            if ((m.Low.HasValue && shown < m.Low.Value) || (m.High.HasValue && shown > m.High.Value))
                r.Verdict = Verdict.FAIL;
        }
        if (abortStatus != 0)
        {
            r.Verdict = Verdict.ERROR;
            r.Note += (r.Note.Length > 0 ? "; " : "") + "stopping the measurement failed: status " + DescribeStatus(abortStatus);
        }
        return r;
    }

    static void MeasureAll(Band band, int channel)
    {
        string where = ", band " + (int)band + " ch " + channel;
        // The phone's open-loop output: -73 dBm in the 800 MHz bands, -76 dBm in the 1900 MHz
        // bands, less the cell power.
        double openLoop = (band == Band.USPC || band == Band.USPC1900 ? -76.0 : -73.0) - CellPower;
        var plan = new[]
        {
            new Measurement { Name = "FER" + where, Init = () => testSet.InitFer(), Read = () => testSet.MeasFer(),
                              Abort = () => testSet.AbortFer(), High = FerMax, Unit = "%", Scale = 100.0, Decimals = 3 },
            new Measurement { Name = "Maximum power" + where, Init = () => testSet.InitMaxPower(DapCount),
                              Read = () => testSet.MeasMaxPower(), Abort = () => testSet.AbortMaxPower(),
                              Low = MaxPowerMin, High = MaxPowerMax, Unit = "dBm", Scale = 1.0, Decimals = 2 },
            new Measurement { Name = "Minimum power" + where, Init = () => testSet.InitMinPower(), Read = () => testSet.MeasMinPower(),
                              Abort = () => testSet.AbortMinPower(), High = MinPowerMax, Unit = "dBm", Scale = 1.0, Decimals = 2 },
            new Measurement { Name = "Rolop power" + where, Init = () => testSet.InitRolop(), Read = () => testSet.MeasRolop(),
                              Abort = () => testSet.AbortRolop(), Low = openLoop - RolopTolerance, High = openLoop + RolopTolerance,
                              Unit = "dBm", Scale = 1.0, Decimals = 2 },
        };
        foreach (Measurement m in plan)
        {
            if (setUpHolds) Add(MeasureStep(m));
            else Skip(m.Name, m.LimitsText());
        }
    }

    // A set-up step: once one fails, the steps after it are skipped.
    static void Gate(Row r)
    {
        Add(r);
        if (r.Verdict != Verdict.PASS) setUpHolds = false;
    }

    static void Gated(string name, Action call)
    {
        if (setUpHolds) Gate(StatusStep(name, call));
        else Skip(name, "-");
    }

    static void GatedWait(string name, int timeoutSeconds, Action call, string onTimeOut)
    {
        if (setUpHolds) Gate(WaitStep(name, timeoutSeconds, call, onTimeOut));
        else Skip(name, "-");
    }

    static void Skip(string name, string limits)
    {
        Add(new Row { Step = name, Limits = limits, Verdict = Verdict.SKIP });
    }

    static void Add(Row r)
    {
        Rows.Add(r);
        string time = r.Verdict == Verdict.SKIP ? string.Format(C, "{0,8}", "-") : string.Format(C, "{0,6:F2} s", r.Seconds);
        Console.WriteLine(string.Format(C, " {0,2}  {1,-36} {2,-18} {3,-22} {4,-6} {5}",
                                        Rows.Count, r.Step, r.Verdict == Verdict.SKIP ? "-" : r.Value, r.Limits, r.Verdict, time));
        if (r.Note.Length > 0)
            Console.WriteLine("     " + r.Note);
    }

    // Prints the totals and the overall verdict; returns the exit status.
    static int Summary(double seconds)
    {
        int passed = Rows.Count(r => r.Verdict == Verdict.PASS), failed = Rows.Count(r => r.Verdict == Verdict.FAIL);
        int errors = Rows.Count(r => r.Verdict == Verdict.ERROR), skipped = Rows.Count(r => r.Verdict == Verdict.SKIP);
        Console.WriteLine();
        Console.WriteLine(string.Format(C, "Summary: {0} steps, {1} passed, {2} failed, {3}{4} skipped, {5:F2} s",
                                        Rows.Count, passed, failed, errors > 0 ? errors + " errors, " : "", skipped, seconds));
        string failures = string.Join("; ", Rows.Where(r => r.Verdict == Verdict.FAIL || r.Verdict == Verdict.ERROR).Select(r => r.Step));
        if (errors == 0 && failed == 0 && skipped == 0)
            Console.WriteLine("RESULT: PASS");
        else
            Console.WriteLine("RESULT: " + (errors > 0 ? "ERROR" : "FAIL") + " (" + (failures.Length > 0 ? failures : "steps skipped") + ")");
        return errors > 0 ? 3 : failed > 0 || skipped > 0 ? 1 : 0;
    }

    static string DescribeStatus(int status)
    {
        var known = new Dictionary<uint, string>
        {
            { 0xBFFF0015, "VI_ERROR_TMO: I/O time-out, the test set did not answer" },
            { 0xBFFF0011, "VI_ERROR_RSRC_NFOUND: no instrument at that address" },
            { 0xBFFF009E, "VI_ERROR_LIBRARY_NFOUND: no VISA library could be loaded" },
            { 0xBFFF0000, "VI_ERROR_SYSTEM_ERROR: VISA is incomplete or failed" },
            { 0xBFFF000E, "VI_ERROR_INV_OBJECT: the test set is not open" },
            { 0xBFFF003E, "VI_ERROR_IO: I/O error" },
            { 0xBFFF0078, "VI_ERROR_INV_PARAMETER: an argument was refused" },
            { 0xBFFF0071, "VI_ERROR_USER_BUF: an invalid buffer" },
            { 0xBFFF003F, "VI_ERROR_INV_FMT: invalid format" },
            { 0xBFFF0041, "VI_ERROR_NSUP_FMT: unsupported format" },
        };
        string text;
        string s = status.ToString(C);
        if (known.TryGetValue(unchecked((uint)status), out text)) return s + " (" + text + ")";
        return status > 1 ? s + " (a VISA warning)" : s;
    }
}
