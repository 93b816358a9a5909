#!/usr/bin/env bash
# The Windows program as a user meets it, under Wine on a virtual display with
# a window manager and a notification area: started from a folder of its own
# with its settings beside it, it reads a simulated "SLX-44" on a COM port of
# the prefix and types a swipe into another Windows application; its icon is
# in the tray, its menu and window (both views, Italian and English) open from
# it; pulling the reader gives one message box, which, once closed, gives the
# focus back to that application. Screenshots go to ARTIFACTS.
# Usage: win_swipe_test.sh RUNNER PREFIX PROGRAM LANG_FILES_DIR WINTARGET READERSIM
#                          LANG_TABLES ARTIFACTS
set -u
runner=$1 prefix=$2 program=$3 langfiles=$4 wintarget=$5 readersim=$6 tables=$7 artifacts=$8
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../gui/xsession.sh"
mkdir -p "$artifacts"
rm -f "$artifacts/win-failure.png"
export WINEPREFIX=$prefix
server=$(dirname "${LUMBRA_WINE:-/usr/lib/wine/wine64}")/wineserver
port=COM7
link=$prefix/dosdevices/com7
work=

fail() {
  echo "FAIL: $*"
  if [ -n "$work" ]; then
    [ -f "$work/typed" ] && { echo "--- the target's log:"; tr '\n' ' ' <"$work/typed"; echo; }
    [ -f "$work/sim.log" ] && { echo "--- the simulator:"; tail -5 "$work/sim.log" | cat -v; }
    [ -s "$work/out.log" ] && { echo "--- the program:"; tail -20 "$work/out.log"; }
  fi
  import -window root "$artifacts/win-failure.png" 2>/dev/null
  exit 1
}
cleanup() {
  # The prefix's server and every program of it go before the display does.
  "$server" -k 2>/dev/null
  rm -f "$link"
  xs_cleanup
}
trap cleanup EXIT

# text TABLE KEY COLUMN: a cell of a language table (2 Italiano, 3 English),
# escapes undone; plain: a caption without its mnemonic mark.
text() {
  awk -F'\t' -v k="$2" -v c="$3" '$1 == k { print $c; exit }' "$tables/$1.tsv" |
    sed 's/\\s/ /g; s/\\\\/\\/g'
}
plain() { sed 's/&\(.\)/\1/g'; }
# The Windows-side questions (see WinTarget.cpp).
wt() { "$runner" "$prefix" "$wintarget" "$@" 2>/dev/null; }
sim() { echo "$*" >&6; }

start_xsession --tray || fail "no X session"
"$runner" "$prefix" cmd /c exit >/dev/null 2>&1 || fail "Wine does not start in $prefix"
# The prefix's server and its desktop process, which docks the tray icons,
# must be those of this display; the server stays up between the programs,
# and with it the system's volatile registry.
"$server" -k 2>/dev/null
"$server" -w 2>/dev/null
"$server" -p >/dev/null 2>&1 || fail "no Wine server"
panel=$(xdotool search --classname '^panel$' | head -1)
[ -n "$panel" ] || fail "no tray panel"

