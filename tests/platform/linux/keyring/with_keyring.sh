#!/bin/sh
# with_keyring.sh COMMAND [ARGUMENT...]: runs the command in a private D-Bus session bus with its own
# gnome-keyring-daemon, whose login keyring lives in a fresh temporary home and is unlocked. The
# user's bus and keyring are never reached. The command sees QUORVANTA_TEST_KEYRING=1.
set -eu

# Listing the test cases (at build time) needs no session.
for argument in "$@"; do
  if [ "$argument" = "--gtest_list_tests" ]; then exec "$@"; fi
done

root=$(mktemp -d "${TMPDIR:-/tmp}/quorvanta-keyring.XXXXXX")
trap 'rm -rf "$root"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$root/home" "$root/data" "$root/config" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"

export HOME="$root/home"
export XDG_DATA_HOME="$root/data"
export XDG_CONFIG_HOME="$root/config"
export XDG_CACHE_HOME="$root/cache"
export XDG_RUNTIME_DIR="$root/runtime"
# No display either: an unlock prompt cannot be shown, so the keyring dismisses it at once.
unset DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK DISPLAY WAYLAND_DISPLAY
export QUORVANTA_TEST_KEYRING=1
export QUORVANTA_TEST_KEYRING_PASSWORD=test-password

# The daemon runs in the foreground of the inner shell, which stops it (and waits for it) once the
# command is done, so no daemon outlives the run. Until the daemon owns its bus name, a call would
# make the bus start a second, locked daemon: wait for it, within bounds. The outer timeout is a
# last resort against a wedged daemon; the tests bound their own calls.
timeout --kill-after=5 110 dbus-run-session -- sh -c '
  printf %s "$QUORVANTA_TEST_KEYRING_PASSWORD" |
    gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
  keyring=$!
  stop_keyring() { kill "$keyring" 2>/dev/null || true; wait "$keyring" 2>/dev/null || true; }
  tries=0
  until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true"; do
    tries=$((tries + 1))
    if [ "$tries" -ge 100 ] || ! kill -0 "$keyring" 2>/dev/null; then
      echo "with_keyring.sh: gnome-keyring-daemon did not start" >&2
      stop_keyring
      exit 1
    fi
    sleep 0.1
  done
  status=0
  "$@" || status=$?
  stop_keyring
  exit "$status"' with_keyring "$@"
