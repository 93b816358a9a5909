#!/usr/bin/env bash
# Simulated SLU-20 USB readers (virtual HID devices) and the real program
# under Xvfb, typing into the focused application.
# Usage: slu20_test.sh PROGRAM READERSIM XTARGET LANG_FILES_DIR ARTIFACTS [CASE]
# CASE (default replug):
#   replug  a card inserted is typed once, kept in it types nothing more,
#           taken out and inserted again it is typed again; bad reads type
#           nothing; unplugging shows the reader problem, plugging back
#           restores the reader by itself
#   copies  two readers and three copies of the program: each of the first
#           two takes a reader of its own, the third none (reader problem);
#           a copy that ends frees its reader, which the third takes by
#           itself; a copy killed outright leaves its reader to the next copy
#           that starts
#   full    every slot of the claim table held by other copies: the reader
#           is taken all the same, its card typed once, and no message box
#           comes up
set -u
program=$1 readersim=$2 xtarget=$3 langfiles=$4 artifacts=$5 case=${6:-replug}
mkdir -p "$artifacts"
model=SLU-20
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e_lib.sh"

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
# The folder of virtual devices lies under the runtime folder: a private one
# for this test, shared by its simulators and its copies of the program.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
# And a claim table of its own, out of the way of real copies on the machine.
export LUMBRA_TEST_CLAIM_PREFIX=lumbra-e2e-$$-
claims=/dev/shm/${LUMBRA_TEST_CLAIM_PREFIX}TavikUSBBadgeReader

settings="<Model>$model</Model><T1>FALSE</T1><T2>TRUE</T2><T3>FALSE</T3><T2Char>1</T2Char><SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"
problem=$(awk -F'\t' '$1 == "lettore di tessere guasto o non collegato" { print $2 }' "$here/../../lang/messages.tsv")

# A simulated reader N with instance number NUMBER, taking its commands from
# the file descriptor 10 + N; it is plugged in once its socket is listed.
start_reader() {
  local n=$1 number=$2
  mkfifo "$work/sim$n.in"
  "$readersim" "$model" "$number" <"$work/sim$n.in" >"$work/sim$n.log" 2>&1 &
  XS_PIDS+=($!)
  eval "exec $((10 + n))>\"$work/sim$n.in\""
  wait_for 5 test -S "$XDG_RUNTIME_DIR/lumbra/hid/sim-$number" ||
    fail "reader $n did not plug in: $(cat "$work/sim$n.log")"
}
reader() { local n=$1; shift; echo "$*" >&$((10 + n)); }

