#!/bin/busybox sh
# The initrd's first process in the systemd boot VM: mounts the Debian root, lays the case into
# it, installs the case's packages with the root's own dpkg, then hands PID 1 to systemd.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

# No systemd to report to yet: a failure goes to the kernel console, which the host shows.
fail() {
  echo "boot-init: $*" >/dev/console
  poweroff -f
}

for m in $(cat /modules/order); do
  insmod "/modules/$m.ko" || fail "insmod $m failed"
done
i=0
while [ ! -e /dev/vda ] && [ "$i" -lt 200 ]; do
  sleep 0.05
  i=$((i + 1))
done
mount -t ext4 -o rw /dev/vda /root || fail "cannot mount the root disk /dev/vda"

# The case: its files at /case, its root/ over the system, its packages installed as a board
# installs them, before udev and systemd first look at the rules and units they bring.
cp -a /case/. /root/case/ || fail "cannot copy the case"
[ ! -d /case/root ] || cp -a /case/root/. /root/ || fail "cannot lay the case's files"
debs=$(ls /case/*.deb 2>/dev/null)
if [ -n "$debs" ]; then
  mount --bind /dev /root/dev
  mount -t proc proc /root/proc
  status=0
  for deb in $debs; do
    chroot /root dpkg -i "/case/${deb##*/}" >>/root/out/install.log 2>&1 || status=$?
  done
  echo "$status" >/root/out/install.status
  umount /root/proc /root/dev
fi

umount /proc /sys /dev
exec switch_root /root /sbin/init
