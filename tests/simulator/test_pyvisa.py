"""The simulated test set as PyVISA (Debian's python3-pyvisa) and pyvisa-shell use it.

Run by ctest with /usr/bin/python3 -m pytest; the environment names the built simulator
(ZOLVANE_SIM_LIBRARY) and the phone-test program (ZOLVANE_PHONE_TEST).
"""
import os
import re
import subprocess
import time

import pytest
import pyvisa

LIBRARY = os.environ["ZOLVANE_SIM_LIBRARY"]
RESOURCE = "GPIB0::14::INSTR"
# The modelled delays at zero: registration, connection, handoff and measurements come at once.
# ctest sets the same in ZOLVANE_SIM_OPTIONS for this process; the results do not depend on them.
FAST = "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0"


@pytest.fixture
def rm():
    manager = pyvisa.ResourceManager(LIBRARY)
    yield manager
    manager.close()


@pytest.fixture
def ts(rm):
    inst = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n")
    inst.write("*RST;*CLS")
    yield inst
    inst.close()


def test_lists_and_opens_the_test_set(rm):
    assert rm.list_resources() == (RESOURCE,)
    assert rm.list_resources("GPIB?*") == (RESOURCE,)
    assert rm.list_resources("TCPIP?*") == ()
    with pytest.raises(pyvisa.VisaIOError) as e:
        rm.open_resource("GPIB0::15::INSTR")
    assert e.value.error_code == pyvisa.constants.StatusCode.error_resource_not_found
    inst = rm.open_resource(RESOURCE)
    assert inst.resource_class == "INSTR"
    assert inst.interface_type == pyvisa.constants.InterfaceType.gpib
    assert inst.primary_address == 14
    assert inst.resource_manufacturer_name == "Zolvane"
    inst.close()


@pytest.mark.parametrize(
    "command, query, answer",
    [
        (None, "*IDN?", "Zolvane,Simulated CDMA2000 Test Set,0," + os.environ["ZOLVANE_VERSION"]),
        (None, "*OPC?", "1"),
        ("CALL:POW -71.25DBM", "CALL:POW?", "-71.25"),
        ("CALL:BAND USPC", "CALL:BAND?", "USPC"),
        ("CALL:BAND USPC;CHAN 600", "CALL:CHAN?", "600"),
        ("FOO:BAR", "SYST:ERR?", '-113,"Undefined header"'),
        ("FOO:BAR", "*ESR?", "32"),
        ("FOO:BAR", "*STB?", "4"),
    ],
)
def test_sets_and_reads_back(ts, command, query, answer):
    if command:
        ts.write(command)
    assert ts.query(query) == answer


def test_status_byte_follows_the_output_queue(ts):
    assert ts.read_stb() & 0x10 == 0
    ts.write("*IDN?")
    assert ts.read_stb() & 0x10
    ts.read()
    assert ts.read_stb() & 0x10 == 0


def test_a_small_read_gets_the_answer_in_parts(ts):
    ts.write("*IDN?")
    first = ts.read_bytes(8)
    rest = ts.read_raw()
    assert first + rest == b"Zolvane,Simulated CDMA2000 Test Set,0," + os.environ[
        "ZOLVANE_VERSION"].encode() + b"\n"


@pytest.mark.parametrize("timeout_ms", [100, 400])
def test_a_read_with_nothing_to_answer_times_out_on_time(ts, timeout_ms):
    ts.timeout = timeout_ms
    start = time.monotonic()
    with pytest.raises(pyvisa.VisaIOError) as e:
        ts.read()
    elapsed = time.monotonic() - start
    assert e.value.error_code == pyvisa.constants.StatusCode.error_timeout
    assert timeout_ms / 1000 <= elapsed < timeout_ms / 1000 + 0.1


def test_pyvisa_shell_lists_and_queries():
    commands = "list\nopen GPIB0::14::INSTR\nquery *IDN?\nwrite CALL:SID 321\nquery CALL:SID?\nclose\nexit\n"
    out = subprocess.run(
        ["pyvisa-shell"], input=commands, capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYVISA_LIBRARY=LIBRARY),
    )
    assert out.returncode == 0, out.stderr
    assert "( 0) GPIB0::14::INSTR" in out.stdout
    assert "Response: Zolvane,Simulated CDMA2000 Test Set" in out.stdout
    assert "Response: 321" in out.stdout
    assert "Error" not in out.stdout + out.stderr


# The phone test's plan as a PyVISA script: the SCPI each step of zolvane_phone_test sends, as a
# test engineer would write it. A list of commands is one chain, closed by one error-queue read.
PILOT_FCH = ["CALL:PIL:STATE ON", "CALL:PIL -7", "CALL:CELL:FCH:STATE ON"]
CPOW_SETUP = ["SET:CPOW:COUN:STAT OFF", "SET:CPOW:CONT ON", "SET:CPOW:MSP NORM", "SET:CPOW:TIM:STAT OFF"]
FREQS = ("800000000,825570000,825600000,847410000,847440000,1000000000,1010000000,1712500000,"
         "1712550000,1751850000,1751900000,1790000000,1800000000,1853750000,1853800000,1906250000,"
         "1906300000,2200000000")
