#!/usr/bin/env bash
# lrdprobe's HTML report of 50 servers over 10 rounds, against native
# lrdresponder processes on loopback, opened in headless Chromium with every
# network request refused: the page is one file that names nothing outside
# itself, renders whole, and logs nothing to the console.
# Usage: ProbeReportTests.sh LRDPROBE_EXE LRDRESPONDER [SCREENSHOT.png]
set -uo pipefail
probe=$1
responder=$2
shot=${3:-}
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tests/support/ScriptChecks.sh"

command -v chromium >/dev/null || { echo "FAIL: chromium is missing (scripts/setup installs it)"; exit 1; }

# 44 servers answering every request, with delays from 0 to 86 ms and loads
# from 1 to 2000; 4 whose responders answer one request a second from any
# source, so that rounds 250 ms apart lose some of their replies; 2 silent.
servers=()
for ((i = 0; i < 44; i++)); do
  servers+=("127.0.0.$((100 + i)) $((i * 37 % 44 * 2)) $((1 + i * 53 % 2000))")
done
lrd_start_servers "$responder" "$work" $((20000 + RANDOM % 30000)) "${servers[@]}" || exit 1
port=$LRD_PORT
for ((i = 44; i < 48; i++)); do
  lrd_start_responder "$responder" "$work/limited-$i.log" --bind 127.0.0.$((100 + i)) --delay $((i - 40)) \
    --load $((i * 10)) --rate-limit 1/1 "$port" || fail "responder on 127.0.0.$((100 + i)) did not start"
done
for ((i = 0; i < 50; i++)); do
  echo "127.0.0.$((100 + i)):$port"
done >"$work/servers.txt"

# A name that does not resolve is named in the report, not left out.
WINEDEBUG=-all wine "$probe" -q -c 10 -p 250 -t 600 --report "$work/report.html" -f "$work/servers.txt" \
  missing-report.invalid >"$work/probe.out" 2>"$work/probe.err"
status=$?
[ "$status" = 2 ] || fail "lrdprobe: exit status $status, expected 2 (a name unresolved); $(head -c 400 "$work/probe.err")"
[ -s "$work/report.html" ] || { fail "no report written"; exit 1; }

size=$(stat -c %s "$work/report.html")
[ "$size" -lt 150000 ] || fail "the report is $size bytes"
grep -q '://' "$work/report.html" && fail "the report names something outside itself: $(grep -o '[a-z]*://[^" ]*' "$work/report.html" | head -3)"
grep -qi '<script' "$work/report.html" && fail "the report carries a script"
[ "$(grep -c '^<tr' "$work/report.html")" = 51 ] || fail "not a header and 50 rows: $(grep -c '^<tr' "$work/report.html")"
[ "$(grep -o 'class=lost' "$work/report.html" | wc -l)" -ge 20 ] || fail "fewer lost rounds marked than the two silent servers have"

# Every host name resolves to nothing and every connection goes to a closed
# loopback port: Chromium's own background requests and anything the page
# asked for fail without a packet leaving the machine.
browse() {
  timeout 120 chromium --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars \
    --disable-background-networking --disable-component-update --disable-sync --no-pings \
    --proxy-server=127.0.0.1:9 --host-resolver-rules='MAP * ~NOTFOUND' \
    --enable-logging=stderr --v=0 --user-data-dir="$work/profile" "$@" "file://$work/report.html"
}
browse --dump-dom >"$work/dom.html" 2>"$work/browser.err"
grep -q 'INFO:CONSOLE' "$work/browser.err" && fail "console: $(grep 'INFO:CONSOLE' "$work/browser.err" | head -3)"
[ "$(grep -o '<tr' "$work/dom.html" | wc -l)" = 51 ] && grep -q 'class="scatter"' "$work/dom.html" ||
  fail "the page did not render whole: $(tail -c 300 "$work/dom.html")"
grep -q '<h1>lrdprobe: 51 servers (1 not resolved), 10 of 10 rounds</h1>' "$work/dom.html" &&
  grep -q "<li>server 'missing-report.invalid': cannot resolve 'missing-report.invalid': " "$work/dom.html" ||
  fail "the unresolved name is not in the report: $(grep -o '<h1>.*</h1>' "$work/dom.html")"

