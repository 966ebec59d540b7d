// The 37 functions of Zolvane.h one to one, under their C names, with the header's constants.
// Every function returns the library's int status; TestSet turns it into exceptions.
using System.Runtime.InteropServices;

namespace Zolvane
{
    /// <summary>Operating modes of Zolvane_SetOperMode; any other value selects Cell.</summary>
    public enum OperMode : int
    {
        Call = 0,
        Cell = 1,
        Test = 2,
        Off = 3,
        Pbt = 4,
        Pbpt = 5,
        Gbtt = 6,
        CW = 7,
    }

    /// <summary>
    /// The C functions of Zolvane.h, unchanged: an int status each, readings through
    /// <c>out double</c>. Prefer <see cref="TestSet"/>, which checks every status.
    /// </summary>
    public static class NativeMethods
    {
        // On Linux the loader looks for libZolvane.so, on Windows Zolvane.dll.
        public const string Library = "Zolvane";

        public const double NO_RESULT_VALUE = 99999.0;
        public const int ZOLVANE_SUCCESS = 0;
        public const int ZOLVANE_TIMEOUT_OR_NO_CONNECTION = 1;
        public const int ZOLVANE_ERROR_SYSTEM_ERROR = unchecked((int)0xBFFF0000);
        public const int ZOLVANE_ERROR_LIBRARY_NFOUND = unchecked((int)0xBFFF009E);
        public const int ZOLVANE_ERROR_USER_BUF = unchecked((int)0xBFFF0071);
        public const int ZOLVANE_ERROR_INV_PARAMETER = unchecked((int)0xBFFF0078);

        // Session
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_InitTester(int nGpibAddress);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_ReleaseTester();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_ResetTester();

        // Cell configuration
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_ConfigCDMA2K(int nBandSel);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SetBand(int nBandSel);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SetLoss(double lfLoss);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SetRFPort(int nPortType);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_OpenAct();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SetCellPower(double lfCellPower);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SetNetwork(int nSID, int nNID);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_SetOperMode(OperMode mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_SetOperModeCALL();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_SetOperModeCW();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SetChannel(int nChannel, int nMode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_SetCarrierFrequency(double lfFrequency);

        // Call control
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_SyncNetwork(int nTimeOut);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_SetOrig();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_CheckConnect(int nTimeOut);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_EndCall();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_HandOff(int nBandSel, int nChannel);

        // Measurements
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_InitFER();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_MeasFER(out double lfFER);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_AbortFER();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_InitMaxPower(int nTestCount);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_MeasMaxPower(out double lfMeasPower);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_AbortMaxPower();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_ConfigMeasDAP();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_InitDAPower();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_FetchDAPower(out double lfMeas);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_InitMinPower();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_MeasMinPower(out double lfMeasPower);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_AbortMinPower();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_InitRolop();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_MeasRolop(out double lfMeasPower);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_2K_AbortRolop();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_InitCPower();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Zolvane_FetchCPower(out double lfMeas);
    }
}
