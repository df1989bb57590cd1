#!/usr/bin/env bash
# Loopback request-body benchmark: one large POST / (UserName: bench) sent
# with "Transfer-Encoding: chunked" in chunks of 1 byte, 4 KiB and 1 MiB, and
# with Content-Length for reference, to the service started through its flat
# interface (librkservice.so loaded with dlopen) and to a bare cpprestsdk
# http_listener with the same pool size. Every measurement has a server
# process of its own, so that its peak memory belongs to that body: a small
# request in the same framing first, then the peak is reset
# (echo 5 > /proc/PID/clear_refs) and the body goes. Measured: the client's
# wall-clock time from the first byte sent to the whole reply
# (rk_http_body_client) and the server's VmHWM after the reply. Runs alternate
# bare/service pair by pair, in rounds over all rows, while the pairs fit the
# time budget; medians are printed, and the ratios are medians of the pairwise
# ratios. Run by hand (bench/http/run.sh runs it too):
#   bench/http/bodies.sh
# Settings from the environment (defaults in brackets):
#   RK_BENCH_BUILD [build/native]  build folder, absolute or from the top of the tree
#   RK_BENCH_BODY_MIB [64]  body size      RK_BENCH_BODY_CHUNKS ["1 4096 1048576 0"]  chunk sizes, 0: Content-Length
#   RK_BENCH_BODY_REPS [5]  rounds at most (pairs per row)  RK_BENCH_BODY_BYTE_REPS [3]  pairs for chunks under 64 bytes
#   RK_BENCH_BODY_BUDGET [160]  seconds: a pair starts only if, as long as its row's last one, it ends within them
#                               (each row's first pair always runs)
#   RK_BENCH_BODY_TIMEOUT [30]  seconds one request may take; a row that runs past it is not repeated
#   RK_BENCH_SERVICE_THREADS  the service's pool size, when its source cannot tell
set -euo pipefail
shopt -s inherit_errexit

body_mib=${RK_BENCH_BODY_MIB:-64}
chunks=${RK_BENCH_BODY_CHUNKS:-1 4096 1048576 0}
reps=${RK_BENCH_BODY_REPS:-5}
byte_reps=${RK_BENCH_BODY_BYTE_REPS:-3}
((byte_reps <= reps)) || byte_reps=$reps
budget=${RK_BENCH_BODY_BUDGET:-160}
timeout=${RK_BENCH_BODY_TIMEOUT:-30}
user=bench
# The warm-up request's body: big enough to go through the framing, small
# enough to leave no trace in the peak.
warm_bytes=4096

root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/bench/http
# shellcheck source=rk_bench_lib.sh
source "$here/rk_bench_lib.sh"
resolve_build
server=$build/bin/rk_http_bench_server
client=$build/bin/rk_http_body_client
script=$here/rk_http_bench.lua

# run.sh has built them already.
if [ -z "${RK_BENCH_BUILT:-}" ]; then
  "$root/scripts/ensure-packages.sh"
  build_targets rkservice rk_http_bench_server rk_http_body_client
fi

builtin_threads=$(service_pool_size)
body_bytes=$((body_mib << 20))
mkdir -p "$work/root"

# start_body_server WHO: a fresh server, bare or service, as "m".
start_body_server() {
  pids=()
  if [ "$1" = bare ]; then
    start_server m bare --threads "$builtin_threads"
  else
    start_server m service --root "$work/root"
  fi
}

# stop_body_server: stops "m"; a server that does not stop within 10 s is
# killed, and that is reported.
stop_body_server() {
  kill -INT "$pid_m" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$pid_m" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid_m" 2>/dev/null; then
    echo "  (server $pid_m did not stop within 10 s of SIGINT; killed)" >&2
    kill -KILL "$pid_m" 2>/dev/null || true
  fi
  local rc=0
  wait "$pid_m" 2>/dev/null || rc=$?
  pids=()
  return "$rc"
}

status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
# peak_and_resident PID: "VmHWM VmRSS" in kB, from one read.
peak_and_resident() { awk '$1 == "VmHWM:" { h = $2 } $1 == "VmRSS:" { r = $2 } END { print h, r }' "/proc/$1/status"; }

# send PORT BYTES CHUNK: one request; prints the client's "SECONDS STATUS",
# or its complaint, and returns its exit code (2: timed out).
send() {
  "$client" --port "$1" --bytes "$2" --chunk "$3" --user "$user" --timeout "$timeout" 2>&1
}

