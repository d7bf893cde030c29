#!/usr/bin/env bash
# The native build with warnings as errors, and every unit and end-to-end test.
set -euo pipefail
cmake -S . -B build/ci -G Ninja -DCAMCTL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/ci
ctest --test-dir build/ci --output-on-failure -j2 --timeout 300
