#!/usr/bin/env bash
# A swipe on a simulated reader is typed into the focused application exactly
# as the settings format it, whatever the line did before it.
# Usage: swipe_test.sh MODEL PROGRAM READERSIM XTARGET LANG_FILES_DIR [CASE]
# CASE (default replug):
#   replug  pulling the reader shows the reader problem, plugging it back
#           restores it, and the next swipe is typed again
#   absent  the port is missing at start (adapter plugged in after log-on):
#           the reader comes up by itself when it appears, with the error
#           box still open
#   cut     bursts the adapter hands over in two pieces, one cut right after
#           a carriage return inside the burst, one between CR and LF
#   noise   a lone start sentinel from line noise, a quiet line, then a swipe
#   together  two swipes' frames reach the port in one write: both typed,
#           each once, in order
#   alltracks  (SL-10) all three tracks ticked for a model that reads track 2:
#           the reader starts on track 2, the boxes show it, one message box
set -u
model=$1 program=$2 readersim=$3 xtarget=$4 langfiles=$5 case=${6:-replug}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"

if [ "$model" = SL-10 ]; then sample_cards yes; else sample_cards no; fi
[ "$case" = alltracks ] && tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T2Char>1</T2Char>"
settings="<Model>$model</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"

if [ "$case" = absent ]; then
  start_program "$settings"
  wait_for 15 test -f "$work/state" || fail "the program did not start"
  sleep 1  # a few timer steps find no port
  [ "$(get image)" != 0 ] || fail "the reader is shown working without its port"
  start_sim
  wait_for 10 grep -qx 'image=0' "$work/state" ||
    fail "the reader did not come up by itself when its port appeared"
  # The start-up error box may still be open: the target takes the focus
  # back, and the typing must reach it.
  start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"
  sim "swipe $card"
  expect_typed "$want"
  echo "PASS ($model, $case): port missing at start, reader up when it appeared, swipe typed"
  exit 0
fi

start_sim
start_program "$settings"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

case $case in
replug)
  sim "swipe $card"
  expect_typed "$want"
  sim unplug
  wait_for 10 grep -qx 'image=3' "$work/state" || fail "an unplugged reader does not show the reader problem"
  # The same problem as a reader that stopped answering, in the user's language.
  problem=$(awk -F'\t' '$1 == "lettore di tessere guasto o non collegato" { print $2 }' "$here/../../lang/messages.tsv")
  [ "$(get hint | cut -d'|' -f1)" = "$problem" ] ||
    fail "an unplugged reader shows '$(get hint)', not '$problem'"
  sim plug
  wait_for 10 grep -qx 'image=0' "$work/state" || fail "the reader plugged back is not restored"
  sim "swipe $card2"
  expect_typed "$want$want2"
  echo "PASS ($model, $case): swipe typed, unplug shown, replug restored, next swipe typed"
  ;;
cut)
  # A reader that ends each track with a carriage return; the adapter's
  # latency timer cuts the burst right after the next track's sentinel.
  sim 'send %ROSSI MARIO?\r;'
  sim 'pause 10'
  sim 'send 12345678?\r;0077?\r\n'
  expect_typed "$want"
  # The usual frame cut between its carriage return and line feed.
  frame="%ROSSI MARIO?;12345678?+0077?"
  sim "cut $((${#frame} + 1)) ROSSI MARIO|12345678|0077"
  expect_typed "$want$want"
  echo "PASS ($model, $case): bursts cut after a carriage return typed exactly"
  ;;
noise)
  # Garbage and a lone sentinel (a loose cable, the port opened mid-burst),
  # then a quiet line, then a real swipe that must be read on its own.
  all=
  for mark in ';' '%' '+'; do
    sim "send \\x00\\xfe$mark"
    sim 'pause 500'
    sim "swipe $card"
    all=$all$want
    expect_typed "$all"
  done
  echo "PASS ($model, $case): a swipe after a lone sentinel and a quiet line typed exactly"
  ;;
together)
  # Two frames as the reader sends them (STX, the track 2 field between its
  # sentinels, ETX), written to the line at once.
  sim 'send \x02%ONE?;1111?\x03\x02%TWO?;2222?\x03'
  one="00000000000ONE<Tab>00000000001111<Tab>00000000000000<Return>"
  two="00000000000TWO<Tab>00000000002222<Tab>00000000000000<Return>"
  expect_typed "$one$two"
  echo "PASS ($model, $case): two frames in one write typed once each, in order"
  ;;
alltracks)
  [ "$(get tracks)" = -2- ] || fail "the settings show tracks '$(get tracks)', not track 2 only"
  title="^Lettore di tessere Tavik\$"  # the caption of every message box
  wait_for 5 xdotool search --onlyvisible --name "$title" >/dev/null 2>&1 || fail "no message"
  sleep 1
  boxes=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | wc -l)
  [ "$boxes" = 1 ] || fail "$boxes message boxes, not one"
  sim "swipe $card"
  expect_typed "$want"
  echo "PASS ($model, $case): started on track 2 with all three ticked, one message, swipe typed"
  ;;
*) fail "unknown case" ;;
esac