reset_works=unknown
# measure KEY WHO CHUNK: one measurement of a fresh server; appends to
# $work/KEY.WHO "ok SECONDS PEAK_KB BASE_KB", "timeout - PEAK_KB BASE_KB" or
# "failed WHY".
measure() {
  local key=$1 who=$2 chunk=$3 out rc=0 seconds status peak base hwm
  start_body_server "$who"
  out=$(send "$port_m" "$warm_bytes" "$chunk") || rc=$?
  if [ "$rc" != 0 ] || [ "${out#* }" != 200 ]; then
    echo "failed warm-up: $out" >>"$work/$key.$who"
    echo "$who, $(label "$chunk"): the warm-up request failed: ${out#rk_http_body_client: }" >>"$work/notes"
    stop_body_server || true
    return 0
  fi
  if echo 5 2>/dev/null >"/proc/$pid_m/clear_refs"; then
    read -r hwm base <<<"$(peak_and_resident "$pid_m")"
    # Once reset, the peak is the resident size of that moment.
    if [ $((hwm - base)) -le 1024 ]; then
      [ "$reset_works" = unknown ] && reset_works=yes
    else
      reset_works=no
    fi
  else
    reset_works=no
    base=$(status_kb "$pid_m" VmRSS)
  fi
  rc=0
  out=$(send "$port_m" "$body_bytes" "$chunk") || rc=$?
  peak=$(status_kb "$pid_m" VmHWM 2>/dev/null || true)
  read -r seconds status _ <<<"$out"
  if [ "$rc" = 0 ] && [ "$status" = 200 ]; then
    echo "ok $seconds $peak $base" >>"$work/$key.$who"
  elif [ "$rc" = 2 ]; then
    echo "timeout - ${peak:-0} $base" >>"$work/$key.$who"
    echo "$who, $(label "$chunk"): ${out#rk_http_body_client: }" >>"$work/notes"
  else
    echo "failed ${out#rk_http_body_client: }" >>"$work/$key.$who"
    echo "$who, $(label "$chunk"): ${out#rk_http_body_client: }" >>"$work/notes"
  fi
  if ! stop_body_server; then
    echo "$who, $(label "$chunk"): the server did not stop cleanly" >>"$work/notes"
  fi
}

label() {
  case $1 in
    0) echo "Content-Length" ;;
    *) if (($1 >= 1048576 && $1 % 1048576 == 0)); then
         echo "chunked $(($1 >> 20)) MiB"
       elif (($1 >= 1024 && $1 % 1024 == 0)); then
         echo "chunked $(($1 >> 10)) KiB"
       else
         echo "chunked $1 B"
       fi ;;
  esac
}

# body_pair KEY CHUNK: bare, then the service; the pair's ratios when both
# went through. Returns 1 when either ran out of time or failed.
body_pair() {
  local key=$1 chunk=$2 b s
  measure "$key" bare "$chunk"
  measure "$key" service "$chunk"
  b=$(tail -n 1 "$work/$key.bare")
  s=$(tail -n 1 "$work/$key.service")
  [[ $b == ok* && $s == ok* ]] || return 1
  read -r _ bt bp _ <<<"$b"
  read -r _ st sp _ <<<"$s"
  awk -v b="$bt" -v s="$st" 'BEGIN { printf "%.4f\n", s / b }' >>"$work/$key.tratio"
  awk -v b="$bp" -v s="$sp" 'BEGIN { printf "%.4f\n", s / b }' >>"$work/$key.pratio"
}

# ---- machine, settings and a check of both servers ------------------------------
start_body_server bare
out=$(send "$port_m" "$warm_bytes" 4096) || { echo "bare listener: $out" >&2; exit 1; }
[ "${out#* }" = 200 ] || { echo "bare listener: status ${out#* } to POST /" >&2; exit 1; }
lib_bare=$(cpprest_of "$pid_m")
stop_body_server
start_body_server service
out=$(send "$port_m" "$warm_bytes" 4096) || { echo "service: $out" >&2; exit 1; }
[ "${out#* }" = 200 ] || { echo "service: status ${out#* } to POST /" >&2; exit 1; }
lib_service=$(cpprest_of "$pid_m")
stop_body_server

echo "Loopback request-body benchmark: ${body_mib} MiB POST / bodies, rkservice (flat interface, dlopen) vs a bare" \
  "cpprestsdk http_listener"
machine_lines
echo "settings: ${body_mib} MiB body, up to $reps bare/service pairs per row ($byte_reps for chunks under 64 bytes)," \
  "rounds over all rows while the pairs fit ${budget} s, medians; ratio = median of pairwise ratios (service / bare);" \
  "${timeout} s allowed per request, a row that runs past it is not repeated"
