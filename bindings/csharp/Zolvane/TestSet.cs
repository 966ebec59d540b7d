using System;

namespace Zolvane
{
    /// <summary>Bands of ConfigCdma2K, SetBand and HandOff.</summary>
    public enum Band : int
    {
        USC = 0,
        USPC = 1,
        SEC800 = 2,
        USPC1900 = 3,
    }

    /// <summary>RF port of SetRFPort.</summary>
    public enum RFPort : int
    {
        /// <summary>"RFGenerator:OUTPut IO"</summary>
        IO = 0,
        /// <summary>"RFGenerator:OUTPut OUT"</summary>
        Out = 1,
    }

    /// <summary>What SetChannel tunes.</summary>
    public enum ChannelMode : int
    {
        /// <summary>The traffic channel ("CALL:CHAN").</summary>
        Channel = 0,
        /// <summary>The RF generator to the channel's reverse (phone transmit) frequency.</summary>
        Frequency = 1,
        /// <summary>Both, channel first.</summary>
        Both = 2,
    }

    /// <summary>
    /// The test set, opened by the constructor (Zolvane_InitTester) and released by Release or
    /// Dispose. Each method makes one call of the same name in Zolvane.h and throws
    /// <see cref="ZolvaneException"/> for any status but success; readings are null where the
    /// test set had no result. The library serves one test set per process: a second TestSet
    /// while one is open throws InvalidOperationException, a call after release throws
    /// ObjectDisposedException, and calls from several threads wait for each other.
    /// </summary>
    public sealed class TestSet : IDisposable
    {
        // The library keeps one session for the whole process and must be called from one
        // thread at a time, so both the open test set and the lock are per process.
        static readonly object Gate = new object();
        static TestSet current;

        delegate int Reader(out double value);

        /// <summary>Opens "GPIB0::&lt;gpibAddress&gt;::INSTR" (Zolvane_InitTester).</summary>
        public TestSet(int gpibAddress)
        {
            lock (Gate)
            {
                if (current != null)
                    throw new InvalidOperationException(
                        "a test set is already open in this process; release it first");
                int status = NativeMethods.Zolvane_InitTester(gpibAddress);
                if (status != NativeMethods.ZOLVANE_SUCCESS)
                {
                    // A failed open leaves what it opened (the resource manager at least) open,
                    // and a constructor that throws is never disposed.
                    NativeMethods.Zolvane_ReleaseTester();
                    throw new ZolvaneException(status, nameof(NativeMethods.Zolvane_InitTester));
                }
                current = this;
            }
        }

        /// <summary>Closes the session and the resource manager; throws if a close failed.
        /// The test set counts as released either way.</summary>
        public void Release()
        {
            lock (Gate)
            {
                ThrowIfReleased();
                current = null;
                Check(NativeMethods.Zolvane_ReleaseTester(), nameof(NativeMethods.Zolvane_ReleaseTester));
            }
        }

        /// <summary>Releases the test set unless Release already did. Never throws: call
        /// Release to learn whether closing failed.</summary>
        public void Dispose()
        {
            lock (Gate)
            {
                if (current != this)
                    return;
                current = null;
                NativeMethods.Zolvane_ReleaseTester();
            }
        }

        /// <summary>"*RST".</summary>
        public void Reset() { Call(NativeMethods.Zolvane_ResetTester, nameof(NativeMethods.Zolvane_ResetTester)); }

        // Cell configuration

        /// <summary>Stops every measurement and sets up CDMA2000 on the band, port IO.</summary>
        public void ConfigCdma2K(Band band) { Call(() => NativeMethods.Zolvane_ConfigCDMA2K((int)band), nameof(NativeMethods.Zolvane_ConfigCDMA2K)); }
        public void SetBand(Band band) { Call(() => NativeMethods.Zolvane_2K_SetBand((int)band), nameof(NativeMethods.Zolvane_2K_SetBand)); }
        /// <summary>A flat path-loss table of lossDb dB, switched on.</summary>
        public void SetLoss(double lossDb) { Call(() => NativeMethods.Zolvane_2K_SetLoss(lossDb), nameof(NativeMethods.Zolvane_2K_SetLoss)); }
        public void SetRFPort(RFPort port) { Call(() => NativeMethods.Zolvane_2K_SetRFPort((int)port), nameof(NativeMethods.Zolvane_2K_SetRFPort)); }
        /// <summary>Sync, paging and fundamental channels on.</summary>
        public void OpenAct() { Call(NativeMethods.Zolvane_2K_OpenAct, nameof(NativeMethods.Zolvane_2K_OpenAct)); }
        public void SetCellPower(double dbm) { Call(() => NativeMethods.Zolvane_2K_SetCellPower(dbm), nameof(NativeMethods.Zolvane_2K_SetCellPower)); }
        public void SetNetwork(int sid, int nid) { Call(() => NativeMethods.Zolvane_2K_SetNetwork(sid, nid), nameof(NativeMethods.Zolvane_2K_SetNetwork)); }
        public void SetOperMode(OperMode mode) { Call(() => NativeMethods.Zolvane_SetOperMode(mode), nameof(NativeMethods.Zolvane_SetOperMode)); }
        public void SetOperModeCall() { Call(NativeMethods.Zolvane_SetOperModeCALL, nameof(NativeMethods.Zolvane_SetOperModeCALL)); }
        public void SetOperModeCW() { Call(NativeMethods.Zolvane_SetOperModeCW, nameof(NativeMethods.Zolvane_SetOperModeCW)); }
        public void SetChannel(int channel, ChannelMode mode) { Call(() => NativeMethods.Zolvane_2K_SetChannel(channel, (int)mode), nameof(NativeMethods.Zolvane_2K_SetChannel)); }
        public void SetCarrierFrequency(double mhz) { Call(() => NativeMethods.Zolvane_SetCarrierFrequency(mhz), nameof(NativeMethods.Zolvane_SetCarrierFrequency)); }

