#!/usr/bin/env bash
# The board's build: cross-compiles for armhf against the Linux 5.10 headers, runs every test
# under qemu-arm, then makes the release bundle and checks that its program is a static ARM
# EABI5 hard-float executable and its dummy.ko a module of a 5.10 ARMv7 kernel, and checks the
# Debian packages made beside it and their udev rule.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/../.."

cache=$(bash tools/armhf/prepare-sysroot.sh | tail -n1)

build=build/armhf
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" \
  -DCAMCTL_ARMHF_CACHE="$cache" -DCAMCTL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The unit and end-to-end suites (labels unit, e2e) run here. The other suites have stages of
# their own on the build machine: fuzzing needs clang, the system tests boot VMs, and the
# robustness tests judge the program's state from /proc, where an emulated program shows the
# emulator's system calls instead of its own.
cmake --build "$build" -j2 --target camera_control camsim_preload unit_tests e2e_tests

# qemu-user passes no V4L2 request of an emulated program to the kernel: on a real node that is
# no V4L2 device it answers ENOSYS where the board's kernel answers ENOTTY. Only the tests that
# send such a request to a real node (/dev/null) are left out; the simulated camera serves the rest.
real_node_tests='OpenCaptureDevice\.NodeThatIsNoV4l2Device|BadNodes\.GiveTheirErrorLineAndStatusOne/not_v4l2'
start=$(date +%s%N)
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 -L '^(unit|e2e)$' \
  -E "$real_node_tests"
echo "armhf tests under qemu-arm: $(( ($(date +%s%N) - start) / 1000000 )) ms"

# The install rules put the program, its manual page, the udev rule and the unit in place; the
# unit starts the program where the configured prefix puts it.
stage="$build/install-check"
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" >/dev/null
test -x "$stage/bin/camera_control"
test -f "$stage/share/man/man1/camera_control.1"
test -f "$stage/lib/udev/rules.d/70-camera-control.rules"
grep -qx "ExecStart=/usr/local/bin/camera_control -v /dev/%I -L" \
  "$stage/lib/systemd/system/camera-control@.service"
warnings=$(groff -man -Tutf8 -ww -z doc/camera_control.1 2>&1)
if [ -n "$warnings" ]; then echo "$warnings" >&2; exit 1; fi

bash tools/release.sh --out build/release
bash tools/armhf/check-bundle.sh build/release/camera_control-*-armhf

# The packages release.sh made beside the bundle: the udev rule through udev's own rule engine,
# then each .deb (lintian, systemd-analyze verify on its unit, install into a scratch root and
# purge).
bash tools/install-deps.sh lintian udev systemd >/dev/null
bash tools/pkg/check-udev-rule.sh
bash tools/pkg/check-deb.sh build/release/camera-control_*_armhf.deb \
  build/release/camera-control_*_"$(dpkg --print-architecture)".deb
