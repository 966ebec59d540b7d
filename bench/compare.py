"""Zolvane against PyVISA on the simulated test set, side by side (bench/README.md).

    /usr/bin/python3 bench/compare.py BUILD_DIR [--runs N]

BUILD_DIR holds bench/zolvane_visa_compare, simulator_path/ and trace_path/. The simulator's
modelled delays are set to zero. Each client's calls are recorded once through the trace VISA,
and the two conversations must be the same (exit status 1 if not, or if a plan fails); then
each plan runs N times straight on the simulator, the recorded calls are replayed N times
straight into the simulator (its own share; for Zolvane in the same process, after each plan),
and the Zolvane plan runs N times more through the trace. Every figure is the least CPU time of its N runs. Timings are printed, never judged.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
NO_DELAYS = "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0;answer_delay=0"
RECORD = re.compile(r'^\[ *[0-9.]+\] [<>=] (vi[A-Za-z]+)\((.*)\)(?: (?:read|gives) .*)? -> ')
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unquote(text):
    return re.sub(r'\\(x[0-9A-F]{2}|.)',
                  lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), None)
                  or (chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" and len(m.group(1)) == 3
                      else m.group(1)), text)


def conversation(trace):
    """The calls and the messages a recorded run sent, each message as the instrument got it."""
    calls, messages = 0, []
    with open(trace) as f:
        for line in f:
            m = RECORD.match(line)
            if not m:
                continue
            calls += 1
            name, args = m.group(1), m.group(2)
            texts = [unquote(t) for t in QUOTED.findall(args)]
            if name == "viWrite":
                messages.append(texts[0].rstrip("\n"))
            elif name in ("viPrintf", "viQueryf"):
                fmt = texts[0]
                values = texts[2 if name == "viQueryf" else 1:]
                number = re.search(r', (-?[0-9]+)$', args)
                fmt = fmt.replace("%s", values[0]) if values else fmt
                fmt = fmt.replace("%d", number.group(1)) if number and "%d" in fmt else fmt
                messages.append(fmt.rstrip("\n"))
    return calls, messages


def cpu(command, env, figure="cpu_s"):
    out = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE, text=True).stdout
    return float(re.search(r"^%s ([0-9.]+)$" % figure, out, re.M).group(1))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=5)
    a = p.parse_args()
    build = os.path.abspath(a.build)
    compare = os.path.join(build, "bench", "zolvane_visa_compare")
    sim_folder = os.path.join(build, "simulator_path")
    sim = os.path.join(sim_folder, "libzolvane_simulator.so")
    trace_folder = os.path.join(build, "trace_path")
    trace = os.path.join(trace_folder, "libzolvane_trace.so")
    python = "/usr/bin/python3"
    pyvisa_plan = [python, os.path.join(HERE, "pyvisa_plan.py")]
    base = dict(os.environ, ZOLVANE_SIM_OPTIONS=NO_DELAYS)
    for k in ("ZOLVANE_TRACE", "ZOLVANE_TRACE_VISA", "ZOLVANE_SIM_TRACE", "ZOLVANE_SIM"):
        base.pop(k, None)
    direct = dict(base, LD_LIBRARY_PATH=sim_folder)

    with tempfile.TemporaryDirectory() as tmp:
        z_trace, p_trace = os.path.join(tmp, "zolvane.trace"), os.path.join(tmp, "pyvisa.trace")
        traced = dict(base, ZOLVANE_TRACE_VISA=sim, LD_LIBRARY_PATH=trace_folder)
        cpu([compare, "plan", "1"], dict(traced, ZOLVANE_TRACE=z_trace))
        cpu(pyvisa_plan + [trace, "1"], dict(traced, ZOLVANE_TRACE=p_trace))
        z_calls, z_messages = conversation(z_trace)
        p_calls, p_messages = conversation(p_trace)
        if z_messages != p_messages:
            for i, (z, q) in enumerate(zip(z_messages + [""] * 999, p_messages + [""] * 999)):
                if z != q:
                    print("compare: the conversations differ at message %d: Zolvane %r, PyVISA %r"
                          % (i + 1, z, q))
                    break
            return 1
        exchanges = len(z_messages)

        n = str(a.runs)
        z_out = subprocess.run([compare, "plan", n, sim, z_trace], env=direct, check=True,
                               stdout=subprocess.PIPE, text=True).stdout
        z_whole = float(re.search(r"^cpu_s ([0-9.]+)$", z_out, re.M).group(1))
        z_sim = float(re.search(r"^replay_cpu_s ([0-9.]+)$", z_out, re.M).group(1))
        p_whole = cpu(pyvisa_plan + [sim, n], direct)
        p_sim = cpu([compare, "replay", sim, p_trace, n], direct, "replay_cpu_s")
        # The trace's cost: Zolvane's calls replayed back to back, through it and without it.
        many = str(a.runs * 10)
        bare = cpu([compare, "replay", sim, z_trace, many, "unpaced"], direct, "replay_cpu_s")
        t_null = cpu([compare, "replay", trace, z_trace, many, "unpaced"],
                     dict(traced, ZOLVANE_TRACE=os.devnull), "replay_cpu_s")
        t_file = cpu([compare, "replay", trace, z_trace, many, "unpaced"],
                     dict(traced, ZOLVANE_TRACE=os.path.join(tmp, "t")), "replay_cpu_s")
        w_null = min(cpu([compare, "write", os.devnull, "20000"], base, "write_cpu_s")
                     for _ in range(3))
        w_file = min(cpu([compare, "write", os.path.join(tmp, "w"), "20000"], base, "write_cpu_s")
                     for _ in range(3))

    us = 1e6 / exchanges
    z_client, p_client = z_whole - z_sim, p_whole - p_sim
    print("The phone test's plan on the simulator, delays 0: %d exchanges (%d commands, %d queries),"
          " the same for both" % (exchanges, exchanges - sum(m.endswith("?") for m in z_messages),
                                   sum(m.endswith("?") for m in z_messages)))
    print("VISA calls per plan: Zolvane %d, PyVISA %d; least CPU time of %d runs each"
          % (z_calls, p_calls, a.runs))
    print()
    print("%-34s %14s %14s %10s" % ("CPU us per exchange", "Zolvane", "PyVISA 1.11.3", "ratio"))
    rows = [("whole (client + simulator)", z_whole, p_whole),
            ("simulator's share (replayed)", z_sim, p_sim),
            ("client's share", z_client, p_client)]
    for label, z, q in rows:
        ratio = "%.1f x" % (q / z) if z > 0 else "-"
        print("%-34s %14.3f %14.3f %10s" % (label, z * us, q * us, ratio))
    # The client share is a difference of two noisy figures: below the runs' own spread it is
    # not a measurement.
    floor = max(z_whole, z_sim) * 0.05
    if z_client < floor:
        print("Zolvane's client share is below this run's resolution (%.3f us per exchange, 5 %% of"
              " the whole): the ratio is at least %.0f x" % (floor * us, p_client / floor))
    print()
    z_calls_us = 1e6 / z_calls
    print("trace VISA in front, CPU us per VISA call (Zolvane's %d calls replayed back to back, %s"
          " times):" % (z_calls, many))
    for label, t, w in (("to /dev/null", t_null, w_null), ("to a file", t_file, w_file)):
        added = (t - bare) * z_calls_us
        print("  %-13s %6.2f, of which the write of its line %5.2f, the rest %5.2f"
              % (label, added, w * 1e6, added - w * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
