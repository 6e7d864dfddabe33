#!/usr/bin/env bash
# lrdprobe.exe under Wine against native lrdresponder processes on loopback, all
# real processes: the ranking, servers that never answer, a dead port beside a
# live one, host names, rounds that end once every server answered, Ctrl-C before
# and during probing, names that do not resolve, fping's habits, LF line ends, the
# three summary formats, the exit statuses and the refusal of bad arguments.
# Usage: ProbeProcessTests.sh LRDPROBE_EXE LRDRESPONDER
set -uo pipefail
probe=$1
responder=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tests/support/ScriptChecks.sh"

# no_cr NAME: into pipes and files, every line ends in LF alone.
no_cr() {
  grep -q $'\r' "$work/$1.out" "$work/$1.err" && fail "$1: CR in the output: $(grep -l $'\r' "$work/$1.out" "$work/$1.err")"
}

# run NAME ARGS...: lrdprobe reading $work/NAME.in (when there is one) with its
# output in $work/NAME.out and .err; sets status.
run() {
  local name=$1 input=/dev/null
  shift
  [ -f "$work/$name.in" ] && input=$work/$name.in
  wine "$probe" "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err"
  status=$?
  no_cr "$name"
}

expect_status() {
  [ "$status" = "$2" ] || fail "$1: exit status $status, expected $2; stderr: $(head -c 400 "$work/$1.err")"
}

# Far apart on purpose: with a time limit of 3000 ms, A (no delay, load 1) has a
# product of at most 3000, B (200 ms, load 20) from 4000 to 60000, C (200 ms, load
# 5000) at least 1000000, more than the 500000 of a server that never answered.
# Whatever the machine's speed, the order is A, B, C, and the silent ones last.
# F sends short replies, which carry no load; L answers on 127.0.0.1, what
# localhost resolves to.
# T and U are twins.
lrd_start_servers "$responder" "$work" $((20000 + RANDOM % 30000)) \
  "127.0.0.2 0 1" "127.0.0.3 200 20" "127.0.0.4 200 5000" "127.0.0.6 0 -" "127.0.0.1 0 7" \
  "127.0.0.9 500 50" "127.0.0.10 500 50" || exit 1
port=$LRD_PORT
A=127.0.0.2:$port B=127.0.0.3:$port C=127.0.0.4:$port F=127.0.0.6:$port T=127.0.0.9:$port U=127.0.0.10:$port
# Nothing listens on these; the second shares A's address, whose long replies
# must not count for it.
D=127.0.0.5:$port E=127.0.0.2:$((port + 1))

run ranked -t 3000 --format json "$E" "$D" "$C" "$B" "$A"
expect_status ranked 1
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
expect_status csv 1
[ "$(wc -l <"$work/csv.out")" = 4 ] || fail "csv: not a header and 3 rows: $(cat "$work/csv.out")"
grep -q "^1,127.0.0.2,$port,true,[0-9]*,[0-9.]*,[0-9]*,1,[0-9]*,2,2,0.0,,[0-9.]*,2,false,[0-9]* [0-9]*,[01]\.[0-9]\{4\},false,,false$" \
  "$work/csv.out" || fail "csv: row of A: $(cat "$work/csv.out")"
grep -q "^3,127.0.0.5,$port,false,,,,,,0,2,100.0,,,2,false,- -,[01]\.[0-9]\{4\},false,,false$" "$work/csv.out" ||
  fail "csv: row of D: $(cat "$work/csv.out")"
[ ! -s "$work/csv.err" ] || fail "csv: -q printed: $(cat "$work/csv.err")"

printf '%s\n' "$D" >"$work/silent.in"
run silent -t 300 -f - "$E"
expect_status silent 1
[ "$(grep -c 'no reply' "$work/silent.out")" = 2 ] || fail "silent: table: $(cat "$work/silent.out")"

