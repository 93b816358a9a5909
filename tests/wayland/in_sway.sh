#!/usr/bin/env bash
# Runs a command inside a headless sway session, as an unprivileged user.
# Usage: in_sway.sh COMMAND [ARGS...]
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wlsession.sh"
wl_run_as_user "$0" "$@"
start_wlsession || exit 1
"$@"
