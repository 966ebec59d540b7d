"""What the package raises: a status the library returned, or a use the library cannot serve."""

from __future__ import annotations

from .enums import Status

__all__ = ["AlreadyOpenError", "LibraryNotFoundError", "TimeoutOrNoConnection", "VisaError",
           "ZolvaneError", "error_for_status"]


class ZolvaneError(Exception):
    """A function of the library returned a status other than success.

    ``status`` is the Status it returned, ``function`` the C function's name; the message reads
    "Zolvane_2K_SetCellPower: VI_ERROR_TMO (-1073807339)"."""

    def __init__(self, status: int, function: str, detail: str = "") -> None:
        self.status = Status(status)
        self.function = function
        message = "%s: %s (%d)" % (function, self.status.name, self.status)
        super().__init__(message + (": " + detail if detail else ""))


class TimeoutOrNoConnection(ZolvaneError):
    """Status 1: the phone did not register in time (sync_network) or no call was connected
    (check_connect)."""


class VisaError(ZolvaneError):
    """Any other status: a VISA error or warning passed back unchanged, or the library's own use
    of a VISA code (VI_ERROR_INV_PARAMETER for a refused argument, VI_ERROR_LIBRARY_NFOUND when
    no VISA could be loaded, VI_ERROR_INV_OBJECT when the test set is not open)."""


class LibraryNotFoundError(OSError):
    """The Zolvane shared library could not be found or loaded; the message says where it looked."""


class AlreadyOpenError(RuntimeError):
    """A TestSet is already open in this process: the library drives one test set at a time."""


def error_for_status(status: int, function: str, detail: str = "") -> ZolvaneError:
    """The exception for a status other than success."""
    if status == Status.TIMEOUT_OR_NO_CONNECTION:
        return TimeoutOrNoConnection(status, function, detail)
    return VisaError(status, function, detail)
