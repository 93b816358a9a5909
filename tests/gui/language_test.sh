#!/usr/bin/env bash
# Choosing another language in the settings view switches the whole window, the
# tray menu, the reader status and the About window at once, and the choice is
# kept. The expected texts come from the language tables the files are made of.
# Usage: language_test.sh PROGRAM ARTIFACT_DIR LANG_FILES_DIR LANG_SOURCES_DIR
set -u
program=$1
artifacts=$2
langfiles=$3
tables=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xsession.sh"
mkdir -p "$artifacts"

fail() { echo "FAIL: $*"; [ -f "${state:-}" ] && cat "$state"; exit 1; }
get() { sed -n "s/^$1=//p" "$state" 2>/dev/null; }
# text TABLE KEY COLUMN: a cell of a language table (columns: 2 Italiano,
# 3 English, 4 Español), with its escapes undone.
text() {
  awk -F'\t' -v k="$2" -v c="$3" '$1 == k { print $c; exit }' "$tables/$1.tsv" |
    sed 's/\\s/ /g; s/\\\\/\\/g'
}
# Every tab of the settings view in the window and wide enough for its
# caption: none cut, none scrolled out of sight.
tabs_whole() {
  local wx wy ww wh i x y w h need
  echo "status 1" >&5  # the state again, laid out in the language shown
  sleep 0.5
  read -r wx wy ww wh <<<"$(get geometry_window)"
  [ -n "${ww:-}" ] || { echo "no window geometry"; return 1; }
  for i in 0 1 2 3 4; do
    read -r x y w h <<<"$(get "geometry_tab$i")"
    need=$(get "caption_width_tab$i")
    [ -n "${w:-}" ] && [ -n "$need" ] || { echo "tab $i not reported"; return 1; }
    if [ "$x" -lt "$wx" ] || [ "$y" -lt "$wy" ] || [ $((x + w)) -gt $((wx + ww)) ] ||
      [ $((y + h)) -gt $((wy + wh)) ] || [ "$w" -le "$need" ]; then
      echo "tab $i at $x $y $w $h, caption $need wide, window $wx $wy $ww $wh"
      return 1
    fi
    read -r need h <<<"$(get "page_height_tab$i")"
    [ -n "${h:-}" ] && [ "$need" -le "$h" ] || { echo "page $i needs ${need:-?} pixels, has ${h:-?}"; return 1; }
  done
}
menu_of() { # the tray menu as the state shows it, in language column $1
  local m="" k
  for k in Apri1 Aiuto1 erminagestionelettore1; do m+="$(text captions "TkEmuTasMain.$k" "$1")|"; done
  echo "$m"
}

start_xsession --tray || fail "no X session"
make_program_dir "$program" "$langfiles" || fail "no program folder"
mkfifo "$work/reader"
start_program "<Model>SLX-44</Model><Com>$work/reader</Com><Lingua>1</Lingua><BFSoundErrTes>TRUE</BFSoundErrTes>"
exec 5<>"$work/reader"
wait_for 15 grep -q '^tray=1' "$state" || fail "no tray icon"
wait_for 5 grep -qx "reader_status=$(text messages "Lettore in funzione" 2)" "$state" ||
  fail "the reader status is not in Italian at start"

# A badge status refresh writes the state again, with the icon in its place by now.
sleep 1
echo "status 1" >&5
wait_for 5 grep -qF "tooltip=$(text messages "Lettore in funzione" 2)\\n$(text messages "Nessuna tessera inserita" 2)" "$state" ||
  fail "the tray hint is not the two status lines in Italian"
read -r tx ty tw th <<<"$(get tray_geometry)"
[ "${tx:-0}${ty:-0}" != "00" ] || fail "the tray icon has no place on screen"
xdotool mousemove $((tx + tw / 2)) $((ty + th / 2)) click --repeat 2 --delay 100 1
wait_for 5 grep -q '^visible=1' "$state" || fail "double click did not open the window"
win=$(xdotool search --onlyvisible --name "^$(get title)\$" | head -1)
[ -n "$win" ] || fail "no main window titled '$(get title)'"
xdotool windowactivate --sync "$win" key --clearmodifiers alt+i
wait_for 5 xdotool search --onlyvisible --name "Richiesta Password" || fail "no password dialog"
xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "Richiesta Password" | head -1)" \
  type --delay 20 qorvi
