"""Zolvane from Python: the library's 37 functions through ctypes, standard library only.

    import zolvane
    lib = zolvane.load()                 # Zolvane.dll on Windows, libZolvane.so.1 elsewhere
    assert lib.Zolvane_InitTester(14) == zolvane.SUCCESS
    status, power = zolvane.read(lib.Zolvane_2K_MeasMaxPower)
    lib.Zolvane_ReleaseTester()

Every function returns an int status: 0 is success, 1 the library's own time-out or no
connection, anything else a VISA status passed back unchanged (see Status). Readings come back
through a double out-parameter; read() passes one and returns (status, value). The library is
loaded by name, so the platform's search path decides which file is used (LD_LIBRARY_PATH, the
folder of the program on Windows); load() also takes a path.
"""

import ctypes
import enum
import sys

__all__ = ["FUNCTIONS", "NO_RESULT_VALUE", "OperMode", "Status", "SUCCESS",
           "TIMEOUT_OR_NO_CONNECTION", "default_name", "load", "read", "status_name"]

# The value a reading holds when the test set answered NAN (no result yet).
NO_RESULT_VALUE = 99999.0


class OperMode(enum.IntEnum):
    """Zolvane_SetOperMode's argument: a 32-bit int; any other value selects CELL."""
    CALL = 0
    CELL = 1
    TEST = 2
    OFF = 3
    PBT = 4
    PBPT = 5
    GBTT = 6
    CW = 7


def _signed(code):
    """A VISA status as the library returns it: a signed 32-bit int."""
    return code - (1 << 32) if code & 0x80000000 else code


class Status(enum.IntEnum):
    """Statuses the library returns: its own two, and the VISA ones it passes back."""
    SUCCESS = 0
    TIMEOUT_OR_NO_CONNECTION = 1                        # Zolvane_2K_SyncNetwork, Zolvane_CheckConnect
    VI_SUCCESS_TERM_CHAR = 0x3FFF0005                   # warnings count as failure too
    VI_SUCCESS_MAX_CNT = 0x3FFF0006
    VI_ERROR_SYSTEM_ERROR = _signed(0xBFFF0000)         # the VISA library lacks an entry point
    VI_ERROR_INV_OBJECT = _signed(0xBFFF000E)           # no session open
    VI_ERROR_RSRC_NFOUND = _signed(0xBFFF0011)
    VI_ERROR_TMO = _signed(0xBFFF0015)
    VI_ERROR_IO = _signed(0xBFFF003E)
    VI_ERROR_USER_BUF = _signed(0xBFFF0071)             # a null out-parameter, refused
    VI_ERROR_INV_PARAMETER = _signed(0xBFFF0078)        # an argument refused before sending
    VI_ERROR_LIBRARY_NFOUND = _signed(0xBFFF009E)       # no VISA library could be loaded


SUCCESS = Status.SUCCESS
TIMEOUT_OR_NO_CONNECTION = Status.TIMEOUT_OR_NO_CONNECTION

_int = ctypes.c_int
_double = ctypes.c_double
_reading = ctypes.POINTER(ctypes.c_double)
_mode = ctypes.c_int32

# Every exported function and its arguments; each returns int.
FUNCTIONS = {
    "Zolvane_2K_AbortFER": (),
    "Zolvane_2K_AbortMaxPower": (),
    "Zolvane_2K_AbortMinPower": (),
    "Zolvane_2K_AbortRolop": (),
    "Zolvane_2K_HandOff": (_int, _int),
    "Zolvane_2K_InitFER": (),
    "Zolvane_2K_InitMaxPower": (_int,),
    "Zolvane_2K_InitMinPower": (),
    "Zolvane_2K_InitRolop": (),
    "Zolvane_2K_MeasFER": (_reading,),
    "Zolvane_2K_MeasMaxPower": (_reading,),
    "Zolvane_2K_MeasMinPower": (_reading,),
    "Zolvane_2K_MeasRolop": (_reading,),
    "Zolvane_2K_OpenAct": (),
    "Zolvane_2K_SetBand": (_int,),
    "Zolvane_2K_SetCellPower": (_double,),
    "Zolvane_2K_SetChannel": (_int, _int),
    "Zolvane_2K_SetLoss": (_double,),
    "Zolvane_2K_SetNetwork": (_int, _int),
    "Zolvane_2K_SetRFPort": (_int,),
    "Zolvane_2K_SyncNetwork": (_int,),
    "Zolvane_CheckConnect": (_int,),
    "Zolvane_ConfigCDMA2K": (_int,),
    "Zolvane_ConfigMeasDAP": (),
    "Zolvane_EndCall": (),
    "Zolvane_FetchCPower": (_reading,),
    "Zolvane_FetchDAPower": (_reading,),
    "Zolvane_InitCPower": (),
    "Zolvane_InitDAPower": (),
    "Zolvane_InitTester": (_int,),
    "Zolvane_ReleaseTester": (),
    "Zolvane_ResetTester": (),
    "Zolvane_SetCarrierFrequency": (_double,),
    "Zolvane_SetOperMode": (_mode,),
    "Zolvane_SetOperModeCALL": (),
    "Zolvane_SetOperModeCW": (),
    "Zolvane_SetOrig": (),
}


def default_name():
    """The file name the platform's loader is asked for."""
    if sys.platform == "win32":
        return "Zolvane.dll"
    if sys.platform == "darwin":
        return "libZolvane.1.dylib"
    return "libZolvane.so.1"


def load(name=None):
    """Loads the library (by default_name(), or the name or path given) and declares every function.

    The functions use the C calling convention on every platform, 32-bit Windows included."""
    lib = ctypes.CDLL(name or default_name())
    for function, arguments in FUNCTIONS.items():
        entry = getattr(lib, function)
        entry.argtypes = list(arguments)
        entry.restype = ctypes.c_int
    return lib


def read(function, *arguments):
    """Calls a Meas or Fetch function with a fresh out-parameter: returns (status, value).

    The value is None when the status is not SUCCESS (the library then leaves it untouched)."""
    value = ctypes.c_double(0.0)
    status = function(*arguments, ctypes.byref(value))
    return status, (value.value if status == SUCCESS else None)


def status_name(status):
    """A status's name, or its number (and hex form) when it is none of Status."""
    try:
        return Status(status).name
    except ValueError:
        return "%d (0x%08X)" % (status, status & 0xFFFFFFFF)
