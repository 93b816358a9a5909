#!/bin/sh
# on-simulated-port.sh SIMULATOR RUNNER PREFIX PROGRAM [ARGS...]
# Runs a Windows test program through RUNNER (cmake/wine-run.sh) with the
# project's echo simulator on a pseudo-terminal linked as COM5 of the Wine
# prefix (its dosdevices), and LUMBRA_TEST_COM naming that port.
set -eu
sim=$1 runner=$2 prefix=$3
shift 3
[ -d "$prefix/dosdevices" ] || "$runner" "$prefix" cmd /c exit
link=$prefix/dosdevices/com5
tmp=$(mktemp -d)
mkfifo "$tmp/in"
# Its input is held open here: the simulator runs until this script ends.
"$sim" echo "$link" <"$tmp/in" >"$tmp/out" 2>&1 &
simpid=$!
exec 3>"$tmp/in"
cleanup() {
  exec 3>&-
  i=0
  while kill -0 "$simpid" 2>/dev/null && [ $i -lt 50 ]; do
    i=$((i + 1))
    sleep 0.1
  done
  kill "$simpid" 2>/dev/null || true
  rm -f "$link"
  rm -rf "$tmp"
}
trap cleanup EXIT
i=0
until [ -L "$link" ]; do
  i=$((i + 1))
  [ $i -le 100 ] || { echo "the simulator did not start:"; cat "$tmp/out"; exit 1; }
  sleep 0.1
done
LUMBRA_TEST_COM=COM5 "$runner" "$prefix" "$@"
