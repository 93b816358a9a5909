#!/usr/bin/env bash
# Event sounds as heard: a private PulseAudio server with a null sink, its
# monitor recorded while lumbra_soundplay drives the main-window model, and the
# recording measured with sox (length of the non-silent part, rough frequency).
#   sound_test.sh <lumbra_soundplay> <artifacts dir>
set -u
player=$1
out=$2
rm -rf "$out"
mkdir -p "$out/run" "$out/home" "$out/empty" "$out/files"
chmod 700 "$out/run"
out=$(cd "$out" && pwd)
run=$out/run
files=$out/files
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Nothing from the machine's or the user's sound configuration.
export HOME=$out/home XDG_RUNTIME_DIR=$run PULSE_RUNTIME_PATH=$run PULSE_STATE_PATH=$run
export XDG_CONFIG_HOME=$out/home/.config XDG_DATA_HOME=$out/empty XDG_DATA_DIRS=/usr/share
: >"$out/client.conf"
export PULSE_CLIENTCONFIG=$out/client.conf PULSE_SERVER=unix:$run/native
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

for tool in pulseaudio parec pactl sox; do
  command -v $tool >/dev/null || { echo "FAIL: $tool is not installed (scripts/setup)"; exit 1; }
done

server=
keeper=
# -n: no startup script, so only the modules named here. The sink is mono at
# the rate of the test files, so nothing is remixed or resampled.
#
# The sink renders as far ahead as its clients allow: 2 s when none asks for
# less. A recorder kept running beside the server holds that at 20 ms, so a
# stream that is cancelled is cut where it was, not after its whole buffer,
# and each case's recording starts at once. The sink has caught up when the
# keeper gets data.
start_server() {
  pulseaudio -n --daemonize=no --use-pid-file=no --system=no --exit-idle-time=-1 \
    --disable-shm=yes --realtime=no --high-priority=no --log-target=stderr \
    -F /dev/null \
    --load="module-native-protocol-unix socket=$run/native auth-anonymous=1" \
    --load="module-null-sink sink_name=lumbra_test rate=44100 channels=1 format=s16le" \
    >>"$out/pulseaudio.log" 2>&1 &
  server=$!
  for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  if ! pactl info >/dev/null 2>&1; then
    echo "FAIL: the PulseAudio server did not start:"
    cat "$out/pulseaudio.log"
    exit 1
  fi
  rm -f "$run/keeper.raw"
  parec --raw --latency-msec=20 --format=s16le --rate=44100 --channels=1 \
    -d lumbra_test.monitor >"$run/keeper.raw" 2>>"$out/keeper.log" &
  keeper=$!
  for _ in $(seq 100); do [ -s "$run/keeper.raw" ] && break; sleep 0.1; done
  [ -s "$run/keeper.raw" ] || { echo "FAIL: nothing comes from the sink's monitor"; exit 1; }
}
stop_server() {
  [ -n "$server" ] || return 0
  kill -CONT $server 2>/dev/null
  kill $keeper $server 2>/dev/null
  wait $keeper $server 2>/dev/null
  rm -f "$run/keeper.raw"
  server=
}
trap stop_server EXIT
start_server

sox -n -r 44100 -c 1 -b 16 "$files/440.wav" synth 0.6 sine 440 gain -6
sox -n -r 44100 -c 1 -b 16 "$files/440-long.wav" synth 1.0 sine 440 gain -6
sox -n -r 44100 -c 1 -b 16 "$files/1000.wav" synth 0.5 sine 1000 gain -6
echo "this is no sound" >"$files/notasound.wav"

# listen <name> / heard <name>: records the sink from now until heard, which
# leaves <name>.wav (the whole recording) and <name>-sound.wav (silence trimmed).
listen() {
  parec --raw --latency-msec=20 --format=s16le --rate=44100 --channels=1 \
    -d lumbra_test.monitor >"$out/$1.raw" 2>"$out/$1-parec.log" &
  recorder=$!
  for _ in $(seq 50); do [ -s "$out/$1.raw" ] && break; sleep 0.02; done
}
heard() {
  sleep 0.3
  kill -INT $recorder
  wait $recorder 2>/dev/null
  sox -t raw -r 44100 -e signed -b 16 -c 1 "$out/$1.raw" "$out/$1.wav" && rm -f "$out/$1.raw"
  sox "$out/$1.wav" "$out/$1-sound.wav" silence 1 0.005 1% reverse silence 1 0.005 1% reverse
}
# play <name> <step>...: the player on those steps, its output in <name>.log.
# It keeps a cache of theme look-ups; one per case keeps them apart.
play() {
  local name=$1
  shift
  XDG_CACHE_HOME=$out/cache/$name timeout 20 "$player" "$@" >"$out/$name.log" 2>&1 ||
    fail "$name: the player failed: $(cat "$out/$name.log")"
}
record() {
  listen "$1"
  play "$@"
  heard "$1"
}

