#!/usr/bin/env bash
# Captures what uvcvideo reports for the emulated webcam (sim/webcam) into the webcam fixtures:
# sim/fixtures/uvc-webcam-6.1.txt (x86_64 VM, Debian's 6.1) and uvc-webcam-5.10-armhf.txt
# (armhf VM, the board's 5.10), with the fixture tools of the shared fixture collection.
#
# Usage: tools/capture-webcam-fixtures.sh [--tools DIR] [x86_64|armhf]...   (both when none)
#   --tools DIR  the fixture tools' folder (default: ../shared/fixtures/tools beside the clone);
#                fixture-probe.c and cluster-probe.c are compiled from it on each run
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
for tool in fixture-probe.c cluster-probe.c; do
  [ -f "$tools/$tool" ] || { echo "capture: no $tools/$tool (give --tools DIR)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The writes after the walk, one cluster-probe run per case (ids: Exposure Auto 0x009a0901,
# Exposure Absolute 0x009a0902, Focus Absolute 0x009a090a, Focus Auto 0x009a090c, White Balance
# Auto 0x0098090c, White Balance Temperature 0x0098091a, Brightness 0x00980900).
cases() {
  cat <<'EOF'
exposure time written while auto exposure (aperture priority) is on: 6.1 refuses it before any USB request, 5.10 sends it; the camera ignores it
0x009a0902=300
auto exposure menu gaps: index 0 (auto) and 2 (shutter priority) are modes this camera does not offer
0x009a0901=0 0x009a0901=2
auto exposure to manual: the exposure time turns active with the value the camera chose; then set by hand
0x009a0901=1 0x009a0902=400
auto exposure back to aperture priority: the exposure time turns inactive and keeps 400
0x009a0901=3
restore the exposure time by way of manual mode
0x009a0901=1 0x009a0902=250 0x009a0901=3
focus written while focus auto is on
0x009a090a=102
focus auto off: focus turns active; 102 rounds to the step of 5, 9999 clamps to the maximum; restore
0x009a090c=0 0x009a090a=102 0x009a090a=9999 0x009a090a=0
focus auto back on
0x009a090c=1
white balance temperature written while its auto control is on
0x0098091a=5000
white balance auto off: the temperature turns active; set by hand, restored
0x0098090c=0 0x0098091a=5000 0x0098091a=4000
white balance auto back on
0x0098090c=1
a plain control written twice with the same value, then restored
0x00980900=77 0x00980900=77 0x00980900=128
auto exposure written with the mode it already has
0x009a0901=3
EOF
}

capture() {
  local arch=$1 cc fixture kernel_note
  case "$arch" in
    x86_64) cc=cc fixture=uvc-webcam-6.1.txt ;;
    armhf) cc=arm-linux-gnueabihf-gcc fixture=uvc-webcam-5.10-armhf.txt ;;
  esac
  local dir=$work/$arch
  mkdir -p "$dir/case"
  "$cc" -std=gnu11 -O2 -Wall -Wextra -static -pthread -o "$dir/case/webcam" "$repo/sim/webcam/webcam.c"
  "$cc" -O2 -static -o "$dir/case/fixture-probe" "$tools/fixture-probe.c"
  "$cc" -O2 -static -o "$dir/case/cluster-probe" "$tools/cluster-probe.c"
  # shellcheck disable=SC2016 # these lines run in the guest
  {
    echo '/modules/load usb || exit 1'
    echo 'mkfifo /tmp/camera'
    echo '/case/webcam -c /tmp/camera >/out/webcam.log 2>&1 &'
    echo 'i=0; while [ ! -e /dev/video0 ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done'
    echo 'uname -r >/out/release'
    echo '/case/fixture-probe /dev/video0 --writes >/out/walk.txt 2>&1'
    echo ': >/out/clusters.txt'
    cases | while IFS= read -r what && IFS= read -r writes; do
      echo "echo '# case: $what' >>/out/clusters.txt"
      echo "/case/cluster-probe /dev/video0 $writes >>/out/clusters.txt 2>&1"
    done
    echo 'echo "report /out/report" >/tmp/camera; sleep 0.5'
    echo 'echo disconnect >/tmp/camera; wait'
  } >"$dir/case/run.sh"
  bash "$repo/tools/vm/run.sh" "$arch" "$dir/case" "$dir/out" 300
  if [ "$(cat "$dir/out/case.status")" != 0 ] || grep -q 'ERROR' "$dir/out/webcam.log" ||
    ! grep -q ' lost=0 ' "$dir/out/report"; then
    echo "capture: the $arch run failed:" >&2
    cat "$dir/out/case.log" "$dir/out/webcam.log" >&2
    exit 1
  fi
  local release package
  release=$(cat "$dir/out/release")
  package=$(cut -d' ' -f1 "${CAMCTL_VM_CACHE:-/var/cache/camera_control/vm}/$arch/stamp")
  if [ "$arch" = x86_64 ]; then
    kernel_note='#   - Linux 6.1: the walk has the control-class entries "User Controls" and "Camera Controls",