# A copy of the program in a folder of its own (program, language files,
# settings), reporting what it shows in its folder's "state".
declare -A copy_pid
start_copy() {
  local name=$1 dir=$work/$1
  mkdir -p "$dir"
  cp "$work/lumbra" "$work"/*.lng "$dir/"
  printf '<?xml version="1.0"?>\n<Configuration>%s</Configuration>\n' "$settings" >"$dir/lumbra.xml"
  # Each copy as if in a login session of its own: one session runs one copy.
  XDG_SESSION_ID=e2e-$name LUMBRA_TEST_STATE=$dir/state HOME=$dir XDG_CONFIG_HOME=$dir/config "$dir/lumbra" \
    >"$dir/out.log" 2>&1 &
  copy_pid[$name]=$!
  XS_PIDS+=($!)
}
image_of() { sed -n 's/^image=//p' "$work/$1/state" 2>/dev/null; }
hint_of() { sed -n 's/^hint=//p' "$work/$1/state" 2>/dev/null; }
# shows NAME IMAGE [SECONDS]: the copy shows the status picture IMAGE.
shows() { wait_for "${3:-10}" grep -qx "image=$2" "$work/$1/state"; }

# expect_typed WHAT: the target got exactly WHAT in all, and nothing after it.
expect_typed() {
  wait_for 10 typed_is "$work/typed" "$1" || fail "typed '$(typed)' instead of '$1'"
  sleep 1.5  # several requests later: a card kept in is not typed again
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' after the card, not '$1'"
}

# fill_claims: another copy of the program holding readers in every free slot
# of the table, as long as it runs (its readers' numbers no device has).
fill_claims() {
  python3 - "$claims" >"$work/filler.log" 2>&1 <<'PY' &
import fcntl, os, signal, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o666)
os.ftruncate(fd, 80)
os.fchmod(fd, 0o666)
held = 0
for slot in range(20):
    if struct.unpack_from("<I", os.pread(fd, 80, 0), slot * 4)[0] != 0:
        continue
    key = 0x7FF00000 + slot
    # The program's hold of a reader: a lock on byte 2^32 + key of the table.
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, (1 << 32) + key, 1, 0))
    os.pwrite(fd, struct.pack("<I", key), slot * 4)
    held += 1
print("held", held, flush=True)
signal.pause()
PY
  XS_PIDS+=($!)
  wait_for 5 grep -q "^held" "$work/filler.log" || fail "no copy to fill the table: $(cat "$work/filler.log")"
}
boxes() { xdotool search --onlyvisible --name "^Lettore di tessere Tavik\$" 2>/dev/null | wc -l; }

base=$((($$ % 100000) * 10))
case $case in
replug)
  start_reader 1 $((base + 1))
  start_copy one
  shows one 0 15 || fail "the reader did not come up ($(hint_of one))"
  start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"

  want="00000000004711<Return>"
  reader 1 "insert 4711"
  expect_typed "$want"
  reader 1 remove
  sleep 1  # a few requests see the slot empty
  reader 1 "insert 4711"
  expect_typed "$want$want"
  reader 1 remove
  # A bad read, a card with no data and one half-way type nothing.
  for bad in "badparity 123456" "badcheck 123456" empty half; do
    reader 1 "$bad"
    sleep 0.8
    reader 1 remove
    sleep 0.8
  done
  [ "$(typed)" = "$want$want" ] || fail "bad reads typed '$(typed)'"
  want2="00000000012D34<Return>"
  reader 1 "swipe 12=34"
  expect_typed "$want$want$want2"

  reader 1 unplug
  shows one 3 || fail "an unplugged reader does not show the reader problem"
  [ "$(hint_of one | cut -d'|' -f1)" = "$problem" ] ||
    fail "an unplugged reader shows '$(hint_of one)', not '$problem'"
  reader 1 plug
  shows one 0 || fail "the reader plugged back is not restored"
  reader 1 "insert 4711"
  expect_typed "$want$want$want2$want"
  # Back under another instance number, as another USB port would give it.
  reader 1 remove
  reader 1 unplug
  shows one 3 || fail "unplugged again, the reader problem is not shown"
  reader 1 "plug $((base + 9))"
  shows one 0 || fail "the reader plugged back under another number is not restored"
  import -window root "$artifacts/usb-$model.png" || fail "screenshot"
  echo "PASS ($model, $case): inserted card typed once, typed again after removal, bad reads typed nothing, unplug shown, replug restored"
  ;;
copies)
  start_reader 1 $((base + 1))
  start_reader 2 $((base + 2))
  start_copy one
  shows one 0 15 || fail "the first copy did not take a reader ($(hint_of one))"
  start_copy two
  shows two 0 15 || fail "the second copy did not take the other reader ($(hint_of two))"
  start_copy three
  shows three 3 15 || fail "the third copy shows '$(image_of three)', not the reader problem"
  [ "$(hint_of three | cut -d'|' -f1)" = "$problem" ] ||
    fail "the third copy shows '$(hint_of three)', not '$problem'"
  start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"
  # Each reader is held by exactly one copy: each card is typed once.
  want1="00000000001111<Return>" want2="00000000002222<Return>"
  reader 1 "insert 1111"
  expect_typed "$want1"
  reader 2 "insert 2222"
  expect_typed "$want1$want2"
  reader 1 remove
  reader 2 remove

  # The first copy ends as a session end ends it: the third copy, which has
  # no reader, takes the freed one by itself; the second keeps its own.
  kill -TERM "${copy_pid[one]}"
  wait_for 10 sh -c "! kill -0 ${copy_pid[one]}" || fail "the first copy did not end"
  shows three 0 || fail "the third copy did not take the freed reader ($(hint_of three))"
  shows two 0 || fail "the second copy lost its reader ($(hint_of two))"
  reader 1 "insert 3333"
  expect_typed "$want1$want2""00000000003333<Return>"
  reader 2 "insert 4444"
  expect_typed "$want1$want2""00000000003333<Return>00000000004444<Return>"
  reader 1 remove
  reader 2 remove

  # The second copy is killed outright: its claim stays in the table, but
  # no live copy holds it, so a copy started now takes that reader.
  kill -KILL "${copy_pid[two]}"
  wait "${copy_pid[two]}" 2>/dev/null
  start_copy four
  shows four 0 15 || fail "a new copy did not take the reader of the killed one ($(hint_of four))"
  echo "PASS ($model, $case): two readers, one each; the third copy none; an ended copy's reader taken by the copy without one; a killed copy's reader taken by a new copy"
  ;;
full)
  fill_claims
  [ "$(od -An -tu4 -v "$claims" | tr -s ' ' '\n' | grep -cv '^0*$')" -eq 20 ] || fail "the table is not full"
  settings="$settings<MsgErrReader>TRUE</MsgErrReader>"
  start_reader 1 $((base + 1))
  start_copy one
  shows one 0 15 || fail "with the table full the reader is not taken ($(hint_of one))"
  start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"
  want="00000000004711<Return>"
  reader 1 "insert 4711"
  expect_typed "$want"
  sleep 2  # ten requests and more: any retrying would show by now
  [ "$(boxes)" -eq 0 ] || fail "$(boxes) message boxes with the table full"
  [ "$(typed)" = "$want" ] || fail "typed '$(typed)', not '$want' once"
  grep -c "image=3" "$work/one/state.history" >/dev/null &&
    fail "the reader problem was shown: $(cat "$work/one/state.history")"
  echo "PASS ($model, $case): the claim table full, the reader taken unrecorded, its card typed once, no message box"
  ;;
*) fail "unknown case" ;;
esac
rm -f "$claims"
