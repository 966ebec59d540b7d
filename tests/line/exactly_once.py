"""Exactly once under faults: stations (zolvane_phone_test on the simulator, each with its own
database, forwarding in the background with --forward-to) test phones while the line server on
PostgreSQL is killed (-9) twice and started again, PostgreSQL is stopped for a few seconds, and one
station is killed (-9) and started again on its remaining serials. What still waits when the
stations end goes with `zolvane_phone_test forward --once`. At the end the store holds exactly the
records of the stations' databases (the same ids, each once, with every step) and every row is
marked forwarded.

    exactly_once.py ZOLVANE_LINE ZOLVANE_PHONE_TEST PG_CLUSTER_SCRIPT [STATIONS PHONES PG_DOWN_S]

CI runs 4 stations x 60 phones with PostgreSQL down 3 s; the full size is 8 x 200 and 5 s. The
simulator's delays are 0 but for registration, which paces each station's phones over about 9 s
so that every fault lands while they run.
"""
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

line, phone_test, cluster = sys.argv[1:4]
stations = int(sys.argv[4]) if len(sys.argv) > 4 else 4
phones = int(sys.argv[5]) if len(sys.argv) > 5 else 60
pg_down = float(sys.argv[6]) if len(sys.argv) > 6 else 3.0
psql = "/usr/lib/postgresql/15/bin/psql"

work = tempfile.mkdtemp(prefix="zolvane-exactly-once-")
children = []


def start(cmd, log):
    p = subprocess.Popen(cmd, stdout=open(os.path.join(work, log), "ab"), stderr=subprocess.STDOUT)
    children.append(p)
    return p


def kill9(p):
    p.send_signal(signal.SIGKILL)
    p.wait()


def cleanup():
    for p in children:
        if p.poll() is None:
            p.kill()
            p.wait()
    subprocess.run([cluster, "destroy", work], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["rm", "-rf", work])


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def unforwarded(db):
    with sqlite3.connect(db, timeout=30) as c:
        return c.execute("SELECT COUNT(*) FROM phone_run WHERE forwarded_at IS NULL").fetchone()[0]


def fail(why):
    print("exactly-once: FAILED: " + why)
    for name in sorted(os.listdir(work)):
        if name.endswith(".log"):
            with open(os.path.join(work, name), errors="replace") as f:
                tail = f.read()[-1500:]
            print(f"--- {name}\n{tail}")
    cleanup()
    sys.exit(1)


try:
    url = subprocess.run([cluster, "start", work, "--fast", "--watch", str(os.getpid())],
                         check=True, capture_output=True, text=True).stdout.strip()
    token = os.path.join(work, "token")
    with open(token, "w") as f:
        f.write("exactly-once-token\n")
    port = free_port()
    serve = [line, "serve", "--store", url, "--listen", f"127.0.0.1:{port}", "--token-file", token]

    def start_server():
        p = start(serve, "server.log")
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                return p
            except OSError:
                time.sleep(0.05)
        fail("the server did not start")

    server = start_server()
    reg_delay = max(0.005, 9.0 / phones)
    dbs = [os.path.join(work, f"station{i}.sqlite") for i in range(stations)]
    stations_running = []

    def runs_held(db):
        if not os.path.exists(db):
            return set()
        try:
            with sqlite3.connect(db, timeout=30) as c:
                return {r[0] for r in c.execute("SELECT serial FROM phone_run")}
        except sqlite3.Error:  # killed before it made its tables
            return set()

    def start_station(i):
        done = runs_held(dbs[i])
        serials = os.path.join(work, f"serials{i}-{len(done)}.txt")
        with open(serials, "w") as f:
            f.writelines(f"S{i}-{n}\n" for n in range(phones) if f"S{i}-{n}" not in done)
        return start([phone_test, "--serials", serials, "--station", f"S{i}", "--db", dbs[i],
                      "--forward-to", f"http://127.0.0.1:{port}", "--token-file", token,
                      "--operator", "ci", "--handoff-band", "0", "--handoff-channel", "500",
                      "--sim-options", f"reg_delay={reg_delay};conn_delay=0;drop_delay=0;"
                      "handoff_delay=0;meas_delay=0;noise=0"], f"station{i}.log")

    for i in range(stations):
        stations_running.append(start_station(i))

    # The faults, while the stations write (about 9 s of phones, whatever their number).
    time.sleep(1.0)
    kill9(server)
    time.sleep(0.5)
    server = start_server()
    time.sleep(0.5)
    subprocess.run([cluster, "stop", work], check=True)
    time.sleep(pg_down)
    subprocess.run([cluster, "start", work], check=True, stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    kill9(stations_running[0])
    time.sleep(0.3)
    stations_running[0] = start_station(0)
    time.sleep(0.5)
    if all(p.poll() is not None for p in stations_running):
        fail("the stations finished before the last fault: it proved nothing")
    kill9(server)
    time.sleep(0.5)
    server = start_server()

    for p in stations_running:
        if p.wait(timeout=300) != 0:
            fail("a station's phone test did not pass every phone")
    # What waits (the server was away when a station ended) goes the way a station's service
    # sends it.
    deadline = time.monotonic() + 120
    while any(unforwarded(db) for db in dbs):
        if time.monotonic() > deadline:
            fail("records still wait after 120 s: " + str([unforwarded(db) for db in dbs]))
        for db in dbs:
            if unforwarded(db):
                subprocess.run([phone_test, "forward", "--db", db, "--to",
                                f"http://127.0.0.1:{port}", "--token-file", token, "--once"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.2)

    held = []
    for db in dbs:
        with sqlite3.connect(db) as c:
            held += [r[0] for r in c.execute("SELECT record_id FROM phone_run")]
    out = subprocess.run([psql, url, "-At", "-c", "SELECT record_id FROM phone_run"],
                         check=True, capture_output=True, text=True).stdout.split()
    steps = int(subprocess.run([psql, url, "-At", "-c", "SELECT COUNT(*) FROM step"],
                               check=True, capture_output=True, text=True).stdout)
    station_steps = 0
    for db in dbs:
        with sqlite3.connect(db) as c:
            station_steps += c.execute("SELECT COUNT(*) FROM step").fetchone()[0]
    # A phone whose run the kill cut short left nothing and was tested again after the restart.
    if len(held) != stations * phones:
        fail(f"the stations hold {len(held)} records, not {stations * phones}")
    if len(out) != len(set(out)):
        fail("the store holds a record twice")
    if set(out) != set(held):
        fail(f"the store holds {len(set(out))} records; the stations {len(set(held))}; "
             f"missing {len(set(held) - set(out))}, extra {len(set(out) - set(held))}")
    if steps != station_steps or steps < 20 * len(held):
        fail(f"the store holds {steps} steps, the stations {station_steps}")
    print(f"exactly-once: {stations} stations x {phones} phones, server killed twice, "
          f"PostgreSQL down {pg_down:g} s, one station killed: {len(out)} records, each once")
finally:
    cleanup()