xdotool key --clearmodifiers Return
wait_for 5 grep -q '^view=settings' "$state" || fail "the password did not open the settings"
wait_for 5 grep -q '^geometry_cbLingua=' "$state" || fail "the language list is not shown"
sleep 0.3
import -window "$win" "$artifacts/settings-Italiano.png" || fail "screenshot"
why=$(tabs_whole) || fail "a tab is cut in Italiano: $why"

# choose KEYS: opens the language list and moves through it with KEYS, then Return.
choose() {
  local x y w h
  read -r x y w h <<<"$(get geometry_cbLingua)"
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
  sleep 0.5
  xdotool key --clearmodifiers "$@" Return
}
check_language() { # INDEX COLUMN NAME
  wait_for 5 grep -qx "lingua=$1" "$state" || fail "$3 not selected"
  local title; title="$(text captions TkEmuTasMain "$2")"
  wait_for 5 grep -qxF "title=$title" "$state" || fail "window title is not the $3 one '$title'"
  wait_for 5 grep -qxF "reader_status=$(text messages "Lettore in funzione" "$2")" "$state" ||
    fail "the reader status was not set again in $3"
  grep -qxF "menu=$(menu_of "$2")" "$state" || fail "the tray menu is not in $3"
  xdotool search --onlyvisible --name "^$title\$" >/dev/null || fail "no window titled '$title' on screen"
  sleep 0.3
  import -window "$win" "$artifacts/settings-$3.png" || fail "screenshot"
  local why
  why=$(tabs_whole) || fail "a tab is cut in $3: $why"
}
choose Up
check_language 0 3 English
choose Down Down
check_language 2 4 Español

# The About window opens in the chosen language and Escape closes it.
read -r bx by bw bh <<<"$(get geometry_XiButton4)"
xdotool mousemove $((bx + bw / 2)) $((by + bh / 2)) click 1
about=$(text captions fmAbout 4)
wait_for 5 xdotool search --onlyvisible --name "^$about\$" || fail "no About window titled '$about'"
sleep 0.3
import -window "$(xdotool search --onlyvisible --name "^$about\$" | head -1)" "$artifacts/about-Español.png" ||
  fail "screenshot"
xdotool key --clearmodifiers Escape
wait_for 5 sh -c "! xdotool search --onlyvisible --name '^$about\$'" || fail "Escape did not close the About window"

# The sound file dialog comes with its title in the chosen language; the file
# chosen in it becomes the read-error sound.
: >"$work/beep.wav"
# click_tab N: a click near the start of tab N.
click_tab() {
  local x y w h
  read -r x y w h <<<"$(get "geometry_tab$1")"
  xdotool mousemove $((x + 12)) $((y + h / 2)) click 1
  sleep 0.3
  echo "status 1" >&5  # the state is written again, now with the tab's controls
  wait_for 5 grep -qx "tab=$1" "$state"
}
# The tab with the most controls, in the language of the longest captions.
click_tab 1 || fail "the read tab did not open"
import -window "$win" "$artifacts/settings-read-Español.png" || fail "screenshot"
click_tab 2 || fail "the read-error tab did not open"
wait_for 5 grep -q '^geometry_btSoundErrTes=' "$state" || fail "the read-error tab did not open"
read -r sx sy sw sh <<<"$(get geometry_btSoundErrTes)"
xdotool mousemove $((sx + sw / 2)) $((sy + sh / 2)) click 1
dialog=$(text captions TkEmuTasMain.SoundDlg.Title 4)
wait_for 5 xdotool search --onlyvisible --name "^$dialog\$" || fail "no file dialog titled '$dialog'"
sleep 0.5
import -window "$(xdotool search --onlyvisible --name "^$dialog\$" | head -1)" "$artifacts/sound-dialog-Español.png" ||
  fail "screenshot"
xdotool type --delay 20 "$work/beep.wav"
xdotool key --clearmodifiers Return
wait_for 5 sh -c "! xdotool search --onlyvisible --name '^$dialog\$'" || fail "the file dialog did not close"

kill -TERM $app
wait_for 10 sh -c "! kill -0 $app" || fail "SIGTERM did not end the program"
grep -q "<Lingua>2</Lingua>" "$work/lumbra.xml" || fail "the language choice was not saved"
grep -qF "<FSoundErrTes>$work/beep.wav</FSoundErrTes>" "$work/lumbra.xml" ||
  fail "the chosen sound file was not saved"
echo "PASS: Italiano, English and Español in window, menu, status, file dialog and About; choices saved"
