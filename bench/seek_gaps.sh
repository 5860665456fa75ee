#!/usr/bin/env bash
# Silence at the sink around seeks: a player plays a 120 s tone (WAV, MP3), is sought to
# 30, 60 and 10 s and set to volume 0.9 while the sink's monitor is recorded; prints the
# holes of 2 ms or more inside the tone and the longest one, per run. bvplay is driven
# through a --connect replica, mpv (when installed) through its IPC socket; paplay playing the
# WAV for as long, without seeks, shows what the server itself drops.
#   bench/seek_gaps.sh [--busy] [--runs N]     (PULSE_SERVER: the server whose bvtest_sink is recorded)
set -euo pipefail
cd "$(dirname "$0")/.."
bvplay="${BVPLAY:-build/tools/bvplay/bvplay}"
runs=3 busy=0
while [ $# -gt 0 ]; do
  case "$1" in
    --busy) busy=1 ;;
    --runs) runs="$2"; shift ;;
    *) echo "usage: $0 [--busy] [--runs N]" >&2; exit 2 ;;
  esac
  shift
done
work=$(mktemp -d)
busy_pids=()
cleanup() { [ ${#busy_pids[@]} -gt 0 ] && kill "${busy_pids[@]}" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
for ext in wav mp3; do
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=120" -ac 2 \
    "$work/tone.$ext"
done
if [ "$busy" = 1 ]; then
  for _ in 1 2; do (while :; do :; done) & busy_pids+=($!); done
fi

# The steps, one a second: seek 30, seek 60, seek 10, volume 0.9.
drive_bvplay() {
  (for step in "seek 30" "seek 60" "seek 10" "volume 0.9"; do sleep 1; echo "$step"; done; sleep 2) |
    timeout 7 "$bvplay" --connect "local:bvseek$$" >/dev/null 2>&1 || true
}
drive_mpv() {
  python3 - "$work/mpv.sock" <<'PY'
import json, socket, sys, time
for _ in range(100):
    try:
        s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); break
    except OSError:
        time.sleep(0.05)
for cmd in (["seek", 30, "absolute"], ["seek", 60, "absolute"], ["seek", 10, "absolute"], ["set_property", "volume", 90]):
    time.sleep(1)
    s.sendall((json.dumps({"command": cmd}) + "\n").encode())
time.sleep(1)
PY
}

measure() { # player file
  local player="$1" file="$2" pid
  parecord --latency-msec=10 --device=bvtest_sink.monitor --rate=44100 --channels=2 --format=s16le --raw \
    >"$work/rec.raw" &
  local recorder=$!
  sleep 1
  if [ "$player" = paplay ]; then
    paplay "$file" &
    pid=$!
    sleep 6
  elif [ "$player" = bvplay ]; then
    "$bvplay" --publish "local:bvseek$$" "$file" >/dev/null 2>&1 &
    pid=$!
    sleep 1
    drive_bvplay
  else
    mpv --no-video --no-terminal --ao=pulse --input-ipc-server="$work/mpv.sock" "$file" &
    pid=$!
    sleep 1
    drive_mpv
  fi
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true
  sleep 0.3
  kill "$recorder"; wait "$recorder" 2>/dev/null || true
  python3 - "$work/rec.raw" <<'PY'
import array, sys
a = array.array('h', open(sys.argv[1], 'rb').read())[0::2]
loud = [i for i, v in enumerate(a) if abs(v) >= 100]
if not loud:
    print("no sound"); sys.exit()
gaps, quiet = [], 0
for i in range(loud[0], loud[-1] + 1):
    if abs(a[i]) < 100:
        quiet += 1
        continue
    if quiet >= 88:
        gaps.append(quiet / 44.1)
    quiet = 0
print("sound %.1f s, holes >= 2 ms: %d, longest %.1f ms, >= 10 ms: %d"
      % ((loud[-1] - loud[0]) / 44100, len(gaps), max(gaps, default=0), sum(g >= 10 for g in gaps)))
PY
}

players=(bvplay paplay)
command -v mpv >/dev/null && players+=(mpv)
echo "server: $(pactl info | sed -n 's/^Server Name: //p'); busy loops: $busy"
for player in "${players[@]}"; do
  for ext in wav mp3; do
    [ "$player" = paplay ] && [ "$ext" = mp3 ] && continue
    for run in $(seq "$runs"); do
      printf '%-6s %s run %d: ' "$player" "$ext" "$run"
      measure "$player" "$work/tone.$ext"
    done
  done
done
