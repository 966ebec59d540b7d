#!/usr/bin/env python3
"""zolvane_phone_test's plan, limits and verdicts, written with the zolvane package."""
import sys, time
import zolvane
from zolvane import Band, ChannelMode

GPIB, LOSS, CELL_DBM, SID, NID, REG_S, CONNECT_S, DAP_COUNT = 14, 0.5, -65.0, 1, 1, 10, 5, 10
(BAND, CHANNEL), (BAND2, CHANNEL2) = (Band.USC, 384), (Band.USPC, 25)
verdicts, setup_ok, ts = [], True, None


def step(name, action, limits="-", gating=True, always=False, timed=False):
    """Runs action (returns None, or the value shown and if it passed) unless set-up failed."""
    global setup_ok
    if not (setup_ok or always):
        verdicts.append("SKIP")
        return print(f"{len(verdicts):3d}  {name:<36} {'-':<18} {limits:<22} SKIP")
    start, note, station_failed = time.monotonic(), "", False  # station: a VISA error, no answer
    try:
        value, passed = action() or ("-", True)
    except zolvane.ZolvaneError as error:
        value, passed, note = f"status {error.status:d}", False, f"\n     {error}"
        station_failed = not isinstance(error, zolvane.TimeoutOrNoConnection)
    seconds = time.monotonic() - start
    value = f"{seconds:.2f} s" if timed and not note else value
    verdict = "ERROR" if station_failed else "PASS" if passed and not (
        name == "End call" and seconds >= 5.0) else "FAIL"
    setup_ok = setup_ok and (verdict == "PASS" or not gating)
    verdicts.append(verdict)
    print(f"{len(verdicts):3d}  {name:<36} {value:<18} {limits:<22} {verdict} {seconds:5.2f} s{note}")


def measure(name, kind, low, high, unit="dBm", scale=1.0, places=2, start_args=()):
    def action():
        try:
            getattr(ts, "init_" + kind)(*start_args)
            value = getattr(ts, "meas_" + kind)()
        finally:
            getattr(ts, "abort_" + kind)()  # the measurement is stopped whatever happened
        if value is None:
            return "no result", False
        value *= scale
        return f"{value:.{places}f} {unit}", (low is None or low <= value) and value <= high
    limits = (f"{low:.{places}f} .. " if low is not None else "<= ") + f"{high:.{places}f} {unit}"
    step(name, action, limits, gating=False)


def measure_all(band, channel):
    at = f", band {band:d} ch {channel}"
    rolop = (-76.0 if band in (Band.USPC, Band.USPC1900) else -73.0) - CELL_DBM  # open loop
    measure("FER" + at, "fer", None, 0.5, "%", 100.0, 3)
    measure("Maximum power" + at, "max_power", 23.0, 30.0, start_args=(DAP_COUNT,))
    measure("Minimum power" + at, "min_power", None, -50.0)
    measure("Rolop power" + at, "rolop", rolop - 9.5, rolop + 9.5)


step(f"Open test set GPIB0::{GPIB}::INSTR", lambda: globals().update(ts=zolvane.TestSet(gpib=GPIB)))
step("Reset test set", lambda: ts.reset())
step(f"Configure CDMA2000, band {BAND:d} {BAND.name}", lambda: ts.config_cdma2k(BAND))
step(f"Tune channel {CHANNEL}", lambda: ts.set_channel(CHANNEL, ChannelMode.BOTH))
step(f"Load path loss {LOSS:.2f} dB", lambda: ts.set_loss(LOSS))
step("Overhead channels on", lambda: ts.open_act())
step(f"Cell power {CELL_DBM:.2f} dBm", lambda: ts.set_cell_power(CELL_DBM))
step(f"Network SID {SID} NID {NID}", lambda: ts.set_network(SID, NID))
step("Wait for registration", lambda: ts.sync_network(REG_S), f"<= {REG_S} s", timed=True)
originated = setup_ok
step("Originate call", lambda: ts.set_orig())
step("Confirm connection", lambda: ts.check_connect(CONNECT_S), f"<= {CONNECT_S} s", timed=True)
measure_all(BAND, CHANNEL)
step(f"Hand off to band {BAND2:d} {BAND2.name} channel {CHANNEL2}", lambda: ts.hand_off(BAND2, CHANNEL2))
step("Confirm connection after handoff", lambda: ts.check_connect(CONNECT_S), f"<= {CONNECT_S} s",
     timed=True)
measure_all(BAND2, CHANNEL2)
step("End call", lambda: ts.end_call(), "< 5 s", always=originated)  # if the call was originated
step("Release test set", lambda: ts and ts.close(), always=True)
result = "ERROR" if "ERROR" in verdicts else "PASS" if verdicts.count("PASS") == len(verdicts) else "FAIL"
print(f"\nSummary: {len(verdicts)} steps, {verdicts.count('FAIL')} failed, {verdicts.count('ERROR')} "
      f"errors, {verdicts.count('SKIP')} skipped\nRESULT: {result}")
sys.exit({"PASS": 0, "FAIL": 1, "ERROR": 3}[result])  # ERROR: retest the phone, do not scrap it
