#!/usr/bin/env bash
# Glass to glass with the desktop viewer at 1920 x 1080 and 30 fps: from the moment a frame is on
# the host's screen to the moment the viewer's window shows it (capture, encode, network, decode,
# scaling and drawing), on one machine over loopback.
#
#   bench/viewer_glass_to_glass.sh [BUILD_DIR [SECONDS]]      (defaults: build/release, 20)
#
# BUILD_DIR must hold quorvanta-host, quorvanta, quorvanta-viewer, quorvanta-demo-scene and
# bench/glass_to_glass. Like scripts/run.sh it runs in a private network namespace with a private X
# server for the host (1920x1080, showing quorvanta-demo-scene --clock); the viewer gets a second
# private X server (1920x1200, no window manager) and bench/glass_to_glass reads the clock back
# from the viewer's window content. Viewer CPU is the share of one core from /proc/PID/stat between
# 2 s into the run and its end; memory is the viewer's peak resident set (VmHWM). Prints a Markdown
# table on standard output.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
seconds=${2:-20}
host="$build/src/app/quorvanta-host"
control="$build/src/tools/control/quorvanta"
viewer="$build/src/viewer/quorvanta-viewer"
scene="$build/src/tools/demo/quorvanta-demo-scene"
reader="$build/bench/glass_to_glass"

if [ "${QUORVANTA_G2G_INSIDE:-}" != 1 ]; then
  for program in "$host" "$control" "$viewer" "$scene" "$reader"; do
    [ -x "$program" ] || { echo "Missing $program: build it first." >&2; exit 1; }
  done
  export QUORVANTA_G2G_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then exec unshare --net "$0" "$build" "$seconds"; fi
  exec unshare --user --map-root-user --net "$0" "$build" "$seconds"
fi

work=$(mktemp -d /tmp/quorvanta-g2g.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
source "$here/bench/process_stats.sh"

source "$here/scripts/sandbox.sh"
"$scene" --clock &
pids+=($!)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
"$host" >"$work/host.log" 2>&1 &
pids+=($!)
wait_for_host
"$viewer" pair "$("$control" pair --no-qr | head -n 1)" >/dev/null

exec {viewerfd}<> <(:)
Xvfb -displayfd "$viewerfd" -screen 0 1920x1200x24 -nolisten tcp >"$work/xvfb-viewer.log" 2>&1 &
pids+=($!)
read -r -t 10 number <&"$viewerfd"
DISPLAY=":$number" QT_QPA_PLATFORM=xcb "$viewer" >"$work/viewer.log" 2>&1 &
viewer_pid=$!
pids+=("$viewer_pid")

echo "Streaming to the viewer for $seconds s..." >&2
"$reader" ":$number" "$seconds" >"$work/reader.txt" 2>"$work/reader.log" &
reader_pid=$!
sleep 2
ticks0=$(cpu_ticks "$viewer_pid") time0=$(now)
wait "$reader_pid" || { echo "The reader failed: see $work" >&2; cat "$work/reader.log" >&2; exit 1; }
ticks1=$(cpu_ticks "$viewer_pid") time1=$(now)
hwm=$(status_kb "$viewer_pid" VmHWM)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

line=$(cat "$work/reader.txt")
value() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$line"; }
cpu=$(awk -v t0="$ticks0" -v t1="$ticks1" -v s0="$time0" -v s1="$time1" -v hz="$ticks_per_second" \
  'BEGIN { printf "%.1f", (t1 - t0) / hz / (s1 - s0) * 100 }')
echo "| glass to glass, 1920x1080 at 30 fps | median ms | p95 ms | frames shown per s | viewer CPU % of one core | viewer peak RSS MB |"
echo "|---|---:|---:|---:|---:|---:|"
printf '| quorvanta-host -> quorvanta-viewer | %s | %s | %s | %s | %.1f |\n' "$(value median_ms)" "$(value p95_ms)" \
  "$(value fps)" "$cpu" "$(awk -v kb="$hwm" 'BEGIN { print kb / 1024 }')"
echo
echo "Load average before: $load_before; after: $load_after. Raw: $line"
