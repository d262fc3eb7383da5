#!/usr/bin/env bash
# Fault campaign: runs the real host, control command and reference client in a private network
# namespace with a private X server, injects one fault at a time and prints, for each, what the
# host did and whether anything was lost (the host still running, the device list and identity
# unchanged, and a new session streaming frames afterwards). Not part of CI.
#
#   bench/faults.sh [BUILD_DIR]      (default: build/release; run as root, or in a user namespace)
#
# Faults: the client stopped (SIGSTOP) mid-stream and resumed; the link cut for 5 s mid-stream (a
# relay between client and host stops forwarding); a corrupted TLS record; the disk full while
# pairing (the data directory on a full 1 MiB tmpfs); the encoder failing (a screen taller than
# libx264 opens, 16384 lines); the keyring daemon killed mid-session (a host whose credentials are
# in gnome-keyring on a private session bus); the X server killed mid-session, after which the
# host is started again as its user unit does (Restart=on-failure) on a new X server.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/release}" && pwd)
host="$build/src/app/quorvanta-host"
control="$build/src/tools/control/quorvanta"
client="$build/src/tools/client/quorvanta-client"

if [ "${QUORVANTA_FAULTS_INSIDE:-}" != 1 ]; then
  for program in "$host" "$control" "$client"; do
    [ -x "$program" ] || { echo "Missing $program: build it first." >&2; exit 1; }
  done
  export QUORVANTA_FAULTS_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then exec unshare --net --mount "$0" "$build"; fi
  exec unshare --user --map-root-user --net --mount "$0" "$build"
fi

# ---- Inside the private namespaces -----------------------------------------------------------
work=$(mktemp -d /tmp/quorvanta-faults.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  umount "$work/data" 2>/dev/null || true
}
trap cleanup EXIT
# shellcheck source=../scripts/sandbox.sh
source "$here/scripts/sandbox.sh"
ip addr add 100.64.0.2/32 dev lo

# A TCP relay from 100.64.0.2:48726 to the host. Its control file says what to do with the bytes
# from the client: "pass", "hold" (forward nothing, in neither direction) or "corrupt" (flip the
# bits of the next chunk once, then pass).
cat >"$work/relay.py" <<'EOF'
import os, select, socket, sys
control = sys.argv[1]
listener = socket.socket(); listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("100.64.0.2", 48726)); listener.listen(8)
def mode():
    try: return open(control).read().strip()
    except OSError: return "pass"
pairs = {}
while True:
    ready, _, _ = select.select([listener] + list(pairs), [], [], 0.1)
    for sock in ready:
        if sock is listener:
            a, _ = listener.accept(); b = socket.create_connection(("100.64.0.1", 48725))
            pairs[a] = (b, True); pairs[b] = (a, False); continue
        if sock not in pairs: continue
        if mode() == "hold": continue
        other, fromClient = pairs[sock]
        try: data = sock.recv(65536)
        except OSError: data = b""
        if not data:
            for s in (sock, other): pairs.pop(s, None); s.close()
            continue
        if fromClient and mode() == "corrupt":
            data = bytes(b ^ 0xFF for b in data); open(control, "w").write("pass")
        try: other.sendall(data)
        except OSError: pass
EOF
echo pass >"$work/relay.mode"
python3 "$work/relay.py" "$work/relay.mode" &
pids+=($!)

status() { "$control" status 2>/dev/null || echo '{}'; }
field() { python3 -c 'import json,sys; v=json.load(sys.stdin).get(sys.argv[1]); print(v if not isinstance(v,list) else len(v))' "$1"; }
devices() { "$control" devices 2>/dev/null | cut -f1 | sort | tr '\n' ' '; }
identity() { sha256sum "$XDG_DATA_HOME/Quorvanta/host-identity.p12" "$XDG_DATA_HOME/Quorvanta/host-id" 2>/dev/null | cut -c1-12 | tr '\n' ' '; }
through_relay() {
  python3 - "$1" <<'EOF'
import json, sys
state = json.load(open(sys.argv[1])); state["address"] = "100.64.0.2"; state["port"] = 48726
json.dump(state, open(sys.argv[1], "w"))
EOF
}
# Frames a new session of the paired phone (or of the device in state file $1) receives in 3 s.
next_session() {
  "$client" --state "${1:-$work/phone.json}" stream --seconds 3 --stats >"$work/next.txt" 2>&1 || true
  sed -n 's/^frames received: //p' "$work/next.txt" | tail -1 | grep . || echo 0
}

