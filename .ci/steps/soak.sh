#!/usr/bin/env bash
# Soak: 1,000 phones in one zolvane_phone_test run on the simulator with its delays at zero and a
# same-band handoff (a cross-band one would wait 2.0 s per phone). Prints the time per phone, the
# peak RSS and the open file descriptors at phone 100 and at the end, and fails if either grew;
# then times the summary of a generated 100,000-line results file, which must stay streamed
# (its peak RSS well below the file's size, beyond a fixed few hundred bytes a serial for the yields).
set -euo pipefail
cd "$(dirname "$0")/../.."
step_start=$SECONDS

build=${SOAK_BUILD_DIR:-build}  # CI's own build of the README's test command, reused
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target zolvane_phone_test
program=$build/phone_test/zolvane_phone_test
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

PHONES=${SOAK_PHONES:-1000}
/usr/bin/python3 - "$program" "$work" "$PHONES" <<'PY'
import os, subprocess, sys, time

program, work, phones = sys.argv[1], sys.argv[2], int(sys.argv[3])
results = os.path.join(work, "soak.jsonl")
zero = "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0"
cmd = [program, "--repeat", str(phones), "--results", results, "--sim-options", zero,
       "--handoff-band", "0", "--handoff-channel", "500"]

seen, offset = 0, 0
def lines():  # records written so far, read incrementally
    global seen, offset
    try:
        with open(results, "rb") as f:
            f.seek(offset)
            chunk = f.read()
    except FileNotFoundError:
        return 0
    offset += len(chunk)
    seen += chunk.count(b"\n")
    return seen

def sample(pid):
    with open(f"/proc/{pid}/status") as f:
        hwm = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
    return hwm, len(os.listdir(f"/proc/{pid}/fd"))

start = time.monotonic()
errors = open(os.path.join(work, "soak.err"), "w+")
p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=errors)
early = late = None
late_at = phones - max(1, phones // 20)
while p.poll() is None:
    n = lines()
    try:
        if early is None and n >= min(100, phones):
            early = (n,) + sample(p.pid)
        if n >= late_at:
            late = (n,) + sample(p.pid)
    except (FileNotFoundError, ProcessLookupError, StopIteration):
        pass  # the program ended between the count and the sample
    if time.monotonic() - start > 600:
        p.kill()
        sys.exit(f"soak: {phones} phones did not finish within 600 s")
    time.sleep(0.02)
took = time.monotonic() - start
errors.seek(0)
err = errors.read()
done = lines()

print(f"soak: {done} phones in {took:.1f} s, {1000 * took / max(done, 1):.1f} ms per phone, "
      f"exit {p.returncode}")
if p.returncode != 0 or done != phones:
    sys.exit(f"soak: expected {phones} records and exit 0\n{err}")
if early is None or late is None:
    sys.exit("soak: the run ended before it could be sampled")
print(f"soak: at phone {early[0]}: peak RSS {early[1]} kB, {early[2]} open descriptors")
print(f"soak: at phone {late[0]}: peak RSS {late[1]} kB, {late[2]} open descriptors")
if late[2] != early[2]:
    sys.exit("soak: file descriptors grew with the phone count")
# Flat: what phone 100 needed, and a little for the summary's readings (8 bytes a value).
if late[1] > early[1] + 1024:
    sys.exit("soak: peak RSS grew with the phone count")
PY

# The summary of 100,000 generated records, streamed.
/usr/bin/python3 - "$work/big.jsonl" 100000 <<'PY'
import json, random, sys
path, n = sys.argv[1], int(sys.argv[2])
random.seed(7)
steps = [("Wait for registration", "s", None, 10.0, 0.5, 0.0),
         ("FER, band 0 ch 384", "%", None, 0.5, 0.05, 0.08),
         ("Maximum power, band 0 ch 384", "dBm", 23.0, 30.0, 23.7, 0.33),
         ("Minimum power, band 0 ch 384", "dBm", None, -50.0, -56.5, 0.5),
         ("Rolop power, band 0 ch 384", "dBm", -17.5, 1.5, -7.9, 1.2)]
with open(path, "w") as out:
    for i in range(n):
        rows, verdict = [], "PASS"
        for k, (name, unit, low, high, mu, sd) in enumerate(steps):
            v = round(random.gauss(mu, sd), 3)
            ok = (low is None or v >= low) and (high is None or v <= high)
            verdict = verdict if ok else "FAIL"
            rows.append({"index": k + 1, "name": name, "value": v, "unit": unit, "low": low,
                         "high": high, "verdict": "PASS" if ok else "FAIL", "seconds": 0.05,
                         "note": ""})
        out.write(json.dumps({"schema_version": 1, "serial": "SN%06d" % i, "station": "soak",
                              "operator": "ci", "plan": "default",
                              "plan_hash": "fnv1a64:0123456789abcdef", "library_version": "1.0.0",
                              "program_version": "1.0.0", "start": "2026-12-08T17:03:40.123Z",
                              "duration_s": 0.4, "verdict": verdict, "steps": rows}) + "\n")
PY
/usr/bin/python3 - "$program" "$work/big.jsonl" <<'PY'
import os, subprocess, sys, threading, time
program, big = sys.argv[1], sys.argv[2]
start = time.monotonic()
p = subprocess.Popen([program, "summarize", big], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
out, peak = [], 0
# The peak RSS read from /proc while it runs (a child's rusage would count the fork of Python).
reader = threading.Thread(target=lambda: out.append(p.communicate()))
reader.start()
while reader.is_alive():
    try:
        with open(f"/proc/{p.pid}/status") as f:
            peak = max(peak, next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")))
    except (FileNotFoundError, ProcessLookupError, StopIteration):
        pass
    reader.join(0.05)
    if time.monotonic() - start > 300:
        p.kill()
        sys.exit("summary: not done within 300 s")
took = time.monotonic() - start
stdout, stderr = (b.decode(errors="replace") for b in out[0])
size_kb = os.path.getsize(big) // 1024
print(stdout, end="")
print(f"summary: {size_kb} kB, 100000 lines in {took:.1f} s, peak RSS {peak} kB")
if p.returncode != 0 or "Runs: 100000 " not in stdout:
    sys.exit(f"summary failed (exit {p.returncode}): {stderr}")
if peak == 0:
    sys.exit("summary: its memory could not be sampled")
# First-pass and final yield need each serial's first and last attempt: a fixed few hundred bytes
# a serial (here every line is a serial of its own). Nothing else may grow with the lines.
serials = 100000
if peak > size_kb // 4 + serials * 256 // 1024:
    sys.exit("summary: peak RSS is over a quarter of the file and 256 bytes a serial: it is not streamed")
PY
echo "soak: $((SECONDS - step_start)) s"
