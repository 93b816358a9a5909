#!/usr/bin/env bash
# The installed package as a user meets it: /usr/bin/lumbra, its settings in
# the user's configuration folder, a swipe on the installed simulator typed
# into a real X client, a second start that brings the window forward, the
# autostart entry it writes; then its About window and its icon as a menu
# shows it, for the artifacts.
# Usage: installed_test.sh XTARGET ICONVIEW ARTIFACT_DIR
set -u
xtarget=$1 iconview=$2 artifacts=$3
model=SLX-44
case=installed
here=$(cd "$(dirname "$0")/../e2e" && pwd)
. "$here/e2e_lib.sh"
eval "e2e_$(declare -f fail)"
fail() {
  [ -f "${work:-}/out.log" ] && { echo "program output:"; cat "$work/out.log"; }
  e2e_fail "$@"
}
readersim=/usr/bin/lumbra-readersim
program=/usr/bin/lumbra
[ -x "$program" ] && [ -x "$readersim" ] || fail "the package did not install the programs"

mkdir -p "$artifacts"
work=$(mktemp -d)
XS_CLEAN_DIR=$work
start_xsession --tray || fail "no X session"

# An installed copy keeps its settings in the user's configuration folder.
mkdir -p "$work/config/lumbra"
printf '<?xml version="1.0"?>\n<Configuration>%s</Configuration>\n' \
  "<Model>$model</Model><Com>$work/reader</Com><T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char><SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>" \
  >"$work/config/lumbra/lumbra.xml"
start_sim
run_program() { HOME=$work XDG_CONFIG_HOME=$work/config "$program" "$@"; }
HOME=$work XDG_CONFIG_HOME=$work/config "$program" >"$work/out.log" 2>&1 &
app=$!
XS_PIDS+=($app)

# The reader is up when the program holds the simulator's port open.
port=$(readlink -f "$work/reader")
holds_port() { ls -l "/proc/$app/fd" 2>/dev/null | grep -q -- "-> $port\$"; }
wait_for 15 holds_port || fail "the installed program did not open the reader's port $port"
start_typing_target "$xtarget" "$work/typed" || fail "no focused typing target"
sim "swipe ROSSI MARIO|12345678|0077"
want="000ROSSI MARIO<Tab>00000012345678<Tab>00000000000077<Return>"
wait_for 10 typed_is "$work/typed" "$want" || fail "typed '$(typed)' instead of '$want'"
echo "ok: the installed program typed the swipe"
[ ! -e /usr/bin/lumbra.xml ] || fail "the installed program wrote its settings beside itself"

# Started again from the menu, it brings its window forward.
run_program >"$work/second.log" 2>&1 || fail "the second start ended with status $?"
title="Lettore di tessere Tavik 1.6"
wait_for 5 xdotool search --onlyvisible --name "^$title" || fail "the second start showed no window"
win=$(xdotool search --onlyvisible --name "^$title" | head -1)

# The About window: behind the settings password, on the first settings tab.
xdotool windowactivate --sync "$win" key --clearmodifiers alt+i
wait_for 5 xdotool search --onlyvisible --name "Richiesta Password" || fail "no password dialog"
xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "Richiesta Password" | head -1)" \
  type --delay 20 qorvi
xdotool key --clearmodifiers Return
wait_for 5 sh -c "! xdotool search --onlyvisible --name 'Richiesta Password'" || fail "the password was refused"
sleep 0.5
# The settings view's first tab, below the three rows of Italian tab
# captions: its controls are clicked where the fixed-size window has them
# ("Info" has no key of its own).
read -r wx wy < <(xwininfo -id "$win" | sed -n 's/.*Absolute upper-left [XY]: *//p' | paste -sd' ')
# The autostart box first: ticked, it writes the log-in entry of the
# installed program.
xdotool mousemove $((wx + 20)) $((wy + 189)) click 1
entry=$work/config/autostart/TavikEmuTast.desktop
wait_for 5 test -f "$entry" || fail "ticking the autostart box wrote no autostart entry"
grep -qx 'Exec="/usr/bin/lumbra"' "$entry" || fail "the autostart entry does not start /usr/bin/lumbra: $(cat "$entry")"
desktop-file-validate "$entry" || fail "the autostart entry is not a valid desktop entry"
cp "$entry" "$artifacts/autostart-entry.desktop"
sleep 0.3
import -window "$win" "$artifacts/settings-installed.png" || fail "no screenshot of the settings view"
xdotool mousemove $((wx + 171)) $((wy + 245)) click 1
wait_for 5 xdotool search --onlyvisible --name "^Informazioni" || fail "no About window"
about=$(xdotool search --onlyvisible --name "^Informazioni" | head -1)
sleep 0.5
import -window "$about" "$artifacts/about-installed.png" || fail "no screenshot of the About window"
xdotool windowactivate --sync "$about" key --clearmodifiers Escape

# The installed entry and its icon, found by name in the icon theme as a menu does.
"$iconview" /usr/share/applications/example.tavik.Lumbra.desktop >"$work/icon.log" 2>&1 &
XS_PIDS+=($!)
wait_for 10 xdotool search --onlyvisible --name "^Applications\$" || fail "no icon view: $(cat "$work/icon.log")"
grep -q "icon lumbra found" "$work/icon.log" || fail "the icon theme has no icon 'lumbra': $(cat "$work/icon.log")"
sleep 0.5
import -window "$(xdotool search --onlyvisible --name "^Applications\$" | head -1)" \
  "$artifacts/icon-in-menu.png" || fail "no screenshot of the icon"

kill -TERM "$app"
wait_for 10 sh -c "! kill -0 $app" || fail "SIGTERM did not end the installed program"
echo "PASS (installed): swipe typed, second start came forward, autostart entry, About and icon shown"
