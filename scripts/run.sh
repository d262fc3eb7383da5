#!/usr/bin/env bash
# Runs Quorvanta Host from a build directory (default build/release).
#
# On a desktop that is on a Tailscale network (an X display and a 100.64.0.0/10 address from
# `tailscale ip -4`) this starts the host itself. Anywhere else it runs a self-contained demo:
# a private X server (Xvfb) with moving content, the host in a private network namespace whose
# loopback carries 100.64.0.1 with a stand-in `tailscale`, and the reference client, which pairs,
# streams for 10 seconds, saves the last frame it decoded as a PNG and prints what it measured.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
host="$build/src/app/quorvanta-host"
control="$build/src/tools/control/quorvanta"
client="$build/src/tools/client/quorvanta-client"
scene="$build/src/tools/demo/quorvanta-demo-scene"

if [ "${QUORVANTA_DEMO_INSIDE:-}" != 1 ]; then
  if [ -n "${DISPLAY:-}" ] && command -v tailscale >/dev/null 2>&1 &&
    TAILSCALE_BE_CLI=1 tailscale ip -4 2>/dev/null | grep -Eq '^100\.(6[4-9]|[7-9][0-9]|1[01][0-9]|12[0-7])\.'; then
    exec "$host"
  fi
  echo "No X display with Tailscale here: running the self-contained demo."
  export QUORVANTA_DEMO_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --net "$0" "$build"
  fi
  exec unshare --user --map-root-user --net "$0" "$build"
fi

# ---- Inside the private network namespace ---------------------------------------------------
work=$(mktemp -d /tmp/quorvanta-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

source "$here/scripts/sandbox.sh"
"$scene" &
pids+=($!)

"$host" >"$work/host.log" 2>&1 &
pids+=($!)
wait_for_host
"$control" set control on
link=$("$control" pair --no-qr | head -n 1)
echo "Pairing link: $link"
"$client" pair "$link" --device-name "Demo client" >/dev/null
echo "Paired. Streaming for 10 seconds..."
"$client" stream --seconds 10 --save-frame "$work/last-frame.png" --stats >"$work/messages.jsonl"
echo
echo "Messages from the host: $work/messages.jsonl"
echo "Last decoded frame:     $work/last-frame.png"
echo "Host log:               $work/host.log"
