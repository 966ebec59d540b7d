"""The coded values the library takes and returns, as enums that pass wherever an int does."""

from __future__ import annotations

import enum

__all__ = ["NO_RESULT_VALUE", "Band", "ChannelMode", "OperMode", "RFPort", "Status"]

#: What a reading holds when the test set answered NAN (no result yet); TestSet gives None.
NO_RESULT_VALUE = 99999.0


class Band(enum.IntEnum):
    """The band index of ConfigCDMA2K, SetBand and HandOff."""

    USC = 0
    USPC = 1
    SEC800 = 2
    USPC1900 = 3


class OperMode(enum.IntEnum):
    """The test set's operating mode (SetOperMode); the library sends CELL for any other value."""

    CALL = 0
    CELL = 1
    TEST = 2
    OFF = 3
    PBT = 4
    PBPT = 5
    GBTT = 6
    CW = 7


class ChannelMode(enum.IntEnum):
    """What SetChannel tunes: the traffic channel, the RF generator to the channel's reverse
    (phone transmit) frequency, or both, channel first."""

    CHANNEL = 0
    GENERATOR = 1
    BOTH = 2


class RFPort(enum.IntEnum):
    """The RF generator's output port (SetRFPort): the RF IN/OUT port or the RF OUT only port."""

    IO = 0
    OUT = 1


def _signed(code: int) -> int:
    """A VISA status as the library returns it: a signed 32-bit int."""
    return code - (1 << 32) if code & 0x80000000 else code


