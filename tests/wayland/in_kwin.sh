#!/usr/bin/env bash
# Runs a command inside a headless KWin (kwin_wayland --virtual) on its own
# session bus, as an unprivileged user, with the keyboard layout LAYOUT.
# The command's program gets the desktop entry KWin grants fake input by; with
# --grant PATH, the program at PATH inside the session's runtime folder does.
# Usage: in_kwin.sh LAYOUT [--grant PATH] COMMAND [ARGS...]
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wlsession.sh"
wl_run_as_user "$0" "$@"
layout=$1; shift
WL_RUNTIME=$(mktemp -d)
chmod 700 "$WL_RUNTIME"
export XDG_RUNTIME_DIR=$WL_RUNTIME HOME=$WL_RUNTIME/home
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME"
printf '[Layout]\nLayoutList=%s\nUse=true\n' "$layout" >"$XDG_CONFIG_HOME/kxkbrc"
if [ "$1" = --grant ]; then program=$WL_RUNTIME/$2; shift 2; else program=$(readlink -f "$1"); fi
cat >"$XDG_DATA_HOME/applications/lumbra-test.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Lumbra test
Exec=$program
X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input,org_kde_kwin_keystate
DESKTOP
# The installed binary carries a file capability, which a container refuses
# to run; a copy has none.
cp /usr/bin/kwin_wayland "$WL_RUNTIME/kwin_wayland"
export LUMBRA_KWIN_LAYOUT=$layout
exec dbus-run-session -- bash -c '
  kbuildsycoca5 >/dev/null 2>&1
  "$XDG_RUNTIME_DIR/kwin_wayland" --virtual --socket lumbra-kwin --width 1024 --height 768 \
    >"$XDG_RUNTIME_DIR/kwin.log" 2>&1 &
  kwin=$!
  for i in $(seq 150); do [ -S "$XDG_RUNTIME_DIR/lumbra-kwin" ] && break; sleep 0.1; done
  [ -S "$XDG_RUNTIME_DIR/lumbra-kwin" ] || { echo "kwin did not start"; tail "$XDG_RUNTIME_DIR/kwin.log"; exit 1; }
  WAYLAND_DISPLAY=lumbra-kwin "$@"
  rc=$?
  kill $kwin; wait $kwin 2>/dev/null
  rm -rf "$XDG_RUNTIME_DIR"
  exit $rc' kwin "$@"