# Short replies from F's port also set the time of the dead port's record on F's
# address: only F's own reply counts. localhost stands for 127.0.0.1.
run shared -t 2000 --format json 127.0.0.6:$((port + 1)) "$F" "localhost:$port"
expect_status shared 1
python3 - "$work/shared.out" "$port" <<'PY' || fail "shared: $(cat "$work/shared.out")"
import json, sys
port = int(sys.argv[2])
rows = {(s["address"], s["port"]): s for s in json.load(open(sys.argv[1]))["servers"]}
assert len(rows) == 3, rows
dead, live, local = rows[("127.0.0.6", port + 1)], rows[("127.0.0.6", port)], rows[("127.0.0.1", port)]
assert not dead["answered"] and dead["replies"] == 0 and dead["loss_percent"] == 100, dead
assert live["answered"] and live["load"] == 100 and live["score"] == max(1, live["expected_ms"]) * 100, live
assert live["load_default"] and not local["load_default"] and not dead["load_default"], rows
assert local["answered"] and local["load"] == 7 and local["name"] == "localhost", local
PY

# Every server answers at once: six rounds back to back end long before the
# 30 s that their time limits add up to.
start=$SECONDS
run early -q -c 6 -t 5000 -p 0 "$A" "$F" "localhost:$port"
expect_status early 0
[ $((SECONDS - start)) -lt 30 ] || fail "early: six rounds took $((SECONDS - start)) s"
[ "$(grep -c ' 6/6 ' "$work/early.out")" = 3 ] || fail "early: table: $(cat "$work/early.out")"

# Equal servers reach any goal soon, within the tolerance of the best, and are
# named tied; C, far behind them, is left out of the rounds after the first.
run tied -q -p 0 -t 2000 --confidence 0.99 --format json "$T" "$C" "$U"
expect_status tied 0
python3 - "$work/tied.out" "$T" "$U" <<'PY' || fail "tied: $(cat "$work/tied.out")"
import json, sys
run = json.load(open(sys.argv[1]))
servers = {"%s:%d" % (s["address"], s["port"]): s for s in run["servers"]}
assert run["confidence_reached"] and run["rounds"] <= 10 and run["tolerance"] == 0.05, run
first, second, far = run["servers"]
assert {first["address"], second["address"]} == {"127.0.0.9", "127.0.0.10"} and second["tied"], run
assert far["address"] == "127.0.0.4" and far["dropped_after_round"] == 1 and len(far["samples_ms"]) == 1, far
PY
grep -qx "lrdprobe: -p 0 raised to 10 ms: a round sends up to 1 request to one address, .*" "$work/tied.err" ||
  fail "tied: $(cat "$work/tied.err")"

# Three servers on one address with loads 10, 1000 and 300 (and the same delay,
# which outweighs the machine's noise): each gets its own load, whichever port
# is listed first, and they rank by it.
shared=127.0.0.95
for offset_load in "11 10" "12 1000" "13 300"; do
  read -r offset load <<<"$offset_load"
  lrd_start_responder "$responder" "$work/responder-$shared-$offset.log" --bind $shared --delay 50 --load "$load" \
    $((port + offset)) || fail "loads: responder on port $((port + offset)) did not start"
done
run loads -q -c 2 -p 0 --format json $shared:$((port + 12)) $shared:$((port + 13)) $shared:$((port + 11))
expect_status loads 0
python3 - "$work/loads.out" "$port" <<'PY' || fail "loads: $(cat "$work/loads.out")"
import json, sys
port = int(sys.argv[2])
servers = json.load(open(sys.argv[1]))["servers"]
got = [(s["port"] - port, s["load"]) for s in servers]
assert got == [(11, 10), (13, 300), (12, 1000)], got
PY

