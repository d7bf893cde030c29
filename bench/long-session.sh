#!/usr/bin/env bash
# The long randomized session: 20,000 seeded keys (ROBUSTNESS_KEYS, ROBUSTNESS_SEED) on the vivid
# camera, the program built with AddressSanitizer and UndefinedBehaviorSanitizer. Prints a
# Markdown section for bench/RESULTS.md.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
build=bench/work/asan
keys="${ROBUSTNESS_KEYS:-20000}"
seed="${ROBUSTNESS_SEED:-20261208}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCAMCTL_SANITIZE=ON -DCAMCTL_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target camera_control camsim_preload robustness_tests >/dev/null
start=$(date +%s)
log=bench/work/long-session.log
if ROBUSTNESS_KEYS="$keys" ROBUSTNESS_SEED="$seed" "$build/tests/robustness/robustness_tests" \
  --gtest_filter='LongSession.*' >"$log" 2>&1; then
  outcome="passed"
else
  outcome="**failed** (see $log)"
fi
seconds=$(( $(date +%s) - start ))
echo "## Long randomized session"
echo
echo "$keys keys, seed $seed, on the vivid 6.1 capture fixture, sanitized build: $outcome in"
echo "${seconds} s: $(sed -n 's/^session: [0-9]* keys, seed [0-9]*, //p' "$log")."
echo
echo "After every key the selection bar, the selected row's number, the panel's name and its Val"
echo "line match the value the simulated camera holds (the auto gain switch and Gain are hidden"
echo "with \`-i gain_automatic\`, so the list keeps its rows); at the end the saved file holds"
echo "exactly the camera's non-default values."
