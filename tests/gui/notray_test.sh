#!/usr/bin/env bash
# A desktop without a notification area: the window is shown at start, closing
# it minimises it, and starting the program again brings the running copy
# forward and ends (one process left). When a tray appears later, closing
# hides the window into it again.
# Usage: notray_test.sh PROGRAM LANG_FILES_DIR
set -u
program=$1
langfiles=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xsession.sh"

fail() { echo "FAIL: $*"; [ -f "${state:-}" ] && cat "$state"; [ -f "${work:-}/out.log" ] && cat "$work/out.log"; exit 1; }
get() { sed -n "s/^$1=//p" "$state" 2>/dev/null; }
# Processes running this copy of the program.
copies() {
  local n=0 p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = "$work/lumbra" ] && n=$((n + 1))
  done
  echo $n
}
iconic() { xprop -id "$win" WM_STATE | grep -q 'Iconic'; }
normal() { xprop -id "$win" WM_STATE | grep -q 'Normal'; }
active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$win" ]; }
start_again() {
  HOME=$work XDG_CONFIG_HOME=$work/config LUMBRA_TEST_STATE=$work/state2 \
    timeout 20 "$work/lumbra" >"$work/second.log" 2>&1
}

start_xsession || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
mkfifo "$work/reader"
start_program "<Model>SLX-44</Model><Com>$work/reader</Com>"
exec 5<>"$work/reader"

wait_for 15 grep -q '^visible=1' "$state" || fail "no window at start without a tray"
[ "$(get tray)" = 0 ] || fail "a tray icon was reported without a tray"
wait_for 5 xdotool search --onlyvisible --name "^$(get title)\$" || fail "the window is not on screen"
win=$(xdotool search --onlyvisible --name "^$(get title)\$" | head -1)
wait_for 5 normal || fail "the window at start is not in its normal state"

# Closing minimises: the window stays reachable from the taskbar.
xdotool windowactivate --sync "$win" key --clearmodifiers alt+F4
wait_for 5 iconic || fail "closing did not minimise the window"
kill -0 "$app" || fail "closing ended the program"

# A second start brings the running copy forward and ends with success.
start_again || fail "the second start ended with status $?: $(cat "$work/second.log")"
wait_for 5 normal || fail "the second start did not restore the window"
wait_for 5 active || fail "the restored window is not the active one"
[ "$(copies)" = 1 ] || fail "$(copies) copies running after the second start"

# Also when it is open but behind another application's window.
xmessage -name other-app -geometry 300x100+50+400 "other" &
XS_PIDS+=($!)
wait_for 5 xdotool search --onlyvisible --classname other-app || fail "no other window"
other=$(xdotool search --onlyvisible --classname other-app | head -1)
xdotool windowactivate --sync "$other"
wait_for 5 sh -c "[ \"\$(xdotool getactivewindow)\" = $other ]" || fail "the other window has no focus"
start_again || fail "the third start ended with status $?"
wait_for 5 active || fail "the third start did not bring the window in front"
[ "$(copies)" = 1 ] || fail "$(copies) copies running after the third start"

# A tray that appears later: the icon goes there and closing hides again.
trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel \
  --height 24 --SetDockType true >/dev/null 2>&1 &
XS_PIDS+=($!)
echo "status 1" >&5  # the state is written again
wait_for 10 sh -c "echo 'status 1' >&5; sleep 0.3; grep -q '^tray=1' '$state'" ||
  fail "the icon did not go to the tray that appeared"
xdotool windowactivate --sync "$win" key --clearmodifiers alt+F4
wait_for 5 grep -q '^visible=0' "$state" || fail "with a tray, closing did not hide the window"
kill -0 "$app" || fail "closing ended the program"

kill -TERM "$app"
wait_for 10 sh -c "! kill -0 $app" || fail "SIGTERM did not end the program"
echo "PASS: window at start without a tray, close minimises, a second start comes forward, tray later hides"
