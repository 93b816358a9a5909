# Shell fixture: a private X display with a window manager and a tray host.
# Source it, then call start_xsession; everything stops when the script exits.
set -u
XS_PIDS=()

xs_cleanup() {
  for pid in "${XS_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
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
