#!/usr/bin/env bash
# Installer benchmark under Wine: bootpack with a 256 MiB payload and a
# cabinet-compressed 16 MiB setup program, run end to end with a setup program
# that exits at once, against (a) what the work costs by itself (Wine's start
# of a no-op program + a plain copy of the payload + gcab expanding the same
# cabinet) and (b) an NSIS installer doing the same job. Then the same
# installer with as many 32 MiB plugs as its image takes, packed by its own
# build mode, against the start + a copy of payload and plugs + the
# expansion. Run by hand:
#   bench/installer/run.sh [runs]     (default 7 per contender; medians are printed)
set -euo pipefail

reps=${1:-7}
root=$(cd "$(dirname "$0")/../.." && pwd)
src=$root/bench/installer
out=$root/build/win/bench_installer
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

"$root/scripts/ensure-packages.sh" --with-windows
if ! dpkg-query -W -f='${Status}' nsis 2>/dev/null | grep -q 'ok installed'; then
  echo "installing: nsis"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq nsis
fi

cd "$root"
cmake --preset win >/dev/null
cmake --build --preset win --target bootpack add_resource -j "$(nproc)" >/dev/null

mkdir -p "$out"
export WINEPREFIX=$out/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
mkdir -p "$WINEPREFIX"

# ---- inputs --------------------------------------------------------------------
x86_64-w64-mingw32-gcc -O2 -s "$src/noop.c" -o "$out/noop.exe"
if [ ! -f "$out/payload.7z" ] || [ "$(stat -c %s "$out/payload.7z")" -ne $((256 << 20)) ]; then
  head -c $((256 << 20)) /dev/urandom >"$out/payload.7z"  # as incompressible as a real 7z
fi
# A 16 MiB setup program that exits at once: the no-op program followed by
# half random and half text bytes, so that the cabinet has real work to do.
mkdir -p "$out/stage"
set +o pipefail  # yes and the generators end on SIGPIPE
{
  cat "$out/noop.exe"
  head -c $((8 << 20)) /dev/urandom
  yes 'setup program resources, strings and tables' | head -c $((8 << 20))
} | head -c $((16 << 20)) >"$out/stage/setup.exe"
set -o pipefail
gcab -c -z -n "$out/setup.cab" "$out/stage/setup.exe"

win() { echo "Z:$1" | tr / '\\'; }
# Warm, persistent Wine for everything that follows.
"$wineserver" -p </dev/null >/dev/null 2>&1 || true
"$wine" wineboot -i </dev/null >/dev/null 2>&1
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT

"$wine" "$root/build/win/bin/add_resource.exe" "$(win "$root/build/win/bin/bootpack.exe")" \
  "$(win "$out/bootpack_bench.exe")" B7 HALVEX.PACKED.7Z "$(win "$out/payload.7z")" \
  BL SETUP.EX_ "$(win "$out/setup.cab")" </dev/null
makensis -V1 -DOUT="$out/nsis_bench.exe" -DPAYLOAD="$out/payload.7z" \
  -DSETUP="$out/stage/setup.exe" "$src/installer.nsi"

# Plugs: 11 items of 32 MiB (random). The image has 9 sections and room for
# 20; one slot stays for the list, and the tenth item ("plu:") is never
# packed, so 10 plugs go in.
plug_items=11
mkdir -p "$out/plugs"
list=""
{
  for ((i = 1; i <= plug_items; i++)); do
    f=$out/plugs/p$i.bin
    if [ ! -f "$f" ] || [ "$(stat -c %s "$f")" -ne $((32 << 20)) ]; then
      head -c $((32 << 20)) /dev/urandom >"$f"
    fi
    list+="p$i,"
  done
  printf '[plugs]\r\nlist=%s\r\n' "$list"
  for ((i = 1; i <= plug_items; i++)); do
    printf '[p%d]\r\nfile=%s\r\ncmd=/S\r\n' "$i" "$(win "$out/plugs/p$i.bin")"
  done
} >"$out/plugs.ini"
plugged_exe="$out/bootpack_bench.exe_$list.exe"
rm -f "$plugged_exe"
"$wine" "$out/bootpack_bench.exe" "$(win "$out/plugs.ini")" </dev/null
plugs_packed=$(x86_64-w64-mingw32-objdump -h "$plugged_exe" | grep -c ' plu[^g]')
if [ "$plugs_packed" -lt 6 ]; then
  echo "build mode packed only $plugs_packed plugs" >&2
  exit 1
fi
plug_files=()
for ((i = 1; i <= plug_items; i++)); do
  [ "$i" -eq 10 ] || plug_files+=("$out/plugs/p$i.bin")
done

temp_unix=$WINEPREFIX/drive_c/users/$(id -un)/Temp
mkdir -p "$temp_unix"

# ---- timing ----------------------------------------------------------------------
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.4f\", $1 }"; }
declare -A samples
names=(noop copy expand bootpack nsis copy_plugs plugged)
# One block per contender, each starting with a warm-up run that is not
# counted (a run leaves Wine and the page cache in a state that slows the next
# different program down, which must not be charged to it); a sync before
# every sample so that none pays for another's write-back.
measure_all() {
  local round name t0 t1
  for name in "${names[@]}"; do
    for ((round = 0; round <= reps; round++)); do
      sync
      t0=$(now)
      "$name"
      t1=$(now)
      ((round == 0)) || samples[$name]+="$(calc "$t1 - $t0") "
    done
  done
}
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

