#!/usr/bin/env bash
# System tests: the static program against the kernel's own drivers (vivid, uvcvideo with the
# emulated USB webcam, slow answers and unplug included, and the media-controller pipeline of
# vimc, built out of tree for each kernel) inside VMs that run Debian's 6.1 x86_64
# kernel and the board's 5.10 armhf kernel, with the release bundle's binary
# and dummy module; the boot-time load as the shipped systemd unit runs it, from the armhf
# package on 5.10 and from the dynamically linked native package on 6.1 (tools/release.sh makes
# both); a real boot of Debian's own systemd and udev on both kernels, with the package
# installed and /boot on a FAT disk, where udev starts the sandboxed unit for each camera; power
# cuts while the program saves to a FAT disk, checked with fsck.vfat and the guest kernel
# (CAMCTL_POWER_CUT_CYCLES sets the cuts per kernel and writer). CAMCTL_SKIP_SYSTEM_TESTS=1
# opts out explicitly (CI never sets it).
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
if [ "${CAMCTL_SKIP_SYSTEM_TESTS:-}" = "1" ]; then
  echo "system tests: skipped on request (CAMCTL_SKIP_SYSTEM_TESTS=1)"
  exit 0
fi
bash tools/install-deps.sh gcc-arm-linux-gnueabihf dosfstools mtools mmdebstrap kmod
# The board's binary and module exactly as they ship.
bash tools/release.sh
# Kernels and base images, vimc for each kernel, and the systemd boot's Debian root, cached
# outside the clone for later runs.
bash tools/vm/prepare.sh
bash tools/vm/build-vimc.sh
for arch in x86_64 armhf; do bash tools/vm/boot-image.sh "$arch"; done
cmake -S . -B build/system -G Ninja -DCAMCTL_WERROR=ON -DCAMCTL_STATIC=ON \
  -DCAMCTL_SYSTEM_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/system --target camera_control system_tests system_guest_helpers
ctest --test-dir build/system -L system --output-on-failure -j2 --timeout 900
# How long the systemd boot took, from the test's own log.
grep -ho 'systemd boot, .*' build/system/Testing/Temporary/LastTest.log || true
