#!/usr/bin/env bash
# The end of the session (SIGTERM, SIGHUP, SIGINT, the session manager's
# "die") ends the program within a few seconds whatever modal window is open,
# and the settings held in memory reach the file on the way out.
# Usage: session_end_test.sh E2E_PROGRAM TEST_PROGRAM LANG_FILES_DIR LANG_SOURCES_DIR [SESSION_MANAGER]
set -u
e2eapp=$1 testapp=$2 langfiles=$3 tables=$4 sessionmanager=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../gui/xsession.sh"

fail() {
  echo "FAIL ($case): $*"
  [ -f "${state:-}" ] && cat "$state"
  [ -f "${work:-}/lumbra.xml" ] && cat "$work/lumbra.xml"
  [ -f "${work:-}/out.log" ] && tail -5 "$work/out.log"
  exit 1
}
get() { sed -n "s/^$1=//p" "$state" 2>/dev/null; }
# text TABLE KEY: the Italian cell of a language table.
text() { awk -F'\t' -v k="$2" '$1 == k { print $2; exit }' "$tables/$1.tsv" | sed 's/\\s/ /g'; }
shown() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
title="^Lettore di tessere Tavik\$"  # the caption of every message box

# Stored values the program changes while it loads them (a start position of 0
# becomes 1, a width of 300 becomes 255): they reach the file only when the
# settings are saved.
clamped="<T1Start>0</T1Start><T1All>300</T1All>"
unsaved() { grep -q '<T1Start>0</T1Start>' "$work/lumbra.xml"; }
saved() {
  grep -q '<T1Start>1</T1Start>' "$work/lumbra.xml" && grep -q '<T1All>255</T1All>' "$work/lumbra.xml" &&
    grep -q "<Com>$1</Com>" "$work/lumbra.xml"
}

# end_with SIGNAL PORT: the program ends on its own within 5 s of SIGNAL, with
# a clean exit and its settings in the file.
end_with() {
  unsaved || fail "the settings were written before the end"
  kill -"$1" "$app"
  wait_for 5 sh -c "! kill -0 $app" || fail "still running 5 s after SIG$1"
  wait "$app"
  local rc=$?
  [ "$rc" = 0 ] || fail "exit status $rc after SIG$1"
  saved "$2" || fail "the settings were not saved at the end"
}

start_xsession --tray || fail "no X session"
make_program_dir "$e2eapp" "$langfiles" || fail "no program folder"

# The shipped readers: a serial reader whose port does not exist says so in a
# message box at start, and the program must not wait for it to be confirmed.
case="start-up error box, SIGTERM"
start_program "<Model>SL-10</Model><Com>/nonexistent/port</Com>$clamped"
wait_for 15 shown "$title" || fail "no start-up error box"
end_with TERM /nonexistent/port
echo "ok: $case"

# A log-off through a real session manager while the start-up error box waits:
# the settings are written when the manager asks for the data, and its "die"
# ends the program. A checkpoint before it saves and leaves the program running.
if [ -n "$sessionmanager" ]; then
  case="start-up error box, session manager's log-off"
  mkfifo "$work/sm.in"
  "$sessionmanager" <"$work/sm.in" >"$work/sm.log" 2>&1 &
  XS_PIDS+=($!)
  exec 7>"$work/sm.in"
  wait_for 5 test -s "$work/sm.log" || fail "the session manager did not start"
  SESSION_MANAGER=$(head -1 "$work/sm.log") start_program \
    "<Model>SL-10</Model><Com>/nonexistent/port</Com>$clamped"
  wait_for 15 shown "$title" || fail "no start-up error box"
  wait_for 5 grep -qx registered "$work/sm.log" || fail "the program did not join the session"
  unsaved || fail "the settings were written before the end"
  echo checkpoint >&7
  wait_for 5 grep -qx saved "$work/sm.log" || fail "no answer to the checkpoint"
  saved /nonexistent/port || fail "the settings were not written at the checkpoint"
  sleep 1
  kill -0 "$app" 2>/dev/null || fail "a checkpoint ended the program"
  shown "$title" || fail "the error box went away at the checkpoint"
  sed -i 's|<T1Start>1</T1Start>|<T1Start>0</T1Start>|' "$work/lumbra.xml"  # to see the next write
  echo logout >&7
  wait_for 5 grep -qx die "$work/sm.log" || fail "no answer to the log-off"
  wait_for 5 sh -c "! kill -0 $app" || fail "still running 5 s after the session manager's die"
  wait "$app" || fail "exit status $? after the log-off"
  saved /nonexistent/port || fail "the settings were not saved at the log-off"
  exec 7>&-
  echo "ok: $case"
