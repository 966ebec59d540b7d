#!/usr/bin/env bash
# The HTML report end to end: 40 phones on the simulator with --results and --html, the same
# report again through `summarize`, both well-formed with one point per phone in every run chart,
# then rendered by headless Chromium to a PNG that must not be blank.
set -euo pipefail
cd "$(dirname "$0")/../.."
step_start=$SECONDS

if ! dpkg-query -W -f='${Status}' chromium 2>/dev/null | grep -q '^install ok installed'; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium >/dev/null
fi
command -v xmllint >/dev/null || { echo "report: xmllint is missing (libxml2-utils)" >&2; exit 1; }

build=${REPORT_BUILD_DIR:-build}  # CI's own build of the README's test command, reused
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target zolvane_phone_test
program=$build/phone_test/zolvane_phone_test
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

runs=40
"$program" --repeat $runs --results "$work/r.jsonl" --html "$work/run.html" \
  --sim-options "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0;noise=0.3" \
  --handoff-band 0 --handoff-channel 500 >"$work/run.txt"
"$program" summarize "$work/r.jsonl" --html "$work/summary.html" >/dev/null

for html in "$work/run.html" "$work/summary.html"; do
  xmllint --noout "$html"
  charts=$(xmllint --xpath "count(//*[local-name()='svg'][@class='runs'])" "$html")
  [ "$charts" -gt 0 ] || { echo "report: $html has no run chart" >&2; exit 1; }
  for ((i = 1; i <= charts; i++)); do
    points=$(xmllint --xpath "count((//*[local-name()='svg'][@class='runs'])[$i]/*[local-name()='circle'])" "$html")
    [ "$points" -eq $runs ] || { echo "report: chart $i of $html has $points points, not $runs" >&2; exit 1; }
  done
  echo "report: $(basename "$html"): well-formed, $charts run charts of $runs points"
done

mkdir "$work/profile"
timeout 120 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/profile" --screenshot="$work/report.png" --window-size=1200,2000 \
  "file://$work/run.html" >/dev/null 2>&1 || true  # judged by the PNG below
[ -s "$work/report.png" ] || { echo "report: Chromium wrote no screenshot" >&2; exit 1; }

# Not blank: the PNG's pixels (filters undone through zlib) hold several colours and some ink.
/usr/bin/python3 - "$work/report.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
pos, idat = 8, b""
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    if kind == b"IHDR":
        w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
    elif kind == b"IDAT":
        idat += body
    pos += 12 + n
assert depth == 8 and ctype in (2, 6) and interlace == 0, f"unexpected PNG format {depth}/{ctype}"
bpp = 3 if ctype == 2 else 4
raw, stride = zlib.decompress(idat), w * bpp
prev, colours, ink = bytearray(stride), set(), 0
for y in range(h):
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        if f == 1: line[i] = (line[i] + a) & 255
        elif f == 2: line[i] = (line[i] + b) & 255
        elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    for x in range(0, stride, bpp):
        px = bytes(line[x:x + 3])
        colours.add(px)
        ink += px != b"\xff\xff\xff"
    prev = line
share = ink / (w * h)
print(f"report: rendered {w}x{h}, {len(colours)} colours, {100 * share:.1f} % not white")
if len(colours) < 4 or share < 0.01:
    sys.exit("report: the render is blank")
PY
echo "report: $((SECONDS - step_start)) s"