work=$(mktemp -d)
XS_CLEAN_DIR=$work
mkdir "$work/prog"
cp "$program" "$work/prog/lumbra.exe" && cp "$langfiles"/*.lng "$work/prog/" ||
  fail "no program folder"
settings=$work/prog/lumbra.xml

# The simulated reader, its port linked as a COM port of the prefix.
rm -f "$link"
mkfifo "$work/sim.in"
"$readersim" SLX-44 "$link" <"$work/sim.in" >"$work/sim.log" 2>&1 &
XS_PIDS+=($!)
exec 6>"$work/sim.in"
wait_for 10 test -L "$link" || fail "the simulator published no port"
# Wine lists the ports its mount manager found at start; on Windows the
# driver of a USB adapter adds its port to this table as it comes.
"$runner" "$prefix" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial6' /d "$port" /f \
  >/dev/null 2>&1 || fail "the port could not be listed"

# The docked icons of Wine's tray are windows of its desktop process.
tray_icon() {
  xwininfo -tree -id "$panel" | sed -n 's/^ *\(0x[0-9a-f]*\) .*("explorer.exe" .*/\1/p' | head -1
}
has_tray_icon() { [ -n "$(tray_icon)" ]; }
# click_icon BUTTON [COUNT]: clicks on the tray icon, as a user would.
click_icon() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$(tray_icon)")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click --repeat "${2:-1}" --delay 120 "$1"
}
foreground_is() { [ "$(wt foreground | head -1)" = "$1" ]; }
foreground_title_is() { [ "$(wt foreground | sed -n 2p)" = "$1" ]; }
shows_text() { wt texts | grep -qxF "$1"; }
main_size() { wt main | sed -n 2p; }
size_is_not() { local s; s=$(main_size); [ -n "$s" ] && [ "$s" != "$1" ]; }
not() { ! "$@"; }
is_active() { [ "$(xdotool getactivewindow)" = "$1" ]; }
# click_on CAPTION: a click on the middle of the visible control so captioned.
click_on() {
  local x y
  read -r x y <<<"$(wt where "$1")"
  [ -n "${x:-}" ] || fail "no control '$1' on screen"
  xdotool mousemove "$x" "$y" click 1
}
# type_password TITLE: the password dialog comes, takes the password, goes.
type_password() {
  wait_for 15 xdotool search --onlyvisible --name "^$1\$" || fail "no password dialog '$1'"
  xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "^$1\$" | head -1)"
  # Keys reach a window once Wine, too, has made it the active one.
  wait_for 10 foreground_title_is "$1" || fail "the password dialog did not get the focus"
  xdotool type --delay 40 qorvi
  xdotool key Return
  wait_for 15 not xdotool search --onlyvisible --name "^$1\$" || fail "the password dialog stayed"
}
# screenshot NAME WINDOW: a moment for the painting, then the picture.
screenshot() {
  sleep 0.5
  import -frame -window "$2" "$artifacts/$1.png" || fail "screenshot $1"
}

start_program() {
  (cd "$work/prog" && exec "$runner" "$prefix" "$work/prog/lumbra.exe") >"$work/out.log" 2>&1 &
  app=$!
  XS_PIDS+=($app)
  wait_for 40 wt texts || fail "the program's main window does not exist"
}

# show_views LANGUAGE COLUMN: the window opened from the tray, its compact
# and its settings view, and the tray menu, all in LANGUAGE, on screenshots.
show_views() {
  local language=$1 col=$2 title settings_caption compact x
  title=$(text captions TkEmuTasMain "$col")
  settings_caption=$(text captions TkEmuTasMain.XiButton3 "$col" | plain)
  wait_for 20 shows_text "$(text messages "Lettore in funzione" "$col")" ||
    fail "the reader status is not '$(text messages "Lettore in funzione" "$col")'"
  wt main >/dev/null && fail "the window is shown at start"

  click_icon 1 2
  wait_for 15 wt main || fail "a double click on the tray icon did not show the window"
  [ "$(wt main | sed -n 1p)" = "$title" ] || fail "the window is titled '$(wt main | sed -n 1p)', not '$title'"
  wait_for 10 xdotool search --onlyvisible --name "^$title\$" || fail "no window '$title' on screen"
  x=$(xdotool search --onlyvisible --name "^$title\$" | head -1)
  # Placed and active: the places of its controls hold from now on.
  wait_for 10 is_active "$x" || fail "the window did not become active"
  compact=$(main_size)
  screenshot "win-compact-$language" "$x"

  click_on "$settings_caption"
  type_password "$(text captions TkETPwdDlg "$col")"
  wait_for 15 size_is_not "$compact" || fail "the right password did not open the settings view"
  [ "$(main_size | cut -dx -f2)" -gt "${compact#*x}" ] ||
    fail "the settings view ($(main_size)) is not taller than the compact one ($compact)"
  screenshot "win-settings-$language" "$x"
  # Back to the compact view, which saves the settings.
  click_on "$settings_caption"
  wait_for 15 not size_is_not "$compact" || fail "the settings view did not close"
  click_on "$(text captions TkEmuTasMain.XiButton1 "$col" | plain)"
  wait_for 15 not wt main || fail "closing did not hide the window"
  kill -0 "$app" 2>/dev/null || fail "closing the window ended the program"

  click_icon 3
  wait_for 15 wt menu || fail "a right click on the tray icon did not open its menu"
  sleep 0.5
  import -window root "$artifacts/win-tray-menu-$language.png" || fail "screenshot"
}

# Italian, as the settings say; the reader on the prefix's COM port.
tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
printf '<?xml version="1.0"?>\n<Configuration><Model>SLX-44</Model><Com>%s</Com>%s<Lingua>1</Lingua><MsgErrReader>TRUE</MsgErrReader><SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes></Configuration>\n' \
  "$port" "$tracks" >"$settings"
