#!/usr/bin/env bash
# Starts or stops the test services on this machine, loopback and private
# sockets only. Each service is stopped by its own PID file.
#   scripts/services.sh start   -> prints the environment to export
#   scripts/services.sh stop
set -euo pipefail

run_dir="${BV_RUN_DIR:-/tmp/brevantplayer-services}"
pulse_socket="$run_dir/pulse/native"

start_pulse() {
  mkdir -p "$run_dir/pulse"
  if [ -f "$run_dir/pulse.pid" ] && kill -0 "$(cat "$run_dir/pulse.pid")" 2>/dev/null; then
    return
  fi
  # A private server with a null sink as default; root is allowed for CI machines.
  pulseaudio -n --daemonize=no --use-pid-file=false --exit-idle-time=-1 --disallow-exit \
    --log-target=file:"$run_dir/pulse.log" \
    -L "module-native-protocol-unix socket=$pulse_socket auth-anonymous=1" \
    -L "module-null-sink sink_name=bvtest_sink rate=44100 channels=2" \
    -L "module-always-sink" \
    >/dev/null 2>&1 &
  echo $! > "$run_dir/pulse.pid"
  for _ in $(seq 50); do
    [ -S "$pulse_socket" ] && PULSE_SERVER="unix:$pulse_socket" pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  PULSE_SERVER="unix:$pulse_socket" pactl set-default-sink bvtest_sink
}

stop_service() {
  local pid_file="$run_dir/$1.pid"
  [ -f "$pid_file" ] || return 0
  kill "$(cat "$pid_file")" 2>/dev/null || true
  rm -f "$pid_file"
}

case "${1:-}" in
  start)
    start_pulse
    echo "export PULSE_SERVER=unix:$pulse_socket"
    ;;
  stop)
    stop_service pulse
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
