#!/usr/bin/env bash
# Captures what the kernel's vimc driver reports into the media fixtures: sim/fixtures/vimc-6.1.txt
# (x86_64 VM, Debian's 6.1) and vimc-5.10-armhf.txt (armhf VM, the board's 5.10): its media graph,
# and every node's own records and controls, with write experiments on the sensor, the debayer
# and (6.1) the lens.
#
# Usage: tools/capture-vimc-fixtures.sh [--tools DIR] [x86_64|armhf]...   (both when none)
#   --tools DIR  the shared fixture tools' folder (default: ../shared/fixtures/tools beside the
#                clone); cluster-probe.c is compiled from it on each run, beside this project's
#                own tools/fixtures/media-probe.c
# vimc comes from tools/vm/build-vimc.sh, which this runs first.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
tools=$repo/../shared/fixtures/tools
arches=()
while [ $# -gt 0 ]; do
  case "$1" in
    --tools) tools=$2; shift 2 ;;
    x86_64 | armhf) arches+=("$1"); shift ;;
    *) echo "usage: $0 [--tools DIR] [x86_64|armhf]..." >&2; exit 2 ;;
  esac
done
[ "${#arches[@]}" -gt 0 ] || arches=(x86_64 armhf)
[ -f "$tools/cluster-probe.c" ] || { echo "capture: no $tools/cluster-probe.c (give --tools DIR)" >&2; exit 1; }
bash "$repo/tools/vm/build-vimc.sh" "${arches[@]}"
cache=${CAMCTL_VM_CACHE:-/var/cache/camera_control/vm}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Write experiments, by entity: the ids are Brightness 0x00980900, Hue 0x00980903, Horizontal
# Flip 0x00980914, vimc's Test Pattern 0x00f0f000, the debayer's Mean Window Size 0x00f0f001 and
# Focus, Absolute 0x009a090a.
experiments() {
  cat <<'EOF2'
Sensor A
brightness beyond its maximum is clamped; hue below its minimum too; both restored
0x00980900=300 0x00980900=128 0x00980903=-200 0x00980903=0
Sensor A
a boolean written 2 becomes 1; restored
0x00980914=2 0x00980914=0
Sensor A
a test pattern beyond the menu is refused; one inside it is taken; restored
0x00f0f000=22 0x00f0f000=1 0x00f0f000=0
Debayer A
the mean window size goes to its step of 2 from 1 (4 becomes 5) and is clamped at 25; restored
0x00f0f001=4 0x00f0f001=99 0x00f0f001=3
Lens A
focus beyond its maximum is clamped; restored
0x009a090a=2000 0x009a090a=0
EOF2
}

capture() {
  local arch=$1 cc fixture
  case "$arch" in
    x86_64) cc=cc fixture=vimc-6.1.txt ;;
    armhf) cc=arm-linux-gnueabihf-gcc fixture=vimc-5.10-armhf.txt ;;
  esac
  local dir=$work/$arch
  mkdir -p "$dir/case"
  "$cc" -std=gnu11 -O2 -Wall -Wextra -static -o "$dir/case/media-probe" "$repo/tools/fixtures/media-probe.c"
  "$cc" -O2 -static -o "$dir/case/cluster-probe" "$tools/cluster-probe.c"
  cp "$cache/vimc-$arch/vimc.ko" "$dir/case/vimc.ko"
  # shellcheck disable=SC2016 # these lines run in the guest
  {
    echo 'insmod /case/vimc.ko || exit 1'
    echo 'i=0; while [ ! -e /dev/media0 ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done'
    echo 'uname -r >/out/release'
    echo 'node_of() { for d in /sys/class/video4linux/*; do [ "$(cat $d/name)" = "$1" ] && echo /dev/${d##*/}; done; }'
    echo '/case/media-probe graph /dev/media0 >/out/graph.txt 2>&1'
    echo 'mkdir -p /out/nodes'
    echo 'for d in /sys/class/video4linux/*; do n=${d##*/}; /case/media-probe node /dev/$n >/out/nodes/$n.txt 2>&1; done'
    experiments | while IFS= read -r entity && IFS= read -r what && IFS= read -r writes; do
      echo "n=\$(node_of '$entity'); if [ -n \"\$n\" ]; then f=/out/nodes/\${n#/dev/}.txt;"
      echo "  echo '# case: $what' >>\$f; /case/cluster-probe \$n $writes >>\$f 2>&1; fi"
    done
  } >"$dir/case/run.sh"
  bash "$repo/tools/vm/run.sh" "$arch" "$dir/case" "$dir/out" 300
  if [ "$(cat "$dir/out/case.status")" != 0 ] || grep -q '^# MEDIA_IOC' "$dir/out/graph.txt"; then
    echo "capture: the $arch run failed:" >&2
    cat "$dir/out/case.log" "$dir/out/graph.txt" >&2
    exit 1
  fi
  local release package source
  release=$(cat "$dir/out/release")
  package=$(cut -d' ' -f1 "$cache/$arch/stamp")
  source=$(cat "$cache/vimc-$arch/source")
  {
    cat <<EOF2
# $fixture: a media-controller camera, vimc, for the simulated camera (record format: the V4L2
#   control fixtures' README, and camera_control's README for the graph records)
# Source: the kernel's own "vimc" driver of Linux $release ($arch): Debian kernel package
#   $package, with vimc built out of tree from $source against that kernel's headers
#   (camera_control's tools/vm/build-vimc.sh), in a qemu VM.
# Captured $(date -u +%Y-%m-%d) by camera_control's tools/capture-vimc-fixtures.sh, which
#   regenerates it, with its tools/fixtures/media-probe.c and the fixture tools' cluster-probe.c.
# Method: 'media' from MEDIA_IOC_DEVICE_INFO and the media node's device number and uevent
#   DEVNAME; 'entity', 'interface' (with the devnode's DEVNAME), 'pad' and 'link' from
#   MEDIA_IOC_G_TOPOLOGY in the kernel's order. Then one section per device node, opened by
#   "node devname=": a subdevice's 'subdevice' record (VIDIOC_SUBDEV_QUERYCAP; VIDIOC_QUERYCAP
#   fails with ENOTTY there), a video node's 'device' (VIDIOC_QUERYCAP) and 'format type=1'
#   (VIDIOC_G_FMT), then the VIDIOC_QUERYCTRL walk with VIDIOC_G_CTRL and VIDIOC_QUERYMENU, as
#   the fixture tools print them; last the write experiments of the node's '# case:' lines,
#   each with two handles subscribed to every control (no feedback): 'write', 'changed' and
#   'event' records.
# Notes on this data:
#   - Link flags: 0x1 enabled, 0x2 immutable, type in bits 28-31 (0 data, 1 interface,
#     2 ancillary: a lens tied to its sensor, from Linux 5.17). Pad flags: 0x1 sink, 0x2 source.
#   - Interface type 0x00000200 is a video node, 0x00000203 a subdevice node.
#   - The capture nodes report V4L2_CAP_IO_MC and have no control of their own.
EOF2
    cat "$dir/out/graph.txt"
    local n
    for n in "$dir/out/nodes"/*.txt; do
      echo
      cat "$n"
    done
  } >"$repo/sim/fixtures/$fixture"
  printf 'SPDX-FileCopyrightText: 2026 the camera_control developers\nSPDX-License-Identifier: MIT\n' \
    >"$repo/sim/fixtures/$fixture.license"
  echo "capture: wrote sim/fixtures/$fixture ($(grep -c '^node ' "$repo/sim/fixtures/$fixture") nodes)"
}

for arch in "${arches[@]}"; do capture "$arch"; done
