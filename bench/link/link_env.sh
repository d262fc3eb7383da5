# Sourced by bench/link_bench.sh and bench/link_soak.sh, as root, inside the host's network
# namespace "$host_ns" (the client's is "$client_ns"; both made by `ip netns add`). Starts the link
# emulator between them with the arguments in the array "link_args", gives the host side 100.64.0.1
# and the client side 100.64.0.2 on the emulated path, sets up the sandbox (scripts/sandbox.sh: a
# stand-in tailscale, private HOME, Xvfb), starts the demo scene with the arguments in
# "scene_args" and the host, and pairs the client states "$work/client-a.json" and
# "$work/client-b.json". Expects "$here", "$build", "$work" and the array "pids"; sets
# "emulator_pid", "host_pid", "control", "client" and "receiver".

control="$build/src/tools/control/quorvanta"
client="$build/src/tools/client/quorvanta-client"
receiver="$build/bench/link_receiver"
emulator="$build/src/tools/linkemu/quorvanta-link-emulator"
scene="$build/src/tools/demo/quorvanta-demo-scene"
host="${QUORVANTA_LINK_HOST:-$build/src/app/quorvanta-host}"

# The emulator needs little CPU but timely wake-ups, even on a busy machine.
nice -n -10 "$emulator" --host-ns "$host_ns" --client-ns "$client_ns" "${link_args[@]}" --log "$work/link.csv" \
  --ready "$work/link.ready" 2>"$work/emulator.log" &
emulator_pid=$!
pids+=("$emulator_pid")
for _ in $(seq 50); do [ -e "$work/link.ready" ] && break; sleep 0.1; done
[ -e "$work/link.ready" ] || { echo "The link emulator did not start: see $work/emulator.log" >&2; exit 1; }
ip link set qlink up
ip addr add 100.64.0.1 peer 100.64.0.2 dev qlink
ip -n "$client_ns" link set lo up
ip -n "$client_ns" link set qlink up
ip -n "$client_ns" addr add 100.64.0.2 peer 100.64.0.1 dev qlink

source "$here/scripts/sandbox.sh"
"$scene" "${scene_args[@]}" &
pids+=($!)

"$host" >"$work/host.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")
wait_for_host

# Runs a command in the client's namespace.
in_client() { ip netns exec "$client_ns" "$@"; }

for name in a b; do
  link=$("$control" pair --no-qr | head -n 1)
  in_client "$client" pair "$link" --state "$work/client-$name.json" --device-name "Link bench $name" >/dev/null
done
