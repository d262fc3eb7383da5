#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test Quorvanta Host.
# Safe to run more than once. Uses sudo when not run as root.
set -euo pipefail

packages=(
  # toolchain
  build-essential g++ cmake ninja-build pkg-config git clang clang-format clang-tidy libclang-rt-dev
  # libraries
  libasio-dev libssl-dev openssl nlohmann-json3-dev libutf8proc-dev
  # secure store: Secret Service client (libsecret, GLib/GIO)
  libsecret-1-dev libglib2.0-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # keyring tests: a private session bus (dbus-run-session) with its own gnome-keyring-daemon
  dbus dbus-bin gnome-keyring
  # X11 screen capture (xcb, MIT-SHM, RandR, XFixes, Composite, Render) and scaling to NV12
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-composite0-dev
  libxcb-render0-dev libxcb-render-util0-dev libxcb-shape0-dev libswscale-dev libavutil-dev
  # X11 remote input: XTEST fake input, XKB for the keyboard's locks and groups
  libxcb-xtest0-dev libxcb-xkb-dev
  # X11 capture on change: DAMAGE with XFixes regions
  libxcb-damage0-dev
  # desktop tests: a window manager, a compositing manager and setxkbmap in the private X server
  openbox xcompmgr x11-xkb-utils
  # local presence: DPMS, the X screensaver and XInput2 raw events; xinput for its tests
  libxcb-dpms0-dev libxcb-screensaver0-dev libxcb-xinput-dev xinput
  # capture tests: a private X server
  xvfb x11-xserver-utils
  # the self-contained demo: a private network namespace with its own loopback address
  iproute2 util-linux
  # H.264 encoding: libavcodec with its libx264, VA-API and NVENC encoders
  libavcodec-dev
  # pairing QR codes in the terminal and the panel
  libqrencode-dev
  # the desktop application (Qt 6 Widgets and its xcb platform plugin); its tests read the
  # clipboard with xclip and render with the DejaVu fonts
  qt6-base-dev qt6-qpa-plugins xclip fonts-dejavu-core
  # hardening tests: pgrep finds what a killed child left running
  procps
  # Wayland desktops: frames from PipeWire; the GNOME tests run a headless mutter with pipewire
  # and wireplumber, and a small Wayland client of their own
  libpipewire-0.3-dev mutter pipewire wireplumber libwayland-dev wayland-protocols libxkbcommon-dev
  # installing: manual pages from scdoc, the Debian package (cpack with dpkg-shlibdeps), and the
  # tools its tests check the installed files with (desktop entries, AppStream, manual pages,
  # zsh completion, the user unit, lintian)
  scdoc gzip dpkg-dev desktop-file-utils appstream man-db groff-base zsh systemd lintian
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
