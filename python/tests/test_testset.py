"""TestSet on the simulated test set: every method, the errors it raises, and its rules for a
second open, use after close and use from several threads."""

import inspect
import re
import threading
import time

import pytest

import zolvane
from zolvane import Band, ChannelMode, OperMode, RFPort, Status

from conftest import TRACE, run_python


class Trace:
    """The commands the simulator received since the last call of sent()."""

    def __init__(self):
        self.offset = 0

    def sent(self):
        with open(TRACE, encoding="utf-8") as trace:
            trace.seek(self.offset)
            text = trace.read()
            self.offset = trace.tell()
        return re.findall(r"^\[[ \d.]+\] > (.*)$", text, re.MULTILINE)


@pytest.fixture
def ts():
    with zolvane.TestSet(gpib=14) as test_set:
        yield test_set
    assert not test_set.is_open


# In order, on one open test set: method, arguments, commands it must send, and what it returns
# (None, or the range a reading lies in). A reading's None is the test set's "no result".
METHODS = [
    ("reset", (), ["*RST"], None),
    ("config_cdma2k", (Band.USPC,), ["AFG:VOLT:STAT OFF", "CALL:BAND USPC"], None),
    ("set_band", (Band.USC,), ["CALL:BAND USC"], None),
    ("set_rf_port", (RFPort.OUT,), ["RFGenerator:OUTPut OUT"], None),
    ("set_rf_port", (RFPort.IO,), ["RFGenerator:OUTPut IO"], None),
    ("set_loss", (0.5,), ["SYST:CORR:GAIN -0.50", "SYST:CORR:STAT ON"], None),
    ("open_act", (), ["CALL:PAG -12", "CALL:CELL:FCH -15.6"], None),
    ("set_cell_power", (-65,), ["CALL:POW -65.00DBM"], None),
    ("set_network", (12, 34), ["CALL:SID 12", "CALL:NID 34"], None),
    ("set_oper_mode", (OperMode.CW,), ["CALL:OPER:MODE CW"], None),
    ("set_oper_mode_cw", (), ["CALL:OPER:MODE CW"], None),
    ("set_oper_mode_call", (), ["CALL:OPER:MODE CALL"], None),
    ("set_channel", (384,), ["CALL:CHAN 384"], None),
    ("set_channel", (384, ChannelMode.GENERATOR), ["CALL:RFG:FREQ 836.520MHz"], None),
    ("set_carrier_frequency", (836.52,), ["CALL:RFG:FREQ 836.520MHz"], None),
    ("sync_network", (5,), ["CALL:REG", "CALL:MS:REP:ESN?"], None),
    ("set_orig", (), ["CALL:ORIG"], None),
    ("check_connect", (5,), ["CALL:CONN:STAT?"], None),
    ("init_fer", (), ["INIT:CFER"], None),
    ("meas_fer", (), ["FETC:CFER:RAT?"], (0.0, 0.005)),
    ("abort_fer", (), ["INIT:CFER:OFF"], None),
    ("meas_fer", (), ["FETC:CFER:RAT?"], "no result"),
    ("init_max_power", (7,), ["SET:DAP:COUN:NUMB 7", "INIT:DAP"], None),
    ("meas_max_power", (), ["FETC:DAP?"], (23.3, 24.3)),
    ("abort_max_power", (), ["INIT:DAP:OFF"], None),
    ("meas_max_power", (), ["FETC:DAP?"], "no result"),
    ("config_meas_dap", (), ["SET:DAP:TIM:STATE OFF"], None),
    ("init_da_power", (), ["INIT:DAP"], None),
    ("fetch_da_power", (), ["FETC:DAP?"], (23.3, 24.3)),
    ("init_min_power", (), ["CALL:CLPC:REV:MODE DOWN", "INIT:CPOW"], None),
    ("meas_min_power", (), ["FETC:CPOW?"], (-57.0, -56.0)),
    ("abort_min_power", (), ["CALL:CONN:DROP:TIM ON", "INIT:CPOW:OFF"], None),
    ("init_rolop", (), ["CALL:CLPC:REV:MODE ALT", "INIT:CPOW"], None),
    ("meas_rolop", (), ["FETC:CPOW?"], (-9.0, -7.0)),
    ("abort_rolop", (), ["INIT:CPOW:OFF"], None),
    ("init_c_power", (), ["SET:CPOW:TIM:STATE OFF", "INIT:CPOW"], None),
    ("fetch_c_power", (), ["FETC:CPOW?"], (-57.0, -56.0)),
    ("fetch_c_power", (), ["FETC:CPOW?"], (-57.0, -56.0)),
    ("hand_off", (Band.USC, 400), ["CALL:SET:SYST:TYPE DIG2000", "CALL:CHAN 400"], None),
    ("end_call", (), ["CALL:END", "*RST"], None),
]


