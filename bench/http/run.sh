#!/usr/bin/env bash
# Loopback HTTP benchmark: the service started through its flat interface
# (librkservice.so loaded with dlopen, a temporary root) against a bare
# cpprestsdk http_listener answering "{}" with the same thread-pool size, each
# in its own process, driven by wrk with the same requests: 16 connections,
# then 1. Runs alternate bare/service pair by pair, in rounds over all rows;
# medians are printed, and the ratio is the median of the pairwise ratios.
# Then a sweep of the cpprestsdk thread-pool size for both servers, in the same
# way. Between them, the same bare listener on cpprestsdk as the build patches
# it against Debian's own library, and the request-body benchmark (bodies.sh).
# Run by hand:
#   bench/http/run.sh
# Settings from the environment (defaults in brackets):
#   RK_BENCH_BUILD [build/native]  build folder, absolute or from the top of the tree
#   RK_BENCH_SECONDS [3]  seconds per wrk run      RK_BENCH_REPS [5]  rounds (pairs per row)
#   RK_BENCH_SWEEP ["2 4 8 16 40"] pool sizes, "" skips the sweep
#   RK_BENCH_SWEEP_SECONDS [2]  RK_BENCH_SWEEP_REPS [3]
#   RK_BENCH_SERVICE_THREADS  the service's pool size, when its source cannot tell
#   RK_BENCH_DEBIAN [1]  0 skips the comparison with Debian's cpprestsdk
#   RK_BENCH_BODIES [1]  0 skips bodies.sh (its own settings: see there)
set -euo pipefail
shopt -s inherit_errexit

seconds=${RK_BENCH_SECONDS:-3}
reps=${RK_BENCH_REPS:-5}
sweep=${RK_BENCH_SWEEP-2 4 8 16 40}
sweep_seconds=${RK_BENCH_SWEEP_SECONDS:-2}
sweep_reps=${RK_BENCH_SWEEP_REPS:-3}
user=bench

root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/bench/http
# shellcheck source=rk_bench_lib.sh
source "$here/rk_bench_lib.sh"
resolve_build
server=$build/bin/rk_http_bench_server
script=$here/rk_http_bench.lua
# Debian's library, which a binary loads instead of the patched one that its
# RUNPATH names when this folder comes first.
debian_libs=/usr/lib/x86_64-linux-gnu

"$root/scripts/ensure-packages.sh"
if ! command -v wrk >/dev/null; then
  echo "installing: wrk"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -qq wrk >/dev/null ||
    { "${sudo_cmd[@]}" apt-get update -qq && "${sudo_cmd[@]}" apt-get install -y -qq wrk >/dev/null; }
fi
cd "$root"
build_targets rkservice rk_http_bench_server rk_http_body_client

builtin_threads=$(service_pool_size)

# check PORT METHOD PATH: one request through bash's own socket; it must be 200 "{}".
check() {
  local reply
  exec 3<>"/dev/tcp/127.0.0.1/$1"
  printf '%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nUserName: %s\r\nConnection: close\r\n\r\n' "$2" "$3" "$user" >&3
  reply=$(cat <&3)
  exec 3<&-
  if [[ $reply != "HTTP/1.1 200 OK"* || $reply != *$'\r\n\r\n{}' ]]; then
    echo "unexpected reply to $2 $3 on port $1:" >&2
    echo "$reply" >&2
    exit 1
  fi
}

warm() { load "$(port_of "$1")" GET / 16 1 >/dev/null; }

# ---- machine and settings ------------------------------------------------------
echo "Loopback HTTP benchmark: rkservice (flat interface, dlopen) vs a bare cpprestsdk http_listener"
machine_lines
echo "settings: ${seconds} s per wrk run, $reps bare/service pairs per row (medians; ratio = median of pairwise" \
  "ratios), wrk threads min(connections, 4), keep-alive, 127.0.0.1"
