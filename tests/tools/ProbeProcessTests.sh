#!/usr/bin/env bash
# lrdprobe.exe under Wine against native lrdresponder processes on loopback, all
# real processes: the ranking, servers that never answer, the three summary
# formats, the exit statuses and the refusal of bad arguments.
# Usage: ProbeProcessTests.sh LRDPROBE_EXE LRDRESPONDER
set -uo pipefail
probe=$1
responder=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/scripts/lib/responders.sh"

work=$(mktemp -d)
trap 'lrd_stop_responders; rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run NAME ARGS...: lrdprobe reading $work/NAME.in (when there is one) with its
# output in $work/NAME.out and .err, line ends made Unix ones; sets status.
run() {
  local name=$1 input=/dev/null
  shift
  [ -f "$work/$name.in" ] && input=$work/$name.in
  wine "$probe" "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err"
  status=$?
  sed -i 's/\r$//' "$work/$name.out" "$work/$name.err"
}

expect_status() {
  [ "$status" = "$2" ] || fail "$1: exit status $status, expected $2; stderr: $(head -c 400 "$work/$1.err")"
}

# Far apart on purpose: with a time limit of 3000 ms, A (no delay, load 1) has a
# product of at most 3000, B (200 ms, load 20) from 4000 to 60000, C (200 ms, load
# 5000) at least 1000000, more than the 500000 of a server that never answered.
# Whatever the machine's speed, the order is A, B, C, and the silent ones last.
lrd_start_servers "$responder" "$work" $((20000 + RANDOM % 30000)) \
  "127.0.0.2 0 1" "127.0.0.3 200 20" "127.0.0.4 200 5000" || exit 1
port=$LRD_PORT
A=127.0.0.2:$port B=127.0.0.3:$port C=127.0.0.4:$port
# Nothing listens on these; the second shares A's address, whose long replies
# must not count for it.
D=127.0.0.5:$port E=127.0.0.2:$((port + 1))

run ranked -t 3000 --format json "$E" "$D" "$C" "$B" "$A"
expect_status ranked 0
python3 - "$work/ranked.out" "$A" "$B" "$C" <<'PY' || fail "ranked: $(cat "$work/ranked.out")"
import json, sys
servers = json.load(open(sys.argv[1]))["servers"]
order = ["%s:%d" % (s["address"], s["port"]) for s in servers]
assert order[:3] == sys.argv[2:5], order
assert [s["rank"] for s in servers] == [1, 2, 3, 4, 5]
assert all(s["answered"] and s["replies"] == 1 and s["rtt_ms"]["min"] <= s["rtt_ms"]["max"] for s in servers[:3])
assert [s["load"] for s in servers[:3]] == [1, 20, 5000]
assert all(not s["answered"] and s["rtt_ms"] is None and s["replies"] == 0 for s in servers[3:]), servers[3:]
PY
for server in "$A" "$B" "$C"; do
  grep -q "^$server answered in [0-9]* ms" "$work/ranked.err" || fail "ranked: no live line for $server"
done
[ "$(grep -c answered "$work/ranked.err")" = 3 ] || fail "ranked: live lines: $(cat "$work/ranked.err")"

printf '# test servers\n\n  %s  \n%s # silent\n%s\n' "$A" "$D" "$C" >"$work/servers.txt"
run csv -q -c 2 -t 1000 --format csv -f "$work/servers.txt"
expect_status csv 0
[ "$(wc -l <"$work/csv.out")" = 4 ] || fail "csv: not a header and 3 rows: $(cat "$work/csv.out")"
grep -q "^1,127.0.0.2,$port,true,[0-9]*,[0-9]*,[0-9]*,1,2,2$" "$work/csv.out" || fail "csv: row of A: $(cat "$work/csv.out")"
grep -q "^3,127.0.0.5,$port,false,,,,,0,2$" "$work/csv.out" || fail "csv: row of D: $(cat "$work/csv.out")"
[ ! -s "$work/csv.err" ] || fail "csv: -q printed: $(cat "$work/csv.err")"

printf '%s\n' "$D" >"$work/silent.in"
run silent -t 300 -f - "$E"
expect_status silent 1
[ "$(grep -c 'no reply' "$work/silent.out")" = 2 ] || fail "silent: table: $(cat "$work/silent.out")"

run help -h
expect_status help 0
grep -q '^usage: lrdprobe' "$work/help.out" || fail "help: $(cat "$work/help.out")"

# refused NAME FRAGMENT ARGS...: exit status 2, a message that names the fault,
# and nothing probed: no live line, no summary.
refused() {
  local name=$1 fragment=$2
  shift 2
  run "$name" "$@"
  expect_status "$name" 2
  grep -qF -- "$fragment" "$work/$name.err" || fail "$name: message lacks '$fragment': $(head -c 400 "$work/$name.err")"
  grep -q "answered in" "$work/$name.err" && fail "$name: probed before refusing"
  [ ! -s "$work/$name.out" ] || fail "$name: printed a summary"
}

printf '%s\n# fine so far\n127.0.0.300\n' "$A" >"$work/bad-line.txt"
seq 65536 | sed "s/.*/$A/" >"$work/too-many.txt"
refused address "'1.2.3'" "$A" 1.2.3
refused octal "'010.0.0.1'" 010.0.0.1
refused port-zero "port '0'" "$A" 127.0.0.1:0
refused port-high "port '65536'" 127.0.0.1:65536
refused port-empty "port ''" 127.0.0.1:
refused file-line "bad-line.txt line 3" -f "$work/bad-line.txt"
refused file-missing "$work/none.txt" -f "$work/none.txt"
refused too-many "65536 servers" -f "$work/too-many.txt"
refused time-limit "-t '0'" -t 0 "$A"
refused format "'xml'" --format xml "$A"
refused option "'--bogus'" --bogus "$A"
refused no-server "no SERVER" -q
refused module "cannot load the module $work/none.dll" --module "$work/none.dll" "$A"

if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all lrdprobe process checks passed"
