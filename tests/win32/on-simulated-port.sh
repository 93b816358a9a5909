#!/bin/sh
# on-simulated-port.sh SIMULATOR MODEL PORT RUNNER PREFIX PROGRAM [ARGS...]
# Runs a Windows test program through RUNNER (cmake/wine-run.sh) with one of
# the project's simulators (MODEL, "echo" or a reader) on a pseudo-terminal
# linked as PORT ("COM5") of the Wine prefix (its dosdevices). The program
# finds the port in LUMBRA_TEST_COM and the simulator's command input (a
# pipe it may write "swipe ..." lines to) in LUMBRA_TEST_SIM_INPUT.
set -eu
sim=$1 model=$2 port=$3 runner=$4 prefix=$5
shift 5
[ -d "$prefix/dosdevices" ] || "$runner" "$prefix" cmd /c exit
link=$prefix/dosdevices/$(echo "$port" | tr 'A-Z' 'a-z')
tmp=$(mktemp -d)
mkfifo "$tmp/in"
# Its input is held open here: the simulator runs until this script ends.
"$sim" "$model" "$link" <"$tmp/in" >"$tmp/out" 2>&1 &
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
  [ -z "${LUMBRA_SIM_LOG:-}" ] || cp "$tmp/out" "$LUMBRA_SIM_LOG"
  rm -rf "$tmp"
}
trap cleanup EXIT
i=0
until [ -L "$link" ]; do
  i=$((i + 1))
  [ $i -le 100 ] || { echo "the simulator did not start:"; cat "$tmp/out"; exit 1; }
  sleep 0.1
done
LUMBRA_TEST_COM=$port LUMBRA_TEST_SIM_INPUT=$tmp/in "$runner" "$prefix" "$@"
