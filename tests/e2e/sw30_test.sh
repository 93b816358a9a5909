#!/usr/bin/env bash
# The motorised reader/encoder "SW-30": a card offered at its entrance is drawn
# in, read and typed into the focused application exactly as the settings
# format it; taken out, another one offered is typed too. Pulling the reader
# shows the reader problem, plugging it back restores it by itself.
# Usage: sw30_test.sh PROGRAM READERSIM XTARGET LANG_FILES_DIR ARTIFACTS_DIR
set -u
program=$1 readersim=$2 xtarget=$3 langfiles=$4 artifacts=$5
model=SW-30
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
mkdir -p "$artifacts"

start_sim

# Track 2 from its first character, padded to 14, Enter after it.
start_program "<Model>$model</Model><Com>$work/reader</Com><T1>FALSE</T1><T2>TRUE</T2><T3>FALSE</T3><T2Char>1</T2Char><SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"
wait_for 15 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

sim "offer ROSSI|0012345678|0077"
want="00000012345678<Return>"
expect_typed "$want"
# The card stays inside until taken: no second read of it.
sim take
sim "offer |4711|"
want="${want}00000000004711<Return>"
expect_typed "$want"
import -window root "$artifacts/sw30-typed.png" || fail "screenshot"

sim unplug
wait_for 10 grep -qx 'image=3' "$work/state" || fail "an unplugged reader does not show the reader problem"
problem=$(awk -F'\t' '$1 == "lettore di tessere guasto o non collegato" { print $2 }' "$here/../../lang/messages.tsv")
[ "$(get hint | cut -d'|' -f1)" = "$problem" ] ||
  fail "an unplugged reader shows '$(get hint)', not '$problem'"
import -window root "$artifacts/sw30-unplugged.png" || fail "screenshot"
# The card is taken out while the reader is away: plugged back, it shows
# working and empty.
sim take
sim plug
wait_for 10 grep -qx 'image=0' "$work/state" || fail "the reader plugged back is not restored"
sim "offer |99|"
want="${want}00000000000099<Return>"
expect_typed "$want"
echo "PASS ($model): offered cards typed, unplug shown, replug restored, next card typed"