def test_every_method_sends_its_commands_and_returns_its_value(ts):
    public = {name for name, _ in inspect.getmembers(zolvane.TestSet, inspect.isfunction)
              if not name.startswith("_")} - {"close"}
    assert public == {row[0] for row in METHODS}
    trace = Trace()
    trace.sent()
    for method, arguments, commands, expected in METHODS:
        result = getattr(ts, method)(*arguments)
        sent = trace.sent()
        for command in commands:  # a list of values is matched by its first
            assert any(line == command or line.startswith(command + ",") for line in sent), \
                (method, command, sent)
        if expected is None:
            assert result is None, method
        elif expected == "no result":
            assert result is None, (method, result)
        else:
            assert isinstance(result, float) and expected[0] <= result <= expected[1], (method, result)


# Each in a fresh process: simulator options or a loader path, the code, what it raises.
ERRORS = [
    ({"ZOLVANE_SIM_OPTIONS": "timeout_on=CALL:POW"}, "zolvane.TestSet(gpib=14).set_cell_power(-60)",
     "VisaError", "VI_ERROR_TMO", "Zolvane_2K_SetCellPower",
     "Zolvane_2K_SetCellPower: VI_ERROR_TMO (-1073807339)"),
    ({"ZOLVANE_SIM_OPTIONS": "timeout_on=FETC:DAP?"},
     "ts = zolvane.TestSet(gpib=14)\nts.init_max_power(1)\nts.meas_max_power()",
     "VisaError", "VI_ERROR_TMO", "Zolvane_2K_MeasMaxPower", None),
    ({}, "zolvane.TestSet(gpib=14).check_connect(0)",
     "TimeoutOrNoConnection", "TIMEOUT_OR_NO_CONNECTION", "Zolvane_CheckConnect",
     "Zolvane_CheckConnect: TIMEOUT_OR_NO_CONNECTION (1)"),
    ({"ZOLVANE_SIM_OPTIONS": "never_register=1"}, "zolvane.TestSet(gpib=14).sync_network(0)",
     "TimeoutOrNoConnection", "TIMEOUT_OR_NO_CONNECTION", "Zolvane_2K_SyncNetwork", None),
    ({}, "zolvane.TestSet(gpib=14).set_band(4)",
     "VisaError", "VI_ERROR_INV_PARAMETER", "Zolvane_2K_SetBand", None),
    ({}, "zolvane.TestSet(gpib=14).set_cell_power(float('nan'))",
     "VisaError", "VI_ERROR_INV_PARAMETER", "Zolvane_2K_SetCellPower", None),
    # A failed open leaves nothing open: the test set at the right address opens next.
    ({"ZOLVANE_SIM_OPTIONS": "address=15"},
     "try:\n  zolvane.TestSet(gpib=14)\nfinally:\n  zolvane.TestSet(gpib=15).close()",
     "VisaError", "VI_ERROR_RSRC_NFOUND", "Zolvane_InitTester",
     "Zolvane_InitTester: VI_ERROR_RSRC_NFOUND (-1073807343): GPIB0::14::INSTR"),
    ({"ZOLVANE_SIM_OPTIONS": "no_such_key=1"}, "zolvane.TestSet(gpib=14)",
     "VisaError", "VI_ERROR_SYSTEM_ERROR", "Zolvane_InitTester", None),
    ({"LD_LIBRARY_PATH": "/nonexistent"}, "zolvane.TestSet(gpib=14)",
     "VisaError", "VI_ERROR_LIBRARY_NFOUND", "Zolvane_InitTester", None),
    # Closed: refused without calling the library, which may serve another TestSet by then.
    ({}, "ts = zolvane.TestSet(gpib=14)\nts.close()\nother = zolvane.TestSet(gpib=14)\nts.reset()",
     "VisaError", "VI_ERROR_INV_OBJECT", "Zolvane_ResetTester",
     "Zolvane_ResetTester: VI_ERROR_INV_OBJECT (-1073807346): this TestSet is closed"),
    # Released behind its back: the library's own bad-handle status.
    ({}, "ts = zolvane.TestSet(gpib=14)\nzolvane.raw.load().Zolvane_ReleaseTester()\nts.open_act()",
     "VisaError", "VI_ERROR_INV_OBJECT", "Zolvane_2K_OpenAct",
     "Zolvane_2K_OpenAct: VI_ERROR_INV_OBJECT (-1073807346)"),
    ({}, "ts = zolvane.TestSet(gpib=14)\nzolvane.TestSet(gpib=14)", "AlreadyOpenError", None, None,
     "a TestSet is already open on GPIB0::14::INSTR; close it first"),
    ({}, "zolvane.TestSet(gpib=14).set_channel(2**32 + 384)", "OverflowError", None, None,
     "4294967680 does not fit a 32-bit int"),
    ({}, "zolvane.TestSet(gpib=14).set_channel(384.0)", "TypeError", None, None, None),
    ({}, "zolvane.TestSet(gpib=14).set_loss('0.5')", "TypeError", None, None, None),
]