rows=()
record() {  # fault, what the host did, before-state, after-state, frames in the next session[, alive]
  local alive="${6:-yes}" kept="yes"
  [ -n "${6:-}" ] || kill -0 "$host_pid" 2>/dev/null || alive="no"
  [ "$3" = "$4" ] || kept="no"
  rows+=("| $1 | $2 | $alive | $kept | $5 |")
}

start_host() {
  "$host" >"$work/host.txt" 2>&1 &
  host_pid=$!
  pids+=("$host_pid")
  for _ in $(seq 100); do [ "$(status | field running)" = True ] && return 0; sleep 0.1; done
  echo "The host did not start: $(cat "$work/host.txt")" >&2
  exit 1
}

start_host
link=$("$control" pair --no-qr)
"$client" --state "$work/phone.json" pair "$link" --device-name "Faults phone" >/dev/null
before="$(devices)$(identity)"

# 1. The client stopped mid-stream, then resumed.
"$client" --state "$work/phone.json" stream --seconds 12 --stats >"$work/stopped.txt" 2>&1 &
viewer=$!
sleep 3
kill -STOP "$viewer"
sleep 6
host_state="$(status | field status)"
kill -CONT "$viewer"
wait "$viewer" || true
record "client stopped 6 s mid-stream, then resumed" "status while stopped: $host_state; client exit: $(tail -1 "$work/stopped.txt" | cut -c1-40)" \
  "$before" "$(devices)$(identity)" "$(next_session)"

# 2. The link cut for 5 s mid-stream.
cp "$work/phone.json" "$work/relayed.json"
through_relay "$work/relayed.json"
"$client" --state "$work/relayed.json" stream --seconds 12 --stats >"$work/cut.txt" 2>&1 &
viewer=$!
sleep 3
echo hold >"$work/relay.mode"
sleep 5
echo pass >"$work/relay.mode"
wait "$viewer" || true
record "link cut 5 s mid-stream (relay holds)" "$(status | field status)" "$before" "$(devices)$(identity)" "$(next_session)"

# 3. A corrupted TLS record from the client.
"$client" --state "$work/relayed.json" stream --seconds 8 >"$work/corrupt.txt" 2>&1 &
viewer=$!
sleep 3
echo corrupt >"$work/relay.mode"
wait "$viewer" || true
record "corrupted TLS record from the client" "session ended: $(status | field activeDevice)" "$before" "$(devices)$(identity)" "$(next_session)"

# 4. The disk full while pairing.
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
mkdir -p "$work/full"
cp -a "$XDG_DATA_HOME/." "$work/full/"
mount -t tmpfs -o size=1m tmpfs "$XDG_DATA_HOME"
cp -a "$work/full/." "$XDG_DATA_HOME/"
start_host
dd if=/dev/zero of="$XDG_DATA_HOME/filler" bs=64k >/dev/null 2>&1 || true
paired=$("$client" --state "$work/tablet.json" pair "$("$control" pair --no-qr)" --device-name "Tablet" 2>&1 | grep -o '"type": *"[a-zA-Z]*"' | tr '\n' ' ' || true)
rm -f "$XDG_DATA_HOME/filler"
record "disk full while pairing" "second device got: ${paired:-nothing}" "$before" "$(devices)$(identity)" "$(next_session)"

