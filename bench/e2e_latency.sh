#!/usr/bin/env bash
# End-to-end latency over loopback at 1920 x 1080 and 30 fps: from the moment a frame is on the
# screen to the moment the receiver has decoded it, for Quorvanta Host and the reference client,
# then for FFmpeg's own pipeline (x11grab, libx264, MPEG-TS over TCP) on the same display.
#
#   bench/e2e_latency.sh [BUILD_DIR [SECONDS]]      (defaults: build/release, 25)
#
# BUILD_DIR must hold quorvanta-host, quorvanta, quorvanta-client, quorvanta-demo-scene and
# bench/e2e_latency; QUORVANTA_E2E_HOST overrides the host binary. QUORVANTA_E2E_FFMPEG_EXTRA, when
# set, adds a fourth run: the FFmpeg command with those extra output options (split at spaces). Like scripts/run.sh it runs in a
# private network namespace (as root, or in a user namespace) with a private X server, a stand-in
# `tailscale` answering 100.64.0.1, and 100.64.0.1 on the namespace's loopback.
#
# The screen shows quorvanta-demo-scene --clock, which draws CLOCK_MONOTONIC into every frame; the
# receivers (bench/e2e_latency) read it back from each decoded picture. Sender CPU is the share of
# one core from /proc/PID/stat (utime + stime) between 2 s into the run and 1 s before its end;
# memory is the sender's peak resident set (VmHWM). Prints a Markdown table on standard output.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
seconds=${2:-25}
host="${QUORVANTA_E2E_HOST:-$build/src/app/quorvanta-host}"
control="$build/src/tools/control/quorvanta"
client="$build/src/tools/client/quorvanta-client"
scene="$build/src/tools/demo/quorvanta-demo-scene"
receiver="$build/bench/e2e_latency"
port=47311

if [ "${QUORVANTA_E2E_INSIDE:-}" != 1 ]; then
  for program in "$host" "$control" "$client" "$scene" "$receiver"; do
    [ -x "$program" ] || { echo "Missing $program: build it first." >&2; exit 1; }
  done
  [ "$seconds" -ge 6 ] || { echo "Run for at least 6 seconds." >&2; exit 1; }
  export QUORVANTA_E2E_INSIDE=1 QUORVANTA_E2E_HOST="$host"
  if [ "$(id -u)" -eq 0 ]; then exec unshare --net "$0" "$build" "$seconds"; fi
  exec unshare --user --map-root-user --net "$0" "$build" "$seconds"
fi

# ---- Inside the private network namespace ---------------------------------------------------
work=$(mktemp -d /tmp/quorvanta-e2e.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

source "$here/bench/process_stats.sh"

# Samples a sender's CPU between 2 s after it started serving and 1 s before the end of the run,
# then its peak memory: "cpu_percent=... rss_mb=..." in $work/$2.cpu.
sample_sender() {
  local pid=$1 name=$2 ticks0 ticks1 time0 time1
  sleep 2
  ticks0=$(cpu_ticks "$pid") time0=$(now)
  sleep $((seconds - 3))
  ticks1=$(cpu_ticks "$pid") time1=$(now)
  awk -v t0="$ticks0" -v t1="$ticks1" -v s0="$time0" -v s1="$time1" -v hz="$ticks_per_second" \
    -v hwm="$(status_kb "$pid" VmHWM)" -v rss="$(status_kb "$pid" VmRSS)" \
    'BEGIN { printf "cpu_percent=%.1f rss_mb=%.1f rss_now_mb=%.1f\n", (t1 - t0) / hz / (s1 - s0) * 100, hwm / 1024, rss / 1024 }' \
    >"$work/$name.cpu"
}

source "$here/scripts/sandbox.sh"
"$scene" --clock &
pids+=($!)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- Quorvanta Host and the reference client ------------------------------------------------
"$QUORVANTA_E2E_HOST" >"$work/host.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")
wait_for_host
link=$("$control" pair --no-qr | head -n 1)
"$client" pair "$link" --device-name "Latency bench" >/dev/null
echo "Quorvanta: streaming for $seconds s..." >&2
"$receiver" quorvanta "$seconds" --save-frame "$work/ours-last-frame.png" >"$work/ours.txt" 2>"$work/ours.log" &
receiver_pid=$!
sample_sender "$host_pid" ours
wait "$receiver_pid" || echo "The client ended with an error: see $work/ours.log" >&2
# The host should leave on SIGTERM; it is not waited for longer than 5 s.
kill "$host_pid" 2>/dev/null || true
for _ in $(seq 50); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$host_pid" 2>/dev/null; then
  echo "The host did not leave within 5 s of SIGTERM; killing it." >&2
  kill -KILL "$host_pid" 2>/dev/null || true
