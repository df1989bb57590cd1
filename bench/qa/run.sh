#!/usr/bin/env bash
# Quick-access benchmark. The service (librkservice.so through its flat
# interface, bench/http's server, logging to a file at warning as a browser
# starts it) holds a 200-site tree and 1,000 keys for one user; bare cpprestsdk
# listeners (bench/http's server) answer the very bytes the service answers.
# wrk drives GET /quickaccess/qa and GET /quickaccess/sync against both, at 16
# connections and at 1, pair by pair in rounds; medians are printed, and the
# ratio is the median of the pairwise requests/s ratios. Then the export +
# import round trip of the 1,000 keys is timed, and the import of a large
# document against a plain nlohmann-json parse of its bytes. Run by hand:
#   bench/qa/run.sh
# Settings from the environment (defaults in brackets):
#   RK_BENCH_SECONDS [3]  seconds per wrk run    RK_BENCH_REPS [5]  rounds
#   RK_BENCH_RUNS [20]  round trips timed
#   RK_BENCH_IMPORT_MB [20]  size of the large import   RK_BENCH_IMPORT_RUNS [5]  large imports timed
set -euo pipefail
shopt -s inherit_errexit

seconds=${RK_BENCH_SECONDS:-3}
reps=${RK_BENCH_REPS:-5}
runs=${RK_BENCH_RUNS:-20}
import_mb=${RK_BENCH_IMPORT_MB:-20}
import_runs=${RK_BENCH_IMPORT_RUNS:-5}
user=bench

root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$root/build/native/bin
server=$bin/rk_http_bench_server
driver=$bin/rk_qa_bench
script=$root/bench/http/rk_http_bench.lua

"$root/scripts/ensure-packages.sh"
command -v wrk >/dev/null || { echo "wrk is needed (apt-get install wrk)" >&2; exit 1; }
cd "$root"
cmake --preset native >/dev/null
cmake --build --preset native --target rkservice rkdb rk_http_bench_server rk_qa_bench -j "$(nproc)" >/dev/null
threads=$(sed -n 's/.*kListenerThreads = \([0-9]*\);.*/\1/p' "$root/rkservice/src/rk_message_router.cc")
[ -n "$threads" ] || { echo "cannot read the service's pool size from its source" >&2; exit 1; }

# shellcheck source=../http/rk_bench_lib.sh
source "$root/bench/http/rk_bench_lib.sh"

echo "Quick-access benchmark: rkservice (flat interface, dlopen) vs bare cpprestsdk http_listeners answering the same bytes"
machine_lines
echo "settings: ${seconds} s per wrk run, $reps bare/service pairs per row (medians; ratio = median of pairwise ratios)," \
  "wrk threads min(connections, 4), keep-alive, 127.0.0.1, UserName: $user"
echo "          both sides: pool of $threads threads; service logging to a file at warning"

mkdir -p "$work/root"
start_server service service --root "$work/root" --log "$work/root/Log Files/rkservice.log"
"$driver" prepare --port "$port_service" --out "$work"
start_server bare_qa bare --threads "$threads" --body "$work/qa.body"
start_server bare_sync bare --threads "$threads" --body "$work/sync.body"
for path in /quickaccess/qa /quickaccess/sync; do
  bare=bare_qa
  [ "$path" = /quickaccess/sync ] && bare=bare_sync
  "$driver" fetch --port "$(port_of "$bare")" --path "$path" >"$work/bare.out"
  "$driver" fetch --port "$port_service" --path "$path" >"$work/service.out"
  cmp -s "$work/bare.out" "$work/service.out" || { echo "bare and service differ for $path" >&2; exit 1; }
done
echo "          bodies: GET /quickaccess/qa $(wc -c <"$work/qa.body") bytes, GET /quickaccess/sync" \
  "$(wc -c <"$work/sync.body") bytes (identical on both sides)"
echo
for name in bare_qa bare_sync service; do load "$(port_of "$name")" GET /quickaccess/qa 16 1 >/dev/null; done

rows=("16 bare_qa /quickaccess/qa" "1 bare_qa /quickaccess/qa" "16 bare_sync /quickaccess/sync"
  "1 bare_sync /quickaccess/sync")
for _ in $(seq "$reps"); do
  for i in "${!rows[@]}"; do
    read -r conns bare path <<<"${rows[$i]}"
    pair "row$i" "$bare" service "$conns" GET "$path" "$seconds"
  done
done

fmt='%-8s %-22s | %9s %7s %7s | %9s %7s %7s | %6s\n'
printf "$fmt" load request "bare rps" "p50 us" "p99 us" "svc rps" "p50 us" "p99 us" ratio
for i in "${!rows[@]}"; do
  read -r conns bare path <<<"${rows[$i]}"
  read -r brps bp50 bp99 srps sp50 sp99 ratio <<<"$(summary "row$i")"
  printf "$fmt" "$conns conn" "GET $path" "$brps" "$bp50" "$bp99" "$srps" "$sp50" "$sp99" "$ratio"
  [ "$i" = 0 ] && tree_ratio=$ratio
  [ "$i" = 1 ] && tree_p99="$sp99 us (bare listener $bp99 us)"
done
echo
echo "targets (service, same run):"
echo "  16 conn GET /quickaccess/qa: requests/s ratio $tree_ratio" \
  "(>= 0.70: $(awk -v r="$tree_ratio" 'BEGIN { print (r >= 0.7) ? "met" : "NOT met" }')); p99 at 1 conn $tree_p99"
echo
"$driver" roundtrip --port "$port_service" --runs "$runs"
echo
"$driver" import --port "$port_service" --runs "$import_runs" --mb "$import_mb"
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
