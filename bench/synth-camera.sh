#!/usr/bin/env bash
# Writes a synthetic camera in the simulated camera's scenario format: N adjustable controls
# (default 1000), every tenth of them a menu, plus a read-only class control.
# Usage: bench/synth-camera.sh [CONTROLS] > camera.txt
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
count="${1:-1000}"
awk -v count="$count" 'BEGIN {
  print "# Synthetic camera: " count " controls, " int(count / 10) " of them menus."
  print "device driver=\"synth\" card=\"Synthetic camera\" bus_info=\"platform:synth-0\" version=0x050adf capabilities=0x84200001 device_caps=0x04200001"
  print "format type=1 width=1920 height=1080 pixelformat=0x56595559 fourcc=\"YUYV\""
  # The class control heads the list, as drivers report it; the walk passes it by.
  print "control id=0x00980001 type=6 name=\"User Controls\" minimum=0 maximum=0 step=0 default=0 flags=0x44 value_error=EACCES"
  for (i = 0; i < count; i++) {
    id = 9963776 + i  # 0x00980900, the first user control
    name = sprintf("Synthetic Control %04d", i)
    if (i % 10 == 9) {
      # Menus: text menus with 4 to 11 items and a gap at index 2, every fourth one an
      # integer menu without gaps.
      items = 4 + int(i / 10) % 8
      if (int(i / 10) % 4 == 3) {
        printf "control id=0x%08x type=9 name=\"%s\" minimum=0 maximum=%d step=0 default=0 flags=0x0 value=0\n", id, name, items - 1
        for (k = 0; k < items; k++) printf "menu id=0x%08x index=%d value=%d\n", id, k, k * 1000
      } else {
        printf "control id=0x%08x type=3 name=\"%s\" minimum=0 maximum=%d step=0 default=1 flags=0x0 value=1\n", id, name, items - 1
        for (k = 0; k < items; k++) {
          if (k == 2) printf "menu id=0x%08x index=%d error=EINVAL\n", id, k
          else printf "menu id=0x%08x index=%d name=\"Choice %d of %04d\"\n", id, k, k, i
        }
      }
    } else if (i % 10 == 4) {
      printf "control id=0x%08x type=2 name=\"%s\" minimum=0 maximum=1 step=1 default=0 flags=0x0 value=0\n", id, name
    } else {
      max = 100 * (1 + i % 7)
      def = int(max / 2)
      printf "control id=0x%08x type=1 name=\"%s\" minimum=-%d maximum=%d step=%d default=%d flags=0x20 value=%d\n", id, name, max, max, 1 + i % 3, def, def
    }
  }
}'
