#!/usr/bin/env bash
# Streams 10 seconds of moving content at 1280x720 and prints frames per second delivered to the
# reference client, with the CPU time of the host and of the display server: on a headless GNOME
# session (mutter, PipeWire) with "gnome", or on Xvfb with the same kind of content with "x11".
# Runs itself in a private network namespace on a private session bus.
# Usage: bench/wayland_stream.sh BUILD_DIR gnome|x11
set -euo pipefail
build=$(realpath "${1:?build directory}")
mode=${2:?gnome or x11}
if [ -z "${QUORVANTA_BENCH_INSIDE:-}" ]; then
  export QUORVANTA_BENCH_INSIDE=1
  exec unshare --net dbus-run-session -- "$0" "$build" "$mode"
fi

work=$(mktemp -d /tmp/quorvanta-bench.XXXXXX)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
ip link set lo up && ip addr add 100.64.0.1/32 dev lo
mkdir -p "$work/bin" "$work/home" "$work/run" "$work/config/quorvanta"
chmod 700 "$work/run"
printf '#!/bin/sh\necho 100.64.0.1\n' >"$work/bin/tailscale" && chmod +x "$work/bin/tailscale"
echo "hostEnabled=true" >"$work/config/quorvanta/host.conf"
export PATH="$work/bin:$PATH" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config"
export XDG_DATA_HOME="$work/data" GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
unset DISPLAY WAYLAND_DISPLAY

if [ "$mode" = gnome ]; then
  export XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=quorvanta-bench
  pipewire >"$work/pipewire.log" 2>&1 & pids+=($!)
  for _ in $(seq 50); do [ -S "$work/run/pipewire-0" ] && break; sleep 0.1; done
  wireplumber >"$work/wireplumber.log" 2>&1 & pids+=($!)
  mutter --headless --wayland --no-x11 --wayland-display=quorvanta-bench --virtual-monitor 1280x720 \
    >"$work/server.log" 2>&1 & server=$!; pids+=($server)
  for _ in $(seq 100); do
    gdbus introspect --session -d org.gnome.Mutter.ScreenCast -o /org/gnome/Mutter/ScreenCast >/dev/null 2>&1 && break
    sleep 0.1
  done
  "$build/tests/platform/linux/wayland/quorvanta-wayland-test-client" --animate >"$work/scene.log" 2>&1 & pids+=($!)
else
  export XDG_SESSION_TYPE=x11
  Xvfb :57 -screen 0 1280x720x24 -nolisten tcp >"$work/server.log" 2>&1 & server=$!; pids+=($server)
  export DISPLAY=:57
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  "$build/src/tools/demo/quorvanta-demo-scene" >"$work/scene.log" 2>&1 & pids+=($!)
fi

"$build/src/app/quorvanta-host" >"$work/host.log" 2>&1 & host=$!; pids+=($host)
control="$build/src/tools/control/quorvanta"
client="$build/src/tools/client/quorvanta-client"
for _ in $(seq 100); do "$control" status 2>/dev/null | grep -q '"running": true' && break; sleep 0.2; done
"$client" pair "$("$control" pair --no-qr | head -n 1)" --device-name Bench >/dev/null

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
host0=$(ticks "$host"); server0=$(ticks "$server"); start=$(date +%s.%N)
"$client" stream --seconds 10 --stats >"$work/stream.jsonl" 2>"$work/stats.txt"
host1=$(ticks "$host"); server1=$(ticks "$server"); end=$(date +%s.%N)
seconds=$(echo "$end - $start" | bc -l)
echo "backend: $mode"
grep -E "frames decoded|fps|bit rate" "$work/stats.txt" "$work/stream.jsonl" 2>/dev/null | sed 's/^[^:]*://' || true
printf 'host CPU: %.0f %% of a core\n' "$(echo "($host1 - $host0) / $hz / $seconds * 100" | bc -l)"
printf 'display server CPU: %.0f %% of a core\n' "$(echo "($server1 - $server0) / $hz / $seconds * 100" | bc -l)"
