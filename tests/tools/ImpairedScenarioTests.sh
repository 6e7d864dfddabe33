#!/usr/bin/env bash
# lrdprobe.exe under Wine against servers behind the native impaired network
# (lrd_impaired_net) on loopback: the rankings an operator met that chose the
# wrong server. One case a line of the table below; each starts its own servers,
# runs lrdprobe once and checks which server ranks first.
# Usage: ImpairedScenarioTests.sh LRDPROBE_EXE LRD_IMPAIRED_NET
set -uo pipefail
probe=$1
network=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tests/support/ScriptChecks.sh"

# NAME | LRDPROBE OPTIONS | SERVERS (P is the port of the run, P1 the next) | RANKS FIRST | PRECONDITION
# A precondition "ADDRESS:PORT=N" says that server answered N rounds, so that the
# case shows what it means to show.
cases=(
  # Three servers on one address: each one's load comes from its own reply, so the
  # busiest (load 1000) cannot take the first place through another's record.
  "one address|-c 5 -t 1000|127.0.0.95:P,load=1000 127.0.0.95:P1,load=10 127.0.0.95:P2,load=300|127.0.0.95:P1|"
  # One reply lost of ten (seed 13 loses the sixth request) does not put a
  # server 60 times slower first.
  "one lost reply|-c 10 -t 1000|127.0.0.96:P,load=1,delay=300 127.0.0.97:P,load=1,delay=5,loss=0.1,seed=13|127.0.0.97:P|127.0.0.97:P=9"
  # Under 1 ms the load still counts: a server answering at once with load
  # 100000 does not beat one answering in about 1 ms with load 1.
  "under 1 ms|-c 3 -t 1000|127.0.0.98:P,load=100000 127.0.0.99:P,load=1,delay=1|127.0.0.99:P|"
  # A liar 100 ms away that echoes its tick plus 95 ms would look 5 ms away: its
  # replies echo no tick that was sent, and the honest server 30 ms away wins.
  "liar|-c 3 -t 1000|127.0.0.91:P,load=1,delay=100,lie=95 127.0.0.92:P,load=1,delay=30|127.0.0.92:P|127.0.0.92:P=3"
  # A forger answers for the nearest server, from its address and port, with a
  # thousand ticks around its own request's and load 100000 each round, after
  # the true answer: the nearest server keeps its own time and load.
  "forger|-c 3 -t 1000|127.0.0.93:P,load=10,delay=5 127.0.0.94:P,load=2,delay=40,forge=127.0.0.93:P/1000|127.0.0.93:P|127.0.0.93:P=3"
)

# subst TEXT: the case's text with the ports of the run.
subst() { sed -e "s/:P2\b/:$((port + 2))/g" -e "s/:P1\b/:$((port + 1))/g" -e "s/:P\b/:$port/g" <<<"$1"; }

for case in "${cases[@]}"; do
  IFS='|' read -r name options servers expected precondition <<<"$case"
  started=0
  for ((attempt = 0; attempt < 20; attempt++)); do
    port=$((20000 + RANDOM % 30000))
    # shellcheck disable=SC2046
    if lrd_start_responder "$network" "$work/network.log" --lifetime 120 $(subst "$servers"); then
      started=1
      break
    fi
    lrd_stop_responders
  done
  if [ $started = 0 ]; then
    fail "$name: lrd_impaired_net did not start: $(cat "$work/network.log")"
    continue
  fi
  endpoints=$(subst "$servers" | tr ' ' '\n' | cut -d, -f1 | tr '\n' ' ')
  # shellcheck disable=SC2086
  wine "$probe" -q --format csv $options $endpoints >"$work/out.csv" 2>"$work/err.txt"
  status=$?
  lrd_stop_responders
  sed -i 's/\r$//' "$work/out.csv"
  first=$(awk -F, 'NR == 2 { print $2 ":" $3 }' "$work/out.csv")
  # 1 says that a server never counted as answered, as the liar never does.
  if [ $status != 0 ] && [ $status != 1 ]; then
    fail "$name: lrdprobe exit status $status: $(head -c 400 "$work/err.txt")"
  elif [ -n "$precondition" ] &&
    ! awk -F, -v want="$(subst "$precondition")" 'NR > 1 && $2 ":" $3 "=" $10 == want { found = 1 } END { exit !found }' "$work/out.csv"; then
    fail "$name: not as set up, expected $(subst "$precondition") rounds answered: $(cat "$work/out.csv")"
  elif [ "$first" != "$(subst "$expected")" ]; then
    fail "$name: $first ranks first, expected $(subst "$expected"): $(cat "$work/out.csv")"
  fi
done

finish "all impaired-network scenarios ranked as expected"