cp "$settings" "$work/settings.first"
start_program
wait_for 20 has_tray_icon || fail "no icon in the tray"
show_views Italiano 2
# A click elsewhere closes the menu.
xdotool mousemove 700 300 click 1
wait_for 10 not wt menu || fail "the tray menu stayed open"
cmp -s "$settings" "$work/settings.first" && fail "the settings were not saved beside the program"
grep -q "<Com>$port</Com>" "$settings" || fail "the saved settings lost the port"

# The application the badges are for, with the focus.
"$runner" "$prefix" "$wintarget" target "Z:$work/typed" >/dev/null 2>&1 &
XS_PIDS+=($!)
wait_for 20 grep -qx R "$work/typed" 2>/dev/null || fail "the target program did not start"
wait_for 10 xdotool search --onlyvisible --name '^badge-target$' || fail "no target window on screen"
target=$(xdotool search --onlyvisible --name '^badge-target$' | head -1)
target_has_focus() {
  foreground_is LumbraBadgeTarget && [ "$(grep '^F' "$work/typed" | tail -1)" = "F 1" ]
}
xdotool windowactivate --sync "$target"
wait_for 15 target_has_focus || fail "the target did not get the focus"
typed() { typed_text "$work/typed"; }
# expect_typed WHAT: the target got exactly WHAT in all, and nothing after it.
expect_typed() {
  wait_for 20 typed_is "$work/typed" "$1" || fail "typed '$(typed)' instead of '$1'"
  sleep 1
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' after the read, not '$1'"
}
want="000ROSSI MARIO<Tab>00000012345678<Tab>00000000000077<Return>"
sim "swipe ROSSI MARIO|12345678|0077"
expect_typed "$want"

# A reader pulled out is one problem: one message box (the reader problem, as
# the settings ask), which once closed hands the focus back. Nothing of the
# port's own comes on top of it or after it. Boxes are closed with a click on
# OK, as a user would (a box of a program in the background need not get the
# keyboard); a few seconds are left for any other box of the same unplug.
sim unplug
wait_for 30 wt box || fail "no message box for the unplugged reader"
sleep 3
import -window root "$artifacts/win-message-box-Italiano.png" || fail "screenshot"
box_is_not() { [ "$(wt box | head -1)" != "$1" ]; }
boxes=0 seen=
while box=$(wt box) && [ $boxes -lt 6 ]; do
  boxes=$((boxes + 1))
  seen+="$(sed -n 3p <<<"$box")|"
  foreground_is '#32770' || echo "the box '$(sed -n 3p <<<"$box")' came without the focus"
  read -r okx oky <<<"$(sed -n 4p <<<"$box")"
  xdotool mousemove "$okx" "$oky" click 1
  wait_for 10 box_is_not "$(head -1 <<<"$box")" || fail "a click on OK did not close the message box"
  wait_for 8 wt box || break
done
echo "message boxes of one unplug: $boxes ($seen)"
[ "$boxes" -eq 1 ] || fail "one unplug gave $boxes message boxes: $seen"
problem=$(text messages "lettore di tessere guasto o non collegato" 2)
grep -qF "|$problem|" <<<"|$seen" || fail "no message box said '$problem'"
wait_for 15 target_has_focus || fail "the focus did not go back to the target ($(wt foreground | head -1))"
sim plug
wait_for 30 shows_text "$(text messages "Lettore in funzione" 2)" || fail "the reader plugged back is not restored"
want2="0000000000000B<Tab>00000000004711<Tab>00000000000000<Return>"
sim "swipe B|4711|"
expect_typed "$want$want2"

# The exit command of the tray menu, behind the password: the last entry.
click_icon 3
wait_for 15 wt menu || fail "no tray menu"
read -r ml mt mr mb <<<"$(wt menu)"
xdotool mousemove $(((ml + mr) / 2)) $((mb - 10)) click 1
type_password "$(text captions TkETPwdDlg 2)"
wait_for 20 not kill -0 "$app" || fail "the exit command did not end the program"
wait_for 10 not has_tray_icon || fail "the tray icon stayed after the program ended"

# English, chosen in the settings the program saved.
sed -i 's|<Lingua>1</Lingua>|<Lingua>0</Lingua>|' "$settings"
grep -q '<Lingua>0</Lingua>' "$settings" || fail "no language in the saved settings"
start_program
show_views English 3
echo "PASS: swipe typed into a Windows application, tray icon and menu, both views in Italian and English, one message box per unplug and the focus back after it"
