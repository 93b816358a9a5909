#!/usr/bin/env bash
# Without any display the program still starts, says once that it cannot type,
# and ends cleanly on SIGTERM with its settings saved.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/lumbra"
cp "$(dirname "$1")"/*.lng "$work/" || { echo "FAIL: no language files beside $1"; exit 1; }
env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work" XDG_CONFIG_HOME="$work/config" \
  "$work/lumbra" >"$work/out.log" 2>&1 &
app=$!
for _ in $(seq 50); do grep -q "no X display" "$work/out.log" && break; sleep 0.1; done
kill -0 $app || { echo "FAIL: the program did not stay up"; cat "$work/out.log"; exit 1; }
kill -TERM $app
wait $app
rc=$?
[ $rc -eq 0 ] || { echo "FAIL: exit code $rc"; cat "$work/out.log"; exit 1; }
n=$(grep -c "no X display" "$work/out.log")
[ "$n" -eq 1 ] || { echo "FAIL: told $n times that it cannot type"; cat "$work/out.log"; exit 1; }
grep -q "<Configuration>" "$work/lumbra.xml" || { echo "FAIL: settings not saved"; exit 1; }
echo "PASS: headless start, one message, clean end"