fi
wait "$host_pid" 2>/dev/null || true

# ---- FFmpeg: x11grab, libx264, MPEG-TS over TCP to a libavformat receiver -------------------
listening() { awk -v port="$(printf ':%04X' "$port")" '$2 ~ port"$" && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp; }
run_ffmpeg() {
  local name=$1 ffmpeg_pid format=mpegts
  shift
  # The last two options name the container when they are "-f FORMAT".
  if [ "$#" -ge 2 ] && [ "${*: -2:1}" = "-f" ]; then format="${*: -1}"; fi
  echo "FFmpeg ($name): streaming for $seconds s..." >&2
  "$receiver" "$format" "tcp://127.0.0.1:$port?listen=1" "$seconds" >"$work/$name.txt" 2>"$work/$name.log" &
  receiver_pid=$!
  for _ in $(seq 50); do listening && break; sleep 0.1; done
  ffmpeg -hide_banner -nostdin -loglevel error -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" \
    -c:v libx264 -preset veryfast -tune zerolatency -bf 0 -b:v 6M -maxrate 9M -bufsize 6M "$@" \
    -f "$format" "tcp://127.0.0.1:$port" 2>"$work/$name.ffmpeg.log" &
  ffmpeg_pid=$!
  sample_sender "$ffmpeg_pid" "$name"
  wait "$receiver_pid" || echo "The MPEG-TS receiver ended with an error: see $work/$name.log" >&2
  kill -INT "$ffmpeg_pid" 2>/dev/null || true
  wait "$ffmpeg_pid" 2>/dev/null || true
  port=$((port + 1))
}
run_ffmpeg ffmpeg
run_ffmpeg ffmpeg420 -pix_fmt yuv420p
# FFmpeg's lowest-delay pipeline: raw H.264 over TCP, no container, flushed at every packet, and a
# receiver that neither probes nor buffers.
run_ffmpeg ffmpeg_raw -pix_fmt yuv420p -flush_packets 1 -f h264
extra="${QUORVANTA_E2E_FFMPEG_EXTRA:-}"
# shellcheck disable=SC2086 # the extra options are meant to be split
if [ -n "$extra" ]; then run_ffmpeg ffmpeg_extra $extra; fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- The table ------------------------------------------------------------------------------
value() { grep -o "\\b$2=[^ ]*" "$work/$1" 2>/dev/null | head -n 1 | cut -d= -f2 || true; }
row() {
  local name=$1 label=$2
  awk -v label="$label" -v median="$(value "$name.txt" latency_median_ms)" \
    -v p95="$(value "$name.txt" latency_p95_ms)" -v fps="$(value "$name.txt" fps)" \
    -v cpu="$(value "$name.cpu" cpu_percent)" -v rss="$(value "$name.cpu" rss_mb)" \
    -v bps="$(value "$name.txt" bitrate_bps)" -v new="$(value "$name.txt" distinct)" \
    -v repeated="$(value "$name.txt" repeats)" -v unread="$(value "$name.txt" unreadable)" '
    function f(x, digits) { return x == "" || x == "nan" ? "n/a" : sprintf("%." digits "f", x) }
    BEGIN { printf "| %s | %s | %s | %s | %s | %s | %s | %s / %s / %s |\n", label, f(median, 1), f(p95, 1),
              f(fps, 1), f(cpu, 1), f(rss, 1), f(bps == "" ? "" : bps / 1e6, 2), new, repeated, unread }'
}
echo
echo "| Sender | Latency median (ms) | Latency p95 (ms) | fps | Sender CPU (% of a core) | Sender RSS peak (MB) | Bit rate (Mbit/s) | Frames new / repeated / unread |"
echo "|---|---|---|---|---|---|---|---|"
row ours "Quorvanta Host"
row ffmpeg "FFmpeg (command as given: 4:4:4)"
row ffmpeg420 "FFmpeg with -pix_fmt yuv420p"
row ffmpeg_raw "FFmpeg, raw H.264 over TCP (-pix_fmt yuv420p -flush_packets 1 -f h264)"
if [ -n "$extra" ]; then row ffmpeg_extra "FFmpeg with $extra"; fi
echo
echo "Load average before: $load_before; after: $load_after ($(nproc) cores). ${seconds} s per sender."
echo "Raw results: $work"
