#!/usr/bin/env bash
# The SMW-46 reader/encoder end to end: the program initialises the device
# before it asks for a read, two swipes are typed exactly into a real X
# client, and pulling the reader shows the reader problem once, then the
# recovery, and the next swipe is typed again.
# Usage: smw46_test.sh PROGRAM READERSIM XTARGET LANG_FILES_DIR ARTIFACT_DIR
set -u
program=$1 readersim=$2 xtarget=$3 langfiles=$4 artifacts=$5
model=SMW-46
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"
mkdir -p "$artifacts"

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"

# The simulated device takes its commands from a pipe and logs every command
# of the host ("host X"); its port is published at $work/reader.
start_sim
sim "log on"
wait_for 5 grep -qx 'log on' "$work/sim.log" || fail "the simulator does not log the host's commands"

# Every slice from its first character, padded to 14; Tab after tracks 1
# and 2, Enter after track 3.
tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
start_program "<Model>SMW-46</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
wait_for 10 grep -qx 'host r' "$work/sim.log" || fail "no read asked for"
before_read=$(sed -n 's/^host //p' "$work/sim.log" | sed '/^r$/q' | tr -d '\n')
[ "$before_read" = "aeyr" ] || fail "the host sent '$before_read' up to the first read, not 'aeyr'"

start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"
expect_typed() {
  wait_for 10 typed_is "$work/typed" "$1" || fail "typed '$(typed)' instead of '$1'"
  sleep 1  # each read is typed once
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' after the read, not '$1'"
}
want1="000ROSSI MARIO<Tab>00000012345678<Tab>00000000000077<Return>"
want2="0000000000000B<Tab>00000000004711<Tab>00000000000000<Return>"
sim "swipe ROSSI MARIO|12345678|0077"
expect_typed "$want1"
sim "swipe B|4711|"
expect_typed "$want1$want2"

# A reply that lost its FS on the line: the read error shows, nothing of it
# is typed (no earlier card, no protocol bytes), and the next swipe is typed
# alone.
sim 'lose \x1c'
sim "swipe LOST|999|"
wait_for 5 grep -qx 'image=5' "$work/state" || fail "a reply without its FS does not show a read error"
sleep 0.5
[ "$(typed)" = "$want1$want2" ] || fail "a reply without its FS typed '$(typed)'"
sim "swipe B|4711|"
expect_typed "$want1$want2$want2"

seen=$(wc -l <"$work/state.history")
sim unplug
wait_for 10 grep -qx 'image=3' "$work/state" || fail "an unplugged reader does not show the reader problem"
# The same problem as a reader that stopped answering, in the user's language.
problem=$(awk -F'\t' '$1 == "lettore di tessere guasto o non collegato" { print $2 }' "$here/../../lang/messages.tsv")
shows_problem() { [ "$(get hint | cut -d'|' -f1)" = "$problem" ]; }
wait_for 5 shows_problem || fail "an unplugged reader shows '$(get hint)', not '$problem'"
sleep 2  # the timer keeps trying the port meanwhile
sim plug
wait_for 10 grep -qx 'image=0' "$work/state" || fail "the reader plugged back is not restored"
sleep 0.5
# One report: the problem picture comes once, with one problem text (a line
# error beside the lost reader, say, would be a second text).
working=$(get hint | cut -d'|' -f1)
tail -n +$((seen + 1)) "$work/state.history" >"$work/unplugged"
reports=$(awk -v ok="$working" '
  { split($0, f, " hint="); image = f[1]; text = f[2]; sub(/\|.*/, "", text) }
  image == "image=3" && last != "image=3" { shown++ }
  image == "image=3" && text != ok { texts[text] = 1 }
  { last = image }
  END { n = 0; for (t in texts) n++; print shown + 0, n }' "$work/unplugged")
[ "$reports" = "1 1" ] ||
  fail "the reader problem was not shown once (times, texts: $reports): $(tr '\n' ' ' <"$work/unplugged")"
sim "swipe ROSSI MARIO|12345678|0077"
expect_typed "$want1$want2$want2$want1"

# Switched off and on again with its adapter staying: the program notices the
# silent reader by itself, and the reader comes back by itself.
seen=$(wc -l <"$work/state.history")
sim off
wait_for 30 grep -qx 'image=3' "$work/state" || fail "a reader switched off stays shown as working"
sleep 3  # a few rounds of looking for it
reads=$(grep -c '^host r$' "$work/sim.log")
sim on
wait_for 15 grep -qx 'image=0' "$work/state" || fail "a reader switched on again is not restored"
shown=$(tail -n +$((seen + 1)) "$work/state.history" |
  awk '{ split($0, f, " hint="); if (f[1] == "image=3" && last != "image=3") n++; last = f[1] } END { print n + 0 }')
[ "$shown" = 1 ] || fail "the reader switched off was shown $shown times"
more_reads() { [ "$(grep -c '^host r$' "$work/sim.log")" -gt "$reads" ]; }
wait_for 5 more_reads || fail "no read asked for after switching on"
sim "swipe B|4711|"
expect_typed "$want1$want2$want2$want1$want2"
import -window root "$artifacts/e2e-smw46.png" || fail "screenshot"
echo "PASS (SMW-46): initialised before reading, swipes typed, a reply without FS not typed, unplug and switch-off shown once, both restored, next swipe typed"
