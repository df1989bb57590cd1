#!/bin/sh
# The build folder's Wine prefix and its server, for one test run at a time.
# A run changes the prefix's registry and ends with "wineserver -k", which
# ends every Wine program still running there with exit code 1: a second run
# in the same build folder (even "ctest -R one_test", which brings this
# fixture along) would break the first. So setup waits until no other run
# holds the prefix, and the prefix stays held until this run's ctest ends.
#   wine_prefix.sh setup|cleanup WINE WINESERVER    (with WINEPREFIX set)
set -u
action=$1 wine=$2 wineserver=$3

case $action in
setup)
  mkdir -p "$WINEPREFIX" || exit 1
  run=$PPID  # ctest
  held="$WINEPREFIX.held.$run"
  # A repeated setup of the same run already holds it.
  if [ ! -e "$held" ]; then
    (
      flock 9 || exit 1
      : >"$held"
      while kill -0 "$run" 2>/dev/null; do sleep 1; done
      rm -f "$held"
    ) 9>"$WINEPREFIX.lock" </dev/null >/dev/null 2>&1 &
    holder=$!
    while [ ! -e "$held" ]; do
      kill -0 "$holder" 2>/dev/null || { echo "cannot lock $WINEPREFIX"; exit 1; }
      sleep 1
    done
  fi
  # A persistent server keeps Wine warm between tests; its daemons must not
  # hold CTest's output pipes, hence the redirections.
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
  ;;
cleanup)
  # A repeated cleanup finds no server left to stop.
  "$wineserver" -k 2>/dev/null || true
  ;;
*)
  echo "usage: wine_prefix.sh setup|cleanup WINE WINESERVER" >&2
  exit 2
  ;;
esac
