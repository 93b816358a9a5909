#!/usr/bin/env bash
# A swipe on a simulated reader is typed into the focused application exactly
# as the settings format it; pulling the reader shows the reader problem,
# plugging it back restores it, and the next swipe is typed again.
# Usage: swipe_test.sh MODEL PROGRAM READERSIM XTARGET LANG_FILES_DIR
set -u
model=$1 program=$2 readersim=$3 xtarget=$4 langfiles=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../gui/xsession.sh"

fail() {
  echo "FAIL ($model): $*"
  [ -f "${work:-}/state" ] && cat "$work/state"
  [ -f "${work:-}/sim.log" ] && tail -5 "$work/sim.log"
  exit 1
}
get() { sed -n "s/^$1=//p" "$work/state" 2>/dev/null; }
# What the target received, keys without a character written as <Name>.
typed() { typed_text "$work/typed"; }

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"

# The simulated reader, taking its commands from a pipe.
mkfifo "$work/sim.in"
"$readersim" "$model" "$work/reader" <"$work/sim.in" >"$work/sim.log" 2>&1 &
XS_PIDS+=($!)
exec 6>"$work/sim.in"
wait_for 5 test -e "$work/reader" || fail "the simulator published no port"
sim() { echo "$*" >&6; }

# Settings: every slice from its first character, padded to 14, a Tab after
# track 1 and 2, Enter after track 3 (Enter after track 2 for the track-2 model).
if [ "$model" = SL-10 ]; then
  tracks="<T1>FALSE</T1><T2>TRUE</T2><T3>FALSE</T3><T2Char>1</T2Char>"
  card="swipe 0012345678"
  want="00000012345678<Return>"
  card2="swipe 4711"
  want2="00000000004711<Return>"
else
  tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
  card="swipe ROSSI MARIO|12345678|0077"
  want="000ROSSI MARIO<Tab>00000012345678<Tab>00000000000077<Return>"
  card2="swipe B|4711|"
  want2="0000000000000B<Tab>00000000004711<Tab>00000000000000<Return>"
fi
start_program "<Model>$model</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"

start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

sim "$card"
wait_for 10 typed_is "$work/typed" "$want" ||
  fail "typed '$(typed)' instead of '$want'"
sleep 1  # nothing more may come: the read is typed once
[ "$(typed)" = "$want" ] || fail "typed '$(typed)' after the read, not '$want'"

sim unplug
wait_for 10 grep -qx 'image=3' "$work/state" || fail "an unplugged reader does not show the reader problem"
sim plug
wait_for 10 grep -qx 'image=0' "$work/state" || fail "the reader plugged back is not restored"
sim "$card2"
wait_for 10 typed_is "$work/typed" "$want$want2" ||
  fail "after the replug typed '$(typed)' instead of '$want$want2'"
echo "PASS ($model): swipe typed, unplug shown, replug restored, next swipe typed"
