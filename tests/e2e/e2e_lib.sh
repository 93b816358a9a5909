# Shared by the end-to-end tests. Set model (and case, if any) and here, the
# test's folder, before sourcing.
. "$here/../gui/xsession.sh"

fail() {
  echo "FAIL ($model${case:+, $case}): $*"
  [ -f "${work:-}/state" ] && cat "$work/state"
  [ -f "${work:-}/sim.log" ] && tail -20 "$work/sim.log" | cat -v
  exit 1
}
# One value of the program's published state.
get() { sed -n "s/^$1=//p" "$work/state" 2>/dev/null; }
# What the target received, keys without a character written as <Name>.
typed() { typed_text "$work/typed"; }

# The simulated reader, taking its commands from a pipe; it publishes its
# port at $work/reader, as an adapter that is plugged in.
start_sim() {
  mkfifo "$work/sim.in"
  "$readersim" "$model" "$work/reader" <"$work/sim.in" >"$work/sim.log" 2>&1 &
  XS_PIDS+=($!)
  exec 6>"$work/sim.in"
  wait_for 5 test -e "$work/reader" || fail "the simulator published no port"
}
sim() { echo "$*" >&6; }
