#!/usr/bin/env bash
# A swipe on a simulated reader, read by the real program in a headless sway
# session, is typed exactly into a native Wayland client and into an X client
# through XWayland, whatever layout the user's keyboard has and with a
# modifier held on it during the swipe.
# Usage: wayland_swipe_test.sh PROGRAM READERSIM WLTARGET XTARGET LANG_FILES_DIR [CASE]
# CASE (default xwayland): xwayland  the program's windows through XWayland
#                          nox       no X display at all for the program; a
#                                    second start hands over to the first
#                          novk      no X display and no compositor with a
#                                    virtual keyboard: the user is told once,
#                                    in the chosen language, and nothing hangs
#                          kde       inside in_kwin.sh (--grant app/lumbra):
#                                    KWin's fake input into a native client
here=$(cd "$(dirname "$0")" && pwd)
model=SLX-44
. "$here/../e2e/e2e_lib.sh"
. "$here/wlsession.sh"
wl_run_as_user "$0" "$@"
program=$1 readersim=$2 wltarget=$3 xtarget=$4 langfiles=$5 case=${6:-xwayland}

if [ "$case" = kde ]; then
  # KWin grants fake input to the program path its desktop entry names.
  work=$XDG_RUNTIME_DIR/app
  XS_CLEAN_DIR=$work
  mkdir -p "$work" && cp "$program" "$work/lumbra" && cp "$langfiles"/*.lng "$work/" ||
    fail "no program folder"
else
  start_wlsession || fail "no sway session"
  make_program_dir "$program" "$langfiles" || fail "no program folder"
fi

# Track 1 with the letters the layouts move (Y/Z, A/Q, W, M) and punctuation
# on shifted keys, track 2 digits (shifted on fr).
tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
card="swipe Y/Z-QAM.W|12345678|0077"
want="00000Y/Z-QAM.W<Tab>00000012345678<Tab>00000000000077<Return>"
settings="<Model>$model</Model><Com>$work/reader</Com>$tracks<SoundErrReader>FALSE</SoundErrReader><SoundErrTes>FALSE</SoundErrTes>"

# The user's keyboard: "user CMD SYM" waits for the compositor to have it.
start_user_keyboard() {
  [ -n "${kbd_pid:-}" ] && { exec 7>&-; kill "$kbd_pid" 2>/dev/null; wait "$kbd_pid" 2>/dev/null; }
  rm -f "$work/kbd.in"; mkfifo "$work/kbd.in"
  "$wltarget" keyboard "$@" <"$work/kbd.in" >"$work/kbd.out" 2>&1 &
  kbd_pid=$!
  XS_PIDS+=($kbd_pid)
  exec 7>"$work/kbd.in"
  user tap Shift_L || fail "the user's keyboard ($*) did not come up"
}
answered_after() { [ "$(grep -c '^ok$' "$work/kbd.out")" -gt "$1" ]; }
user() {
  local before; before=$(grep -c '^ok$' "$work/kbd.out" 2>/dev/null)
  echo "$*" >&7
  wait_for 5 answered_after "${before:-0}" ||
    { echo "the user's keyboard said:"; cat "$work/kbd.out"; return 1; }
}

# start_target KIND: a new native (wl) or X (x) target, which takes the focus.
start_target() {
  [ -n "${target_pid:-}" ] && { kill "$target_pid" 2>/dev/null; wait "$target_pid" 2>/dev/null; }
  : >"$work/typed"
  if [ "$1" = wl ]; then "$wltarget" target >"$work/typed" 2>/dev/null &
  else "$xtarget" badge-target >"$work/typed" 2>/dev/null &
  fi
  target_pid=$!
  XS_PIDS+=($target_pid)
  wait_for 10 grep -q '^R' "$work/typed" || fail "the $1 target did not get the focus"
}

expect_typed() {
  wait_for 10 typed_is "$work/typed" "$1" || fail "$2: typed '$(typed)' instead of '$1'"
}

start_sim
if [ "$case" = novk ]; then
  unset DISPLAY
  WAYLAND_DISPLAY=lumbra-no-compositor start_program "$settings<Lingua>2</Lingua>"
  wait_for 20 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
  notice=$(awk -F'\t' '$1 ~ /XWayland/ { print $4 }' "$here/../../lang/messages.tsv")
  [ -n "$notice" ] || fail "no Spanish notice in the message table"
  [ "$(grep -cF "$notice" "$work/out.log")" = 1 ] ||
    fail "the notice was not said once in Spanish: $(cat "$work/out.log")"
  sim "$card"
  wait_for 10 grep -q 'no X display' "$work/out.log" || fail "a swipe did not say why it cannot be typed"
  kill -0 "$app" || fail "the program ended"
  echo "PASS ($case): told once in Spanish that only X applications are reached, running on"
  exit 0
fi
if [ "$case" = kde ]; then
  start_program "$settings"
  wait_for 20 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
  start_target wl
  sim "$card"
  expect_typed "$want" "$LUMBRA_KWIN_LAYOUT, fake input"
  sim "$card"
  expect_typed "$want$want" "$LUMBRA_KWIN_LAYOUT, fake input, second swipe"
  echo "PASS ($case): swipes typed exactly through fake input on $LUMBRA_KWIN_LAYOUT"
  exit 0
fi
if [ "$case" = nox ]; then
  x=$DISPLAY
  unset DISPLAY
  start_program "$settings"
  export DISPLAY=$x  # for the X target
else
  start_program "$settings"
fi
wait_for 20 grep -qx 'image=0' "$work/state" || fail "the reader did not come up"
if [ "$case" = nox ]; then
  # The same session's second copy hands over to the first and ends.
  ( unset DISPLAY; HOME=$work XDG_CONFIG_HOME=$work/config timeout 15 "$work/lumbra" >"$work/second.log" 2>&1 ) ||
    fail "a second copy did not hand over and end: $(cat "$work/second.log")"
  kill -0 "$app" || fail "the first copy ended"
fi

layouts=${LUMBRA_WL_LAYOUTS:-"us de fr ch:fr"}
for layout in $layouts; do
  start_user_keyboard ${layout%%:*} $([ "${layout#*:}" != "$layout" ] && echo "${layout#*:}")
  for kind in wl x; do
    what="$layout, $kind target"
    start_target "$kind"
    sim "$card"
    expect_typed "$want" "$what"
    user down Shift_L || fail "$what: the user's Shift did not go down"
    sim "$card"
    expect_typed "$want$want" "$what, Shift held"
    user up Shift_L || fail "$what: the user's Shift did not come up"
  done
done
sleep 1  # nothing more may come: each read is typed once
[ "$(typed)" = "$want$want" ] || fail "typed '$(typed)' after the last read"
echo "PASS ($case): swipes typed exactly into native and X clients on $layouts, Shift held or not"
