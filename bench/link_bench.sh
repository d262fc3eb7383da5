#!/usr/bin/env bash
# The video pacer on an emulated network path: Quorvanta Host and the reference client across
# quorvanta-link-emulator, at 1920 x 1080 and 30 fps with busy content (quorvanta-demo-scene
# --clock --busy), first with acknowledged video (the client announces "frameAck"), then without.
#
#   bench/link_bench.sh PATH [SECONDS]        PATH: relay, mobile, step or bufferbloat; default 40 s
#
# Paths (round trip = twice the one-way delay; the same shape both ways):
#   relay        5 Mbit/s, 40 ms, no loss, queue 100 ms
#   mobile       3 Mbit/s, 120 ms, 1 % loss, queue 300 ms
#   step         20 -> 5 -> 20 Mbit/s at 10 s and 25 s, 30 ms, no loss, queue 200 ms
#   bufferbloat  10 Mbit/s, 20 ms, no loss, queue 1 s
#   open         1 Gbit/s, no delay (a reference: what the machine itself allows)
#
# Needs root (network namespaces, TUN devices), Xvfb, python3 and, for the plot, gnuplot (installed
# on demand: apt-get install gnuplot-nox). Uses the build directory $QUORVANTA_LINK_BUILD (default
# build/release), which must hold quorvanta-host, quorvanta, quorvanta-client, quorvanta-demo-scene,
# quorvanta-link-emulator and bench/link_receiver. Prints the table; the last line reads
# "acknowledged: p95 frame delay N ms, link use P %, recovery S s". Raw data and the plot
# (PATH.png) stay in the /tmp/quorvanta-link.* directory named at the end; set QUORVANTA_LINK_OUT
# to a directory to get the plot there as well. QUORVANTA_LINK_NICE (default 0) runs everything of
# the benchmark at that niceness: on a machine busy with other work, -10 keeps the host, the
# client, the X server and the scene from starving (and says so in the output).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
path=${1:-}
seconds=${2:-40}
build=$(cd "${QUORVANTA_LINK_BUILD:-$here/build/release}" && pwd)
# The stream asks for the host's highest bit rate so that the link, not the setting, limits it.
bitrate=24000000

case "$path" in
  relay) link_args=(--rate 5M --delay 20ms --queue 100ms) ;;
  mobile) link_args=(--rate 3M --delay 60ms --loss 0.01 --queue 300ms) ;;
  step) link_args=(--rate 20M --delay 15ms --queue 200ms --schedule 10:5M,25:20M) ;;
  bufferbloat) link_args=(--rate 10M --delay 10ms --queue 1s) ;;
  open) link_args=(--rate 1G --queue 1s) ;;  # no limit worth the name: the host and client alone
  *) echo "usage: bench/link_bench.sh relay|mobile|step|bufferbloat [SECONDS]" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "Run as root: the emulated path needs network namespaces and TUN devices." >&2; exit 1; }
[ "$seconds" -ge 10 ] || { echo "Run for at least 10 seconds." >&2; exit 1; }
for program in src/app/quorvanta-host src/tools/control/quorvanta src/tools/client/quorvanta-client \
  src/tools/demo/quorvanta-demo-scene src/tools/linkemu/quorvanta-link-emulator bench/link_receiver; do
  [ -x "$build/$program" ] || { echo "Missing $build/$program: build it first." >&2; exit 1; }
done
if ! command -v gnuplot >/dev/null; then
  echo "Installing gnuplot-nox for the plot..." >&2
  apt-get install -y --no-install-recommends gnuplot-nox >/dev/null 2>&1 || echo "No gnuplot: no plot." >&2
fi

if [ "${QUORVANTA_LINK_INSIDE:-}" != 1 ]; then
  host_ns="qlink-host-$$" client_ns="qlink-client-$$"
  ip netns add "$host_ns"
  ip netns add "$client_ns"
  trap 'ip netns del "$host_ns" 2>/dev/null || true; ip netns del "$client_ns" 2>/dev/null || true' EXIT
  QUORVANTA_LINK_INSIDE=1 host_ns=$host_ns client_ns=$client_ns \
    nice -n "${QUORVANTA_LINK_NICE:-0}" ip netns exec "$host_ns" "$0" "$@"
  exit $?
fi

# ---- Inside the host's namespace ------------------------------------------------------------
work=$(mktemp -d /tmp/quorvanta-link.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
read -r -a scene_args <<<"${QUORVANTA_LINK_SCENE:---clock --busy}"
sandbox_screen=${QUORVANTA_LINK_SCREEN:-1920x1080x24}
sandbox_xvfb_args=${QUORVANTA_LINK_XVFB:-}
source "$here/bench/link/link_env.sh"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

for mode in ack noack; do
  extra=()
  [ "$mode" = noack ] && extra=(--no-ack)
  echo "$path, $mode: streaming for $seconds s..." >&2
  kill -USR1 "$emulator_pid"  # the rate schedule starts with the stream
  in_client "$receiver" "$work/$mode" "$seconds" "${extra[@]}" --state "$work/client-a.json" --fps 30 \
    --bitrate "$bitrate" >"$work/$mode.txt" 2>"$work/$mode.log" || echo "The client ended with an error: see $work/$mode.log" >&2
  sleep 3  # let the queues of the path empty before the next run
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 "$here/bench/link/link_analyze.py" "$work" "$path" "${link_args[@]}"
echo
echo "Load average before: $load_before; after: $load_after ($(nproc) cores); niceness $(nice). Raw results: $work"
if [ -n "${QUORVANTA_LINK_OUT:-}" ] && [ -e "$work/$path.png" ]; then cp "$work/$path.png" "$QUORVANTA_LINK_OUT/"; fi
tail -n 1 "$work/summary.txt"
