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

WINEDEBUG=-all wine "$probe" -q -c 10 -p 250 -t 600 --report "$work/report.html" -f "$work/servers.txt" \
  >"$work/probe.out" 2>"$work/probe.err"
status=$?
[ "$status" = 0 ] || fail "lrdprobe: exit status $status; $(head -c 400 "$work/probe.err")"
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

browse --window-size=1200,2400 --screenshot="$work/report.png" >/dev/null 2>"$work/shot.err"
python3 - "$work/report.png" <<'PY' || fail "screenshot: $(tail -n 3 "$work/shot.err")"
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
width, height = struct.unpack(">II", data[16:24])
assert (width, height) == (1200, 2400), (width, height)
PY
[ -n "$shot" ] && cp "$work/report.png" "$shot"

finish "all lrdprobe report checks passed"
