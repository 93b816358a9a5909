# Shell fixture: a private X display with a window manager and a tray host.
# Source it, then call start_xsession; everything stops when the script exits.
set -u
XS_PIDS=()

XS_CLEAN_DIR=

xs_cleanup() {
  for pid in "${XS_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "$XS_CLEAN_DIR" ]; then rm -rf "$XS_CLEAN_DIR"; fi
}
trap xs_cleanup EXIT

# wait_for SECONDS COMMAND...: retries COMMAND every 0.1 s.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.1
  done
}

start_xsession() {
  local fifo; fifo=$(mktemp -u); mkfifo "$fifo"
  # -noreset: the server must outlive its clients coming and going.
  Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
  XS_PIDS+=($!)
  local num; read -r -t 15 num <"$fifo" || { echo "Xvfb did not start"; return 1; }
  rm -f "$fifo"
  export DISPLAY=":$num"
  openbox --sm-disable >/dev/null 2>&1 &
  XS_PIDS+=($!)
  wait_for 10 xprop -root _NET_SUPPORTING_WM_CHECK || { echo "no window manager"; return 1; }
  if [ "${1:-}" = "--tray" ]; then
    trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel \
      --height 24 --SetDockType true >/dev/null 2>&1 &
    XS_PIDS+=($!)
    local sel="_NET_SYSTEM_TRAY_S0"
    wait_for 10 sh -c "xprop -root | grep -q . && xdotool search --class trayer" ||
      { echo "no tray host"; return 1; }
  fi
}

# start_typing_target XTARGET LOG: a window that logs every key it gets ("C <code>"
# for a character, "N <name>" for other keys), given the focus.
start_typing_target() {
  "$1" badge-target >"$2" &
  XS_PIDS+=($!)
  wait_for 5 xdotool search --onlyvisible --name badge-target || { echo "no typing target"; return 1; }
  xdotool windowactivate --sync "$(xdotool search --onlyvisible --name badge-target | head -1)"
  wait_for 5 grep -q '^R' "$2" || { echo "the typing target did not get the focus"; return 1; }
}

# typed_text LOG: what the typing target got, other keys as <name>.
typed_text() {
  awk '$1 == "C" { printf "%c", $2 } $1 == "N" { printf "<%s>", $2 }' "$1"
}
typed_is() { [ "$(typed_text "$1")" = "$2" ]; }

# make_program_dir PROGRAM LANG_FILES_DIR: a new folder $work, removed at the
# end, holding the program with its language files beside it, as installed.
make_program_dir() {
  work=$(mktemp -d)
  XS_CLEAN_DIR=$work
  cp "$1" "$work/lumbra" || return 1
  cp "$2"/*.lng "$work/" || { echo "no language files in $2"; return 1; }
}

# start_program SETTINGS: writes the settings (the XML inside <Configuration>)
# beside the program of make_program_dir and starts it; $app is its process and
# $state the file where it reports what a user would see.
start_program() {
  printf '<?xml version="1.0"?>\n<Configuration>%s</Configuration>\n' "$1" >"$work/lumbra.xml"
  state=$work/state
  export LUMBRA_TEST_STATE=$state
  HOME=$work XDG_CONFIG_HOME=$work/config "$work/lumbra" >"$work/out.log" 2>&1 &
  app=$!
  XS_PIDS+=($app)
}
