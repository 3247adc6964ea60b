#!/usr/bin/env bash
# Load and soak run of the live pipeline (not part of CI). Starts two
# headless servers on the synthetic camera in a scratch copy of Data/, one in
# Automatic Mode and one in Command Mode, then:
#   1. steady: CLIENTS clients at once, half on each server, for STEADY seconds;
#   2. churn:  clients connecting, asking and vanishing (some mid-report,
#      some never reading) for SOAK seconds.
# Prints reports per second, each worker's frame rate under load, and each
# server's open descriptors, threads and resident memory at the baseline,
# under load and after the clients have gone; fails when descriptors or
# threads do not come back to the baseline.
#   scripts/soak.sh [SOAK_SECONDS] [CLIENTS] [STEADY_SECONDS]   (600, 1000, 30)
# Uses build/ (or $BUILD_DIR), building quillmark and load_client there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
soak=${1:-600}
clients=${2:-1000}
steady=${3:-30}
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillmark load_client >/dev/null

# A connection costs a server four descriptors (its socket and its I/O
# context's) and a thread; all clients here share this process.
ulimit -n $((clients * 4 + 1024))
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cp -r "$root/Data" "$work/Data"

# Starts a server; sets $port and $pid.
start_server() {
  local mode=$1 log=$work/$1.log
  "$build/app/quillmark" --headless -C "$work" --camera synthetic --port 0 --mode "$mode" \
    --fields all --watch >"$log" 2>&1 &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    port=$(sed -n 's/^Listening on port \([0-9]*\)$/\1/p' "$log")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "soak: the $mode server did not start:" >&2
  cat "$log" >&2
  exit 1
}

resources() {
  local pid=$1
  printf "fds %5d  threads %5d  VmRSS %8s kB" "$(ls "/proc/$pid/fd" | wc -l)" "$(ls "/proc/$pid/task" | wc -l)" \
    "$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")"
}

# The latest frame rate a server's --watch output shows.
frame_rate() { grep -- '^-- .* frames/s' "$work/$1.log" | tail -n 1 | sed 's/^-- \(.*\) frames\/s/\1/'; }

start_server automatic
automatic_pid=$pid automatic_port=$port
start_server command
command_pid=$pid command_port=$port
sleep 3
declare -A baseline_fds baseline_threads
echo "baseline (frame rates: automatic $(frame_rate automatic), command $(frame_rate command) frames/s)"
for mode in automatic command; do
  pid_var=${mode}_pid
  echo "  $mode: $(resources "${!pid_var}")"
  baseline_fds[$mode]=$(ls "/proc/${!pid_var}/fd" | wc -l)
  baseline_threads[$mode]=$(ls "/proc/${!pid_var}/task" | wc -l)
done

echo "steady load: $clients clients, half on each server, for $steady s"
"$build/tools/load_client" steady --automatic "$automatic_port" --command "$command_port" \
  --clients "$clients" --seconds "$steady" &
client=$!
sleep $((steady * 2 / 3))
echo "  under load (frame rates: automatic $(frame_rate automatic), command $(frame_rate command) frames/s)"
echo "  automatic: $(resources "$automatic_pid")"
echo "  command:   $(resources "$command_pid")"
wait "$client"

echo "churn: $clients clients at a time connecting, asking and vanishing, for $soak s"
"$build/tools/load_client" churn --automatic "$automatic_port" --command "$command_port" \
  --clients "$clients" --seconds "$soak" &
client=$!
sleep $((soak / 2))
echo "  half way (frame rates: automatic $(frame_rate automatic), command $(frame_rate command) frames/s)"
echo "  automatic: $(resources "$automatic_pid")"
echo "  command:   $(resources "$command_pid")"
wait "$client"

# Connections whose client stopped reading give up after the send stall
# timeout (3 s); a few passes more and every one has gone.
sleep 8
echo "after the clients (frame rates: automatic $(frame_rate automatic), command $(frame_rate command) frames/s)"
status=0
for mode in automatic command; do
  pid_var=${mode}_pid
  echo "  $mode: $(resources "${!pid_var}")"
  fds=$(ls "/proc/${!pid_var}/fd" | wc -l)
  threads=$(ls "/proc/${!pid_var}/task" | wc -l)
  if [ "$fds" -ne "${baseline_fds[$mode]}" ] || [ "$threads" -ne "${baseline_threads[$mode]}" ]; then
    echo "soak: the $mode server did not return to its baseline" >&2
    status=1
  fi
done
for pid in "$automatic_pid" "$command_pid"; do
  kill -TERM "$pid"
  wait "$pid" || { echo "soak: a server did not stop cleanly" >&2; status=1; }
done
pids=()
exit $status
