"""TestSet: the test set as a station script uses it."""

from __future__ import annotations

import ctypes
import threading
from types import TracebackType
from typing import Any, Optional, Type

from . import raw
from .enums import NO_RESULT_VALUE, ChannelMode, Status
from .errors import AlreadyOpenError, error_for_status
from .raw import PathLike, to_double, to_int32

__all__ = ["TestSet"]

# The library keeps one session per process and is called from one thread at a time: every call
# holds this lock, so a call from another thread waits until the running one returns.
_lock = threading.Lock()
_active: Optional["TestSet"] = None


class TestSet:
    """One test set, opened on GPIB0::<gpib>::INSTR, released on close() or on leaving ``with``.

        with zolvane.TestSet(gpib=14) as ts:
            ts.config_cdma2k(zolvane.Band.USC)
            ts.set_channel(384)

    Each method is one C function, named as its C name without "Zolvane_" and "2K_", in snake
    case (Zolvane_2K_SetCellPower is set_cell_power); InitTester, ReleaseTester and ResetTester
    are the constructor, close() and reset(). Every status other than success raises
    TimeoutOrNoConnection (status 1) or VisaError (a VISA status), which name the C function.
    Readings are a float, or None when the test set had no result.

    One TestSet may be open per process (a second raises AlreadyOpenError); calls from several
    threads are served one at a time, each waiting for the running call; after close() every
    method raises VisaError VI_ERROR_INV_OBJECT without calling the library.
    """

    __test__ = False  # not a pytest test class

    def __init__(self, gpib: int, *, library: Optional[PathLike] = None) -> None:
        """Opens the test set at GPIB primary address ``gpib`` (Zolvane_InitTester). ``library``
        is the path of the Zolvane library; by default zolvane.find_library() decides."""
        global _active
        self.gpib = to_int32(gpib)
        self._open = False
        self._lib = raw.load(library)
        with _lock:
            if _active is not None:
                raise AlreadyOpenError("a TestSet is already open on %s; close it first"
                                       % _active.resource)
            status = self._lib.Zolvane_InitTester(self.gpib)
            if status != Status.SUCCESS:
                # A failed open closes nothing by itself: release what it left open.
                self._lib.Zolvane_ReleaseTester()
                raise error_for_status(status, "Zolvane_InitTester", self.resource)
            self._open = True
            _active = self

    @property
    def resource(self) -> str:
        """The VISA resource name, "GPIB0::14::INSTR"."""
        return "GPIB0::%d::INSTR" % self.gpib

    @property
    def is_open(self) -> bool:
        """True from a successful open until close()."""
        return self._open

    def close(self) -> None:
        """Releases the test set (Zolvane_ReleaseTester); the TestSet is closed whatever the
        status. Closing a closed TestSet does nothing."""
        global _active
        with _lock:
            if not self._open:
                return
            self._open = False
            _active = None
            status = self._lib.Zolvane_ReleaseTester()
        if status != Status.SUCCESS:
            raise error_for_status(status, "Zolvane_ReleaseTester")

    def __enter__(self) -> "TestSet":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<zolvane.TestSet %s %s>" % (self.resource, "open" if self._open else "closed")

    def _call(self, function: str, *arguments: Any) -> None:
        with _lock:
            if not self._open:
                raise error_for_status(Status.VI_ERROR_INV_OBJECT, function,
                                       "this TestSet is closed")
            status = getattr(self._lib, function)(*arguments)
        if status != Status.SUCCESS:
            raise error_for_status(status, function)

    def _read(self, function: str) -> Optional[float]:
        value = ctypes.c_double(0.0)
        self._call(function, ctypes.byref(value))
        return None if value.value == NO_RESULT_VALUE else value.value

    # ---- Session ----------------------------------------------------------------------------

    def reset(self) -> None:
        """Resets the test set: "*RST" (Zolvane_ResetTester)."""
        self._call("Zolvane_ResetTester")

    # ---- Cell configuration -----------------------------------------------------------------

    def config_cdma2k(self, band: int) -> None:
        """Stops every measurement, then sets CDMA2000 on ``band`` (a Band) and the RF port IO
        (Zolvane_ConfigCDMA2K). A band outside Band is refused: VI_ERROR_INV_PARAMETER."""
        self._call("Zolvane_ConfigCDMA2K", to_int32(band))

    def set_band(self, band: int) -> None:
        """Call mode, system DIG2000, ``band`` (a Band), protocol and radio configuration
        (Zolvane_2K_SetBand)."""
        self._call("Zolvane_2K_SetBand", to_int32(band))

    def set_loss(self, loss_db: float) -> None:
        """Compensates ``loss_db`` of path loss at every frequency (Zolvane_2K_SetLoss)."""
        self._call("Zolvane_2K_SetLoss", to_double(loss_db))

    def set_rf_port(self, port: int) -> None:
        """The RF generator's output port, an RFPort (Zolvane_2K_SetRFPort)."""
        self._call("Zolvane_2K_SetRFPort", to_int32(port))

    def open_act(self) -> None:
        """Switches on the sync, paging and fundamental channels (Zolvane_2K_OpenAct)."""
        self._call("Zolvane_2K_OpenAct")

    def set_cell_power(self, power_dbm: float) -> None:
        """The cell power in dBm (Zolvane_2K_SetCellPower)."""
        self._call("Zolvane_2K_SetCellPower", to_double(power_dbm))

    def set_network(self, sid: int, nid: int) -> None:
        """The system and network identity (Zolvane_2K_SetNetwork)."""
        self._call("Zolvane_2K_SetNetwork", to_int32(sid), to_int32(nid))

    def set_oper_mode(self, mode: int) -> None:
        """The operating mode, an OperMode; any other value selects CELL (Zolvane_SetOperMode)."""
        self._call("Zolvane_SetOperMode", to_int32(mode))

    def set_oper_mode_call(self) -> None:
        """Operating mode CALL (Zolvane_SetOperModeCALL)."""
        self._call("Zolvane_SetOperModeCALL")

    def set_oper_mode_cw(self) -> None:
        """Operating mode CW (Zolvane_SetOperModeCW)."""
        self._call("Zolvane_SetOperModeCW")

    def set_channel(self, channel: int, mode: int = ChannelMode.CHANNEL) -> None:
        """Tunes ``channel`` as ``mode`` says (a ChannelMode: the traffic channel by default, the
        RF generator to its reverse frequency, or both) (Zolvane_2K_SetChannel)."""
        self._call("Zolvane_2K_SetChannel", to_int32(channel), to_int32(mode))

    def set_carrier_frequency(self, frequency_mhz: float) -> None:
        """The RF generator's frequency in MHz (Zolvane_SetCarrierFrequency)."""
        self._call("Zolvane_SetCarrierFrequency", to_double(frequency_mhz))

    # ---- Call control -----------------------------------------------------------------------

    def sync_network(self, timeout_s: int) -> None:
        """Asks the phone to register and waits up to ``timeout_s`` seconds for its ESN
        (Zolvane_2K_SyncNetwork); TimeoutOrNoConnection when it did not register in time."""
        self._call("Zolvane_2K_SyncNetwork", to_int32(timeout_s))

    def set_orig(self) -> None:
        """Originates a call to the phone: "CALL:ORIG" (Zolvane_SetOrig)."""
        self._call("Zolvane_SetOrig")

    def check_connect(self, timeout_s: int) -> None:
        """Waits up to ``timeout_s`` seconds for the call to be connected (Zolvane_CheckConnect);
        TimeoutOrNoConnection when it was not, whatever the reason."""
        self._call("Zolvane_CheckConnect", to_int32(timeout_s))

    def end_call(self) -> None:
        """Ends the call, waits up to 5 s for it to drop, then resets the test set
        (Zolvane_EndCall). Returns normally also when the 5 s passed."""
        self._call("Zolvane_EndCall")

    def hand_off(self, band: int, channel: int) -> None:
        """Hands the call off to ``band`` (a Band) and ``channel``; to another band it then waits
        2 s (Zolvane_2K_HandOff)."""
        self._call("Zolvane_2K_HandOff", to_int32(band), to_int32(channel))

    # ---- Measurements: a reading is a float, or None when the test set had no result -------

    def init_fer(self) -> None:
        """Starts the frame error rate measurement (Zolvane_2K_InitFER)."""
        self._call("Zolvane_2K_InitFER")

    def meas_fer(self) -> Optional[float]:
        """The frame error rate as a ratio (0.005 is 0.5 %), or None (Zolvane_2K_MeasFER)."""
        return self._read("Zolvane_2K_MeasFER")

    def abort_fer(self) -> None:
        """Stops the frame error rate measurement (Zolvane_2K_AbortFER)."""
        self._call("Zolvane_2K_AbortFER")

    def init_max_power(self, count: int) -> None:
        """Starts the maximum power measurement over ``count`` readings, the phone told to send
        all it can (Zolvane_2K_InitMaxPower)."""
        self._call("Zolvane_2K_InitMaxPower", to_int32(count))

    def meas_max_power(self) -> Optional[float]:
        """The maximum power in dBm, or None (Zolvane_2K_MeasMaxPower)."""
        return self._read("Zolvane_2K_MeasMaxPower")

    def abort_max_power(self) -> None:
        """Stops the maximum power measurement (Zolvane_2K_AbortMaxPower)."""
        self._call("Zolvane_2K_AbortMaxPower")

    def config_meas_dap(self) -> None:
        """Sets up the digital average power measurement without starting it
        (Zolvane_ConfigMeasDAP)."""
        self._call("Zolvane_ConfigMeasDAP")

    def init_da_power(self) -> None:
        """Starts the digital average power measurement (Zolvane_InitDAPower)."""
        self._call("Zolvane_InitDAPower")

    def fetch_da_power(self) -> Optional[float]:
        """The digital average power in dBm, or None (Zolvane_FetchDAPower)."""
        return self._read("Zolvane_FetchDAPower")

    def init_min_power(self) -> None:
        """Starts the minimum power measurement, the phone told to send as little as it can
        (Zolvane_2K_InitMinPower)."""
        self._call("Zolvane_2K_InitMinPower")

    def meas_min_power(self) -> Optional[float]:
        """The minimum power in dBm, or None (Zolvane_2K_MeasMinPower)."""
        return self._read("Zolvane_2K_MeasMinPower")

    def abort_min_power(self) -> None:
        """Stops the minimum power measurement (Zolvane_2K_AbortMinPower)."""
        self._call("Zolvane_2K_AbortMinPower")

    def init_rolop(self) -> None:
        """Starts the open-loop power measurement (Zolvane_2K_InitRolop)."""
        self._call("Zolvane_2K_InitRolop")

    def meas_rolop(self) -> Optional[float]:
        """The open-loop power in dBm, or None (Zolvane_2K_MeasRolop)."""
        return self._read("Zolvane_2K_MeasRolop")

    def abort_rolop(self) -> None:
        """Stops the open-loop power measurement (Zolvane_2K_AbortRolop)."""
        self._call("Zolvane_2K_AbortRolop")

    def init_c_power(self) -> None:
        """Starts the channel power measurement as init_min_power does (Zolvane_InitCPower)."""
        self._call("Zolvane_InitCPower")

    def fetch_c_power(self) -> Optional[float]:
        """The channel power in dBm, or None (Zolvane_FetchCPower)."""
        return self._read("Zolvane_FetchCPower")
