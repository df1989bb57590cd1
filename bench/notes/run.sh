#!/usr/bin/env bash
# Notes benchmark, run by hand:
#   bench/notes/run.sh
# 1. The folder listing GET /kivvet/allurlnotes?with_folder=1 through the
#    running service at 1,000 and 10,000 notes against the notes engine's own
#    GetNodesUnder on the same store (rk_notes_bench).
#    Then a note save with 24 images (POST /kivvet/content, each image
#    answered after 50 ms by a loopback server) through the service against
#    the same 24 downloads by one libcurl multi handle alone.
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
server=$bin/rk_http_bench_server
script=$root/bench/http/rk_http_bench.lua

"$root/scripts/ensure-packages.sh"
command -v wrk >/dev/null || { echo "wrk is needed: apt-get install wrk" >&2; exit 1; }
cd "$root"
cmake --preset native >/dev/null
cmake --build --preset native --target rk_notes_bench rk_http_bench_server -j "$(nproc)" >/dev/null
threads=$(sed -n 's/.*kListenerThreads = \([0-9]*\);.*/\1/p' "$root/rkservice/src/rk_message_router.cc")

# shellcheck source=../http/rk_bench_lib.sh
source "$root/bench/http/rk_bench_lib.sh"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "machine:  $(nproc) cores (nproc), $cpu, Linux $(uname -r), load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo "settings: native preset (RelWithDebInfo), stores in ${TMPDIR:-/tmp}, service log level warning"
echo
"$bin/rk_notes_bench" "$runs" 1000 10000
echo

mkdir -p "$work/root"
start_server bare bare --threads "$threads"
start_server service service --root "$work/root"
# The first request makes the user's notes handler (engine and store).
curl -sf -H "UserName: $user" "http://127.0.0.1:$port_service/kivvet/hit" >/dev/null
load "$port_bare" GET /kivvet/hit "$conns" 1 >/dev/null
load "$port_service" GET /kivvet/hit "$conns" 1 >/dev/null
for _ in $(seq "$reps"); do pair hit bare service "$conns" GET /kivvet/hit "$seconds"; done
read -r brps bp50 bp99 srps sp50 sp99 ratio <<<"$(summary hit)"
echo "GET /kivvet/hit, $conns connections, wrk 4 threads, keep-alive, ${seconds} s per run, $reps bare/service pairs"
echo "(medians; ratio = median of pairwise ratios), pool of $threads threads in both; bare: http_listener answering"
echo "200 \"{}\" to anything"
printf '%-10s | %9s %7s %7s\n' server "rps" "p50 us" "p99 us" bare "$brps" "$bp50" "$bp99" service "$srps" "$sp50" "$sp99"
echo "ratio service/bare requests/s: $ratio (>= 0.80: $(awk -v r="$ratio" 'BEGIN { print (r >= 0.8) ? "met" : "NOT met" }'))"
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
