"""The line page in a real browser: Chromium headless renders it from a running zolvane_line
(SQLite store, a small constructed set); the DOM holds the yields worked out by hand, and the
screenshot is not blank.

    chromium_page.py ZOLVANE_LINE
"""
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import uuid
import zlib

line = sys.argv[1]
chromium = shutil.which("chromium") or shutil.which("chromium-browser")
if not chromium:
    sys.exit("chromium-page: no chromium (apt-get install chromium): the check cannot run")

work = tempfile.mkdtemp(prefix="zolvane-chromium-")
server = None
try:
    with open(os.path.join(work, "token"), "w") as f:
        f.write("page-token")
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    server = subprocess.Popen([line, "serve", "--store", "sqlite:" + os.path.join(work, "line.sqlite"),
                               "--listen", f"127.0.0.1:{port}", "--token-file",
                               os.path.join(work, "token"), "--refresh", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    server.stdout.readline()  # "serving ..."

    def record(serial, verdict, minute):
        return {"schema_version": 2, "record_id": str(uuid.uuid4()), "attempt": 1,
                "previous_record_id": None, "host": "h",
                "test_set": {"simulated": True, "resource": "GPIB0::14::INSTR", "visa": "sim"},
                "serial": serial, "station": "Station-7", "operator": "op", "plan": "default",
                "plan_hash": "x", "library_version": "1", "program_version": "1",
                "start": f"2026-12-08T08:{minute:02d}:00Z", "duration_s": 10.0, "verdict": verdict,
                "steps": [{"index": 1, "name": "Max power", "value": 23.5 if verdict == "PASS" else 31.0,
                           "unit": "dBm", "low": 23.0, "high": 30.0, "verdict": verdict,
                           "seconds": 0.1, "note": ""}]}
    # SN1 FAIL then PASS, SN2 PASS, SN3 FAIL: first-pass 1 of 3, final 2 of 3.
    batch = [record("SN1", "FAIL", 1), record("SN1", "PASS", 2), record("SN2", "PASS", 3),
             record("SN3", "FAIL", 4)]
    req = urllib.request.Request(f"http://127.0.0.1:{port}/api/v1/records",
                                 data=json.dumps(batch).encode(), method="POST",
                                 headers={"Authorization": "Bearer page-token"})
    assert urllib.request.urlopen(req).status == 200

    url = f"http://127.0.0.1:{port}/?from=2026-12-08&to=2026-12-09"
    flags = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run",
             "--user-data-dir=" + os.path.join(work, "profile"), "--window-size=1200,1600"]
    dom = subprocess.run(flags + ["--dump-dom", url], capture_output=True, text=True, timeout=120).stdout
    shot = os.path.join(work, "line.png")
    subprocess.run(flags + ["--screenshot=" + shot, url], capture_output=True, timeout=120)

    for figure in ["Yield by station", "Station-7", "33.33 %", "66.67 %", "Max power", "<svg"]:
        if figure not in dom:
            sys.exit(f"chromium-page: the rendered page lacks {figure!r}")
    # The screenshot: a PNG whose pixels are not all one colour.
    with open(shot, "rb") as f:
        png = f.read()
    if png[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("chromium-page: no PNG screenshot")
    width, height = struct.unpack(">II", png[16:24])
    data, at = b"", 8
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        if kind == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    pixels = zlib.decompress(data)
    if len(set(pixels[i:i + 3] for i in range(1, len(pixels) - 3, 997))) < 3:
        sys.exit("chromium-page: the screenshot is blank")
    print(f"chromium-page: {width}x{height} screenshot, DOM holds the yields")
finally:
    if server:
        server.terminate()
        server.wait()
    shutil.rmtree(work, ignore_errors=True)