MEASUREMENTS = [
    # name, start, fetch, stop, (scale, decimals, unit)
    ("FER", PILOT_FCH + ["CALL:CELL:FCH -15.6", "SET:CFER:CONF:STAT ON", "SET:CFER:CONF:LEV 95PCT",
                         "SET:CFER:CONF:REQ 5", "SET:CFER:COUN:MAX 1000", "SET:CFER:COUN:MIN 50",
                         "SET:CFER:CONT ON", "SET:CFER:TIM:STAT OFF", "INIT:CFER"],
     "FETC:CFER:RAT?", ["INIT:CFER:OFF", "*CLS"], (100.0, 3, "%")),
    ("Maximum power", PILOT_FCH + ["CALL:CELL:FCH -7.4", "CALL:CLPC:REV:MODE UP", "SET:DAP:COUN:STAT ON",
                                   "SET:DAP:COUN:NUMB 10", "SET:DAP:CONT ON", "SET:DAP:TIM:STAT OFF",
                                   "INIT:DAP"],
     "FETC:DAP?", ["CALL:CLPC:REV:MODE ACT", "INIT:DAP:OFF", "*CLS"], (1.0, 2, "dBm")),
    ("Minimum power", PILOT_FCH + ["CALL:CELL:FCH -7.4", "CALL:CONN:DROP:TIM OFF", "CALL:CLPC:REV:MODE DOWN"]
     + CPOW_SETUP + ["INIT:CPOW"],
     "FETC:CPOW?", ["CALL:CLPC:REV:MODE ACT", "CALL:CONN:DROP:TIM ON", "INIT:CPOW:OFF", "*CLS"],
     (1.0, 2, "dBm")),
    ("Rolop power", PILOT_FCH + ["CALL:CELL:FCH -7.4", "CALL:CLPC:REV:MODE ALT"] + CPOW_SETUP
     + ["INIT:CPOW:OFF", "INIT:CPOW"],
     "FETC:CPOW?", ["CALL:CLPC:REV:MODE ACT", "INIT:CPOW:OFF", "*CLS"], (1.0, 2, "dBm")),
]


def chain(ts, commands):
    for c in commands:
        ts.write(c)
    ts.query("SYST:ERR?")


def measure(ts, where):
    results = {}
    for name, start, fetch, stop, (scale, decimals, unit) in MEASUREMENTS:
        chain(ts, start)
        answer = ts.query(fetch)
        value = float(answer.split(",")[-1])
        chain(ts, ["*CLS"])
        chain(ts, stop)
        results[name + where] = f"{value * scale:.{decimals}f} {unit}"
    return results


def poll(ts, query, done, limit_s):
    end = time.monotonic() + limit_s
    while not done(ts.query(query)):
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


def pyvisa_plan(ts):
    ts.timeout = 20000
    ts.write("*CLS")
    ts.write("*RST")
    ts.write("*CLS")
    for m in ("CFER", "DAP", "CPOW", "CAPP", "ATXP", "FM", "AFAN"):
        ts.write(f"INIT:{m}:OFF")
    chain(ts, ["AFG:VOLT:STAT OFF", "DISP:MODE TRACK", "CALL:OPER:MODE CALL", "CALL:SYSTEM DIG2000",
               "CALL:BAND USC", "CALL:PROT PREV6", "CALL:RCON F1R1", "CALL:PAG:STATE OFF",
               "CALL:CELL:FCH:STATE OFF"])
    chain(ts, ["RFGenerator:OUTPut IO"])
    chain(ts, ["CALL:CHAN 384", "CALL:RFG:FREQ 836.520MHz"])
    chain(ts, ["SYST:CORR:FREQ " + FREQS, "SYST:CORR:GAIN " + ",".join(["-0.50"] * 18), "SYST:CORR:STAT ON"])
    chain(ts, ["CALL:SYNC:STATE ON", "CALL:SYNC -16", "CALL:PAG:STATE ON", "CALL:PAG -12",
               "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -15.6"])
    chain(ts, ["CALL:POW -65.00DBM"])
    chain(ts, ["CALL:SID 1", "CALL:NID 1"])
    ts.write("CALL:REG")
    assert poll(ts, "CALL:MS:REP:ESN?", lambda esn: len(esn) > 5, 10.0)
    ts.write("CALL:ORIG")
    assert poll(ts, "CALL:CONN:STAT?", lambda state: state == "1", 5.0)
    results = measure(ts, ", band 0 ch 384")
    ts.write("CALL:SET:SYST:TYPE DIG2000")
    for c in ("CALL:SET:BAND USPC", "CALL:SET:CHAN 25", "CALL:HAND"):
        ts.write(c)
    time.sleep(2.0)  # as Zolvane_2K_HandOff: the phone needs time to follow to the new band
    ts.query("SYST:ERR?")
    assert poll(ts, "CALL:CONN:STAT?", lambda state: state == "1", 5.0)
    results.update(measure(ts, ", band 1 ch 25"))
    ts.write("CALL:END")
    assert poll(ts, "CALL:CONN:STAT?", lambda state: state == "0", 5.0)
    ts.write("*RST")
    return results


def test_the_phone_tests_plan_as_a_pyvisa_script_gives_its_results(rm):
    report = subprocess.run([os.environ["ZOLVANE_PHONE_TEST"], "--sim-options", FAST],
                            capture_output=True, text=True, timeout=120)
    assert report.returncode == 0, report.stdout + report.stderr
    expected = {}
    for line in report.stdout.splitlines():
        m = re.match(r"\s*\d+\s+((?:FER|Maximum power|Minimum power|Rolop power), band \d ch \d+)"
                     r"\s+(-?[\d.]+ (?:%|dBm))\s", line)
        if m:
            expected[m.group(1)] = m.group(2)
    assert len(expected) == 8, report.stdout
    ts = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n")
    assert pyvisa_plan(ts) == expected
    ts.close()
