"""The phone test's plan as a PyVISA script: the commands zolvane_phone_test's plan sends, in
the same order, with the same rules (each fully successful chain closed by one "SYST:ERR?";
registration and connection polled; the wait after a handoff to another band).

    /usr/bin/python3 pyvisa_plan.py VISA_LIBRARY RUNS

runs the plan RUNS times and prints "cpu_s <least CPU seconds of a plan>".
"""
import sys
import time

import pyvisa

RESOURCE = "GPIB0::14::INSTR"
LOSS_POINTS = ("800000000,825570000,825600000,847410000,847440000,1000000000,1010000000,"
               "1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,1853750000,"
               "1853800000,1906250000,1906300000,2200000000")
MEASUREMENTS = [  # init, fetch, abort: as Zolvane's InitFER/MeasFER/AbortFER and the rest
    (["CALL:PIL:STATE ON", "CALL:PIL -7", "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -15.6",
      "SET:CFER:CONF:STAT ON", "SET:CFER:CONF:LEV 95PCT", "SET:CFER:CONF:REQ 5",
      "SET:CFER:COUN:MAX 1000", "SET:CFER:COUN:MIN 50", "SET:CFER:CONT ON",
      "SET:CFER:TIM:STAT OFF", "INIT:CFER"],
     "FETC:CFER:RAT?", ["INIT:CFER:OFF", "*CLS"]),
    (["CALL:PIL:STATE ON", "CALL:PIL -7", "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -7.4",
      "CALL:CLPC:REV:MODE UP", "SET:DAP:COUN:STAT ON", "SET:DAP:COUN:NUMB 10", "SET:DAP:CONT ON",
      "SET:DAP:TIM:STAT OFF", "INIT:DAP"],
     "FETC:DAP?", ["CALL:CLPC:REV:MODE ACT", "INIT:DAP:OFF", "*CLS"]),
    (["CALL:PIL:STATE ON", "CALL:PIL -7", "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -7.4",
      "CALL:CONN:DROP:TIM OFF", "CALL:CLPC:REV:MODE DOWN", "SET:CPOW:COUN:STAT OFF",
      "SET:CPOW:CONT ON", "SET:CPOW:MSP NORM", "SET:CPOW:TIM:STAT OFF", "INIT:CPOW"],
     "FETC:CPOW?", ["CALL:CLPC:REV:MODE ACT", "CALL:CONN:DROP:TIM ON", "INIT:CPOW:OFF", "*CLS"]),
    (["CALL:PIL:STATE ON", "CALL:PIL -7", "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -7.4",
      "CALL:CLPC:REV:MODE ALT", "SET:CPOW:COUN:STAT OFF", "SET:CPOW:CONT ON",
      "SET:CPOW:MSP NORM", "SET:CPOW:TIM:STAT OFF", "INIT:CPOW:OFF", "INIT:CPOW"],
     "FETC:CPOW?", ["CALL:CLPC:REV:MODE ACT", "INIT:CPOW:OFF", "*CLS"]),
]


def chain(ts, commands):
    for c in commands:
        ts.write(c)
    ts.query("SYST:ERR?")


def poll(ts, query, done, limit_s, pause_s):
    deadline = time.monotonic() + limit_s
    while True:
        answer = ts.query(query)
        if done(answer):
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(pause_s)


def measure(ts):
    values = []
    for init, fetch, abort in MEASUREMENTS:
        chain(ts, init)
        values.append(ts.query(fetch))
        chain(ts, ["*CLS"])
        chain(ts, abort)
    return values


def plan(rm):
    ts = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n")
    ts.timeout = 20000
    ts.write("*CLS")
    ts.write("*RST")
    for c in ["*CLS", "INIT:CFER:OFF", "INIT:DAP:OFF", "INIT:CPOW:OFF", "INIT:CAPP:OFF",
              "INIT:ATXP:OFF", "INIT:FM:OFF", "INIT:AFAN:OFF", "AFG:VOLT:STAT OFF",
              "DISP:MODE TRACK"]:
        ts.write(c)
    chain(ts, ["CALL:OPER:MODE CALL", "CALL:SYSTEM DIG2000", "CALL:BAND USC", "CALL:PROT PREV6",
               "CALL:RCON F1R1", "CALL:PAG:STATE OFF", "CALL:CELL:FCH:STATE OFF"])
    chain(ts, ["RFGenerator:OUTPut IO"])
    ts.write("CALL:CHAN 384")  # channel mode 2: the channel, then the carrier's own chain
    chain(ts, ["CALL:RFG:FREQ 836.520MHz"])
    ts.query("SYST:ERR?")
    chain(ts, ["SYST:CORR:FREQ " + LOSS_POINTS, "SYST:CORR:GAIN " + ",".join(["-0.50"] * 18),
               "SYST:CORR:STAT ON"])
    chain(ts, ["CALL:SYNC:STATE ON", "CALL:SYNC -16", "CALL:PAG:STATE ON", "CALL:PAG -12",
               "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -15.6"])
    chain(ts, ["CALL:POW -65.00DBM"])
    chain(ts, ["CALL:SID 1", "CALL:NID 1"])
    ts.write("CALL:REG")
    ok = poll(ts, "CALL:MS:REP:ESN?", lambda a: len(a.split()[0]) > 5 if a.split() else False, 10, 0.5)
    ts.write("CALL:ORIG")
    ok = poll(ts, "CALL:CONN:STAT?", lambda a: a.strip() == "1", 5, 0.05) and ok
    values = measure(ts)
    for c in ["CALL:SET:SYST:TYPE DIG2000", "CALL:SET:BAND USPC", "CALL:SET:CHAN 25", "CALL:HAND"]:
        ts.write(c)
    time.sleep(2.0)
    ts.query("SYST:ERR?")
    ok = poll(ts, "CALL:CONN:STAT?", lambda a: a.strip() == "1", 5, 0.05) and ok
    values += measure(ts)
    ts.write("CALL:END")
    poll(ts, "CALL:CONN:STAT?", lambda a: a.strip() == "0", 5, 0.05)
    ts.write("*RST")
    ts.close()
    if not ok or any("NAN" in v for v in values):
        raise SystemExit("pyvisa_plan: the plan did not pass: %s" % values)


def main():
    library, runs = sys.argv[1], int(sys.argv[2])
    rm = pyvisa.ResourceManager(library)
    best = None
    for _ in range(runs):
        t0 = time.process_time()
        plan(rm)
        t = time.process_time() - t0
        best = t if best is None else min(best, t)
    rm.close()
    print("cpu_s %.9f" % best)


if __name__ == "__main__":
    main()