        // Call control: a time-out or a missing connection throws with IsTimeoutOrNoConnection.

        /// <summary>Registers the phone, waiting up to timeoutSeconds.</summary>
        public void SyncNetwork(int timeoutSeconds) { Call(() => NativeMethods.Zolvane_2K_SyncNetwork(timeoutSeconds), nameof(NativeMethods.Zolvane_2K_SyncNetwork)); }
        /// <summary>"CALL:ORIG".</summary>
        public void SetOrig() { Call(NativeMethods.Zolvane_SetOrig, nameof(NativeMethods.Zolvane_SetOrig)); }
        /// <summary>Waits up to timeoutSeconds for the call to connect.</summary>
        public void CheckConnect(int timeoutSeconds) { Call(() => NativeMethods.Zolvane_CheckConnect(timeoutSeconds), nameof(NativeMethods.Zolvane_CheckConnect)); }
        /// <summary>Ends the call (waiting up to 5 s for it to drop), then "*RST".</summary>
        public void EndCall() { Call(NativeMethods.Zolvane_EndCall, nameof(NativeMethods.Zolvane_EndCall)); }
        public void HandOff(Band band, int channel) { Call(() => NativeMethods.Zolvane_2K_HandOff((int)band, channel), nameof(NativeMethods.Zolvane_2K_HandOff)); }

        // Measurements: a reading is null where the test set had no result.

        public void InitFer() { Call(NativeMethods.Zolvane_2K_InitFER, nameof(NativeMethods.Zolvane_2K_InitFER)); }
        /// <summary>Frame error rate as a ratio (0.005 is 0.5 %).</summary>
        public double? MeasFer() { return Read(NativeMethods.Zolvane_2K_MeasFER, nameof(NativeMethods.Zolvane_2K_MeasFER)); }
        public void AbortFer() { Call(NativeMethods.Zolvane_2K_AbortFER, nameof(NativeMethods.Zolvane_2K_AbortFER)); }
        public void InitMaxPower(int testCount) { Call(() => NativeMethods.Zolvane_2K_InitMaxPower(testCount), nameof(NativeMethods.Zolvane_2K_InitMaxPower)); }
        /// <summary>dBm.</summary>
        public double? MeasMaxPower() { return Read(NativeMethods.Zolvane_2K_MeasMaxPower, nameof(NativeMethods.Zolvane_2K_MeasMaxPower)); }
        public void AbortMaxPower() { Call(NativeMethods.Zolvane_2K_AbortMaxPower, nameof(NativeMethods.Zolvane_2K_AbortMaxPower)); }
        public void ConfigMeasDap() { Call(NativeMethods.Zolvane_ConfigMeasDAP, nameof(NativeMethods.Zolvane_ConfigMeasDAP)); }
        public void InitDaPower() { Call(NativeMethods.Zolvane_InitDAPower, nameof(NativeMethods.Zolvane_InitDAPower)); }
        /// <summary>dBm.</summary>
        public double? FetchDaPower() { return Read(NativeMethods.Zolvane_FetchDAPower, nameof(NativeMethods.Zolvane_FetchDAPower)); }
        public void InitMinPower() { Call(NativeMethods.Zolvane_2K_InitMinPower, nameof(NativeMethods.Zolvane_2K_InitMinPower)); }
        /// <summary>dBm.</summary>
        public double? MeasMinPower() { return Read(NativeMethods.Zolvane_2K_MeasMinPower, nameof(NativeMethods.Zolvane_2K_MeasMinPower)); }
        public void AbortMinPower() { Call(NativeMethods.Zolvane_2K_AbortMinPower, nameof(NativeMethods.Zolvane_2K_AbortMinPower)); }
        public void InitRolop() { Call(NativeMethods.Zolvane_2K_InitRolop, nameof(NativeMethods.Zolvane_2K_InitRolop)); }
        /// <summary>dBm.</summary>
        public double? MeasRolop() { return Read(NativeMethods.Zolvane_2K_MeasRolop, nameof(NativeMethods.Zolvane_2K_MeasRolop)); }
        public void AbortRolop() { Call(NativeMethods.Zolvane_2K_AbortRolop, nameof(NativeMethods.Zolvane_2K_AbortRolop)); }
        public void InitCPower() { Call(NativeMethods.Zolvane_InitCPower, nameof(NativeMethods.Zolvane_InitCPower)); }
        /// <summary>dBm.</summary>
        public double? FetchCPower() { return Read(NativeMethods.Zolvane_FetchCPower, nameof(NativeMethods.Zolvane_FetchCPower)); }

        void Call(Func<int> native, string function)
        {
            lock (Gate)
            {
                ThrowIfReleased();
                Check(native(), function);
            }
        }

        double? Read(Reader native, string function)
        {
            lock (Gate)
            {
                ThrowIfReleased();
                double value;
                Check(native(out value), function);
                return value == NativeMethods.NO_RESULT_VALUE ? (double?)null : value;
            }
        }

        void ThrowIfReleased()
        {
            if (current != this)
                throw new ObjectDisposedException(nameof(TestSet), "the test set was released");
        }

        static void Check(int status, string function)
        {
            if (status != NativeMethods.ZOLVANE_SUCCESS)
                throw new ZolvaneException(status, function);
        }
    }
}