# 5. The encoder failing: the host on a second X server whose screen libx264 refuses to open.
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
exec {tallfd}<> <(:)
Xvfb -displayfd "$tallfd" -screen 0 1024x17000x24 -nolisten tcp >"$work/xvfb-tall.log" 2>&1 &
pids+=($!)
read -r -t 10 tall <&"$tallfd"
DISPLAY=":$tall" start_host
"$client" --state "$work/phone.json" stream --seconds 4 --stats >"$work/encoder.txt" 2>&1 || true
seen="$(grep -o '"type": *"[a-zA-Z]*"' "$work/encoder.txt" | sort -u | tr '\n' ' ')frames: $(sed -n 's/^frames received: //p' "$work/encoder.txt" | tail -1)"
alive=yes; kill -0 "$host_pid" 2>/dev/null || alive=no
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
start_host  # back on the first X server
record "encoder failing (1024x17000 screen)" "client saw: $seen; then back on a 1920x1080 screen" "$before" "$(devices)$(identity)" \
  "$(next_session)" "$alive"

# 6. The keyring daemon killed mid-session: a host with a data directory of its own keeps its
# credentials in gnome-keyring on a private session bus.
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
saved_data="$XDG_DATA_HOME"
export XDG_DATA_HOME="$work/keyring-data"
mkdir -p "$XDG_DATA_HOME"
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus.address" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/bus.address" ] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS="$(head -1 "$work/bus.address")"
printf %s faults-password | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
keyring_pid=$!
pids+=("$keyring_pid")
for _ in $(seq 50); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
  sleep 0.1
done
start_host
store="$(status | field credentialStore)"
"$client" --state "$work/keyring-phone.json" pair "$("$control" pair --no-qr)" --device-name "Keyring phone" >/dev/null
keyring_before="$(devices)$(identity)"
"$client" --state "$work/keyring-phone.json" stream --seconds 8 --stats >"$work/keyring.txt" 2>&1 &
viewer=$!
sleep 3
kill "$keyring_pid"
wait "$viewer" || true
paired=$("$client" --state "$work/keyring-tablet.json" pair "$("$control" pair --no-qr 2>&1)" --device-name "Tablet" 2>&1 |
  grep -o '"type": *"[a-zA-Z]*"' | tr '\n' ' ' || true)
record "keyring daemon killed mid-session (store: $store)" "stream went on: $(sed -n 's/^frames received: //p' "$work/keyring.txt" | tail -1) frames; pairing afterwards got: ${paired:-nothing} $(status | field error | cut -c1-60)" \
  "$keyring_before" "$(devices)$(identity)" "$(next_session "$work/keyring-phone.json")"
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
unset DBUS_SESSION_BUS_ADDRESS
export XDG_DATA_HOME="$saved_data"
start_host

# 7. The X server killed mid-session. Qt ends the process on a broken X connection; the user unit
# (Restart=on-failure) starts it again, here by hand once a new X server runs on the same display.
"$client" --state "$work/phone.json" stream --seconds 8 >"$work/xkill.txt" 2>&1 &
viewer=$!
sleep 3
kill "${pids[0]}" 2>/dev/null || true  # the X server that sandbox.sh started
wait "$viewer" || true
exit_status=running
for _ in $(seq 50); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
if ! kill -0 "$host_pid" 2>/dev/null; then wait "$host_pid" 2>/dev/null && exit_status=0 || exit_status=$?; fi
last="$(grep -v '^$' "$work/host.txt" | tail -1 | cut -c1-50)"
Xvfb "$DISPLAY" -screen 0 1920x1080x24 -nolisten tcp >"$work/xvfb2.log" 2>&1 &
pids+=($!)
sleep 1
if [ "$exit_status" != running ]; then start_host; fi
record "X server killed mid-session" "exit status $exit_status ($last); restarted as the unit does" "$before" \
  "$(devices)$(identity)" "$(next_session)" "$([ "$exit_status" = running ] && echo yes || echo "no, restarted")"

echo "| fault | what the host did | host running | devices and identity intact | frames in the next 3 s session |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
