#!/usr/bin/env bash
# The program as a person meets it: hidden at start with a tray icon whose hint
# is the two status lines; opened from the tray, hidden on close; the settings
# view behind the password; an error message that hands the focus back.
# Usage: tray_test.sh PROGRAM ARTIFACT_DIR XTARGET LANG_FILES_DIR
set -u
program=$1
artifacts=$2
xtarget=$3
langfiles=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xsession.sh"
mkdir -p "$artifacts"

fail() { echo "FAIL: $*"; [ -f "${state:-}" ] && cat "$state"; exit 1; }
get() { sed -n "s/^$1=//p" "$state" 2>/dev/null; }
is() { [ "$(get "$1")" = "$2" ]; }

start_xsession --tray || fail "no X session"

make_program_dir "$program" "$langfiles" || fail "no program folder"
mkfifo "$work/reader"
start_program "<Model>SLX-44</Model><Com>$work/reader</Com><MsgErrReader>TRUE</MsgErrReader>"
# The reader's pipe stays open for writing for the whole test.
exec 5<>"$work/reader"

wait_for 15 grep -q '^tray=1' "$state" || fail "no tray icon"
is visible 0 || fail "a window is visible at start"
xdotool search --onlyvisible --name "Lettore di tessere Tavik" >/dev/null && fail "visible window at start"
is image 4 || fail "tray picture is not the initial one"

echo "status 1" >&5
wait_for 5 grep -qx 'tooltip=Lettore in funzione\\nNessuna tessera inserita' "$state" ||
  fail "tray hint is not the two status lines"

# Open from the tray with a double click on the icon.
read -r tx ty tw th <<<"$(get tray_geometry)"
echo "tray icon at $tx,$ty size ${tw}x$th"
[ "${tw:-0}" -gt 0 ] || fail "tray icon has no place on screen"
xdotool mousemove $((tx + tw / 2)) $((ty + th / 2)) click --repeat 2 --delay 100 1
wait_for 5 grep -q '^visible=1' "$state" || fail "double click did not open the window"
win=$(xdotool search --onlyvisible --name "Lettore di tessere Tavik 1.6" | head -1)
[ -n "$win" ] || fail "no main window"
wait_for 5 sh -c "[ \"\$(xdotool getactivewindow)\" = $win ]"
sleep 0.3
import -window "$win" "$artifacts/compact-view.png" || fail "screenshot"

# Closing hides it; the program goes on.
xdotool windowactivate --sync "$win" key --clearmodifiers alt+F4
wait_for 5 grep -q '^visible=0' "$state" || fail "closing did not hide the window"
kill -0 $app || fail "closing ended the program"

# The settings view needs the password: first a wrong one, then the right one.
xdotool mousemove $((tx + tw / 2)) $((ty + th / 2)) click --repeat 2 --delay 100 1
wait_for 5 grep -q '^visible=1' "$state" || fail "window did not open again"
win=$(xdotool search --onlyvisible --name "Lettore di tessere Tavik 1.6" | head -1)
ask_password() {
  xdotool windowactivate --sync "$win" key --clearmodifiers alt+i
  wait_for 5 xdotool search --onlyvisible --name "Richiesta Password" || fail "no password dialog"
  local dlg; dlg=$(xdotool search --onlyvisible --name "Richiesta Password" | head -1)
  xdotool windowactivate --sync "$dlg" type --delay 20 "$1"
  xdotool key --clearmodifiers Return
  wait_for 5 sh -c "! xdotool search --onlyvisible --name 'Richiesta Password'"
}
ask_password wrong
sleep 0.3
is view compact || fail "a wrong password opened the settings"
ask_password qorvi
wait_for 5 grep -q '^view=settings' "$state" || fail "the right password did not open the settings"
sleep 0.3
import -window "$win" "$artifacts/settings-view.png" || fail "screenshot"

# An error message while another application has the focus gives it back.
xmessage -name focus-target -geometry 300x100+50+400 "target" &
XS_PIDS+=($!)
wait_for 5 xdotool search --onlyvisible --classname focus-target || fail "no target window"
target=$(xdotool search --onlyvisible --classname focus-target | head -1)
xdotool windowactivate --sync "$target"
wait_for 5 sh -c "[ \"\$(xdotool getactivewindow)\" = $target ]" || fail "target not focused"
echo "error 54 22" >&5
wait_for 5 grep -q '^image=3' "$state" || fail "reader problem not shown"
wait_for 5 sh -c "xdotool getactivewindow getwindowname | grep -q 'Lettore di tessere Tavik$'" ||
  fail "no message box in front"
xdotool key --clearmodifiers Return
wait_for 5 sh -c "[ \"\$(xdotool getactivewindow)\" = $target ]" ||
  fail "focus did not return to the application that had it"

# A read is typed into the application that has the focus, formatted: every
# track padded to 14, the caret typed as an ampersand, braces as themselves.
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"
echo 'read 123\rA{B}%^\r9' >&5
want="0000000000012300000000A{B}%&00000000000009"
wait_for 10 typed_is "$work/typed" "$want" || fail "typed '$(typed_text "$work/typed")' instead of '$want'"

# SIGTERM ends the program cleanly and the settings reach the file.
kill -TERM $app
wait_for 10 sh -c "! kill -0 $app" || fail "SIGTERM did not end the program"
grep -q "<T1>TRUE</T1>" "$work/lumbra.xml" || fail "settings were not saved on the way out"
echo "PASS: tray, hint, open, hide, password, focus return, typed read, SIGTERM"