# The picture as the page draws it: the axes from their grid lines and labels,
# the equal-score line's end points scoring as the winner's dot does, that dot
# where the table puts the winner and on the line, no other dot below it, the
# top ten labelled, and strips no wider than their bins.
python3 - "$work/dom.html" <<'PY' || fail "geometry"
import math, re, sys
dom = open(sys.argv[1]).read()
scatter = dom[dom.index('class="scatter"'):]

def axis(kind):
    lines = re.findall(r'<line class="grid g%s" x1="([-\d.]+)" y1="([-\d.]+)"' % kind, scatter)
    labels = re.findall(r'<text class="t%s"[^>]*>([\d.]+)</text>' % kind, scatter)
    pixels = [float(line[0 if kind == "x" else 1]) for line in lines]
    decades = [math.log10(float(label)) for label in labels]
    slope = (pixels[-1] - pixels[0]) / (decades[-1] - decades[0])
    return lambda pixel: 10 ** ((pixel - pixels[0]) / slope + decades[0])

ms_at, load_at = axis("x"), axis("y")
score_at = lambda x, y: max(1, ms_at(x)) * load_at(y)
points = [tuple(map(float, p)) for p in re.findall(r"(-?[\d.]+) (-?[\d.]+)", re.search(r'<path class="iso" d="([^"]+)"', scatter).group(1))]
win = tuple(map(float, re.search(r'<circle class="dot win" cx="([\d.]+)" cy="([\d.]+)"', scatter).groups()))
others = [tuple(map(float, d)) for d in re.findall(r'<circle class="dot" cx="([\d.]+)" cy="([\d.]+)"', scatter)]
cells = re.findall(r"<td[^>]*>([^<]*)", re.search(r'<tr class="win">(.*?)</tr>', dom).group(1))
expect, load = float(cells[6]), float(cells[7])

def line_y(x):
    # Two points of the line can round to the same x: such a step is vertical.
    for (xa, ya), (xb, yb) in zip(points, points[1:]):
        if xa <= x <= xb:
            return ya if xb == xa else ya + (yb - ya) * (x - xa) / (xb - xa)
    raise AssertionError("x %.1f beyond the line %s" % (x, points[::12]))

best = score_at(*win)
for end in (points[0], points[-1]):
    assert abs(score_at(*end) / best - 1) < 0.02, ("end point", end, score_at(*end), best)
assert abs(max(1, ms_at(win[0])) - max(1, expect)) < 0.03 * max(1, expect) + 0.06, (ms_at(win[0]), expect)
assert abs(load_at(win[1]) / load - 1) < 0.02, (load_at(win[1]), load)
assert abs(line_y(win[0]) - win[1]) < 1, ("winner off the line", win, line_y(win[0]))
below = [d for d in others if d[1] > line_y(d[0]) + 1]
assert not below, ("dots on the winner's side", below)
labels = sorted(int(l) for l in re.findall(r'<text class="label"[^>]*>(\d+)</text>', scatter))
assert labels == list(range(1, min(10, len(others) + 1) + 1)), labels
# No two numbers on top of each other: 12 px digits, at most 8 px wide, 13 tall.
boxes = [(float(x), float(y) - 11, float(x) + 8 * len(t), float(y) + 2)
         for x, y, t in re.findall(r'<text class="label" x="([-\d.]+)" y="([-\d.]+)">(\d+)</text>', scatter)]
overlapping = [(a, b) for i, a in enumerate(boxes) for b in boxes[i + 1:]
               if a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]]
assert not overlapping, ("labels overlap", overlapping)
widths = [int(w) for w in re.findall(r'<svg class="strip" width="(\d+)"', dom)]
assert len(widths) == 50 and max(widths) <= 300, widths
PY

browse --window-size=1200,2700 --screenshot="$work/report.png" >/dev/null 2>"$work/shot.err"
python3 - "$work/report.png" <<'PY' || fail "screenshot: $(tail -n 3 "$work/shot.err")"
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
width, height = struct.unpack(">II", data[16:24])
assert (width, height) == (1200, 2700), (width, height)
PY
[ -n "$shot" ] && cp "$work/report.png" "$shot"

finish "all lrdprobe report checks passed"