# interrupt NAME EVENT ARGS...: lrdprobe started with ARGS (reading
# $work/NAME.in), SIGINT once EVENT holds, and its end awaited; sets status.
# With quit_at set, through scripts/lrdprobe as a background job of this
# script, which starts it with SIGINT and SIGQUIT ignored, and SIGQUIT once
# quit_at holds before EVENT is awaited.
interrupt() {
  local name=$1 event=$2 input=/dev/null i
  shift 2
  [ -e "$work/$name.in" ] && input=$work/$name.in
  if [ -n "${quit_at:-}" ]; then
    LRDPROBE="$probe" "$top/scripts/lrdprobe" "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err" &
  else
    set -m
    wine "$probe" "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err" &
    set +m
  fi
  local pid=$!
  for ((i = 0; i < 600; i++)); do
    [ -z "${quit_at:-}" ] && break
    eval "$quit_at" && { kill -QUIT "$pid"; break; }
    sleep 0.1
  done
  for ((i = 0; i < 600; i++)); do
    eval "$event" && break
    sleep 0.1
  done
  kill -INT "$pid"
  for ((i = 0; i < 300; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && { fail "$name: still running 30 s after SIGINT"; kill -KILL "$pid"; }
  wait "$pid"
  status=$?
  no_cr "$name"
}

# Before probing: lrdprobe waits for its list on standard input, which never
# ends. Once the program is in memory (its main then takes the interrupt at
# once), Ctrl-C ends it with 130 and no summary.
mkfifo "$work/early-stop.in"
sleep 60 >"$work/early-stop.in" &
feeder=$!
interrupt early-stop 'grep -qi lrdprobe.exe /proc/$pid/maps 2>/dev/null && sleep 1' -f -
kill "$feeder" 2>/dev/null
expect_status early-stop 130
grep -qx 'lrdprobe: interrupted before probing began' "$work/early-stop.err" ||
  fail "early-stop: stderr: $(cat "$work/early-stop.err")"
[ ! -s "$work/early-stop.out" ] || fail "early-stop: printed $(cat "$work/early-stop.out")"

# During the first round, after A's reply (D, silent, keeps the round open): the
# summary of what was heard, marked interrupted, the round counted as cut short;
# D's reply was not yet overdue, so D was not asked in it rather than lost.
interrupt cut-short 'grep -q "answered in" "$work/cut-short.err"' -c 3 -t 5000 --format json "$A" "$D"
expect_status cut-short 130
grep -qx 'lrdprobe: interrupted after 1 of 3 rounds, the last cut short' "$work/cut-short.err" ||
  fail "cut-short: stderr: $(tail -n 2 "$work/cut-short.err")"
python3 - "$work/cut-short.out" "$A" <<'PY' || fail "cut-short: $(cat "$work/cut-short.out")"
import json, sys
run = json.load(open(sys.argv[1]))
assert (run["rounds"], run["rounds_asked"], run["interrupted"], run["last_round_cut"]) == (1, 3, True, True), run
first = run["servers"][0]
assert "%s:%d" % (first["address"], first["port"]) == sys.argv[2] and first["replies"] == 1, first
assert run["servers"][1]["samples_ms"] == [] and len(run["round_times"]) == 1, run
PY

# After two rounds: the table of the rounds heard, its last line saying so; D
# lost every round but the one cut short after A's reply.
interrupt later 'grep -q "^round 2/100" "$work/later.err"' -c 100 -t 1500 "$A" "$D"
expect_status later 130
rounds=$(sed -n 's/^interrupted after \([0-9]*\) of 100 rounds.*$/\1/p' "$work/later.out")
if [ -z "$rounds" ] || [ "$rounds" -lt 2 ]; then
  fail "later: $(tail -n 3 "$work/later.out")"
else
  grep -q "127.0.0.5 .* 0/$((rounds - 1))  100.0%$" "$work/later.out" || fail "later: row of D: $(cat "$work/later.out")"
fi

# SIGQUIT (Ctrl-\) through scripts/lrdprobe started as a script's background
# job: the table of the rounds so far on standard error, and the rounds go on
# until SIGINT, passed on as well; the list comes through the wrapper's
# standard input.
printf '%s\n%s\n' "$A" "$D" >"$work/quit.in"
quit_at='grep -q "^round 2/100" "$work/quit.err"'
interrupt quit 'grep -q "^round [4-9]/100" "$work/quit.err"' -c 100 -p 200 -t 300 -f -
quit_at=
expect_status quit 130
grep -q "^lrdprobe: after [1-3] of 100 rounds$" "$work/quit.err" &&
  grep -q "^ *1  127.0.0.2  $port .* [1-3]/[1-3] " "$work/quit.err" ||
  fail "quit: no figures on stderr: $(cat "$work/quit.err")"
grep -q "^interrupted after [4-9] of 100 rounds" "$work/quit.out" || fail "quit: $(tail -n 3 "$work/quit.out")"

# Names that do not resolve are reported each on its line and the rest is
# probed, status 2; a byte order mark starts the file, A comes twice.
printf '\xef\xbb\xbf%s\nmissing-two.invalid\n%s # again\n' "$A" "$A" >"$work/names.in"
run names -q -t 1000 missing-one.invalid -f - 
expect_status names 2
grep -qx "lrdprobe: server 'missing-one.invalid': cannot resolve 'missing-one.invalid': .*" "$work/names.err" &&
  grep -qx "lrdprobe: standard input line 2: server 'missing-two.invalid': cannot resolve .*" "$work/names.err" &&
  grep -qx "lrdprobe: $A is given more than once: probed once" "$work/names.err" ||
  fail "names: stderr: $(cat "$work/names.err")"
[ "$(grep -c " 1/1 " "$work/names.out")" = 1 ] && [ "$(wc -l <"$work/names.out")" = 2 ] ||
  fail "names: $(cat "$work/names.out")"
# Alone, as fping: status 2 with the resolver's words and its error number,
# and nothing probed.
run names-alone -q -t 1000 missing-one.invalid
expect_status names-alone 2
grep -qx "lrdprobe: server 'missing-one.invalid': cannot resolve 'missing-one.invalid': [A-Za-z].* (error [0-9]*)" \
  "$work/names-alone.err" && [ ! -s "$work/names-alone.out" ] || fail "names-alone: $(cat "$work/names-alone.err")"

# fping's habits: combined short options, "--", -C's samples under the table
# with bars of five rounds beside it, -s, -a, -u, --version, JSON round times.
run habits -qsC5 -p 0 -t 1000 -- "$A" "$D"
expect_status habits 1
grep -q "  loss  rounds$" "$work/habits.out" && grep -qx "$A : [0-9]* [0-9]* [0-9]* [0-9]* [0-9]*" "$work/habits.out" &&
  grep -qx "$D : - - - - -" "$work/habits.out" || fail "habits: $(cat "$work/habits.out")"
grep -qx " *2 servers" "$work/habits.err" && grep -qx " *1 answered" "$work/habits.err" &&
  grep -qx " *5 rounds done of 5" "$work/habits.err" || fail "habits: -s: $(cat "$work/habits.err")"
run only-answering -qa -t 500 "$A" "$D"
run only-silent -qu -t 500 "$A" "$D"
grep -q "^ *1  127.0.0.2 " "$work/only-answering.out" && ! grep -q 127.0.0.5 "$work/only-answering.out" &&
  grep -q "^ *2  127.0.0.5 " "$work/only-silent.out" && ! grep -q 127.0.0.2 "$work/only-silent.out" ||
  fail "-a/-u: $(cat "$work/only-answering.out" "$work/only-silent.out")"
for option in --version -V; do
  run version "$option"
  grep -qx 'lrdprobe [0-9]*\.[0-9]*\.[0-9]*' "$work/version.out" || fail "version: $option: $(cat "$work/version.out")"
done
# D keeps every round open for its time limit: rounds start that far apart, and
# the period says so.
run times -q -c 2 -p 100 -t 700 --format json "$A" "$D"
python3 - "$work/times.out" <<'PY' || fail "times: $(cat "$work/times.out")"
import json, re, sys
run = json.load(open(sys.argv[1]))
assert [t["round"] for t in run["round_times"]] == [1, 2], run
assert all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", t["start"]) for t in run["round_times"]), run
assert run["round_times"][0]["start"] <= run["round_times"][1]["start"], run
assert len(run["servers"][0]["samples_ms"]) == 2 and run["interrupted"] is False, run
assert run["period_ms"] >= 700 and run["period_asked_ms"] == 100, run
PY
# Two ports of one responder: rounds back to back would pass its default rate
# limit (100 requests a second from one address, bursts of 200) and count its
# refusals as losses. lrdprobe paces them and says so.
lrd_start_responder "$responder" "$work/responder-paced.log" --bind 127.0.0.7 $((port + 20)) $((port + 21)) ||
  fail "paced: responder did not start"
run paced -q -c 300 -p 0 -t 1000 --format json 127.0.0.7:$((port + 20)) 127.0.0.7:$((port + 21))
expect_status paced 0
grep -qx "lrdprobe: -p 0 raised to 20 ms: .*" "$work/paced.err" || fail "paced: $(cat "$work/paced.err")"
python3 - "$work/paced.out" <<'PY' || fail "paced: $(head -c 600 "$work/paced.out")"
import json, sys
run = json.load(open(sys.argv[1]))
assert [s["replies"] for s in run["servers"]] == [300, 300] and run["period_ms"] >= 20, run["servers"]
PY
# More in one round than such a limit answers at once: said before probing.
seq 201 | sed "s/^/127.0.0.8:/" >"$work/burst.txt"
run burst -q -t 100 -f "$work/burst.txt"
expect_status burst 1
grep -qx "lrdprobe: a round sends up to 201 requests to one address, .* those it refuses count as losses" \
  "$work/burst.err" || fail "burst: $(cat "$work/burst.err")"

run help -h
expect_status help 0
grep -q '^usage: lrdprobe' "$work/help.out" || fail "help: $(cat "$work/help.out")"
warnings=$(man --warnings -l "$top/tools/lrdprobe/lrdprobe.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "lrdprobe.1: $warnings"

# refused NAME FRAGMENT ARGS...: exit status 3, a message that names the fault,
# and nothing probed: no live line, no summary.
refused() {
  local name=$1 fragment=$2
  shift 2
  run "$name" "$@"
  expect_status "$name" 3
  grep -qF -- "$fragment" "$work/$name.err" || fail "$name: message lacks '$fragment': $(head -c 400 "$work/$name.err")"
  [ "$(sed -n '$=' "$work/$name.err")" = 2 ] && [ "$(tail -n 1 "$work/$name.err")" = "try 'lrdprobe --help'" ] ||
    fail "$name: not one line and the hint: $(head -c 400 "$work/$name.err")"
  grep -q "answered in" "$work/$name.err" && fail "$name: probed before refusing"
  [ ! -s "$work/$name.out" ] || fail "$name: printed a summary"
}

printf '%s\n# fine so far\n127.0.0.300\n1.2.3\n%s %s\n' "$A" "$A" "$C" >"$work/bad-line.txt"
seq 65536 | awk '{ print "127.0.0." 2 + $1 % 200 ":" 1 + int($1 / 200) }' >"$work/too-many.txt"
refused address "'1.2.3'" "$A" 1.2.3
refused octal "'010.0.0.1'" 010.0.0.1
refused port-zero "port '0'" "$A" 127.0.0.1:0
refused port-high "port '65536'" 127.0.0.1:65536
refused port-empty "port ''" 127.0.0.1:
run file-lines -f "$work/bad-line.txt"
expect_status file-lines 3
[ "$(grep -c "^lrdprobe: $work/bad-line.txt line [345]: server " "$work/file-lines.err")" = 3 ] &&
  [ "$(tail -n 1 "$work/file-lines.err")" = "try 'lrdprobe --help'" ] && [ ! -s "$work/file-lines.out" ] ||
  fail "file-lines: $(cat "$work/file-lines.err")"
refused file-missing "-f $work/none.txt: no such file" -f "$work/none.txt"
refused file-folder "-f $work: is a folder" -f "$work"
refused report-folder "--report $work/none/r.html: no such folder $work/none" --report "$work/none/r.html" "$A"
refused report-is-folder "--report $work: is a folder" --report "$work" "$A"
refused url "'http://127.0.0.2:$port': a URL is not an address" "http://127.0.0.2:$port"
refused port-zeros "port '0$port' has a leading zero" "127.0.0.2:0$port"
refused too-many "65536 servers" -f "$work/too-many.txt"
refused time-limit "-t '0'" -t 0 "$A"
refused time-limit-high "-t '5001' is not a number from 1 to 5000" -t 5001 "$A"
refused period "-p 'x'" -p x "$A"
refused format "'xml'" --format xml "$A"
refused option "'--bogus'" --bogus "$A"
refused no-server "no SERVER" -q
refused unspecified "'0.0.0.0:$port': 0.0.0.0 cannot be a server" "$A" 0.0.0.0:$port
refused broadcast "'255.255.255.255': 255.255.255.255 cannot be a server" 255.255.255.255
refused multicast "'224.0.0.251:5353': 224.0.0.251 cannot be a server" 224.0.0.251:5353
refused class-e "'240.0.0.1': 240.0.0.1 cannot be a server" 240.0.0.1
refused ipv6 "'[::1]:$port': IPv6 is not supported by the probe protocol" "[::1]:$port"
run module --module "$work/none.dll" "$A"
expect_status module 4
grep -q "^lrdprobe: cannot load the module $work/none.dll" "$work/module.err" || fail "module: $(cat "$work/module.err")"

# scripts/lrdprobe in a tree of its own, with setup, cmake and wine stubbed:
# two calls at once on stale sources build once, one after the other, and run
# lrdprobe each; the next call builds nothing; a failed build gives 125, a
# status lrdprobe never gives.
fake=$work/tree
mkdir -p "$fake/scripts/lib" "$fake/bin"
cp "$top/scripts/lrdprobe" "$fake/scripts/"
cp "$top/scripts/lib/native.sh" "$fake/scripts/lib/"
for dir in cmake include base host module detector dll tools; do mkdir -p "$fake/$dir" && : >"$fake/$dir/x"; done
: >"$fake/CMakeLists.txt"
printf '#!/bin/sh\nexit 0\n' | tee "$fake/scripts/setup" "$fake/bin/wineserver" >/dev/null
# Neither the build nor lrdprobe may keep the build lock.
printf '#!/bin/sh\necho "wine $*" >>"$FAKE/log"\nif [ -e /proc/$$/fd/9 ]; then echo "wine holds the lock" >>"$FAKE/log"; fi\n' \
  >"$fake/bin/wine"
cat >"$fake/bin/cmake" <<'SH'
#!/bin/bash
[ -e /proc/$$/fd/9 ] && echo "cmake holds the lock" >>"$FAKE/log"
[ "$1" = --build ] || exit 0
[ -e "$FAKE/fail" ] && exit 1
mkdir "$FAKE/building" 2>/dev/null || echo overlap >>"$FAKE/log"
sleep 1
echo "build $5" >>"$FAKE/log"
mkdir -p "$FAKE/build/bin" "$FAKE/build/native"
: >"$FAKE/build/bin/lrdprobe.exe"
: >"$FAKE/build/native/lrdresponder"
printf '#!/bin/sh\nexec "$@"\n' >"$FAKE/build/native/lrdprobe-launch"
chmod +x "$FAKE/build/native/lrdprobe-launch"
rmdir "$FAKE/building"
SH
chmod +x "$fake/scripts/setup" "$fake/bin/"*
wrapper() { PATH="$fake/bin:$PATH" FAKE=$fake LRDPROBE= "$fake/scripts/lrdprobe" "$@" 9>&-; }
wrapper first >"$work/wrapper-1.err" 2>&1 &
first=$!
wrapper second >"$work/wrapper-2.err" 2>&1
second_status=$?
wait "$first"
[ $? = 0 ] && [ $second_status = 0 ] && [ "$(grep -c '^build ' "$fake/log")" = 2 ] &&
  ! grep -q 'overlap\|holds the lock' "$fake/log" &&
  [ "$(grep -c '^wine .*lrdprobe.exe \(first\|second\)$' "$fake/log")" = 2 ] ||
  fail "wrapper: $(cat "$fake/log" "$work"/wrapper-*.err)"
wrapper third >/dev/null 2>&1
[ "$(grep -c '^build ' "$fake/log")" = 2 ] || fail "wrapper: built again: $(cat "$fake/log")"
touch -d '+1 minute' "$fake/tools/x"
: >"$fake/fail"
wrapper fourth >"$work/wrapper-4.err" 2>&1
status=$?
[ $status = 125 ] && grep -q "the build failed" "$work/wrapper-4.err" ||
  fail "wrapper: failed build gave $status: $(cat "$work/wrapper-4.err")"

finish "all lrdprobe process checks passed"