class Status(enum.IntEnum):
    """Every status the library returns: success, its own time-out (1), and VISA's completion
    and error codes, which it passes back unchanged (warnings count as failure too).

    A value outside this list still converts: Status(-5) is a member named UNKNOWN_0xFFFFFFFB."""

    SUCCESS = 0
    #: Registration time-out (SyncNetwork) or no connection (CheckConnect).
    TIMEOUT_OR_NO_CONNECTION = 1
    VI_SUCCESS_EVENT_EN = _signed(0x3FFF0002)
    VI_SUCCESS_EVENT_DIS = _signed(0x3FFF0003)
    VI_SUCCESS_QUEUE_EMPTY = _signed(0x3FFF0004)
    VI_SUCCESS_TERM_CHAR = _signed(0x3FFF0005)
    VI_SUCCESS_MAX_CNT = _signed(0x3FFF0006)
    VI_SUCCESS_DEV_NPRESENT = _signed(0x3FFF007D)
    VI_SUCCESS_TRIG_MAPPED = _signed(0x3FFF007E)
    VI_SUCCESS_QUEUE_NEMPTY = _signed(0x3FFF0080)
    VI_SUCCESS_NCHAIN = _signed(0x3FFF0098)
    VI_SUCCESS_NESTED_SHARED = _signed(0x3FFF0099)
    VI_SUCCESS_NESTED_EXCLUSIVE = _signed(0x3FFF009A)
    VI_SUCCESS_SYNC = _signed(0x3FFF009B)
    VI_WARN_QUEUE_OVERFLOW = _signed(0x3FFF000C)
    VI_WARN_CONFIG_NLOADED = _signed(0x3FFF0077)
    VI_WARN_NULL_OBJECT = _signed(0x3FFF0082)
    VI_WARN_NSUP_ATTR_STATE = _signed(0x3FFF0084)
    VI_WARN_UNKNOWN_STATUS = _signed(0x3FFF0085)
    VI_WARN_NSUP_BUF = _signed(0x3FFF0088)
    VI_WARN_EXT_FUNC_NIMPL = _signed(0x3FFF00A9)
    VI_ERROR_SYSTEM_ERROR = _signed(0xBFFF0000)
    VI_ERROR_INV_OBJECT = _signed(0xBFFF000E)
    VI_ERROR_RSRC_LOCKED = _signed(0xBFFF000F)
    VI_ERROR_INV_EXPR = _signed(0xBFFF0010)
    VI_ERROR_RSRC_NFOUND = _signed(0xBFFF0011)
    VI_ERROR_INV_RSRC_NAME = _signed(0xBFFF0012)
    VI_ERROR_INV_ACC_MODE = _signed(0xBFFF0013)
    VI_ERROR_TMO = _signed(0xBFFF0015)
    VI_ERROR_CLOSING_FAILED = _signed(0xBFFF0016)
    VI_ERROR_INV_DEGREE = _signed(0xBFFF001B)
    VI_ERROR_INV_JOB_ID = _signed(0xBFFF001C)
    VI_ERROR_NSUP_ATTR = _signed(0xBFFF001D)
    VI_ERROR_NSUP_ATTR_STATE = _signed(0xBFFF001E)
    VI_ERROR_ATTR_READONLY = _signed(0xBFFF001F)
    VI_ERROR_INV_LOCK_TYPE = _signed(0xBFFF0020)
    VI_ERROR_INV_ACCESS_KEY = _signed(0xBFFF0021)
    VI_ERROR_INV_EVENT = _signed(0xBFFF0026)
    VI_ERROR_INV_MECH = _signed(0xBFFF0027)
    VI_ERROR_HNDLR_NINSTALLED = _signed(0xBFFF0028)
    VI_ERROR_INV_HNDLR_REF = _signed(0xBFFF0029)
    VI_ERROR_INV_CONTEXT = _signed(0xBFFF002A)
    VI_ERROR_QUEUE_OVERFLOW = _signed(0xBFFF002D)
    VI_ERROR_NENABLED = _signed(0xBFFF002F)
    VI_ERROR_ABORT = _signed(0xBFFF0030)
    VI_ERROR_RAW_WR_PROT_VIOL = _signed(0xBFFF0034)
    VI_ERROR_RAW_RD_PROT_VIOL = _signed(0xBFFF0035)
    VI_ERROR_OUTP_PROT_VIOL = _signed(0xBFFF0036)
    VI_ERROR_INP_PROT_VIOL = _signed(0xBFFF0037)
    VI_ERROR_BERR = _signed(0xBFFF0038)
    VI_ERROR_IN_PROGRESS = _signed(0xBFFF0039)
    VI_ERROR_INV_SETUP = _signed(0xBFFF003A)
    VI_ERROR_QUEUE_ERROR = _signed(0xBFFF003B)
    VI_ERROR_ALLOC = _signed(0xBFFF003C)
    VI_ERROR_INV_MASK = _signed(0xBFFF003D)
    VI_ERROR_IO = _signed(0xBFFF003E)
    VI_ERROR_INV_FMT = _signed(0xBFFF003F)
    VI_ERROR_NSUP_FMT = _signed(0xBFFF0041)
    VI_ERROR_LINE_IN_USE = _signed(0xBFFF0042)
    VI_ERROR_NSUP_MODE = _signed(0xBFFF0046)
    VI_ERROR_SRQ_NOCCURRED = _signed(0xBFFF004A)
    VI_ERROR_INV_SPACE = _signed(0xBFFF004E)
    VI_ERROR_INV_OFFSET = _signed(0xBFFF0051)
    VI_ERROR_INV_WIDTH = _signed(0xBFFF0052)
    VI_ERROR_NSUP_OFFSET = _signed(0xBFFF0054)
    VI_ERROR_NSUP_VAR_WIDTH = _signed(0xBFFF0055)
    VI_ERROR_WINDOW_NMAPPED = _signed(0xBFFF0057)
    VI_ERROR_RESP_PENDING = _signed(0xBFFF0059)
    VI_ERROR_NLISTENERS = _signed(0xBFFF005F)
    VI_ERROR_NCIC = _signed(0xBFFF0060)
    VI_ERROR_NSYS_CNTLR = _signed(0xBFFF0061)
    VI_ERROR_NSUP_OPER = _signed(0xBFFF0067)
    VI_ERROR_INTR_PENDING = _signed(0xBFFF0068)
    VI_ERROR_ASRL_PARITY = _signed(0xBFFF006A)
    VI_ERROR_ASRL_FRAMING = _signed(0xBFFF006B)
    VI_ERROR_ASRL_OVERRUN = _signed(0xBFFF006C)
    VI_ERROR_TRIG_NMAPPED = _signed(0xBFFF006E)
    VI_ERROR_NSUP_ALIGN_OFFSET = _signed(0xBFFF0070)
    VI_ERROR_USER_BUF = _signed(0xBFFF0071)
    VI_ERROR_RSRC_BUSY = _signed(0xBFFF0072)
    VI_ERROR_NSUP_WIDTH = _signed(0xBFFF0076)
    VI_ERROR_INV_PARAMETER = _signed(0xBFFF0078)
    VI_ERROR_INV_PROT = _signed(0xBFFF0079)
    VI_ERROR_INV_SIZE = _signed(0xBFFF007B)
    VI_ERROR_WINDOW_MAPPED = _signed(0xBFFF0080)
    VI_ERROR_NIMPL_OPER = _signed(0xBFFF0081)
    VI_ERROR_INV_LENGTH = _signed(0xBFFF0083)
    VI_ERROR_INV_MODE = _signed(0xBFFF0091)
    VI_ERROR_SESN_NLOCKED = _signed(0xBFFF009C)
    VI_ERROR_MEM_NSHARED = _signed(0xBFFF009D)
    VI_ERROR_LIBRARY_NFOUND = _signed(0xBFFF009E)
    VI_ERROR_NSUP_INTR = _signed(0xBFFF009F)
    VI_ERROR_INV_LINE = _signed(0xBFFF00A0)
    VI_ERROR_FILE_ACCESS = _signed(0xBFFF00A1)
    VI_ERROR_FILE_IO = _signed(0xBFFF00A2)
    VI_ERROR_NSUP_LINE = _signed(0xBFFF00A3)
    VI_ERROR_NSUP_MECH = _signed(0xBFFF00A4)
    VI_ERROR_INTF_NUM_NCONFIG = _signed(0xBFFF00A5)
    VI_ERROR_CONN_LOST = _signed(0xBFFF00A6)

    @classmethod
    def _missing_(cls, value: object) -> "Status | None":
        if not isinstance(value, int) or not -(1 << 31) <= value < (1 << 31):
            return None
        member = int.__new__(cls, value)
        member._name_ = "UNKNOWN_0x%08X" % (value & 0xFFFFFFFF)
        member._value_ = value
        return member

    @property
    def is_visa(self) -> bool:
        """True for a VISA code (or the library's use of one), False for 0 and 1."""
        return self not in (Status.SUCCESS, Status.TIMEOUT_OR_NO_CONNECTION)
