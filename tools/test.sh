#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root) and runs every test suite of camera_control.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
for stage in tools/ci/[0-9]*.sh; do
  echo "=== ${stage}"
  bash "$stage"
done
echo "=== all test stages passed"