echo "          each measurement: a fresh server process, one ${warm_bytes}-byte request in the same framing," \
  "VmHWM reset (echo 5 > /proc/PID/clear_refs), the body; time: client wall clock from the first byte sent to" \
  "the whole reply (one connection, 1 MiB writes of framed text); peak: the server's VmHWM after the reply"
echo "          service: \"localhost\" listener, built-in pool of $builtin_threads threads, log level warning," \
  "temporary root; bare: http_listener on \"localhost\" replying 200 \"{}\", pool of $builtin_threads threads"
echo "          cpprestsdk mapped (/proc/PID/maps): bare $lib_bare, service $lib_service"

# ---- measurements ---------------------------------------------------------------
read -ra rows <<<"$chunks"
declare -A done_pairs stopped pair_took
began=$SECONDS
for _ in $(seq "$reps"); do
  for chunk in "${rows[@]}"; do
    want=$reps
    ((chunk > 0 && chunk < 64)) && want=$byte_reps
    [ -n "${stopped[$chunk]:-}" ] && continue
    ((${done_pairs[$chunk]:-0} < want)) || continue
    # A slow row gives way to the others rather than stretch the run.
    if [ -n "${pair_took[$chunk]:-}" ] && ((SECONDS - began + pair_took[$chunk] > budget)); then continue; fi
    done_pairs[$chunk]=$((${done_pairs[$chunk]:-0} + 1))
    pair_began=$SECONDS
    body_pair "body$chunk" "$chunk" || stopped[$chunk]=1
    pair_took[$chunk]=$((SECONDS - pair_began))
  done
done

# ---- results --------------------------------------------------------------------
# column FILE N: the median of column N of the measurements that went through.
column() { awk -v c="$2" '$1 == "ok" { print $c }' "$1" | median; }
count_ok() { grep -c '^ok' "$1" || true; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t) ? "met" : "NOT met" }'; }

# side FILE: "SECONDS PEAK_MIB" of one server's row, or what kept it from a figure.
side() {
  local file=$1
  if [ "$(count_ok "$file")" != 0 ]; then
    printf '%.3f %s\n' "$(column "$file" 2)" "$(mib "$(column "$file" 3)")"
  elif grep -q '^timeout' "$file"; then
    echo ">${timeout} -"
  else
    echo "failed -"
  fi
}

echo
fmt='%-16s | %9s %9s | %9s %9s | %10s %10s\n'
printf "$fmt" body "bare s" "peak MiB" "svc s" "peak MiB" "time ratio" "peak ratio"
targets=()
for chunk in "${rows[@]}"; do
  key=body$chunk
  read -r bt bp <<<"$(side "$work/$key.bare")"
  read -r st sp <<<"$(side "$work/$key.service")"
  if [ -s "$work/$key.tratio" ]; then
    tr=$(median <"$work/$key.tratio" | xargs printf '%.2f')
    pr=$(median <"$work/$key.pratio" | xargs printf '%.2f')
    n=$(wc -l <"$work/$key.tratio")
    line="  $(label "$chunk"): time ratio $tr (<= 1.5: $(verdict "$tr" 1.5)), peak ratio $pr"
    line+=" (<= 1.2: $(verdict "$pr" 1.2)); pairs: $n"
  else
    tr=-
    pr=-
    if [[ $bt != ">"* && $bt != failed && $st == ">"* ]]; then
      # Only the service ran out of time: its ratio is at least this.
      tr=">$(awk -v b="$bt" -v t="$timeout" 'BEGIN { printf "%.1f", t / b }')"
      line="  $(label "$chunk"): time ratio $tr (<= 1.5: NOT met), peak ratio - (the service's body did not end)"
    else
      line="  $(label "$chunk"): no ratio: bare $bt, service $st (seconds, or what kept the body from ending; see notes)"
    fi
  fi
  printf "$fmt" "$(label "$chunk")" "$bt" "$bp" "$st" "$sp" "$tr" "$pr"
  targets+=("$line")
done
# base WHO: the median resident size before the body, over all of WHO's bodies.
base() {
  local values
  values=$(cat "$work"/body*."$1" | awk '$1 == "ok" || $1 == "timeout" { print $4 }')
  if [ -n "$values" ]; then echo "$(mib "$(median <<<"$values")") MiB"; else echo "-"; fi
}
echo "resident size before each body (after the warm-up), median over the runs: bare $(base bare)," \
  "service $(base service); peak reset by clear_refs worked: $reset_works"
if [ -s "$work/notes" ]; then
  echo "notes:"
  sed 's/^/  /' "$work/notes"
fi
echo
echo "targets (service against bare, same run):"
printf '%s\n' "${targets[@]}"
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
