#!/bin/sh
# Runs a Windows program under Wine in the prefix named first:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is created, quietly, by the first caller (others wait for it).
set -e
prefix=$1
shift
wine=${LUMBRA_WINE:-/usr/lib/wine/wine64}
server=$(dirname "$wine")/wineserver
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
if [ ! -f "$prefix/.lumbra-ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/.lumbra-ready" ]; then
      "$wine" wineboot -i >/dev/null 2>&1
      "$server" -w
      touch "$prefix/.lumbra-ready"
    fi
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