echo "          service: \"localhost\" listener, built-in pool of $builtin_threads threads, log level warning" \
  "(no rklog.a), temporary root; bare: http_listener on \"localhost\" replying 200 \"{}\" to anything," \
  "pool of $builtin_threads threads"
echo "          requests: OPTIONS /kivvet/x (router: answered before the user check), GET / with" \
  "UserName: $user (router: no segment)"

# ---- bare against the service at the service's own pool size -----------------
mkdir -p "$work/root"
start_server bare bare --threads "$builtin_threads"
start_server service service --root "$work/root"
echo "          threads per process once serving (pool + main): bare $threads_bare, service $threads_service"
debian=${RK_BENCH_DEBIAN:-1}
if [ "$debian" != 0 ]; then
  LD_LIBRARY_PATH=$debian_libs start_server debian bare --threads "$builtin_threads"
  lib_patched=$(cpprest_of "$pid_bare")
  lib_debian=$(cpprest_of "$pid_debian")
  if [ "$lib_debian" != "$debian_libs/libcpprest.so.2.10" ]; then
    echo "the bare listener run with LD_LIBRARY_PATH=$debian_libs maps ${lib_debian:-no cpprestsdk}" >&2
    exit 1
  fi
  if [ "$lib_patched" = "$lib_debian" ]; then
    echo "          (the build links Debian's cpprestsdk itself: no comparison with it)"
    stop_server debian
    debian=0
  fi
fi
echo
for request in "OPTIONS /kivvet/x" "GET /"; do
  read -r method path <<<"$request"
  check "$port_bare" "$method" "$path"
  check "$port_service" "$method" "$path"
  [ "$debian" = 0 ] || check "$port_debian" "$method" "$path"
done
warm bare
warm service
[ "$debian" = 0 ] || warm debian

rows=("16 OPTIONS /kivvet/x" "16 GET /" "1 OPTIONS /kivvet/x" "1 GET /")
debian_rows=("16 GET /" "1 GET /")
# Rounds over all rows, so that a slow spell of the machine spreads over them.
for _ in $(seq "$reps"); do
  for i in "${!rows[@]}"; do
    read -r conns method path <<<"${rows[$i]}"
    pair "main$i" bare service "$conns" "$method" "$path" "$seconds"
  done
  [ "$debian" = 0 ] && continue
  # Debian's in pair's first place, so that its ratio is patched / Debian.
  for i in "${!debian_rows[@]}"; do
    read -r conns method path <<<"${debian_rows[$i]}"
    pair "debian$i" debian bare "$conns" "$method" "$path" "$seconds"
  done
done
stop_server bare
stop_server service
[ "$debian" = 0 ] || stop_server debian
pids=()

fmt='%-8s %-20s | %9s %7s %7s | %9s %7s %7s | %6s\n'
printf "$fmt" load request "bare rps" "p50 us" "p99 us" "svc rps" "p50 us" "p99 us" ratio
targets=()
for i in "${!rows[@]}"; do
  read -r conns method path <<<"${rows[$i]}"
  row=$(summary "main$i")
  read -r brps bp50 bp99 srps sp50 sp99 ratio <<<"$row"
  printf "$fmt" "$conns conn" "$method $path" "$brps" "$bp50" "$bp99" "$srps" "$sp50" "$sp99" "$ratio"
  line="  $conns conn $method $path: requests/s ratio $ratio (>= 0.80: $(awk -v r="$ratio" 'BEGIN { print (r >= 0.8) ? "met" : "NOT met" }'))"
  if [ "$conns" = 1 ]; then
    line+=", p99 $sp99 us (< 1000 us: $(awk -v p="$sp99" 'BEGIN { print (p < 1000) ? "met" : "NOT met" }');"
    line+=" bare listener $bp99 us)"
  fi
  targets+=("$line")
done
echo
echo "targets (service, same run):"
printf '%s\n' "${targets[@]}"

