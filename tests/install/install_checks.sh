#!/usr/bin/env bash
# Checks the files that `cmake --install` and the Debian package put on a machine, with the tools
# that distributions and desktops use on them. A check whose tool is missing exits 77 (skipped).
#
# Usage: install_checks.sh CHECK SOURCE_DIR BUILD_DIR VERSION [CPACK]
set -euo pipefail

check=$1 source_dir=$2 build_dir=$3 version=$4 cpack=${5:-cpack}

skip() {
  echo "SKIPPED: $1 (scripts/install-deps.sh installs it)"
  exit 77
}
need() {
  command -v "$1" >/dev/null || skip "$1 is not installed"
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Prints the completions bash offers for the words of a command line ("" for a new word).
bash_candidates() {
  bash --norc --noprofile -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _quorvanta quorvanta "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"' _ "$source_dir/data/completion/quorvanta.bash" "$@"
}

case $check in
  desktop_entries)
    need desktop-file-validate
    for entry in "$source_dir"/data/*.desktop; do
      remarks=$(desktop-file-validate "$entry" 2>&1) || fail "$remarks"
      [[ -z $remarks ]] || fail "$remarks"
    done
    ;;

  manuals)
    need man
    shopt -s nullglob
    pages=("$build_dir"/data/man/*.1.gz)
    [[ ${#pages[@]} -gt 0 ]] || skip "the manual pages were not built: scdoc is not installed"
    [[ ${#pages[@]} -eq 4 ]] || fail "expected 4 manual pages, found ${pages[*]}"
    for page in "${pages[@]}"; do
      name=$(basename "$page" .1.gz)
      text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$scratch/warnings")
      [[ ! -s $scratch/warnings ]] || fail "$page: $(cat "$scratch/warnings")"
      grep -q "^NAME" <<<"$text" || fail "$page has no NAME section"
      grep -q "^ *$name - " <<<"$text" || fail "$page does not name $name"
    done
    ;;

  bash_completion)
    need bash
    while IFS='|' read -r expected words; do
      # shellcheck disable=SC2086  # the words of the command line
      actual=$(bash_candidates quorvanta $words "")
      [[ $actual == "$expected" ]] || fail "quorvanta $words: offered '$actual', expected '$expected'"
    done <<'TABLE'
status start stop pair unpair devices revoke set login show help --help --version|
control curtain|set
on off|set curtain
on off|login
--no-qr|pair
|revoke
|status
TABLE
    actual=$(bash_candidates quorvanta st)
    [[ $actual == "status start stop" ]] || fail "quorvanta st: offered '$actual'"
    ;;

  zsh_completion)
    need zsh
    registered=$(zsh -f -c 'fpath=("$1" $fpath); autoload -U compinit; compinit -u -d "$2/zcompdump"
                            print -r -- ${_comps[quorvanta]}' _ "$source_dir/data/completion" "$scratch")
    [[ $registered == _quorvanta ]] || fail "zsh did not register _quorvanta for quorvanta: '$registered'"
    ;;

  package)
    for tool in dpkg-deb dpkg-shlibdeps lintian systemd-analyze appstreamcli; do need "$tool"; done
    "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" ||
      fail "cpack: $(cat "$scratch/cpack.log")"
    package=$(echo "$scratch"/package/*.deb)
    [[ -f $package ]] || fail "cpack made no package: $(cat "$scratch/cpack.log")"
    [[ $(dpkg-deb -f "$package" Version) == "$version" ]] || fail "the package's version is not $version"
    grep -q "libqt6widgets6" <<<"$(dpkg-deb -f "$package" Depends)" ||
      fail "the dependencies were not found from the libraries: $(dpkg-deb -f "$package" Depends)"

    echo "lintian:"
    lintian --fail-on error "$package" || fail "lintian reports errors"

    root=$scratch/root
    dpkg-deb -x "$package" "$root"
    expected=(
      usr/bin/quorvanta-host usr/bin/quorvanta usr/bin/quorvanta-client
      usr/share/applications/app.quorvanta.host.desktop
      usr/share/icons/hicolor/scalable/apps/app.quorvanta.host.svg
      usr/share/icons/hicolor/symbolic/apps/app.quorvanta.host-symbolic.svg
      usr/share/metainfo/app.quorvanta.host.metainfo.xml
      usr/share/man/man1/quorvanta-host.1.gz usr/share/man/man1/quorvanta.1.gz
      usr/share/man/man1/quorvanta-client.1.gz
      usr/share/bash-completion/completions/quorvanta usr/share/zsh/vendor-completions/_quorvanta
      usr/lib/systemd/user/quorvanta-host.service
      usr/share/doc/quorvanta/copyright usr/share/doc/quorvanta/changelog.gz
    )
    if [[ -e $root/usr/bin/quorvanta-viewer ]]; then
      expected+=(
        usr/share/applications/app.quorvanta.viewer.desktop
        usr/share/icons/hicolor/scalable/apps/app.quorvanta.viewer.svg
        usr/share/icons/hicolor/symbolic/apps/app.quorvanta.viewer-symbolic.svg
        usr/share/metainfo/app.quorvanta.viewer.metainfo.xml
        usr/share/man/man1/quorvanta-viewer.1.gz
      )
    fi
    for file in "${expected[@]}"; do
      [[ -f $root/$file ]] || fail "the package lacks /$file"
    done
    for program in "$root"/usr/bin/*; do
      name=$(basename "$program")
      answer=$("$program" --version) || fail "$name --version failed"
      [[ $answer == "$name $version" ]] || fail "$name --version printed '$answer'"
    done
    # The metadata as installed: each component with its desktop entry and icon.
    appstreamcli validate-tree --no-net --pedantic "$root" || fail "appstreamcli rejects the installed tree"
    grep -qx "ExecStart=/usr/bin/quorvanta-host" "$root/usr/lib/systemd/user/quorvanta-host.service" ||
      fail "the unit does not start /usr/bin/quorvanta-host"
    sed "s|=/usr/bin/|=$root/usr/bin/|" "$root/usr/lib/systemd/user/quorvanta-host.service" \
      >"$scratch/quorvanta-host.service"
    # The unit as the user manager would load it; any remark fails the check.
    mkdir -m 0700 "$scratch/run"
    remarks=$(XDG_RUNTIME_DIR="$scratch/run" systemd-analyze verify --user --man=no \
      "$scratch/quorvanta-host.service" 2>&1) || fail "systemd-analyze rejects the unit: $remarks"
    [[ -z $remarks ]] || fail "systemd-analyze remarks on the unit: $remarks"
    dpkg-deb -c "$package"
    ;;

  *)
    fail "no check named $check"
    ;;
esac
echo "$check: passed"
