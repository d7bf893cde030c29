#!/usr/bin/env bash
# Installs the Debian packages that building and testing camera_control need (Debian 12, as root).
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libncurses-dev libgtest-dev libgmock-dev
          googletest libvterm-dev clang libclang-rt-14-dev ncurses-term reuse "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
