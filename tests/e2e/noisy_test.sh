#!/usr/bin/env bash
# A reader on a noisy line: a swipe the line damaged is typed exactly or not at
# all, and then the read error is shown as the user configured it (picture,
# status and message box) so that the user swipes again; the next swipe is
# typed as usual.
# Usage: noisy_test.sh MODEL PROGRAM READERSIM XTARGET LANG_FILES_DIR
set -u
model=$1 program=$2 readersim=$3 xtarget=$4 langfiles=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"

title="^Lettore di tessere Tavik\$"  # the caption of every message box
shown() { xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; }
read_error=$(awk -F'\t' '$1 == "Errore in lettura tessera" { print $2 }' "$here/../../lang/messages.tsv")

# expect_read_error TYPED: the read error is shown, in the picture, the status
# and a message box, and nothing more was typed; the box is then confirmed.
expect_read_error() {
  wait_for 10 shown || fail "no message box for the failed read"
  [ "$(get image)" = 5 ] || fail "the picture is $(get image), not the read error"
  [ "$(get hint | cut -d'|' -f2)" = "$read_error" ] || fail "the status is '$(get hint)'"
  sleep 1
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' for a damaged swipe"
  xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "$title" | head -1)" \
    key --clearmodifiers Return
  wait_for 5 sh -c "! xdotool search --onlyvisible --name '$title'" || fail "the box stays"
  # The box gives the focus back to the application that had it.
  wait_for 5 sh -c "xdotool getwindowfocus getwindowname | grep -qx badge-target" ||
    fail "the focus is on '$(xdotool getwindowfocus getwindowname)', not on the application"
}

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
if [ "$model" = SLX-44 ]; then sample_cards no; else sample_cards yes; fi
start_sim
start_program "<Model>$model</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes><MsgErrTes>TRUE</MsgErrTes>"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

case $model in
SLX-44)
  case="stray STX before a frame"
  sim "framing stx"
  sim "damage stx $card"
  expect_typed "$want"
  case="ETX inside a frame"
  sim "damage etx 5 $card"
  expect_read_error "$want"
  sim "swipe $card2"
  expect_typed "$want$want2"
  case="two frames in one block"
  sim "framing cr"
  sim 'send %ROSSI MARIO?;12345678?+0077?\r\n%B?;4711?\r\n'
  expect_typed "$want$want2$want$want2"
  ;;
SL-10)
  case="frame without its end byte"
  sim "damage noend"
  sim "swipe $card"
  expect_read_error ""
  sim "swipe $card2"
  expect_typed "$want2"
  ;;
SW-30)
  case="DLE inside the read answer"
  sim "cut 8"
  sim "offer |$card|"
  expect_typed "$want"
  [ "$(get image)" != 5 ] || fail "a read error shown for a card read again"
  sim take
  sim "offer |$card2|"
  expect_typed "$want$want2"
  ;;
*) fail "no noisy line case for this model" ;;
esac
echo "PASS ($model): damaged swipes typed exactly or shown as a failed read, the next typed"
