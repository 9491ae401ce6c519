#!/usr/bin/env bash
# steadytone-check-tone: its command line, then against a private PulseAudio
# server with two null sinks: silence, a tone on the sink named with --sink,
# and noise.
#   test-check-tone.sh SCRIPT
set -uo pipefail

script=$1
work=$(mktemp -d)
# Only the server this test starts, and no server started on demand.
export XDG_RUNTIME_DIR=$work/runtime HOME=$work/runtime PULSE_SERVER=unix:$work/runtime/pulse/native
mkdir -m 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
    [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null && wait "${pids[@]}" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

expect() { # description, exit status, line of the output (an extended regex), command...
    local what=$1 status=$2 line=$3 output actual
    shift 3
    output=$("$@" 2>&1)
    actual=$?
    if [ "$actual" -eq "$status" ] && grep -qxE -- "$line" <<<"$output"; then
        echo "PASS: $what" | tee -a "$work/results"
    else
        echo "FAIL: $what (exit status $actual)" | tee -a "$work/results"
        printf '%s\n' "$output" | sed 's/^/    /'
    fi
}
# The checks that record run side by side, each on a sink of its own: each
# waits seconds for its monitor.
later=()
expect_later() {
    expect "$@" >"$work/check.${#later[@]}" &
    later+=($!)
}
play() { # sink, sox synth arguments...: plays on the sink until the test ends
    local sink=$1
    shift
    sox -n -t raw -r 44100 -e signed -b 16 -c 1 "$work/$sink.raw" synth 30 "$@"
    pacat --format=s16le --rate=44100 --channels=1 -d "$sink" <"$work/$sink.raw" 2>/dev/null &
    pids+=($!)
}

expect "--help prints the usage" 0 'Usage: .* \[-d SINK \| --sink SINK\] \[SECONDS \[PNG\]\]' \
    "$script" --help
expect "a fraction of a second is refused" 2 ".*whole number from 1 to 600, not '0.5'" "$script" 0.5
expect "no sound server: the check cannot be made" 2 '.*no audio server reachable' "$script" 1

cat >"$work/server.pa" <<PA
load-module module-null-sink sink_name=alpha format=s16le rate=44100 channels=1
load-module module-null-sink sink_name=beta format=s16le rate=48000 channels=2
load-module module-null-sink sink_name=gamma format=s16le rate=44100 channels=1
load-module module-native-protocol-unix auth-anonymous=1
set-default-sink alpha
PA
pulseaudio -n -F "$work/server.pa" --exit-idle-time=-1 --daemonize=no --use-pid-file=no \
    >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done

expect "an unknown sink: the check cannot be made" 2 ".*no sink named 'gamma2'.*" "$script" -d gamma2
expect "a picture that cannot be written: the check cannot be made" 2 \
    ".*could not write the spectrogram to $work/none/tone.png" "$script" --sink beta 1 \
    "$work/none/tone.png"
play beta sine 440 vol 0.5
play gamma whitenoise vol 0.5
expect_later "silence on the default sink: no tone, exit status 1" 1 'verdict:   no tone is playing' \
    "$script" 1 "$work/silence.png"
expect_later "a tone on the sink named: its frequency and peak, exit status 0" 0 \
    'verdict:   a tone of 440.00 Hz at -6.0 dBFS is playing' "$script" --sink beta 1 "$work/tone.png"
expect_later "noise: no tone, exit status 1" 1 'verdict:   no tone is playing, but other sound is' \
    "$script" -d gamma 1 "$work/noise.png"
wait "${later[@]}"
cat "$work"/check.*

passed=$(grep -c '^PASS' "$work/results")
failed=$(grep -c '^FAIL' "$work/results")
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
