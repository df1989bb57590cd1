# Helpers shared by the loopback benchmarks (bench/http/run.sh, bench/qa/run.sh),
# whose functions use, once set: server (the bench server program), script (the
# wrk script) and user (the UserName header); resolve_build and build_targets
# also root, build_targets also build (the build folder). Sourcing makes the
# scratch folder $work and stops the servers started here (pids) at exit.

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_server NAME ARGS...: starts one server; sets port_NAME, pid_NAME and
# threads_NAME (threads of the process once it serves).
start_server() {
  local name=$1
  shift
  # A new file each time: the old one could still be read before the new
  # server has truncated it.
  local out
  out=$(mktemp "$work/$name.XXXXXX")
  "$server" "$@" >"$out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    local port
    port=$(awk '/^ready [0-9]+ [0-9]+$/ { print $2 }' "$out")
    if [ -n "$port" ]; then
      printf -v "port_$name" '%s' "$port"
      printf -v "threads_$name" '%s' "$(awk '/^ready / { print $3 }' "$out")"
      printf -v "pid_$name" '%s' "$pid"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "server $name did not start:" >&2
  cat "$out" >&2
  exit 1
}

stop_server() {
  local pid_var="pid_$1"
  local pid=${!pid_var}
  kill -INT "$pid"
  if ! wait "$pid"; then
    echo "server $1 did not stop cleanly" >&2
    exit 1
  fi
}

# load PORT METHOD PATH CONNECTIONS SECONDS: prints "rps p50_us p99_us".
load() {
  local threads=$(($4 < 4 ? $4 : 4))
  local line
  line=$(RK_METHOD=$2 RK_PATH=$3 RK_USER=$user wrk -t"$threads" -c"$4" -d"$5s" --timeout 2s -s "$script" \
    "http://127.0.0.1:$1$3" | grep '^RESULT')
  local errors=${line##*errors=}
  if [ "$errors" != 0 ]; then
    echo "wrk saw $errors errors for $2 $3 on port $1: $line" >&2
    exit 1
  fi
  awk '{ for (i = 2; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] } print v["rps"], v["p50_us"], v["p99_us"] }' \
    <<<"$line"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

port_of() { local var="port_$1"; echo "${!var}"; }

# pair KEY BARE SERVICE CONNECTIONS METHOD PATH SECONDS: one run against the
# bare server, then the same against the service server; keeps both figures
# and their requests/s ratio under KEY.
pair() {
  local key=$1 conns=$4 method=$5 path=$6 secs=$7 b s
  b=$(load "$(port_of "$2")" "$method" "$path" "$conns" "$secs")
  s=$(load "$(port_of "$3")" "$method" "$path" "$conns" "$secs")
  echo "$b" >>"$work/$key.bare"
  echo "$s" >>"$work/$key.service"
  awk -v b="${b%% *}" -v s="${s%% *}" 'BEGIN { printf "%.4f\n", s / b }' >>"$work/$key.ratio"
}

# summary KEY: "bare_rps bare_p50 bare_p99 svc_rps svc_p50 svc_p99 ratio", medians of KEY's pairs.
summary() {
  local out=() who col
  for who in bare service; do
    for col in 1 2 3; do out+=("$(cut -d' ' -f"$col" "$work/$1.$who" | median | xargs printf '%.0f')"); done
  done
  out+=("$(median <"$work/$1.ratio" | xargs printf '%.2f')")
  echo "${out[*]}"
}

# resolve_build: the build folder in $build (RK_BENCH_BUILD, absolute or from
# the top of the tree; build/native by default) and, for any folder but the
# native preset's, its label for the header in $build_label.
resolve_build() {
  build=${RK_BENCH_BUILD:-build/native}
  [[ $build == /* ]] || build=$root/$build
  [ "$build" = "$root/build/native" ] || build_label="build folder $build (RelWithDebInfo)"
}

# cpprest_patch_names: the patches the build applies to cpprestsdk, by name.
cpprest_patch_names() {
  find "${root:-.}/third_party/cpprest/patches" -name '*.patch' -printf '%f\n' 2>/dev/null | sort | xargs || true
}

# build_targets TARGET...: builds them in $build with JOBS jobs (all cores by
# default, as make does); the native preset's own folder is configured through
# the preset, any other as the same build type. Keeps the names of the
# cpprestsdk patches it built with in RK_BENCH_CPPREST_PATCHES (taken before
# the configure step, which applies them).
build_targets() {
  RK_BENCH_CPPREST_PATCHES=$(cpprest_patch_names)
  export RK_BENCH_CPPREST_PATCHES
  if [ "$build" = "$root/build/native" ]; then
    (cd "$root" && cmake --preset native >/dev/null && cmake --build --preset native --target "$@" -j "${JOBS:-$(nproc)}" >/dev/null)
  else
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target "$@" -j "${JOBS:-$(nproc)}" >/dev/null
  fi
}

# cpprest_of PID: the cpprestsdk library file the process has mapped.
cpprest_of() { awk '$6 ~ /\/libcpprest\.so/ { print $6; exit }' "/proc/$1/maps"; }

# machine_lines: the machine and software lines of a benchmark's header.
machine_lines() {
  local cpu
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
  echo "machine:  $(nproc) cores (nproc), $cpu, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "Linux $(uname -r), load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
  local wrk_text="" patches
  # wrk --version exits 1.
  if command -v wrk >/dev/null; then wrk_text="$(wrk --version 2>&1 | head -1 | cut -d' ' -f1-2 || true), "; fi
  read -ra patches <<<"${RK_BENCH_CPPREST_PATCHES-$(cpprest_patch_names)}"
  echo "software: ${wrk_text}cpprestsdk $(dpkg-query -W -f='${Version}' libcpprest2.10 2>/dev/null || echo '?')" \
    "(Debian's source with the ${#patches[@]} patches of third_party/cpprest/patches), g++ $(g++ -dumpfullversion)," \
    "${build_label:-native preset (RelWithDebInfo)}"
}

# The service's built-in pool size, as its source sets it (RK_BENCH_SERVICE_THREADS
# when the source cannot tell); the bare listener gets the same.
service_pool_size() {
  local threads=${RK_BENCH_SERVICE_THREADS:-$(sed -n 's/.*kListenerThreads = \([0-9]*\);.*/\1/p' \
    "$root/rkservice/src/rk_message_router.cc")}
  if [ -z "$threads" ]; then
    echo "cannot read the service's pool size from its source; set RK_BENCH_SERVICE_THREADS" >&2
    exit 1
  fi
  echo "$threads"
}