else
  echo "skipped: the session manager's log-off (no X session-management library)"
fi

# The scripted reader from here on: its port is a pipe the test writes events to.
cp "$testapp" "$work/lumbra" || fail "no test program"
mkfifo "$work/reader"

# start_with_window SETTINGS: the program started and its window opened from the tray.
start_with_window() {
  rm -f "$work/state"
  start_program "<Model>SLX-44</Model><Com>$work/reader</Com>$clamped$1"
  exec 5<>"$work/reader"
  wait_for 15 grep -q '^tray=1' "$state" || fail "no tray icon"
  # The tray host may still move the icon after it is embedded: the place is
  # read again before each try.
  local tx ty tw th try
  for try in 1 2 3; do
    sleep 1
    echo "status 1" >&5  # the state is written again, with the icon's place
    wait_for 5 grep -q "^image=" "$state" || fail "no state"
    read -r tx ty tw th <<<"$(get tray_geometry)"
    xdotool mousemove $((tx + tw / 2)) $((ty + th / 2)) click --repeat 2 --delay 100 1
    wait_for 3 grep -q '^visible=1' "$state" && break
  done
  grep -q '^visible=1' "$state" || fail "double click did not open the window"
  win=$(xdotool search --onlyvisible --name "^$(get title)\$" | head -1)
  [ -n "$win" ] || fail "no main window"
}
password_dialog() {
  xdotool windowactivate --sync "$win" key --clearmodifiers alt+i
  wait_for 5 shown "Richiesta Password" || fail "no password dialog"
}
open_settings() {
  password_dialog
  xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "Richiesta Password" | head -1)" \
    type --delay 20 qorvi
  xdotool key --clearmodifiers Return
  wait_for 5 grep -q '^view=settings' "$state" || fail "the password did not open the settings"
}
click() { # NAME: a click in the middle of a control the state file places
  local x y w h
  wait_for 5 grep -q "^geometry_$1=" "$state" || fail "$1 is not shown"
  read -r x y w h <<<"$(get "geometry_$1")"
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
}

# A reader problem reported while the password dialog waits: one modal box
# over another.
case="message box over the password dialog, SIGHUP"
start_with_window "<MsgErrReader>TRUE</MsgErrReader><SoundErrReader>FALSE</SoundErrReader>"
password_dialog
echo "error 54 22" >&5
wait_for 5 grep -q '^image=3' "$state" || fail "the reader problem was not shown"
wait_for 5 shown "$title" || fail "no message box for the reader problem"
shown "Richiesta Password" || fail "the password dialog went away"
end_with HUP "$work/reader"
echo "ok: $case"

# The session manager's "die" while a message box waits.
case="message box, session manager's die"
start_with_window "<MsgErrReader>TRUE</MsgErrReader><SoundErrReader>FALSE</SoundErrReader>"
echo "error 54 22" >&5
wait_for 5 shown "$title" || fail "no message box for the reader problem"
unsaved || fail "the settings were written before the end"
echo "die" >&5
wait_for 5 sh -c "! kill -0 $app" || fail "still running 5 s after the session manager's die"
wait "$app" || fail "exit status $? after the session manager's die"
saved "$work/reader" || fail "the settings were not saved at the end"
echo "ok: $case"

case="About window, SIGINT"
start_with_window ""
open_settings
click XiButton4
about=$(text captions fmAbout)
wait_for 5 shown "^$about\$" || fail "no About window"
end_with INT "$work/reader"
echo "ok: $case"

case="sound file dialog, SIGTERM"
start_with_window "<BFSoundErrTes>TRUE</BFSoundErrTes>"
open_settings
read -r x y w h <<<"$(get geometry_tab2)"
xdotool mousemove $((x + 12)) $((y + h / 2)) click 1
sleep 0.3
echo "status 1" >&5  # the state is written again, now with the tab's controls
wait_for 5 grep -qx "tab=2" "$state" || fail "the read-error tab did not open"
click btSoundErrTes
wait_for 5 shown "^$(text captions TkEmuTasMain.SoundDlg.Title)\$" || fail "no file dialog"
end_with TERM "$work/reader"
echo "ok: $case"

echo "PASS: the program ends with its settings saved whatever modal window is open"