seconds() { soxi -D "$1" 2>/dev/null || echo 0; }
frequency() { sox "$1" -n stat 2>&1 | awk '/Rough/ {print $3}'; }
# The first or last <s> seconds of a file.
head_of() { sox "$1" "$1.head.wav" trim 0 "$2" && echo "$1.head.wav"; }
tail_of() { sox "$1" "$1.tail.wav" reverse trim 0 "$2" reverse && echo "$1.tail.wav"; }
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

expect_length() {  # name lo hi
  local len
  len=$(seconds "$out/$1-sound.wav")
  echo "$1: sound lasts $len s"
  within "$len" "$2" "$3" || fail "$1: sound lasts $len s, expected $2..$3 s"
}
expect_frequency() {  # name file lo hi
  local f
  f=$(frequency "$2")
  echo "$1: rough frequency $f Hz"
  within "${f:-0}" "$3" "$4" || fail "$1: rough frequency $f Hz, expected $3..$4 Hz"
}

echo "--- a wave file on a good read"
record file "read=$files/440.wav" sleep=1000
expect_length file 0.5 0.7
expect_frequency file "$out/file-sound.wav" 420 460

echo "--- the theme's bell on a good read"
bell=/usr/share/sounds/freedesktop/stereo/bell.oga
record bell beep sleep=1500
if [ -f "$bell" ]; then
  sox "$bell" -c 1 -r 44100 "$out/theme-bell.wav" silence 1 0.005 1% reverse silence 1 0.005 1% reverse
  ref=$(seconds "$out/theme-bell.wav")
  hz=$(frequency "$out/theme-bell.wav")
  echo "bell: the theme's file lasts $ref s, rough frequency $hz Hz"
  expect_length bell "$(awk -v r="$ref" 'BEGIN { print r - 0.05 }')" \
    "$(awk -v r="$ref" 'BEGIN { print r + 0.05 }')"
  expect_frequency bell "$out/bell-sound.wav" "$(awk -v f="$hz" 'BEGIN { print f * 0.92 }')" \
    "$(awk -v f="$hz" 'BEGIN { print f * 1.08 }')"
else
  fail "bell: $bell is missing (sound-theme-freedesktop)"
fi

echo "--- no sound theme: the built-in tone"
XDG_DATA_DIRS=$out/empty record tone beep sleep=800
expect_length tone 0.1 0.2
expect_frequency tone "$out/tone-sound.wav" 850 910

echo "--- a second file cuts the first"
record cut "read=$files/440-long.wav" sleep=200 "read=$files/1000.wav" sleep=900
gap=$(awk '/^step read=.*1000.wav/ {print $4 / 1000}' "$out/cut.log")
echo "cut: the second read came $gap s after the first"
within "${gap:-9}" 0.15 0.4 || fail "cut: the second read came after $gap s, too late to tell a cut"
# Cut: the 440 Hz part lasts about the gap (less the time the first sound
# took to start, which includes connecting), then 0.5 s of 1000 Hz. Not cut:
# the first file plays on to 1.0 s (mixed, ending on 440 Hz) or beyond (queued).
expect_length cut 0.6 "$(awk -v g="$gap" 'BEGIN { print (g + 0.6 < 0.92 ? g + 0.6 : 0.92) }')"
expect_frequency cut-start "$(head_of "$out/cut-sound.wav" 0.1)" 420 460
expect_frequency cut-end "$(tail_of "$out/cut-sound.wav" 0.3)" 960 1040

echo "--- silence: empty name, missing file, and they do not cut a file playing"
record empty "read=" sleep=500
expect_length empty 0 0
record missing "read=$files/no-such-file.wav" sleep=500
expect_length missing 0 0
# Spaced, so that the player does not merge the requests into the last one.
record keep "file=$files/440.wav" sleep=150 "file=" sleep=30 "file=$files/no-such-file.wav" sleep=30 \
  "file=$files/notasound.wav" sleep=30 "file=$files" sleep=900
expect_length keep 0.5 0.7
expect_frequency keep "$out/keep-sound.wav" 420 460

echo "--- the server restarts: the next sound plays again"
play restart "file=$files/440.wav" sleep=200 "await=$out/restarted" "file=$files/1000.wav" sleep=900 &
client=$!
sleep 0.5
stop_server
start_server
listen restart
touch "$out/restarted"
wait $client
heard restart
expect_length restart 0.4 0.6
expect_frequency restart "$out/restart-sound.wav" 960 1040

echo "--- a server that does not answer holds nobody up"
kill -STOP $server
start=$(date +%s%N)
play stopped "read=$files/440.wav" beep
took=$((($(date +%s%N) - start) / 1000000))
kill -CONT $server
echo "stopped server: the player ended after $took ms"
[ $took -lt 5000 ] || fail "stopped server: the player took $took ms to end"

echo "--- no server at all"
start=$(date +%s%N)
PULSE_SERVER=unix:$run/nothing play noserver "read=$files/440.wav" beep sleep=200
took=$((($(date +%s%N) - start) / 1000000))
echo "no server: the player ended after $took ms"
[ $took -lt 5000 ] || fail "no server: the player took $took ms to end"

if [ $failures -ne 0 ]; then
  echo "FAIL: $failures check(s) failed; recordings in $out"
  exit 1
fi
echo "PASS: sounds played, replaced and kept silent as expected; recordings in $out"
