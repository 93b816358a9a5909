#!/usr/bin/env bash
# Prints, for a three-track card on "SLX-44" at 9600 baud, the time from the
# simulator's last frame byte to the last key the target receives (median of
# 100 swipes, both framings), and the program's CPU time over 60 s idle with
# each serial model: the polled "SL-10" and "SW-30", the unpolled "SLU-42",
# "SLU-43", "SLX-44" and "SLR-45", and "SMW-46" and "SWU-41" with a read outstanding.
# Usage: readers_bench.sh PROGRAM READERSIM XTARGET LANG_FILES_DIR
set -u
program=$1 readersim=$2 xtarget=$3 langfiles=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tests/gui/xsession.sh"
swipes=${BENCH_SWIPES:-100}
idle=${BENCH_IDLE_SECONDS:-60}
start_xsession --tray || { echo "no X session"; exit 1; }
# Without its language files beside it the program stops at a message box.
make_program_dir "$program" "$langfiles" || exit 1

# run_program MODEL: simulator and program up, reader restored.
run_program() {
  local model=$1
  rm -f "$work/sim.in" "$work/state" "$work/reader"
  mkfifo "$work/sim.in"
  "$readersim" "$model" "$work/reader" <"$work/sim.in" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  exec 6>"$work/sim.in"
  wait_for 5 test -e "$work/reader"
  local tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
  case $model in SL-10 | SLU-42 | SW-30) tracks="<T1>FALSE</T1><T2>TRUE</T2><T3>FALSE</T3><T2Char>1</T2Char>" ;; esac
  cat >"$work/lumbra.xml" <<XML
<?xml version="1.0"?>
<Configuration><Model>$model</Model><Com>$work/reader</Com>$tracks</Configuration>
XML
  LUMBRA_TEST_STATE=$work/state HOME=$work XDG_CONFIG_HOME=$work/config "$work/lumbra" \
    >"$work/out.log" 2>&1 &
  app_pid=$!
  wait_for 15 grep -qx "image=0" "$work/state" || { echo "reader $model did not come up"; cat "$work/state" "$work/out.log"; exit 1; }
}
stop_program() {
  kill $app_pid $sim_pid 2>/dev/null
  wait $app_pid $sim_pid 2>/dev/null
  exec 6>&-
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

run_program SLX-44
"$xtarget" bench-target >"$work/typed" &
XS_PIDS+=($!)
wait_for 5 xdotool search --onlyvisible --name bench-target || exit 1
xdotool windowactivate --sync "$(xdotool search --onlyvisible --name bench-target | head -1)"
wait_for 5 grep -q '^R' "$work/typed" || exit 1

for framing in cr stx; do
  echo "framing $framing" >&6
  : >"$work/latency"
  for i in $(seq "$swipes"); do
    keys_before=$(grep -c '^N Return' "$work/typed")
    sent_before=$(grep -c '^sent' "$work/sim.log")
    echo "swipe NAME $i|$((10000000 + i))|$i" >&6
    wait_for 5 sh -c "[ \$(grep -c '^N Return' '$work/typed') -gt $keys_before ]" || { echo "swipe $i not typed"; exit 1; }
    wait_for 5 sh -c "[ \$(grep -c '^sent' '$work/sim.log') -gt $sent_before ]"
    sent=$(grep '^sent' "$work/sim.log" | tail -1 | cut -d' ' -f2)
    last=$(grep '^N Return' "$work/typed" | tail -1 | cut -d' ' -f3)
    echo $(( (last - sent) / 1000 )) >>"$work/latency"
  done
  median=$(sort -n "$work/latency" | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }')
  p90=$(sort -n "$work/latency" | awk '{ a[NR] = $1 } END { print a[int(NR * 0.9)] }')
  printf 'SLX-44 9600 baud, 3 tracks, framing %-3s: last frame byte to last key: median %.1f ms, p90 %.1f ms (%d swipes)\n' \
    "$framing" "$(echo "$median / 1000" | bc -l)" "$(echo "$p90 / 1000" | bc -l)" "$swipes"
done

hz=$(getconf CLK_TCK)
# The kernel's tick-sampled account (utime + stime, what top shows) and the
# scheduler's exact on-CPU time of all the program's threads.
run_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s }'; }
wakeups() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches/ { s += $2 } END { print s }'; }
measure_idle() {
  local before after ns0 ns1 w0 w1
  sleep 2
  before=$(cpu_ticks $app_pid) ns0=$(run_ns $app_pid) w0=$(wakeups $app_pid)
  sleep "$idle"
  after=$(cpu_ticks $app_pid) ns1=$(run_ns $app_pid) w1=$(wakeups $app_pid)
  printf 'idle %-7s for %d s: CPU %.2f s (%.3f %% of a core); on CPU %.1f ms (%.3f %%), %.1f thread switches/s  [%s]\n' \
    "$1" "$idle" "$(echo "($after - $before) / $hz" | bc -l)" "$(echo "($after - $before) * 100 / $hz / $idle" | bc -l)" \
    "$(echo "($ns1 - $ns0) / 1000000" | bc -l)" "$(echo "($ns1 - $ns0) / 10000000 / $idle" | bc -l)" \
    "$(echo "($w1 - $w0) / $idle" | bc -l)" "$2"
}
stop_program
for model in SL-10 SLU-42 SLU-43 SLX-44 SLR-45 SMW-46 SW-30 SWU-41; do
  run_program $model
  case $model in
  SL-10) measure_idle $model "polled every 200 ms at 38400 baud" ;;
  SMW-46) measure_idle $model "a read outstanding, 200 ms timer" ;;
  SW-30) measure_idle $model "status asked every 275 ms at 9600 baud, 55 ms timer" ;;
  SWU-41) measure_idle $model "a read outstanding, 55 ms timer" ;;
  *) measure_idle $model "unpolled, 55 ms timer" ;;
  esac
  stop_program
done
