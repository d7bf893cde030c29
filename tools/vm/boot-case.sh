#!/bin/sh
# The systemd boot VM's case runner (camctl-case.service): once the boot is done it records how
# the boot went, runs the case's run.sh, ships /out to the host and powers off.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
out=/out
# "running" or "degraded" once no job is left; this unit's own start job is done already.
systemctl is-system-running --wait >$out/boot-state 2>&1
systemd-analyze time >$out/boot-time 2>&1
systemctl list-units --failed --plain --no-legend >$out/boot-failed 2>&1
if [ -f /case/run.sh ]; then
  (cd /case && sh ./run.sh) >$out/case.log 2>&1
  echo "$?" >$out/case.status
else
  echo "camctl-case: no case script" >$out/case.log
fi
# One tar stream on a line of its own, as the busybox VMs ship theirs.
results=$(cat /case/results-line)
stty -F "$results" raw -echo 2>/dev/null
tar -c -f "$results" -C $out .
sync
systemctl poweroff --force --force
