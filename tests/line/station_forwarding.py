"""A station forwarding to the line server as a line runs it: zolvane_phone_test --forward-to
against a real zolvane_line (SQLite store) on 127.0.0.1, the server away for a while, then the
`forward` service catching up; and the station's mistakes refused before the test set is touched.

    station_forwarding.py ZOLVANE_PHONE_TEST ZOLVANE_LINE
"""
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import urllib.request

phone_test, line = sys.argv[1], sys.argv[2]
FAST = ["--sim-options", "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0",
        "--handoff-band", "0", "--handoff-channel", "500"]
work = tempfile.mkdtemp(prefix="zolvane-forwarding-")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def path(name):
    return os.path.join(work, name)


with open(path("token"), "w") as f:
    f.write("station-token\n")
with open(path("wrong"), "w") as f:
    f.write("not-the-token")


class Server:
    def __init__(self):
        self.proc = subprocess.Popen(
            [line, "serve", "--store", "sqlite:" + path("line.sqlite"), "--listen", "127.0.0.1:0",
             "--token-file", path("token")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        first = self.proc.stdout.readline()  # "zolvane_line: serving http://127.0.0.1:PORT/ ..."
        self.url = first.split("serving ")[1].split("/ ")[0].rstrip("/")

    def serial(self, serial):
        with urllib.request.urlopen(f"{self.url}/api/v1/serials/{serial}") as r:
            return json.load(r)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def station(*args, stdin=None, db=True):
    cmd = [phone_test, *(["--db", path("station.sqlite")] if db else []), *FAST, *args]
    if "--forward-to" in args and "no-station" not in args:
        cmd += ["--station", "line-9"]
    cmd = [c for c in cmd if c != "no-station"]
    return subprocess.run(cmd, input=stdin, capture_output=True, text=True, timeout=120)


def waiting():
    with sqlite3.connect(path("station.sqlite")) as c:
        return c.execute("SELECT COUNT(*) FROM phone_run WHERE forwarded_at IS NULL").fetchone()[0]


def ids():
    with sqlite3.connect(path("station.sqlite")) as c:
        return sorted(r[0] for r in c.execute("SELECT record_id FROM phone_run"))


def attempts(answer):
    runs = answer.get("runs", answer.get("attempts", answer)) if isinstance(answer, dict) else answer
    return sorted(r["record_id"] for r in runs)


try:
    server = Server()
    # 1. Forwarded as the phone is committed; the station says so.
    r = station("--serial", "SN-F1", "--forward-to", server.url, "--token-file", path("token"))
    check(r.returncode == 0, f"a phone forwarded to a running server exits 0 ({r.returncode}: {r.stderr})")
    check("every record forwarded" in r.stdout, "the station says every record was forwarded")
    check(waiting() == 0, "nothing waits in the station database")
    check(attempts(server.serial("SN-F1")) == ids(), "the server holds the station's record")

    # 2. The server away: the station still passes its phones, the records wait, it says how many.
    server.stop()
    r = station("--serials", "-", "--forward-to", server.url, "--token-file", path("token"),
                stdin="SN-F2\nSN-F3\n")
    check(r.returncode == 0, f"a line server away does not fail the phones ({r.returncode}: {r.stderr})")
    check("2 records wait" in r.stdout, f"the station says two records wait:\n{r.stdout}")
    check("to forward]" in r.stdout, "each phone's line shows what waits to be forwarded")
    check(waiting() == 2, "the two records wait in the station database")

    # 3. A wrong token: nothing is taken, the records still wait, and the operator hears why.
    server = Server()
    r = subprocess.run([phone_test, "forward", "--once", "--db", path("station.sqlite"), "--to",
                        server.url, "--token-file", path("wrong")], capture_output=True, text=True,
                       timeout=60)
    check(r.returncode == 1 and "401" in r.stderr, f"a wrong token is exit 1 naming 401 ({r.returncode}: {r.stderr})")
    check(waiting() == 2, "a refused token marks nothing forwarded")

    # 4. The service catches up, and twice over stores nothing twice.
    for _ in range(2):
        r = subprocess.run([phone_test, "forward", "--once", "--db", path("station.sqlite"), "--to",
                            server.url, "--token-file", path("token")], capture_output=True,
                           text=True, timeout=60)
        check(r.returncode == 0, f"forward --once with the server back exits 0 ({r.returncode}: {r.stderr})")
    check(waiting() == 0, "after forward --once nothing waits")
    held = sorted(attempts(server.serial(s))[0] for s in ("SN-F1", "SN-F2", "SN-F3"))
    check(held == ids(), "the server holds exactly the station's records, once each")
    server.stop()

    # 5. The station's mistakes: refused before the test set is touched, nothing recorded.
    before = ids()
    for args, why in [
        (["--serial", "SN-X", "--forward-to", "http://127.0.0.1:9", "--token-file", path("none")],
         "token file"),
        (["--serial", "SN-X", "--forward-to", "http://127.0.0.1:9"], "token-file"),
        (["--serial", "SN-X", "--token-file", path("token")], "forward-to"),
        (["--serial", "SN-X", "--no-db", "--forward-to", "http://127.0.0.1:9", "--token-file",
          path("token")], "no-db"),
        (["--serial", "SN-X", "--forward-to", "ftp://127.0.0.1:9", "--token-file", path("token")],
         "address"),
        (["--serial", "SN-X", "--forward-to", "http://127.0.0.1:9", "--token-file", path("token"),
          "no-station"], "station name"),
    ]:
        r = station(*args, db="--no-db" not in args)
        check(r.returncode == 2, f"{why}: a station mistake is exit 2 ({r.returncode}: {r.stderr})")
    check(ids() == before, "a refused station records nothing")
finally:
    shutil.rmtree(work, ignore_errors=True)

if failures:
    sys.exit(f"{len(failures)} check(s) failed")
print("station-forwarding: every check passed")
