"""Zolvane from Python: drive a CDMA2000 test set through the Zolvane library.

    import zolvane
    with zolvane.TestSet(gpib=14) as ts:
        ts.config_cdma2k(zolvane.Band.USC)
        ts.set_cell_power(-65)
        print(ts.meas_fer())

help(zolvane.TestSet) lists every method. Failures raise ZolvaneError (TimeoutOrNoConnection,
VisaError); find_library() says which library file is used; zolvane.raw has the C functions one
to one. Standard library only.
"""

from __future__ import annotations

import pkgutil

from . import raw
from .enums import NO_RESULT_VALUE, Band, ChannelMode, OperMode, RFPort, Status
from .errors import (AlreadyOpenError, LibraryNotFoundError, TimeoutOrNoConnection, VisaError,
                     ZolvaneError)
from .raw import find_library
from .testset import TestSet

# The project's one version number, which CMake reads too.
__version__: str = (pkgutil.get_data(__name__, "VERSION") or b"").decode("ascii").strip()

# The names of the former single module, kept for the scripts that use them.
from .raw import (FUNCTIONS, SUCCESS, TIMEOUT_OR_NO_CONNECTION, default_name,  # noqa: E402
                  load, read, status_name)

__all__ = ["AlreadyOpenError", "Band", "ChannelMode", "LibraryNotFoundError", "NO_RESULT_VALUE",
           "OperMode", "RFPort", "Status", "TestSet", "TimeoutOrNoConnection", "VisaError",
           "ZolvaneError", "find_library", "raw", "__version__"]
