# Shell fixture: a headless sway session with XWayland. Source it, then call
# start_wlsession; everything stops when the script exits.
#
# sway refuses to run as root, and CI runs as root: a script calls
# wl_run_as_user "$0" "$@" first, which runs it again as an unprivileged user
# of its own (created once) and returns only when already unprivileged.
set -u
. "$(dirname "${BASH_SOURCE[0]}")/../gui/xsession.sh"
WL_RUNTIME=
# The compositor is among XS_PIDS: every client and it are told to end
# before anything is waited for.
trap 'xs_cleanup; [ -z "$WL_RUNTIME" ] || rm -rf "$WL_RUNTIME"' EXIT

WL_USER=lumbra-wltest

wl_run_as_user() {
  [ "$(id -u)" != 0 ] && return 0
  id "$WL_USER" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$WL_USER" ||
    id "$WL_USER" >/dev/null 2>&1 ||  # made meanwhile by a test beside this one
    { echo "cannot create the test user $WL_USER"; exit 1; }
  # The programs and folders the test is given must be within the user's reach.
  local arg dir
  for arg in "$@"; do
    [ -e "$arg" ] || continue
    # A checkout under a private home (/root as a rule) is out of the user's
    # reach only for want of the right to pass through its folders: grant
    # just that, nothing to list or read.
    dir=$(dirname "$(readlink -f "$arg")")
    while [ "$dir" != / ]; do
      if ! runuser -u "$WL_USER" -- test -x "$dir"; then
        echo "wlsession: letting other users pass through $dir for the test user"
        chmod o+x "$dir"
      fi
      dir=$(dirname "$dir")
    done
    runuser -u "$WL_USER" -- test -r "$arg" ||
      { echo "the test user $WL_USER cannot read $arg: the tree must be readable by other users"; exit 1; }
  done
  # A fresh environment but for what the tests read.
  exec runuser -u "$WL_USER" -- env -i PATH="$PATH" LANG="${LANG:-C.UTF-8}" \
    ${LUMBRA_WL_LAYOUTS:+LUMBRA_WL_LAYOUTS="$LUMBRA_WL_LAYOUTS"} bash "$@"
}

# start_wlsession: sway on a private runtime folder; exports WAYLAND_DISPLAY,
# XDG_RUNTIME_DIR and DISPLAY (XWayland, started on the first X client).
start_wlsession() {
  WL_RUNTIME=$(mktemp -d)
  chmod 700 "$WL_RUNTIME"
  cat >"$WL_RUNTIME/config" <<CONF
xwayland enable
default_border none
focus_on_window_activation focus
exec env >"$WL_RUNTIME/session.env"
CONF
  XDG_RUNTIME_DIR=$WL_RUNTIME WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman sway -c "$WL_RUNTIME/config" >"$WL_RUNTIME/sway.log" 2>&1 &
  XS_PIDS+=($!)
  wait_for 15 grep -q '^DISPLAY=' "$WL_RUNTIME/session.env" ||
    { echo "sway did not start"; tail -20 "$WL_RUNTIME/sway.log"; return 1; }
  export XDG_RUNTIME_DIR=$WL_RUNTIME
  export WAYLAND_DISPLAY=$(sed -n 's/^WAYLAND_DISPLAY=//p' "$WL_RUNTIME/session.env")
  export DISPLAY=$(sed -n 's/^DISPLAY=//p' "$WL_RUNTIME/session.env")
  export SWAYSOCK=$(sed -n 's/^SWAYSOCK=//p' "$WL_RUNTIME/session.env")
}
