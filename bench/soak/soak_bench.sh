#!/usr/bin/env bash
# For each serial model: the real program typing into a target window while a
# simulated reader swipes cards back to back with line noise between them and
# some swipes damaged on the line; prints swipes sent, typed exactly, lost,
# duplicated and altered, the failed reads signalled and the swipes lost
# without one, and the program's resident memory after warm-up and at the end.
# Usage: soak_bench.sh PROGRAM SOAK XTARGET LANG_FILES_DIR
set -u
program=$1 soak=$2 xtarget=$3 langfiles=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/gui/xsession.sh"
swipes=${BENCH_SOAK_SWIPES:-2000}
models=${BENCH_SOAK_MODELS:-"SL-10 SLU-42 SLU-43 SLX-44 SMW-46 SW-30 SWU-41"}
seed=${BENCH_SOAK_SEED:-1}
start_xsession --tray || { echo "no X session"; exit 1; }
make_program_dir "$program" "$langfiles" || exit 1

for model in $models; do
  rm -f "$work/soak.in" "$work/state" "$work/reader" "$work/typed"
  mkfifo "$work/soak.in"
  rm -f "$work/state.history"
  "$soak" "$model" "$work/reader" "$work/typed" "$work/state.history" <"$work/soak.in" &
  soak_pid=$!
  exec 6>"$work/soak.in"
  wait_for 5 test -e "$work/reader" || { echo "$model: the simulator published no port"; exit 1; }
  # Tracks 1 to 3 (track 2 alone on the track-2 models), each padded to 14,
  # Tab between tracks and Return at the end; no sounds.
  tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
  case $model in SL-10 | SLU-42 | SW-30) tracks="<T1>FALSE</T1><T2>TRUE</T2><T3>FALSE</T3><T2Char>1</T2Char>" ;; esac
  start_program "<Model>$model</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes><SoundTes>FALSE</SoundTes>"
  wait_for 15 grep -qx 'image=0' "$work/state" || { echo "$model: the reader did not come up"; exit 1; }
  "$xtarget" "soak-$model" >"$work/typed" &
  target_pid=$!
  XS_PIDS+=($target_pid)
  wait_for 5 xdotool search --onlyvisible --name "soak-$model" || { echo "no typing target"; exit 1; }
  xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "soak-$model" | head -1)"
  wait_for 5 grep -q '^R' "$work/typed" || { echo "the typing target did not get the focus"; exit 1; }
  echo "go $app $swipes $seed" >&6
  wait $soak_pid
  exec 6>&-
  kill "$app" "$target_pid" 2>/dev/null
  wait "$app" "$target_pid" 2>/dev/null
done
exit 0
