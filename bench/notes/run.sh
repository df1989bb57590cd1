#!/usr/bin/env bash
# Notes benchmark, run by hand:
#   bench/notes/run.sh
# 1. The folder listing GET /kivvet/allurlnotes?with_folder=1 through the
#    running service at 1,000 and 10,000 notes against the notes engine's own
#    GetNodesUnder on the same store (rk_notes_bench).
# 2. GET /kivvet/hit through the service against the bare cpprestsdk listener
#    of bench/http (both rk_http_bench_server, same pool size), driven by wrk
#    with 16 connections; runs alternate bare/service pair by pair, medians
#    are printed, and the ratio is the median of the pairwise ratios.
# Settings from the environment (defaults in brackets):
#   RK_BENCH_RUNS [40] timed listings per size   RK_BENCH_SECONDS [3] seconds per wrk run
#   RK_BENCH_REPS [5] bare/service pairs
set -euo pipefail
shopt -s inherit_errexit

runs=${RK_BENCH_RUNS:-40}
seconds=${RK_BENCH_SECONDS:-3}
reps=${RK_BENCH_REPS:-5}
user=bench
conns=16

root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$root/build/native/bin
script=$root/bench/http/rk_http_bench.lua

"$root/scripts/ensure-packages.sh"
command -v wrk >/dev/null || { echo "wrk is needed: apt-get install wrk" >&2; exit 1; }
cd "$root"
cmake --preset native >/dev/null
cmake --build --preset native --target rk_notes_bench rk_http_bench_server -j "$(nproc)" >/dev/null
threads=$(sed -n 's/.*kListenerThreads = \([0-9]*\);.*/\1/p' "$root/rkservice/src/rk_message_router.cc")

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "machine:  $(nproc) cores (nproc), $cpu, Linux $(uname -r), load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "settings: native preset (RelWithDebInfo), stores in ${TMPDIR:-/tmp}, service log level warning"
echo
"$bin/rk_notes_bench" "$runs" 1000 10000
echo

# start_server NAME ARGS...: sets port_NAME once the server prints "ready PORT THREADS".
start_server() {
  local name=$1 out port
  shift
  out=$(mktemp "$work/$name.XXXXXX")
  "$bin/rk_http_bench_server" "$@" >"$out" 2>&1 &
  pids+=("$!")
  for _ in $(seq 100); do
    port=$(awk '/^ready [0-9]+ [0-9]+$/ { print $2 }' "$out")
    if [ -n "$port" ]; then
      printf -v "port_$name" '%s' "$port"
      return 0
    fi
    sleep 0.1
  done
  echo "server $name did not start:" >&2
  cat "$out" >&2
  exit 1
}

# load PORT: prints "rps p50_us p99_us" of one wrk run of GET /kivvet/hit.
load() {
  local line errors
  line=$(RK_METHOD=GET RK_PATH=/kivvet/hit RK_USER=$user wrk -t4 -c"$conns" -d"${2}s" --timeout 2s -s "$script" \
    "http://127.0.0.1:$1/kivvet/hit" | grep '^RESULT')
  errors=${line##*errors=}
  [ "$errors" = 0 ] || { echo "wrk saw errors on port $1: $line" >&2; exit 1; }
  awk '{ for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] } print v["rps"], v["p50_us"], v["p99_us"] }' \
    <<<"$line"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

mkdir -p "$work/root"
start_server bare bare --threads "$threads"
start_server service service --root "$work/root"
# The first request makes the user's notes handler (engine and store).
curl -sf -H "UserName: $user" "http://127.0.0.1:$port_service/kivvet/hit" >/dev/null
load "$port_bare" 1 >/dev/null
load "$port_service" 1 >/dev/null
for _ in $(seq "$reps"); do
  b=$(load "$port_bare" "$seconds")
  s=$(load "$port_service" "$seconds")
  echo "$b" >>"$work/bare"
  echo "$s" >>"$work/service"
  awk -v b="${b%% *}" -v s="${s%% *}" 'BEGIN { printf "%.4f\n", s / b }' >>"$work/ratio"
done
col() { cut -d' ' -f"$1" "$work/$2" | median | xargs printf '%.0f'; }
ratio=$(median <"$work/ratio" | xargs printf '%.2f')
echo "GET /kivvet/hit, $conns connections, wrk 4 threads, keep-alive, ${seconds} s per run, $reps bare/service pairs"
echo "(medians), pool of $threads threads in both; bare: http_listener answering 200 \"{}\" to anything"
printf '%-10s | %9s %7s %7s\n' server "rps" "p50 us" "p99 us"
printf '%-10s | %9s %7s %7s\n' bare "$(col 1 bare)" "$(col 2 bare)" "$(col 3 bare)"
printf '%-10s | %9s %7s %7s\n' service "$(col 1 service)" "$(col 2 service)" "$(col 3 service)"
echo "ratio service/bare requests/s: $ratio (>= 0.80: $(awk -v r="$ratio" 'BEGIN { print (r >= 0.8) ? "met" : "NOT met" }'))"
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