@pytest.mark.parametrize("env, code, error, status, function, message", ERRORS)
def test_errors(env, code, error, status, function, message):
    result = run_python(code, env)
    assert result.get("error") == error, result
    assert (result["status"], result["function"]) == (status, function)
    if message is not None:
        assert result["message"] == message


def test_error_classes():
    assert issubclass(zolvane.TimeoutOrNoConnection, zolvane.ZolvaneError)
    assert issubclass(zolvane.VisaError, zolvane.ZolvaneError)
    error = zolvane.errors.error_for_status(-5, "Zolvane_EndCall")
    assert type(error) is zolvane.VisaError and error.status == -5
    assert str(error) == "Zolvane_EndCall: UNKNOWN_0xFFFFFFFB (-5)"
    assert type(zolvane.errors.error_for_status(Status.VI_SUCCESS_MAX_CNT, "f")) is zolvane.VisaError


def test_a_second_thread_waits_for_the_running_call(ts):
    # No call is up: check_connect polls for its whole second, then raises.
    events = []

    def poll():
        with pytest.raises(zolvane.TimeoutOrNoConnection):
            ts.check_connect(1)
        events.append(("poll returned", time.monotonic()))

    worker = threading.Thread(target=poll)
    worker.start()
    time.sleep(0.2)
    ts.reset()
    events.append(("reset returned", time.monotonic()))
    worker.join()
    assert [name for name, _ in events] == ["poll returned", "reset returned"]
    ts.close()
    with pytest.raises(zolvane.VisaError):
        ts.set_orig()
    ts.close()  # a second close does nothing


def test_a_failed_open_closes_what_it_opened(tmp_path):
    trace = tmp_path / "trace.txt"
    # Read before the process ends: the library's unload would close it too.
    result = run_python("try:\n  zolvane.TestSet(gpib=14)\nexcept zolvane.VisaError as e:\n"
                        "  result.update(status=e.status.name, trace=open(%r).read())" % str(trace),
                        {"ZOLVANE_SIM_OPTIONS": "timeout_on=*CLS", "ZOLVANE_SIM_TRACE": str(trace)})
    assert result["status"] == "VI_ERROR_TMO"
    calls = re.findall(r"^\[[ \d.]+\] = (.*)$", result["trace"], re.MULTILINE)
    assert calls[-2:] == ["viClose session 2", "viClose session 1"], calls
