#!/usr/bin/env bash
# The tree's licence information, the native build with warnings as errors, and every unit and
# end-to-end test.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
# Every file says under which licence it is, in itself or in a .license file beside it.
reuse lint
cmake -S . -B build/ci -G Ninja -DCAMCTL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/ci
ctest --test-dir build/ci --output-on-failure -j2 --timeout 300
