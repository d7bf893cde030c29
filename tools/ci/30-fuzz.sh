#!/usr/bin/env bash
# A clang build of every fuzz target, each fuzzed for a short while from its seed inputs; a crash fails the stage.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
build=build/fuzz
seconds="${CAMCTL_FUZZ_SECONDS:-60}"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target fuzz_targets -j2

# Targets add themselves to the list (tests/fuzz/CMakeLists.txt); the seeds in the source
# tree are read, never written: new inputs go to a scratch corpus in the build tree.
while IFS=$'\t' read -r name binary seeds; do
  [ -n "$name" ] || continue
  work="$build/fuzz-work/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  options=()
  # An optional token list beside the seeds: <seeds>.dict
  [ -f "$seeds.dict" ] && options+=(-dict="$seeds.dict")
  echo "--- fuzzing $name for ${seconds}s"
  "$binary" "${options[@]}" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" </dev/null
done <"$build/fuzz-targets.txt"
