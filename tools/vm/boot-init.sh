#!/bin/busybox sh
# The first process of the systemd boot VM: on x86_64 the initrd's, which mounts the Debian root
# from its disk; on armhf the Debian root is the initramfs itself. Either way it lays the case
# into the root, installs the case's packages with the root's own dpkg, then hands PID 1 to
# systemd.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
if [ -x /sbin/init ]; then
  root=/
  export PATH=/usr/sbin:/usr/bin:/sbin:/bin
else
  root=/root
  /bin/busybox --install -s /bin
  export PATH=/bin
fi
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

# No systemd to report to yet: a failure goes to the kernel console, which the host shows.
fail() {
  echo "boot-init: $*" >/dev/console
  poweroff -f
}

if [ "$root" = /root ]; then
  for m in $(cat /modules/order); do
    insmod "/modules/$m.ko" || fail "insmod $m failed"
  done
  i=0
  while [ ! -e /dev/vda ] && [ "$i" -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
  done
  mount -t ext4 -o rw /dev/vda /root || fail "cannot mount the root disk /dev/vda"
  cp -a /case/. /root/case/ || fail "cannot copy the case"
  mount --bind /dev /root/dev
  mount -t proc proc /root/proc
fi

# The case: its files at /case, its root/ over the system, its packages installed as a board
# installs them, before udev and systemd first look at the rules and units they bring.
[ ! -d /case/root ] || cp -a /case/root/. "$root/" || fail "cannot lay the case's files"
debs=$(ls /case/*.deb 2>/dev/null)
if [ -n "$debs" ]; then
  status=0
  for deb in $debs; do
    chroot "$root" dpkg -i "/case/${deb##*/}" >>"$root/out/install.log" 2>&1 || status=$?
  done
  echo "$status" >"$root/out/install.status"
fi

if [ "$root" = /root ]; then
  umount /root/proc /root/dev
  umount /proc /sys /dev
  exec switch_root /root /sbin/init
fi
umount /proc /sys
exec /sbin/init
