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

# expect_typed WHAT: the target got exactly WHAT in all, and nothing after it.
expect_typed() {
  wait_for 10 typed_is "$work/typed" "$1" || fail "typed '$(typed)' instead of '$1'"
  sleep 1  # nothing more may come: each read is typed once
  [ "$(typed)" = "$1" ] || fail "typed '$(typed)' after the read, not '$1'"
}

# sample_cards TRACK2_ONLY: the track settings and two cards with what each
# types: every slice from its first character, padded to 14, a Tab after track
# 1 and 2 and Enter after track 3, or Enter after track 2 alone with "yes".
sample_cards() {
  if [ "$1" = yes ]; then
    tracks="<T1>FALSE</T1><T2>TRUE</T2><T3>FALSE</T3><T2Char>1</T2Char>"
    card="0012345678"
    want="00000012345678<Return>"
    card2="4711"
    want2="00000000004711<Return>"
  else
    tracks="<T1>TRUE</T1><T2>TRUE</T2><T3>TRUE</T3><T1Char>2</T1Char><T2Char>2</T2Char><T3Char>1</T3Char>"
    card="ROSSI MARIO|12345678|0077"
    want="000ROSSI MARIO<Tab>00000012345678<Tab>00000000000077<Return>"
    card2="B|4711|"
    want2="0000000000000B<Tab>00000000004711<Tab>00000000000000<Return>"
  fi
}
