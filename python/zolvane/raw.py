"""The library's 37 C functions one to one, through ctypes: int statuses, double out-parameters.

    from zolvane import raw
    lib = raw.load()                     # found as zolvane.find_library() says
    assert lib.Zolvane_InitTester(14) == raw.SUCCESS
    status, power = raw.read(lib.Zolvane_2K_MeasMaxPower)
    lib.Zolvane_ReleaseTester()

Every function returns an int status (see Status) and raises nothing for it; int arguments that do
not fit a 32-bit int are refused (ctypes.ArgumentError) instead of wrapping around. TestSet is
the same functions with exceptions and None readings.
"""

from __future__ import annotations

import ctypes
import numbers
import operator
import os
import sys
import threading
from typing import Any, Callable, Dict, Optional, Tuple, Union

from .enums import NO_RESULT_VALUE, OperMode, Status
from .errors import LibraryNotFoundError

__all__ = ["DOUBLE", "FUNCTIONS", "INT", "NO_RESULT_VALUE", "OperMode", "READING", "SUCCESS",
           "Status", "TIMEOUT_OR_NO_CONNECTION", "default_name", "find_library", "load", "read",
           "status_name", "to_double", "to_int32"]

SUCCESS = Status.SUCCESS
TIMEOUT_OR_NO_CONNECTION = Status.TIMEOUT_OR_NO_CONNECTION

PathLike = Union[str, "os.PathLike[str]"]


def to_int32(value: Any) -> int:
    """An int argument as the C function takes it; TypeError for a float or text, OverflowError
    outside 32 bits (ctypes alone would silently wrap 2**32 + 384 to 384)."""
    number = operator.index(value)
    if not -(1 << 31) <= number < (1 << 31):
        raise OverflowError("%d does not fit a 32-bit int" % number)
    return number


def to_double(value: Any) -> float:
    """A double argument: any real number; TypeError for text."""
    if not isinstance(value, numbers.Real):
        raise TypeError("a number is required, not %s" % type(value).__name__)
    return float(value)


class INT(ctypes.c_int):
    """A C int (also OperMode, 32 bits wide), checked by to_int32."""

    @classmethod
    def from_param(cls, value: Any) -> ctypes.c_int:
        return ctypes.c_int(to_int32(value))


DOUBLE = ctypes.c_double
READING = ctypes.POINTER(ctypes.c_double)

# Every exported function and its arguments; each returns int.
FUNCTIONS: Dict[str, Tuple[Any, ...]] = {
    "Zolvane_2K_AbortFER": (),
    "Zolvane_2K_AbortMaxPower": (),
    "Zolvane_2K_AbortMinPower": (),
    "Zolvane_2K_AbortRolop": (),
    "Zolvane_2K_HandOff": (INT, INT),
    "Zolvane_2K_InitFER": (),
    "Zolvane_2K_InitMaxPower": (INT,),
    "Zolvane_2K_InitMinPower": (),
    "Zolvane_2K_InitRolop": (),
    "Zolvane_2K_MeasFER": (READING,),
    "Zolvane_2K_MeasMaxPower": (READING,),
    "Zolvane_2K_MeasMinPower": (READING,),
    "Zolvane_2K_MeasRolop": (READING,),
    "Zolvane_2K_OpenAct": (),
    "Zolvane_2K_SetBand": (INT,),
    "Zolvane_2K_SetCellPower": (DOUBLE,),
    "Zolvane_2K_SetChannel": (INT, INT),
    "Zolvane_2K_SetLoss": (DOUBLE,),
    "Zolvane_2K_SetNetwork": (INT, INT),
    "Zolvane_2K_SetRFPort": (INT,),
    "Zolvane_2K_SyncNetwork": (INT,),
    "Zolvane_CheckConnect": (INT,),
    "Zolvane_ConfigCDMA2K": (INT,),
    "Zolvane_ConfigMeasDAP": (),
    "Zolvane_EndCall": (),
    "Zolvane_FetchCPower": (READING,),
    "Zolvane_FetchDAPower": (READING,),
    "Zolvane_InitCPower": (),
    "Zolvane_InitDAPower": (),
    "Zolvane_InitTester": (INT,),
    "Zolvane_ReleaseTester": (),
    "Zolvane_ResetTester": (),
    "Zolvane_SetCarrierFrequency": (DOUBLE,),
    "Zolvane_SetOperMode": (INT,),
    "Zolvane_SetOperModeCALL": (),
    "Zolvane_SetOperModeCW": (),
    "Zolvane_SetOrig": (),
}


def default_name() -> str:
    """The file name the platform's loader is asked for when nothing else names the library."""
    if sys.platform == "win32":
        return "Zolvane.dll"
    if sys.platform == "darwin":
        return "libZolvane.1.dylib"
    return "libZolvane.so.1"


def _bundled() -> str:
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), default_name())


def _named_file(path: PathLike, source: str) -> str:
    text = os.fspath(path)
    if not os.path.isfile(text):
        raise LibraryNotFoundError("the Zolvane library named by %s does not exist: %s"
                                   % (source, text))
    return os.path.abspath(text)


def find_library(library: Optional[PathLike] = None) -> str:
    """What load() loads: the path given, else $ZOLVANE_LIBRARY, else the copy installed beside
    this package, else the platform's name (Zolvane.dll, libZolvane.so.1) for the loader to
    search. A path given or set that is not a file raises LibraryNotFoundError naming it."""
    if library is not None:
        return _named_file(library, "library=")
    variable = os.environ.get("ZOLVANE_LIBRARY")
    if variable:
        return _named_file(variable, "ZOLVANE_LIBRARY")
    if os.path.isfile(_bundled()):
        return _bundled()
    return default_name()


_loaded: Dict[str, ctypes.CDLL] = {}
_load_lock = threading.Lock()


def load(library: Optional[PathLike] = None) -> ctypes.CDLL:
    """Loads the library that find_library(library) names, once per file, and declares every
    function. The functions use the C calling convention on every platform, 32-bit Windows too."""
    name = find_library(library)
    with _load_lock:
        if name in _loaded:
            return _loaded[name]
        try:
            lib = ctypes.CDLL(name)
        except OSError as error:
            if os.path.isabs(name):
                raise LibraryNotFoundError("the Zolvane library %s could not be loaded: %s"
                                           % (name, error)) from error
            built = ("<build>\\bin\\Zolvane.dll" if sys.platform == "win32"
                     else "<build>/src/" + name)
            raise LibraryNotFoundError(
                "the Zolvane library was not found: no library= given, ZOLVANE_LIBRARY not set, "
                "no copy at %s, and the loader found no %s on its search path (%s). Set "
                "ZOLVANE_LIBRARY to the library's path, as in ZOLVANE_LIBRARY=%s for a CMake "
                "build folder <build>" % (_bundled(), name, error, built)) from error
        for function, arguments in FUNCTIONS.items():
            entry = getattr(lib, function)
            entry.argtypes = list(arguments)
            entry.restype = ctypes.c_int
        _loaded[name] = lib
        return lib


def read(function: Callable[..., int], *arguments: Any) -> Tuple[int, Optional[float]]:
    """Calls a Meas or Fetch function with a fresh out-parameter: returns (status, value).

    The value is None when the status is not SUCCESS (the library then leaves it untouched); it
    is NO_RESULT_VALUE when the test set had no result."""
    value = ctypes.c_double(0.0)
    status = function(*arguments, ctypes.byref(value))
    return status, (value.value if status == SUCCESS else None)


def status_name(status: int) -> str:
    """A status's name; UNKNOWN_0x... for a value VISA does not define."""
    return Status(status).name