# ---- patched cpprestsdk against Debian's ------------------------------------------
if [ "$debian" != 0 ]; then
  echo
  echo "bare listener on the patched cpprestsdk against the same program on Debian's (LD_LIBRARY_PATH=$debian_libs)," \
    "pool of $builtin_threads threads, from the rounds above; libraries as mapped (/proc/PID/maps): patched" \
    "$lib_patched, Debian's $lib_debian"
  echo "patches applied: ${RK_BENCH_CPPREST_PATCHES:-none}"
  printf "$fmt" load request "Deb. rps" "p50 us" "p99 us" "patch rps" "p50 us" "p99 us" ratio
  targets=()
  for i in "${!debian_rows[@]}"; do
    read -r conns method path <<<"${debian_rows[$i]}"
    row=$(summary "debian$i")
    read -r drps dp50 dp99 prps pp50 pp99 ratio <<<"$row"
    printf "$fmt" "$conns conn" "$method $path" "$drps" "$dp50" "$dp99" "$prps" "$pp50" "$pp99" "$ratio"
    targets+=("  $conns conn $method $path: requests/s ratio patched/Debian $ratio (>= 0.95: $(awk -v r="$ratio" \
      'BEGIN { print (r >= 0.95) ? "met" : "NOT met" }'))")
  done
  echo
  echo "targets (patched cpprestsdk, same run):"
  printf '%s\n' "${targets[@]}"
fi

# ---- request bodies ------------------------------------------------------------------
if [ "${RK_BENCH_BODIES:-1}" != 0 ]; then
  echo
  RK_BENCH_BUILT=1 RK_BENCH_BUILD=$build RK_BENCH_SERVICE_THREADS=$builtin_threads "$here/bodies.sh"
fi

# ---- thread-pool size sweep --------------------------------------------------------
[ -z "$sweep" ] && exit 0
echo
echo "cpprestsdk thread-pool sweep: both servers at each size (the service's pool set before the library" \
  "loads; shipped behaviour unchanged), OPTIONS /kivvet/x, ${sweep_seconds} s per run, $sweep_reps rounds over" \
  "all sizes, medians"
for threads in $sweep; do
  start_server "bare$threads" bare --threads "$threads"
  start_server "service$threads" service --threads "$threads" --root "$work/root"
  b_var="threads_bare$threads"
  s_var="threads_service$threads"
  if [ "${!b_var}" != "${!s_var}" ]; then
    echo "  (pool $threads: the processes run ${!b_var} and ${!s_var} threads)"
  fi
  warm "bare$threads"
  warm "service$threads"
done
for _ in $(seq "$sweep_reps"); do
  for threads in $sweep; do
    pair "sweep16_$threads" "bare$threads" "service$threads" 16 OPTIONS /kivvet/x "$sweep_seconds"
    pair "sweep1_$threads" "bare$threads" "service$threads" 1 OPTIONS /kivvet/x "$sweep_seconds"
  done
done
for threads in $sweep; do
  stop_server "bare$threads"
  stop_server "service$threads"
done
pids=()

sfmt='%-7s | %-24s | %-17s | %-24s | %-24s\n'
printf "$sfmt" threads "16 conn rps bare/svc" "16 conn p99 us" "1 conn rps bare/svc" "1 conn p50/p99 us"
for threads in $sweep; do
  row16=$(summary "sweep16_$threads")
  row1=$(summary "sweep1_$threads")
  read -r b16 _ bp99_16 s16 _ sp99_16 r16 <<<"$row16"
  read -r b1 bp50 bp99 s1 sp50 sp99 r1 <<<"$row1"
  printf "$sfmt" "$threads" "$b16 / $s16 ($r16)" "$bp99_16 / $sp99_16" "$b1 / $s1 ($r1)" \
    "$bp50/$bp99 | $sp50/$sp99"
done
echo "(bare / service; in brackets the service's requests/s ratio)"
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
