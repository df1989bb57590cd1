#!/bin/sh
# Exit codes of a run that can use neither its temp folder nor the folder
# beside the program: the program's own path needs 260 units or more, which
# Win32 cannot start, so it is started from here; Wine takes TMP and TEMP for
# such a run from HKCU\Environment, so they are set there and restored.
#   deep_program_test.sh WINE BOOTPACK_EXE WORK_DIR
set -u
wine=$1 program=$2 work=$3
rm -rf "$work"
deep="$work/$(printf 'd%.0s' $(seq 1 150))/$(printf 'e%.0s' $(seq 1 150))"
mkdir -p "$deep" || exit 1
cp "$program" "$deep/bp.exe" || exit 1

# False, saying why, when a value could not be written: the run that follows
# would read the old one.
set_temp() {
  for v in TMP TEMP; do
    "$wine" reg add 'HKCU\Environment' /v $v /t REG_SZ /d "$1" /f >"$work/reg.out" 2>&1 </dev/null
    rc=$?
    if [ "$rc" -ne 0 ]; then
      echo "cannot set $v to $1 (exit $rc)"
      sed 's/^/  reg: /' "$work/reg.out"
      return 1
    fi
  done
}
restore() { set_temp 'C:\users\'"$(id -un)"'\Temp' >/dev/null; }
trap restore EXIT

failures=0
passed=0
check() {  # name temp-path expected
  if ! set_temp "$2"; then
    echo "FAIL $1: not run"
    failures=$((failures + 1))
    return
  fi
  "$wine" "$deep/bp.exe" </dev/null >"$work/wine.out" 2>&1
  code=$?
  if [ "$code" -eq "$3" ]; then
    echo "ok   $1: exit $code"
    passed=$((passed + 1))
    return
  fi
  echo "FAIL $1: exit $code, expected $3"
  sed 's/^/  wine: /' "$work/wine.out"
  # Wine ends its programs with 1 when their server shuts down.
  [ "$code" -eq 1 ] && echo "  (exit 1: was the Wine server of $WINEPREFIX stopped meanwhile?)"
  "$wine" reg query 'HKCU\Environment' </dev/null 2>&1 | grep -i ' te\?mp ' | sed 's/^/  reg: /'
  failures=$((failures + 1))
}
# (A temp path of 260 units or more cannot serve here: Wine's GetTempPathW
# then reports 0 where Windows reports the size it needs.)
check "temp folder cannot hold a directory, no folder beside the program" \
  'C:\no-such-parent\temp' 109
# The same program with a usable temp folder does run: its fake setup, given
# no log file to write, exits with 99.
check "usable temp folder" 'C:\users\'"$(id -un)"'\Temp' 99
left=$(find "$work" -name 'CR_*' | wc -l)
if [ "$left" -ne 0 ]; then
  echo "FAIL work directories left behind: $left"
  failures=$((failures + 1))
fi
restore
trap - EXIT
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
