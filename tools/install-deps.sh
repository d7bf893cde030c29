#!/usr/bin/env bash
# Installs the Debian packages that building and testing camera_control need (Debian 12, as root).
#
# Usage: tools/install-deps.sh [--only] [PACKAGE...]
#   PACKAGE...  more packages a stage or tool needs besides the build's own
#   --only      just the named packages
# Another package manager holding apt's or dpkg's lock (a fresh machine runs its own updates in
# its first minutes) is waited for, up to CAMCTL_APT_WAIT seconds (default 900), not failed on.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libncurses-dev libgtest-dev libgmock-dev
          googletest libvterm-dev libturbojpeg0-dev clang libclang-rt-14-dev ncurses-term reuse)
if [ "${1:-}" = "--only" ]; then
  packages=()
  shift
fi
packages+=("$@")
wait_limit=${CAMCTL_APT_WAIT:-900}

# apt-get that waits for the locks: DPkg::Lock::Timeout covers dpkg's own lock, but not the
# package lists' and the download folder's, which another apt-get holds while it updates or
# downloads; a run refused one of those is tried again until the limit.
apt_get() {
  local deadline=$((SECONDS + wait_limit)) err status said=0
  err=$(mktemp)
  while true; do
    status=0
    apt-get -o DPkg::Lock::Timeout="$wait_limit" "$@" 2>"$err" || status=$?
    if [ "$status" -ne 0 ] && grep -q '^E: Could not get lock' "$err" && [ "$SECONDS" -lt "$deadline" ]; then
      [ "$said" = 1 ] || echo "install-deps: $(grep -m1 '^E: Could not get lock' "$err" | cut -c4-); waiting" >&2
      said=1
      sleep 5
      continue
    fi
    cat "$err" >&2
    rm -f "$err"
    return "$status"
  done
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi
