#!/usr/bin/env bash
# The picture view's CPU time per frame on the board's build: bench/frame_cost built as the
# release is (static, armhf, Release), run under qemu-arm, and for comparison natively. Prints a
# Markdown section for bench/RESULTS.md (tools/bench.sh --frames puts it there).
# Usage: bench/frame-cost.sh [SECONDS]   (CPU seconds for each figure, default 2)
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-2}

cache=$(bash tools/armhf/prepare-sysroot.sh | tail -n1)
board=bench/work/frames-armhf
cmake -S . -B "$board" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" \
  -DCAMCTL_ARMHF_CACHE="$cache" -DCMAKE_BUILD_TYPE=Release -DCAMCTL_STATIC=ON \
  -DCAMCTL_BUILD_TESTS=OFF -DCAMCTL_WERROR=ON >/dev/null
cmake --build "$board" -j2 --target frame_cost >/dev/null
native=bench/work/frames-native
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCAMCTL_STATIC=ON \
  -DCAMCTL_BUILD_TESTS=OFF -DCAMCTL_WERROR=ON >/dev/null
cmake --build "$native" -j2 --target frame_cost >/dev/null

# A static program needs no loader: no sysroot for qemu either.
arm=$(QEMU_LD_PREFIX=/nonexistent qemu-arm "$board/bench/frame_cost" "$seconds")
host=$("$native/bench/frame_cost" "$seconds")
value() { sed -n "s/^$1=//p" <<<"$2"; }
us() { awk -v n="$1" 'BEGIN { printf "%.1f", n / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "## The picture view's CPU time per frame"
echo
echo "Each frame read into $(value columns "$arm")x$(value rows "$arm") cells (the picture of an 80x24"
echo "terminal) and metered, by \`bench/frame_cost\` built as the release is (static, Release); the"
echo "armhf build under qemu-arm $(qemu-arm --version | awk 'NR == 1 { print $3 }'), and the same on"
echo "this machine natively. CPU time of the process (\`CLOCK_PROCESS_CPUTIME_ID\`), $seconds s"
echo "for each figure, four 640x480 frames of a textured, noisy scene taking turns. A copy is one"
echo "\`memcpy\` of the frame's bytes; the raw frame's copy is that of the 640x480 YUYV frame"
echo "(614,400 bytes). A camera at 30 frames a second takes 33,333 µs to make each. Measured"
echo "$(date -u '+%Y-%m-%d %H:%M UTC')."
echo
echo "| Frame | build | bytes | read µs | copy µs | read / copy | read / raw frame's copy | share of 33,333 µs |"
echo "|---|---|---:|---:|---:|---:|---:|---:|"
for kind in arm host; do
  r=${!kind}
  label=$([ "$kind" = arm ] && echo "armhf, qemu-arm" || echo "$(uname -m), native")
  raw=$(value yuyv_copy_ns "$r")
  for f in yuyv mjpeg; do
    read_ns=$(value "${f}_read_ns" "$r"); copy_ns=$(value "${f}_copy_ns" "$r")
    name=$([ "$f" = yuyv ] && echo "YUYV 640x480" || echo "MJPEG 640x480 (4:2:2, quality 80)")
    share=$(awk -v n="$read_ns" 'BEGIN { printf "%.2f %%", n / 33333333 * 100 }')
    echo "| $name | $label | $(value "${f}_bytes" "$r") | $(us "$read_ns") | $(us "$copy_ns") |" \
         "$(ratio "$read_ns" "$copy_ns") | $(ratio "$read_ns" "$raw") | $share |"
  done
done
echo
echo "A YUYV read takes one byte per cell ($(( $(value columns "$arm") * $(value rows "$arm") )) of the frame's"
echo "614,400). An MJPEG read decodes at 1/8 scale, to grey, which skips the chroma and most"
echo "of the inverse DCT, but every byte of the compressed frame is still entropy-decoded: that"
echo "is most of its cost, so its ratio to copying its own few kilobytes is large, while beside"
echo "a raw frame's copy it stays small. qemu-arm translates the program for this machine's CPU;"
echo "its times tell the two builds' proportions, not the board's own speed."
