#!/usr/bin/env bash
# The SWU-41 reader/encoder, simulated on a pseudo-terminal, with the real
# program under Xvfb: the read the program keeps outstanding names the track
# code of the selected tracks, each swipe is typed exactly into a real X
# client, and pulling the reader out and back shows the reader problem and
# its recovery.
# Usage: swu41_test.sh PROGRAM READERSIM XTARGET LANG_FILES_DIR ARTIFACTS_DIR
set -u
program=$1 readersim=$2 xtarget=$3 langfiles=$4 artifacts=$5
model=SWU-41
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"
# How many reads of the code of tracks 1 and 2 the simulator has been sent.
reads() { grep -c '^host: r4$' "$work/sim.log" 2>/dev/null || true; }
reads_above() { [ "$(reads)" -gt "$1" ]; }

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
mkdir -p "$artifacts"

start_sim
sim trace

# Tracks 1 and 2 (track code 4), each slice from its first character padded
# to 14, a Tab after track 1 and Enter after track 2.
settings="<Model>SWU-41</Model><Com>$work/reader</Com>"
settings+="<T1>TRUE</T1><T2>TRUE</T2><T3>FALSE</T3><T1Char>2</T1Char><T2Char>1</T2Char>"
settings+="<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"
want="000ROSSI MARIO<Tab>00000012345678<Return>"
want2="0000000000000B<Tab>00000000004711<Return>"

expect_typed() {
  wait_for 10 typed_is "$work/typed" "$1" || fail "typed '$(typed)' instead of '$1'"
  sleep 1  # nothing more may come: each read is typed once
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' after the read, not '$1'"
}

start_program "$settings"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
wait_for 5 reads_above 0 || fail "no read of track code 4 reached the reader"
grep -q '^host: i0$' "$work/sim.log" || fail "the reader was not initialised"
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

sim "swipe ROSSI MARIO|12345678|0077"
expect_typed "$want"
# The next read is asked for without anyone asking.
wait_for 5 reads_above 1 || fail "no read outstanding after the first swipe"
sim "swipe B|4711|"
expect_typed "$want$want2"

# A stray STX on the line just before the reply: the badge is typed.
wait_for 5 reads_above 2 || fail "no read outstanding after the second swipe"
sim 'send \x02'
sim "swipe B|4711|"
expect_typed "$want$want2$want2"

n=$(reads)
sim unplug
wait_for 10 grep -qx 'image=3' "$work/state" || fail "an unplugged reader does not show the reader problem"
problem=$(awk -F'\t' '$1 == "lettore di tessere guasto o non collegato" { print $2 }' "$here/../../lang/messages.tsv")
[ "$(get hint | cut -d'|' -f1)" = "$problem" ] ||
  fail "an unplugged reader shows '$(get hint)', not '$problem'"
sim plug
wait_for 10 grep -qx 'image=0' "$work/state" || fail "the reader plugged back is not restored"
wait_for 5 reads_above "$n" || fail "no read outstanding after the replug"
sim "swipe ROSSI MARIO|12345678|0077"
expect_typed "$want$want2$want2$want"

# Switched off and on again with its adapter staying: noticed by itself, shown
# once, and back by itself.
seen=$(wc -l <"$work/state.history")
sim off
wait_for 30 grep -qx 'image=3' "$work/state" || fail "a reader switched off stays shown as working"
sleep 6  # two rounds of looking for it
n=$(reads)
sim on
wait_for 15 grep -qx 'image=0' "$work/state" || fail "a reader switched on again is not restored"
shown=$(tail -n +$((seen + 1)) "$work/state.history" |
  awk '{ split($0, f, " hint="); if (f[1] == "image=3" && last != "image=3") n++; last = f[1] } END { print n + 0 }')
[ "$shown" = 1 ] || fail "the reader switched off was shown $shown times"
wait_for 5 reads_above "$n" || fail "no read outstanding after switching on"
sim "swipe B|4711|"
expect_typed "$want$want2$want2$want$want2"
import -window root "$artifacts/swu41-swipes.png" || fail "screenshot"
echo "PASS (SWU-41): read of code 4 outstanding, swipes typed (one after a stray STX), unplug and switch-off shown, both restored, swipe typed"
