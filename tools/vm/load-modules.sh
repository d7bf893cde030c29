#!/bin/busybox sh
# Loads module sets of a system-test VM's image, dependencies first: /modules/load usb disk.
# A module that is already loaded (the base set shares the media modules) is skipped.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
for set in "$@"; do
  [ -f "/modules/$set.order" ] || { echo "load: no module set $set" >&2; exit 1; }
  for m in $(cat "/modules/$set.order"); do
    [ -d "/sys/module/$(echo "$m" | tr - _)" ] && continue
    insmod "/modules/$m.ko" || { echo "load: insmod $m failed" >&2; exit 1; }
  done
done
