#!/bin/busybox sh
# The first process of a system-test VM: loads the modules, runs the case, ships its results.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
out_dev=@OUT_DEV@

for m in $(cat /modules/order); do
  insmod "/modules/$m.ko" || echo "init: insmod $m failed" >>/out/init.log
done
# Wait for the output line's device node (virtio ports appear a little after their module).
i=0
while [ ! -e "$out_dev" ] && [ "$i" -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done

if [ -x /case/run.sh ]; then
  cd /case && /bin/sh ./run.sh >/out/case.log 2>&1
  echo "$?" >/out/case.status
else
  echo "init: no case script" >>/out/init.log
fi

# The results travel as one tar stream on a line of their own, so kernel messages never mix in.
stty -F "$out_dev" raw -echo 2>/dev/null
tar -c -f - -C /out . >"$out_dev"
sync
poweroff -f
