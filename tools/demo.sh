#!/usr/bin/env bash
# Builds camera_control and runs it: on /dev/video0 when a camera is there, otherwise on the
# simulated camera loaded with a recording of a real driver. Extra arguments go to the program.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
echo "Building camera_control (the first build takes about a minute)..."
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCAMCTL_BUILD_TESTS=ON >/dev/null
cmake --build build/demo --target camera_control camsim_preload | tail -n 1
if [ -e /dev/video0 ]; then
  exec build/demo/camera_control "$@"
fi
echo "No /dev/video0 here: running on the simulated camera (${CAMSIM_SCENARIO:=sim/fixtures/vivid-6.1-capture.txt})."
export CAMSIM_SCENARIO
# A settings file of the demo's own, so the demo never touches /boot.
has_config=0
for arg in "$@"; do [ "$arg" = -c ] && has_config=1; done
extra=()
[ "$has_config" = 1 ] || extra=(-c build/demo/camera.txt)
LD_PRELOAD="$PWD/build/demo/sim/libcamsim.so" exec build/demo/camera_control "${extra[@]}" "$@"
