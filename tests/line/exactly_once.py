"""Exactly once under faults: stations write phone runs into their own databases while their
forwarders send them to one line server on PostgreSQL; meanwhile the server is killed (-9) twice
and started again, PostgreSQL is stopped for a few seconds, and one station (its writer and its
forwarder) is killed (-9) and started again. At the end the store holds exactly the records of
the stations' databases (the same ids, each once, with every step) and every row is marked
forwarded.

    exactly_once.py ZOLVANE_LINE STATION_WRITER PG_CLUSTER_SCRIPT [STATIONS PHONES PG_DOWN_S]

CI runs 4 stations x 60 phones with PostgreSQL down 3 s; the full size is 8 x 200 and 5 s.
"""
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

line, writer, cluster = sys.argv[1:4]
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
    delay_ms = max(5, 9000 // phones)
    dbs = [os.path.join(work, f"station{i}.sqlite") for i in range(stations)]
    writers, forwarders = [], []

    def start_station(i):
        w = start([writer, dbs[i], f"S{i}", str(phones), str(delay_ms)], f"writer{i}.log")
        for _ in range(200):  # the forwarder needs the station's tables
            if os.path.exists(dbs[i]):
                try:
                    with sqlite3.connect(dbs[i], timeout=30) as c:
                        c.execute("SELECT 1 FROM phone_run LIMIT 1")
                    break
                except sqlite3.Error:
                    pass
            time.sleep(0.05)
        f = start([line, "forward", "--db", dbs[i], "--to", f"http://127.0.0.1:{port}",
                   "--token-file", token, "--batch", "25"], f"forwarder{i}.log")
        return w, f

    for i in range(stations):
        w, f = start_station(i)
        writers.append(w)
        forwarders.append(f)

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
    kill9(writers[0])
    kill9(forwarders[0])
    time.sleep(0.3)
    writers[0], forwarders[0] = start_station(0)
    time.sleep(0.5)
    if all(w.poll() is not None for w in writers):
        fail("the stations finished before the last fault: it proved nothing")
    kill9(server)
    time.sleep(0.5)
    server = start_server()

    for w in writers:
        if w.wait(timeout=300) != 0:
            fail("a station's writer failed")
    deadline = time.monotonic() + 120
    while any(unforwarded(db) for db in dbs):
        if time.monotonic() > deadline:
            fail("records still wait after 120 s: " + str([unforwarded(db) for db in dbs]))
        time.sleep(0.2)
    for f in forwarders:
        f.terminate()
        f.wait(timeout=30)

    held = []
    for db in dbs:
        with sqlite3.connect(db) as c:
            held += [r[0] for r in c.execute("SELECT record_id FROM phone_run")]
    out = subprocess.run([psql, url, "-At", "-c", "SELECT record_id FROM phone_run"],
                         check=True, capture_output=True, text=True).stdout.split()
    steps = int(subprocess.run([psql, url, "-At", "-c", "SELECT COUNT(*) FROM step"],
                               check=True, capture_output=True, text=True).stdout)
    if len(held) != stations * phones:
        fail(f"the stations hold {len(held)} records, not {stations * phones}")
    if len(out) != len(set(out)):
        fail("the store holds a record twice")
    if set(out) != set(held):
        fail(f"the store holds {len(set(out))} records; the stations {len(set(held))}; "
             f"missing {len(set(held) - set(out))}, extra {len(set(out) - set(held))}")
    if steps != 23 * len(held):
        fail(f"the store holds {steps} steps, not {23 * len(held)}")
    print(f"exactly-once: {stations} stations x {phones} phones, server killed twice, "
          f"PostgreSQL down {pg_down:g} s, one station killed: {len(out)} records, each once")
finally:
    cleanup()
