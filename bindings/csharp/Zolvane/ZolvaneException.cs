using System;
using System.Globalization;

namespace Zolvane
{
    /// <summary>
    /// The statuses the library returns, under their VISA names. Any other VISA status reaches
    /// <see cref="ZolvaneException.Status"/> unchanged, as an unnamed value.
    /// </summary>
    public enum Status : int
    {
        VI_SUCCESS = 0,
        /// <summary>The library's own: registration time-out or no connection.</summary>
        ZOLVANE_TIMEOUT_OR_NO_CONNECTION = 1,
        VI_SUCCESS_TERM_CHAR = 0x3FFF0005,
        VI_SUCCESS_MAX_CNT = 0x3FFF0006,
        VI_ERROR_SYSTEM_ERROR = unchecked((int)0xBFFF0000),
        VI_ERROR_INV_OBJECT = unchecked((int)0xBFFF000E),
        VI_ERROR_RSRC_NFOUND = unchecked((int)0xBFFF0011),
        VI_ERROR_TMO = unchecked((int)0xBFFF0015),
        VI_ERROR_IO = unchecked((int)0xBFFF003E),
        VI_ERROR_INV_FMT = unchecked((int)0xBFFF003F),
        VI_ERROR_NSUP_FMT = unchecked((int)0xBFFF0041),
        VI_ERROR_USER_BUF = unchecked((int)0xBFFF0071),
        VI_ERROR_INV_PARAMETER = unchecked((int)0xBFFF0078),
        VI_ERROR_LIBRARY_NFOUND = unchecked((int)0xBFFF009E),
    }

    /// <summary>
    /// A Zolvane function returned a status other than success (VISA warnings included).
    /// The message reads "Zolvane_2K_SetCellPower: VI_ERROR_TMO (-1073807339)".
    /// </summary>
    public class ZolvaneException : Exception
    {
        public ZolvaneException(int status, string function)
            : base(Describe(status, function))
        {
            Status = (Status)status;
            Function = function;
        }

        /// <summary>The status the function returned.</summary>
        public Status Status { get; }

        /// <summary>The C function that returned it, e.g. "Zolvane_2K_SyncNetwork".</summary>
        public string Function { get; }

        /// <summary>Registration time-out or no connection (status 1), not a VISA failure.</summary>
        public bool IsTimeoutOrNoConnection
        {
            get { return Status == Status.ZOLVANE_TIMEOUT_OR_NO_CONNECTION; }
        }

        /// <summary>The status's name, or "status 0x..." for one without a name here.</summary>
        public static string StatusName(int status)
        {
            if (Enum.IsDefined(typeof(Status), status))
                return ((Status)status).ToString();
            return "status 0x" + status.ToString("X8", CultureInfo.InvariantCulture);
        }

        static string Describe(int status, string function)
        {
            return function + ": " + StatusName(status) + " ("
                + status.ToString(CultureInfo.InvariantCulture) + ")";
        }
    }
}
