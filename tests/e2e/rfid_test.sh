#!/usr/bin/env bash
# A badge held to a simulated SLR-45 proximity reader is typed into the
# focused application exactly as the settings render and format its code.
# Usage: rfid_test.sh PROGRAM READERSIM XTARGET LANG_FILES_DIR ARTIFACTS [CASE]
# CASE (default replug):
#   replug  all three renderings (hexadecimal, split decimal, long decimal);
#           pulling the adapter shows the reader problem, plugging it back
#           restores the reader by itself and the next badge is typed
#   single  one rendering (long decimal); a frame with a wrong check byte and
#           line garbage type nothing
#   together  two badges' frames in one write: both typed, each once, in order
#   held    a badge kept in the field two seconds, its frame repeated every
#           100 ms, is typed once; shown again after a pause, once more
set -u
program=$1 readersim=$2 xtarget=$3 langfiles=$4 artifacts=$5 case=${6:-replug}
model=SLR-45
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
mkdir -p "$artifacts"

start_sim

# Each rendering padded to 14; Tab after the first two, Enter after the last.
if [ "$case" = single ]; then
  tracks="<T1>FALSE</T1><T2>FALSE</T2><T3>TRUE</T3><T3Char>1</T3Char>"
  want="00078187493530<Return>"
else
  tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
  want="0000123456789A<Tab>00182591577652<Tab>00078187493530<Return>"
fi
start_program "<Model>$model</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

# expect_typed WHAT: the target got exactly WHAT in all, and nothing after it.
expect_typed() {
  wait_for 10 typed_is "$work/typed" "$1" || fail "typed '$(typed)' instead of '$1'"
  sleep 1  # nothing more may come: each frame is typed once
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' after the badge, not '$1'"
}

want2="000000000000FF<Tab>00004278190080<Tab>00000000000255<Return>"
case $case in
together)
  # The frames of codes 12 34 56 78 9A and 00 00 00 00 FF, built by hand:
  # STX, 0A, 01, the code, the exclusive or of the seven bytes, ETX.
  sim 'send \x02\x0a\x01\x12\x34\x56\x78\x9a\x99\x03\x02\x0a\x01\x00\x00\x00\x00\xff\xf4\x03'
  expect_typed "$want$want2"
  echo "PASS ($model, $case): two frames in one write typed once each, in order"
  exit 0
  ;;
held)
  sim "hold 123456789A 2000"
  wait_for 10 typed_is "$work/typed" "$want" || fail "typed '$(typed)' instead of '$want'"
  sleep 3  # the rest of the two seconds, and a pause with the badge away
  [ "$(typed)" = "$want" ] || fail "a held badge typed '$(typed)', not '$want' once"
  sim "present 123456789A"
  expect_typed "$want$want"
  echo "PASS ($model, $case): a badge held two seconds typed once, shown again typed again"
  exit 0
  ;;
esac

sim "present 123456789A"
expect_typed "$want"

case $case in
single)
  sim "badcheck 123456789A"
  sim 'send \x03\xff\x02\x0a'
  sim 'send \x01\x12\x34\x56\x78\x9a\x98\x03'
  sleep 1
  [ "$(typed)" = "$want" ] || fail "bad frames typed '$(typed)'"
  # The same badge again is a new read.
  sim "present 0A02123456789A"
  expect_typed "$want$want"
  echo "PASS ($model, $case): one rendering typed exactly, bad frames typed nothing, a repeat typed again"
  ;;
replug)
  sim unplug
  wait_for 10 grep -qx 'image=3' "$work/state" || fail "an unplugged reader does not show the reader problem"
  problem=$(awk -F'\t' '$1 == "lettore di tessere guasto o non collegato" { print $2 }' "$here/../../lang/messages.tsv")
  [ "$(get hint | cut -d'|' -f1)" = "$problem" ] ||
    fail "an unplugged reader shows '$(get hint)', not '$problem'"
  sim plug
  wait_for 10 grep -qx 'image=0' "$work/state" || fail "the reader plugged back is not restored"
  sim "present 00000000FF"
  expect_typed "$want$want2"
  import -window root "$artifacts/rfid-$model.png" || fail "screenshot"
  echo "PASS ($model, $case): badge typed, unplug shown, replug restored by itself, next badge typed"
  ;;
*) fail "unknown case" ;;
esac
