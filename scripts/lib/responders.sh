# Loopback lrdresponder processes for scripts/demo and the lrdprobe tests. Source
# this file: it only defines functions. Every responder started here is recorded
# by its process id, and lrd_stop_responders ends exactly those.

LRD_RESPONDER_PIDS=()

# lrd_start_responder PROGRAM LOG ARGS...: starts one responder in the background
# and waits until it listens. Fails when it ends before, as it does when its port
# is taken, or when it does not listen within 10 s.
lrd_start_responder() {
  local program=$1 log=$2
  shift 2
  # The log exists before the responder starts, so the wait below never reads a
  # file that its redirection has not created yet.
  : >"$log"
  "$program" "$@" >>"$log" 2>&1 &
  local pid=$! tries
  LRD_RESPONDER_PIDS+=("$pid")
  for ((tries = 0; tries < 200; tries++)); do
    grep -qs 'listening on' "$log" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# lrd_stop_responders: ends the responders started here, by their process ids.
lrd_stop_responders() {
  local pid
  for pid in "${LRD_RESPONDER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${LRD_RESPONDER_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  LRD_RESPONDER_PIDS=()
}

# lrd_start_servers PROGRAM DIR PORT SERVER...: one responder per SERVER, given as
# "ADDRESS DELAY LOAD" (LOAD "-" for none) and bound to ADDRESS:PORT, logs in DIR.
# When PORT is taken on any of the addresses, all start again on the next port,
# up to 20 ports. Sets LRD_PORT to the port they listen on.
lrd_start_servers() {
  local program=$1 dir=$2 base=$3 port=$3
  shift 3
  local attempt server address delay load started
  for ((attempt = 0; attempt < 20; attempt++, port++)); do
    started=1
    for server in "$@"; do
      read -r address delay load <<<"$server"
      local args=(--bind "$address" --delay "$delay")
      [ "$load" = - ] || args+=(--load "$load")
      if ! lrd_start_responder "$program" "$dir/responder-$address-$port.log" "${args[@]}" "$port"; then
        started=0
        break
      fi
    done
    if [ $started = 1 ]; then
      LRD_PORT=$port
      return 0
    fi
    lrd_stop_responders
  done
  echo "no free UDP port from $base on for the responders" >&2
  return 1
}
