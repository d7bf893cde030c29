#!/usr/bin/env bash
# Checks Debian packages of camera_control: lintian finds no error or warning; the copyright file
# has the Expat licence and its text; systemd-analyze verify accepts the packaged unit with the
# packaged program and manual page in place, and systemd-analyze security scores its sandbox at
# 1.5 or less, with and without the README's drop-in; and the package installs into a scratch
# root with dpkg, dependencies checked, and purges leaving nothing behind.
#
# Usage: tools/pkg/check-deb.sh DEB...
# Needs root (dpkg --root), lintian and systemd; the machine itself is not changed.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: check-deb.sh DEB..." >&2; exit 2; }
for tool in lintian systemd-analyze dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "check-deb: $tool missing" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
# The packaged unit's highest exposure in systemd-analyze security (0 to 10).
exposure_limit=1.5
fail() { echo "FAIL $label: $*"; failures=$((failures + 1)); }

# A dpkg database in root that holds, as installed, the packages the .deb depends on, taken
# from this machine's own database: dpkg then checks the Depends line for real.
make_root() {  # root deb
  local root=$1 deb=$2 arch depends name
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
  : >"$root/var/lib/dpkg/status"
  : >"$root/var/lib/dpkg/available"
  arch=$(dpkg-deb -f "$deb" Architecture)
  if [ "$arch" != "$(dpkg --print-architecture)" ] && [ "$arch" != all ]; then
    dpkg --root="$root" --add-architecture "$arch"
  fi
  depends=$(dpkg-deb -f "$deb" Depends)
  [ -n "$depends" ] || return 0
  for name in $(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | sed -n '/./p'); do
    # The real package name (with its architecture where it is Multi-Arch: same).
    dpkg-query -W -f='${binary:Package}\n' "$name" >>"$root/deps" 2>/dev/null ||
      { echo "check-deb: $name, a dependency, is not installed here" >&2; return 1; }
    dpkg-query -s "$name" >>"$root/var/lib/dpkg/status"
    echo >>"$root/var/lib/dpkg/status"
  done
  while read -r name; do : >"$root/var/lib/dpkg/info/$name.list"; done <"$root/deps"
  rm "$root/deps"
}

# Every path of the root outside dpkg's own database and log.
tree_of() { (cd "$1" && find . -path ./var/lib/dpkg -prune -o -path ./var/log -prune -o -print | LC_ALL=C sort); }

for deb in "$@"; do
  label=$(basename "$deb")
  n=$((${n:-0} + 1))
  levels=""
  failures_before=$failures

  # --- lintian: errors and warnings fail; other tags are shown ---
  report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
  [ -z "$report" ] || echo "$report" | sed "s/^/  lintian: /"
  if grep -q '^[EW]: ' <<<"$report"; then fail "lintian reports errors or warnings"; fi

  # --- the licence a distribution ships it under ---
  copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/camera-control/copyright)
  grep -qx 'License: Expat' <<<"$copyright" || fail "the copyright file says no License: Expat"
  grep -q '^ Permission is hereby granted, free of charge' <<<"$copyright" ||
    fail "the copyright file lacks the licence's text"

  # --- the unit, as systemd reads it: beside the system's own units, with the package's files ---
  vroot="$work/verify$n"
  mkdir -p "$vroot/lib/systemd"
  cp -a /lib/systemd/system "$vroot/lib/systemd/"
  dpkg-deb -x "$deb" "$vroot"
  # systemd-analyze prints and exits 0 on many faults (an unknown setting, a bad value): any
  # word from it fails. Its man: check finds the packaged page through MANPATH.
  # The second instance carries the manual's drop-in for a camera with a file of its own.
  dropin="$vroot/etc/systemd/system/camera-control@v4l-rear.service.d"
  mkdir -p "$dropin"
  printf '%s\n' '[Unit]' 'ConditionPathExists=' 'ConditionPathExists=/boot/camera2.txt' '' \
    '[Service]' 'ExecStart=' \
    'ExecStart=/usr/bin/camera_control -v /dev/%I -c /boot/camera2.txt -L' >"$dropin/override.conf"
  for unit in camera-control@video0.service camera-control@v4l-rear.service; do
    if ! verdict=$(MANPATH="$vroot/usr/share/man" systemd-analyze verify --root="$vroot" "$unit" 2>&1) ||
       [ -n "$verdict" ]; then
      fail "systemd-analyze verify $unit: $verdict"
    fi
    # The sandbox as systemd scores it: an exposure above the limit fails, and says what counts.
    report=$(systemd-analyze security --offline=true --root="$vroot" --no-pager "$unit" 2>&1 || true)
    level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$report")
    levels="${levels:+$levels, }$level"
    if [ -z "$level" ]; then
      fail "systemd-analyze security $unit gave no score: $report"
    elif awk -v level="$level" -v limit="$exposure_limit" 'BEGIN { exit !(level > limit) }'; then
      fail "systemd-analyze security $unit: exposure $level, above $exposure_limit:"$'\n'"$(grep '✗' <<<"$report")"
    fi
  done

  # --- install into a scratch root, then purge ---
  root="$work/root$n"
  make_root "$root" "$deb"
  before=$(tree_of "$root")
  if ! out=$(dpkg --root="$root" --log=/dev/null -i "$deb" 2>&1); then
    fail "dpkg -i: $out"
    failed_debs=$((${failed_debs:-0} + 1))
    continue
  fi
  for f in usr/bin/camera_control usr/share/man/man1/camera_control.1.gz \
           lib/udev/rules.d/70-camera-control.rules lib/systemd/system/camera-control@.service \
           usr/share/doc/camera-control/copyright usr/share/doc/camera-control/changelog.gz; do
    [ -f "$root/$f" ] || fail "installed package has no /$f"
  done
  if ! out=$(dpkg --root="$root" --log=/dev/null --purge camera-control 2>&1); then
    fail "dpkg --purge: $out"
    failed_debs=$((${failed_debs:-0} + 1))
    continue
  fi
  left=$(diff <(echo "$before") <(tree_of "$root") || true)
  [ -z "$left" ] || fail "purge left behind: $left"
  if dpkg --root="$root" -s camera-control >/dev/null 2>&1; then fail "still known to dpkg after purge"; fi
  if [ "$failures" -eq "$failures_before" ]; then
    echo "ok   $label: lintian, systemd-analyze verify and security ($levels), install and purge"
  else
    failed_debs=$((${failed_debs:-0} + 1))
  fi
done
echo "packages: $(($# - ${failed_debs:-0})) passed, ${failed_debs:-0} failed"
[ "$failures" -eq 0 ]