#     the names are the control framework'"'"'s ("Auto Exposure", "Exposure Time, Absolute",
#     "Focus, Automatic Continuous", "White Balance, Automatic"), and S_CTRL of a control whose
#     auto control is on fails with EACCES before any USB request.'
  else
    kernel_note='#   - Linux 5.10: no control-class entries, the names are uvcvideo'"'"'s own ("Exposure, Auto",
#     "Exposure (Absolute)", "Focus (absolute)", "White Balance Temperature, Auto"), and S_CTRL of
#     a control whose auto control is on is sent to the camera and returns 0: the camera ignores
#     the value, G_CTRL reads the camera'"'"'s, and the event to the other handle carries the one
#     written.'
  fi
  {
    cat <<EOF
# $fixture: V4L2 control fixture (record format: README.md in this folder)
# Source: the real "uvcvideo" driver of Linux $release ($arch): Debian kernel package $package,
#   bound to the emulated USB webcam of camera_control's sim/webcam (a UVC 1.00 camera on gadgetfs
#   over dummy_hcd, with the controls and ranges of a common 1080p webcam) in a qemu VM.
# Captured $(date -u +%Y-%m-%d) with fixture-probe.c --writes and cluster-probe.c (static builds) by
#   camera_control's tools/capture-webcam-fixtures.sh, which regenerates it.
# Method: VIDIOC_QUERYCAP ('device'); VIDIOC_G_FMT ('format'); the VIDIOC_QUERYCTRL walk with
#   V4L2_CTRL_FLAG_NEXT_CTRL|V4L2_CTRL_FLAG_NEXT_COMPOUND, in the order returned ('control',
#   raw QUERYCTRL fields; value= from VIDIOC_G_CTRL or value_error= its errno);
#   VIDIOC_QUERYMENU for every index minimum..maximum of menu controls ('menu').
# Then VIDIOC_S_CTRL experiments ('write' lines: value sent, errno or 0, the value the call
#   returned in struct v4l2_control, and VIDIOC_G_CTRL afterwards), each after a '# case:' line.
#   Writes change state: later writes see the results of earlier ones (cases restore defaults).
# Notes on this data:
#   - "Auto Exposure"/"Exposure, Auto" offers manual (index 1) and aperture priority (index 3):
#     QUERYMENU and S_CTRL refuse the gaps 0 and 2 with EINVAL.
#   - Exposure time, focus and white balance temperature are inactive while their auto controls
#     are on; focus comes before its auto control in walk order; focus has step 5.
#   - Booleans are clamped: -1 becomes 0 (the control framework's drivers make it 1).
#   - Every S_CTRL that reaches the camera sends a value event, also when the value is the one
#     the control had; writing an auto control sends its member's event (flags and value) to
#     every handle, the writer's included, before the auto control's own event.
$kernel_note
EOF
    cat "$dir/out/walk.txt"
    cat <<'EOF'

# ---- Auto clusters and control events, captured on the same boot after the experiments above,
#   with cluster-probe.c: one run per case, each opening two handles on the node that both
#   subscribe to V4L2_EVENT_CTRL for every control (no flags: no feedback, no initial event).
#   Every write is made on the 'writer' handle. After each write: a 'changed' line for every
#   OTHER control whose flags or G_CTRL value differ from before the write, then the events
#   each handle dequeued (changes: 0x1 value, 0x2 flags).
cluster master=0x0098090c manual=0 members=0x0098091a volatile=0
cluster master=0x009a0901 manual=1 members=0x009a0902 volatile=0
cluster master=0x009a090c manual=0 members=0x009a090a volatile=0
EOF
    cat "$dir/out/clusters.txt"
  } >"$repo/sim/fixtures/$fixture"
  echo "capture: wrote sim/fixtures/$fixture ($(grep -c '^control ' "$repo/sim/fixtures/$fixture") controls)"
}

for arch in "${arches[@]}"; do capture "$arch"; done
