#!/usr/bin/env bash
# Form-fill benchmark: two routes of the running service (librkservice.so
# loaded with dlopen, a temporary root) against the bare cpprestsdk listener
# of bench/http answering the same bytes, each in its own process, driven by
# wrk at 16 connections and at 1:
#   GET /tesselfill/card/all?type=account with 1,000 cards stored
#   PUT /tesselfill/pwd_operation encrypting 1,000 values
# Runs alternate bare/service pair by pair, in rounds over all rows; medians
# are printed, and the ratio is the median of the pairwise ratios.
# Targets: the card list at 0.7 or more of the bare listener's requests/s;
# encrypting 1,000 values (the whole PUT at one connection) under 20 ms.
# Run by hand:
#   bench/fill/run.sh
# Settings from the environment (defaults in brackets):
#   RK_BENCH_SECONDS [3]  seconds per wrk run      RK_BENCH_REPS [5]  rounds (pairs per row)
set -euo pipefail
shopt -s inherit_errexit

seconds=${RK_BENCH_SECONDS:-3}
reps=${RK_BENCH_REPS:-5}
user=bench
count=1000

root=$(cd "$(dirname "$0")/../.." && pwd)
server=$root/build/native/bin/rk_http_bench_server
script=$root/bench/http/rk_http_bench.lua

"$root/scripts/ensure-packages.sh"
for tool in wrk curl jq; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (apt-get install $tool)" >&2; exit 1; }
done
cd "$root"
cmake --preset native >/dev/null
cmake --build --preset native --target rkservice rkdb rk_http_bench_server -j "$(nproc)" >/dev/null
threads=$(sed -n 's/.*kListenerThreads = \([0-9]*\);.*/\1/p' "$root/rkservice/src/rk_message_router.cc")
[ -n "$threads" ] || { echo "cannot read the service's pool size from its source" >&2; exit 1; }

# shellcheck source=../http/rk_bench_lib.sh
source "$root/bench/http/rk_bench_lib.sh"

list_path="/tesselfill/card/all?type=account"
pwd_path="/tesselfill/pwd_operation"

# call PORT METHOD PATH [BODY_FILE]: the reply body on standard output; fails
# unless the status is 200.
call() {
  local args=(-sS --fail -X "$2" -H "UserName: $user")
  [ -n "${4:-}" ] && args+=(-H "Content-Type: application/json" --data-binary "@$4")
  curl "${args[@]}" "http://127.0.0.1:$1$3"
}

# ---- the service with its cards, and the bare listeners with its replies ----------
mkdir -p "$work/root"
start_server service service --root "$work/root" --log "$work/root/Log Files/rkservice.log"
# The cards go in through one sync import; the list reads them as it reads any.
jq -n --argjson n "$count" '[range($n) | {key: "card-\(.)", value: ({url: "https://site\(.).example/login",
  user: "user\(.)@example.com", name: "Site \(.)", note: "saved by the form filler"} | tojson | @base64)}]' \
  >"$work/cards.json"
call "$port_service" POST /tesselfill/sync/account/set "$work/cards.json" >/dev/null
jq -n --argjson n "$count" '{type: "encrypt", user_pwd: "bench-password",
  content: ([range($n) | {value: "secret value \(.) of the form filler"}] | tojson)}' >"$work/encrypt.json"
call "$port_service" GET "$list_path" >"$work/list.reply"
call "$port_service" PUT "$pwd_path" "$work/encrypt.json" >"$work/encrypt.reply"
[ "$(jq length "$work/list.reply")" = "$count" ] || { echo "the card list does not hold $count cards" >&2; exit 1; }
[ "$(jq length "$work/encrypt.reply")" = "$count" ] || { echo "the encryption did not answer $count items" >&2; exit 1; }

start_server bare_list bare --threads "$threads" --body "$work/list.reply"
start_server bare_pwd bare --threads "$threads" --body "$work/encrypt.reply"
cmp -s <(call "$port_bare_list" GET "$list_path") "$work/list.reply" || { echo "bare list differs" >&2; exit 1; }
cmp -s <(call "$port_bare_pwd" PUT "$pwd_path" "$work/encrypt.json") "$work/encrypt.reply" ||
  { echo "bare encryption reply differs" >&2; exit 1; }

# ---- machine and settings ------------------------------------------------------------
echo "Form-fill benchmark: rkservice (flat interface, dlopen) vs bare cpprestsdk http_listeners answering the same bytes"
machine_lines
echo "settings: ${seconds} s per wrk run, $reps bare/service pairs per row (medians; ratio = median of pairwise" \
  "ratios), wrk threads min(connections, 4), keep-alive, 127.0.0.1; pools of $threads threads"
echo "          service: logging to a file at warning, notify host unused by these routes;" \
  "$count account cards ($(wc -c <"$work/list.reply") bytes listed);" \
  "PUT body $(wc -c <"$work/encrypt.json") bytes, reply $(wc -c <"$work/encrypt.reply") bytes"
echo

# ---- runs -----------------------------------------------------------------------------------
rows=("16 GET $list_path bare_list" "1 GET $list_path bare_list" "16 PUT $pwd_path bare_pwd" "1 PUT $pwd_path bare_pwd")
body_of() { [ "$1" = PUT ] && echo "$work/encrypt.json" || echo ""; }
for row in "${rows[@]}"; do
  read -r conns method path bare <<<"$row"
  RK_BODY_FILE=$(body_of "$method") load "$(port_of "$bare")" "$method" "$path" 16 1 >/dev/null
  RK_BODY_FILE=$(body_of "$method") load "$port_service" "$method" "$path" 16 1 >/dev/null
done
for _ in $(seq "$reps"); do
  for i in "${!rows[@]}"; do
    read -r conns method path bare <<<"${rows[$i]}"
    RK_BODY_FILE=$(body_of "$method") pair "row$i" "$bare" service "$conns" "$method" "$path" "$seconds"
  done
done
for name in service bare_list bare_pwd; do stop_server "$name"; done
pids=()

targets=()
fmt='%-8s %-40s | %9s %7s %7s | %9s %7s %7s | %6s\n'
printf "$fmt" load request "bare rps" "p50 us" "p99 us" "svc rps" "p50 us" "p99 us" ratio
for i in "${!rows[@]}"; do
  read -r conns method path bare <<<"${rows[$i]}"
  read -r brps bp50 bp99 srps sp50 sp99 ratio <<<"$(summary "row$i")"
  printf "$fmt" "$conns conn" "$method $path" "$brps" "$bp50" "$bp99" "$srps" "$sp50" "$sp99" "$ratio"
  case "$method $conns" in
    "GET "*)
      verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.7) ? "met" : "NOT met" }')
      targets+=("  card list, $conns conn: requests/s ratio $ratio (>= 0.70: $verdict)")
      ;;
    "PUT 1")
      verdict=$(awk -v p="$sp99" 'BEGIN { print (p < 20000) ? "met" : "NOT met" }')
      targets+=("  encrypting $count values, 1 conn: whole request p50 $sp50 us, p99 $sp99 us (< 20000 us: $verdict)")
      ;;
  esac
done
echo
echo "targets (service, same run):"
printf '%s\n' "${targets[@]}"
echo "load average at end $(cut -d' ' -f1-3 /proc/loadavg)"
