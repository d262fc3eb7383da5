# Sourced by scripts/run.sh and the benchmarks inside a private network namespace: gives
# loopback the Tailscale-style address 100.64.0.1, puts a stand-in `tailscale` first on PATH,
# points HOME and the XDG directories into "$work" with sharing switched on, and starts a private
# X server at 1920x1080 (or "$sandbox_screen", e.g. 1280x720x24), exporting DISPLAY. Expects "$work"
# and the array "pids" (the caller kills them on exit). Where an interface of the namespace already
# has 100.64.0.1 (the link benchmark's emulated path), loopback does not get it too.

ip link set lo up
if ! ip -4 addr show | grep -q 'inet 100\.64\.0\.1[ /]'; then ip addr add 100.64.0.1/32 dev lo; fi
mkdir -p "$work/bin" "$work/home" "$work/run" "$work/config/quorvanta"
chmod 700 "$work/run"
printf '#!/bin/sh\necho 100.64.0.1\n' >"$work/bin/tailscale"
chmod +x "$work/bin/tailscale"
echo "hostEnabled=true" >"$work/config/quorvanta/host.conf"
export PATH="$work/bin:$PATH" HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config"
export XDG_DATA_HOME="$work/data"
unset DBUS_SESSION_BUS_ADDRESS

# A private X server on a free display number.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 "${sandbox_screen:-1920x1080x24}" ${sandbox_xvfb_args:-} -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 10 number <&"$displayfd"
export DISPLAY=":$number"

# Waits (at most 20 s) until the host started in the sandbox answers "$control status" as running.
wait_for_host() {
  for _ in $(seq 100); do
    if "$control" status 2>/dev/null | grep -q '"running": true'; then return 0; fi
    sleep 0.2
  done
}