run_checked() {  # expected-exit command...
  local expected=$1
  shift
  set +e
  "$@" </dev/null >/dev/null 2>&1
  local code=$?
  set -e
  if [ "$code" -ne "$expected" ]; then
    echo "benchmark step failed (exit $code): $*" >&2
    exit 1
  fi
}
noop() { run_checked 0 "$wine" "$out/noop.exe"; }
copy() {
  cp "$out/payload.7z" "$temp_unix/copy.7z"
  rm -f "$temp_unix/copy.7z"
}
expand() {
  rm -rf "$temp_unix/gcab"
  mkdir -p "$temp_unix/gcab"
  gcab -x -C "$temp_unix/gcab" "$out/setup.cab"
  rm -rf "$temp_unix/gcab"
}
bootpack() {
  run_checked 0 "$wine" "$out/bootpack_bench.exe"
  if compgen -G "$temp_unix/CR_*" >/dev/null; then
    echo "bootpack left its work directory behind" >&2
    exit 1
  fi
}
copy_plugs() {
  mkdir -p "$temp_unix/plugcopy"
  cp "${plug_files[@]}" "$temp_unix/plugcopy/"
  rm -rf "$temp_unix/plugcopy"
}
plugged() {
  run_checked 0 "$wine" "$plugged_exe"
  if compgen -G "$temp_unix/CR_*" >/dev/null; then
    echo "the plugged bootpack left its work directory behind" >&2
    exit 1
  fi
}
nsis() {
  run_checked 0 "$wine" "$out/nsis_bench.exe"
  if [ -e "$temp_unix/nsis_bench" ]; then
    echo "the NSIS installer left its folder behind" >&2
    exit 1
  fi
}

measure_all

t_noop=$(median "${samples[noop]}")
t_copy=$(median "${samples[copy]}")
t_expand=$(median "${samples[expand]}")
t_bootpack=$(median "${samples[bootpack]}")
t_nsis=$(median "${samples[nsis]}")
t_base=$(calc "$t_noop + $t_copy + $t_expand")
t_copy_plugs=$(median "${samples[copy_plugs]}")
t_plugged=$(median "${samples[plugged]}")
t_plugged_base=$(calc "$t_noop + $t_copy + $t_copy_plugs + $t_expand")

echo
echo "Installer benchmark (medians of $reps runs each after one warm-up run; a sync before each sample)"
echo "machine:  $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/Mem:/ {print $2}') GiB memory"
echo "software: $("$wine" --version), gcab $(gcab --version 2>&1 | head -1), makensis $(makensis -VERSION)"
echo "disk:     $(df -hT "$out" | awk 'NR==2 {print $2 " on " $7}'), files in the page cache (warm)"
echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end of the run"
echo "inputs:   payload 256 MiB (random), setup program 16 MiB -> cabinet $(($(stat -c %s "$out/setup.cab") >> 10)) KiB (MSZIP),"
echo "          bootpack.exe $(stat -c %s "$root/build/win/bin/bootpack.exe") bytes -> with resources $(($(stat -c %s "$out/bootpack_bench.exe") >> 20)) MiB, NSIS installer $(($(stat -c %s "$out/nsis_bench.exe") >> 20)) MiB"
echo "          $plugs_packed plugs of 32 MiB (random) packed by build mode from $plug_items items -> $(($(stat -c %s "$plugged_exe") >> 20)) MiB"
echo
printf '%-52s %9s\n' "measured" "seconds"
printf '%-52s %9.3f\n' "no-op Windows program under warm Wine" "$t_noop"
printf '%-52s %9.3f\n' "plain copy of the 256 MiB payload (cp)" "$t_copy"
printf '%-52s %9.3f\n' "expansion of the same cabinet (gcab -x)" "$t_expand"
printf '%-52s %9.3f\n' "  sum: start + copy + expand" "$t_base"
printf '%-52s %9.3f\n' "bootpack end to end (extract, expand, run, clean up)" "$t_bootpack"
printf '%-52s %9.3f\n' "NSIS installer, same job (SetCompress off)" "$t_nsis"
printf '%-52s %9.3f\n' "plain copy of the $plugs_packed plugs (cp)" "$t_copy_plugs"
printf '%-52s %9.3f\n' "  sum: start + copy of payload and plugs + expand" "$t_plugged_base"
printf '%-52s %9.3f\n' "bootpack with plugs (also plugs and plugs.ini)" "$t_plugged"
echo
ratio_base=$(calc "$t_bootpack / $t_base")
ratio_nsis=$(calc "$t_bootpack / $t_nsis")
verdict() { awk "BEGIN { print ($1) ? \"met\" : \"MISSED\" }"; }
printf 'bootpack / (start + copy + expand) = %.2f   (target <= 1.50: %s)\n' "$ratio_base" \
  "$(verdict "$ratio_base <= 1.5")"
printf 'bootpack / NSIS                    = %.2f   (target < 1.00: %s)\n' "$ratio_nsis" \
  "$(verdict "$ratio_nsis < 1")"
ratio_plugged=$(calc "$t_plugged / $t_plugged_base")
printf 'bootpack with plugs / (start + copy of payload and plugs + expand) = %.2f   (target <= 1.50: %s)\n' \
  "$ratio_plugged" "$(verdict "$ratio_plugged <= 1.5")"
for name in "${names[@]}"; do
  printf '  samples %-8s %s\n' "$name" "${samples[$name]}"
done
