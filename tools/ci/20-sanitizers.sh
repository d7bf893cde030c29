#!/usr/bin/env bash
# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cmake -S . -B build/sanitize -G Ninja -DCAMCTL_WERROR=ON -DCAMCTL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build/sanitize
ctest --test-dir build/sanitize --output-on-failure -j2 --timeout 600
