// What TestSet adds to the C functions, on the simulated test set: statuses become exceptions
// naming the function and the status, a reading without result is null, and the one test set
// per process is guarded (a second open, use after release). Run with the simulator's folder
// and libZolvane.so on LD_LIBRARY_PATH, ZOLVANE_SIM_OPTIONS="timeout_on=CALL:POW,*CLS#1" and
// ZOLVANE_SIM_TRACE naming a file.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using Zolvane;

static class BindingTest
{
    static int failures;

    static void Expect(string name, bool ok, string detail)
    {
        Console.WriteLine((ok ? "ok   " : "FAIL ") + name + (ok ? "" : ": " + detail));
        if (!ok) failures++;
    }

    // Runs call; it must throw TException whose message is `message` (when given).
    static void Throws<TException>(string name, Action call, string message) where TException : Exception
    {
        try
        {
            call();
            Expect(name, false, "no exception");
        }
        catch (Exception e)
        {
            bool ok = e.GetType() == typeof(TException) && (message == null || e.Message == message);
            Expect(name, ok, e.GetType().Name + ": " + e.Message);
        }
    }

    static int ClosesInTrace()
    {
        string trace = Environment.GetEnvironmentVariable("ZOLVANE_SIM_TRACE");
        if (string.IsNullOrEmpty(trace))
            throw new InvalidOperationException("ZOLVANE_SIM_TRACE is not set");
        using (var reader = new StreamReader(new FileStream(trace, FileMode.Open, FileAccess.Read, FileShare.ReadWrite)))
            return reader.ReadToEnd().Split('\n').Count(line => line.Contains("= viClose "));
    }

    static int Main()
    {
        Throws<ZolvaneException>("open at an address with no instrument", () => new TestSet(15),
                                 "Zolvane_InitTester: VI_ERROR_RSRC_NFOUND (-1073807343)");
        // An open that fails once the session is open closes it and its resource manager: the
        // constructor throws, so no one could dispose it.
        int closes = ClosesInTrace();
        Throws<ZolvaneException>("open whose first command times out", () => new TestSet(14),
                                 "Zolvane_InitTester: VI_ERROR_TMO (-1073807339)");
        Expect("the half-open session is closed", ClosesInTrace() - closes == 2,
               (ClosesInTrace() - closes) + " viClose calls");

        using (var ts = new TestSet(14))
        {
            ts.Reset();
            ts.ConfigCdma2K(Band.USC);
            var statusCases = new[]
            {
                // name, call, message, status
                Tuple.Create("a write that times out", (Action)(() => ts.SetCellPower(-65)),
                             "Zolvane_2K_SetCellPower: VI_ERROR_TMO (-1073807339)", Status.VI_ERROR_TMO),
                Tuple.Create("a band the library refuses", (Action)(() => ts.SetBand((Band)4)),
                             "Zolvane_2K_SetBand: VI_ERROR_INV_PARAMETER (-1073807240)", Status.VI_ERROR_INV_PARAMETER),
                Tuple.Create("a loss that is not a number", (Action)(() => ts.SetLoss(double.NaN)),
                             "Zolvane_2K_SetLoss: VI_ERROR_INV_PARAMETER (-1073807240)", Status.VI_ERROR_INV_PARAMETER),
                Tuple.Create("no connection", (Action)(() => ts.CheckConnect(0)),
                             "Zolvane_CheckConnect: ZOLVANE_TIMEOUT_OR_NO_CONNECTION (1)", Status.ZOLVANE_TIMEOUT_OR_NO_CONNECTION),
            };
            foreach (var c in statusCases)
            {
                try
                {
                    c.Item2();
                    Expect(c.Item1, false, "no exception");
                }
                catch (ZolvaneException e)
                {
                    string function = c.Item3.Substring(0, c.Item3.IndexOf(':'));
                    Expect(c.Item1, e.Message == c.Item3 && e.Status == c.Item4 && e.Function == function
                                    && e.IsTimeoutOrNoConnection == (c.Item4 == Status.ZOLVANE_TIMEOUT_OR_NO_CONNECTION),
                           e.Message + " / " + e.Function + " / " + e.Status);
                }
            }
            Expect("an unnamed status", ZolvaneException.StatusName(unchecked((int)0xBFFF0098)) == "status 0xBFFF0098",
                   ZolvaneException.StatusName(unchecked((int)0xBFFF0098)));

            // Measurements that are off answer NAN: null, not 99999.
            var readings = new Dictionary<string, Func<double?>>
            {
                { "MeasFer", ts.MeasFer }, { "MeasMaxPower", ts.MeasMaxPower }, { "FetchDaPower", ts.FetchDaPower },
                { "MeasMinPower", ts.MeasMinPower }, { "MeasRolop", ts.MeasRolop }, { "FetchCPower", ts.FetchCPower },
            };
            foreach (var r in readings)
            {
                double? v = r.Value();
                Expect(r.Key + " without result is null", v == null, v.ToString());
            }

            Throws<InvalidOperationException>("a second test set while one is open", () => new TestSet(14), null);
            ts.Reset();  // the first one still works
            ts.Release();
            Throws<ObjectDisposedException>("a call after release", ts.Reset, null);
            Throws<ObjectDisposedException>("a second release", ts.Release, null);
        }  // Dispose after Release does nothing

        // Disposed, it opens again (an exception here fails the program).
        using (var again = new TestSet(14))
            again.Reset();

        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
