#!/usr/bin/env bash
# Builds the root filesystem of the systemd boot VM from Debian's own packages, and the small
# initrd that mounts it and hands over to systemd.
#
# Usage: tools/vm/boot-image.sh [x86_64|armhf]
#
# The root is a Debian of this machine's suite made with mmdebstrap: the essential packages,
# systemd as init, udev, kmod, and the libraries the native package of camera_control depends
# on; the packages come through the suites this machine's apt configuration names. It holds the
# modules of the test VMs' own kernel (tools/vm/prepare.sh) that the boot tests need: vivid,
# uvcvideo with the emulated webcam's dummy USB controller and gadgetfs, vfat and the virtio
# devices. Everything lands beside the kernels in CAMCTL_VM_CACHE, in boot-ARCH, with a stamp of
# the kernel, the suite and a digest of the scripts that shape the image, so a change rebuilds
# it; a second run finds it and downloads nothing.
#   x86_64  Debian's 6.1 with its modules from its package (BOOT_MODULES adds more): the root is
#           an ext4 disk, root.img, that a small busybox initrd, initrd.cpio.gz, mounts
#   armhf   the board's 5.10 with the modules of its busybox image (vivid's, the usb and disk
#           sets): the root is made without running armhf code here (mmdebstrap's chrootless
#           mode) and is itself the initramfs, root.cpio.gz, so no disk module is needed
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

arch=${1:-x86_64}
case "$arch" in
  x86_64) deb_arch=amd64 mode=root ;;
  armhf) deb_arch=armhf mode=chrootless ;;
  *) vm_die "unknown architecture '$arch' (x86_64 or armhf)" ;;
esac

# The kernel the image's modules must match.
bash "$here/prepare.sh" "$arch"
release=$(cat "$VM_CACHE/$arch/release")
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$suite" ] || vm_die "/etc/os-release names no Debian suite (VERSION_CODENAME)"
# shellcheck disable=SC2206 # BOOT_MODULES holds module names
modules=(vivid uvcvideo dummy_hcd gadgetfs vfat nls_cp437 nls_ascii nls_utf8 autofs4 ${BOOT_MODULES:-})
root_modules=(virtio_pci virtio_blk ext4)
layout=$(cat "$here/boot-image.sh" "$here/boot-init.sh" "$here/boot-case.sh" | sha256sum | cut -c1-16)
stamp="$release $suite $layout ${modules[*]}"
# armhf's modules come from its busybox image: a new one rebuilds this one.
[ "$arch" != armhf ] || stamp="$stamp $(cat "$VM_CACHE/armhf/stamp")"
dir=$VM_CACHE/boot-$arch

mkdir -p "$VM_CACHE"
exec 9>"$VM_CACHE/.lock"
flock 9
if [ -f "$dir/stamp" ] && [ "$(cat "$dir/stamp")" = "$stamp" ]; then
  vm_log "boot-$arch: $suite with $release cached in $dir"
  exit 0
fi
started=$(date +%s)
vm_log "boot-$arch: building a $suite root with $release (a few minutes, once)"
bash "$here/../install-deps.sh" mmdebstrap e2fsprogs kmod cpio gzip >/dev/null ||
  vm_die "cannot install the image tools"

rm -rf "$dir"
work=$dir/work
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# --- the packages, from the Debian suites apt is configured with here ---
# One line per suite of this release (its updates and security suites too), main only: no
# other archive the machine may know goes into the guest.
# shellcheck disable=SC2016 # apt's own $(FIELD) placeholders
mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    'Identifier: Packages' | awk -v s="$suite" '$3 == "main" && ($2 == s || index($2, s "-") == 1) {
      sub(/\/$/, "", $1); print "deb " $1 " " $2 " main" }' | sort -u)
[ "${#sources[@]}" -gt 0 ] || vm_die "apt knows no $suite main suite here (run apt-get update?)"
# The machine's own acquire settings (a proxy, an archive snapshot's dates) go along.
apt-config dump --format '%f "%v";%n' |
  grep -E '^Acquire::(Check-Valid-Until|Check-Date|(https?|ftp)::Proxy)' >"$work/apt.conf" || true
# The merged /usr made as debootstrap makes it (with usr-is-merged): the essential set alone
# would bring the usrmerge converter without the perl it runs on, a broken package to dpkg.
# Beside init: the libraries the native package depends on, which dpkg will not fetch.
make_root() {
  rm -rf "$work/root"
  mmdebstrap --mode="$mode" --variant=essential --architectures="$deb_arch" \
    --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
    --include=systemd-sysv,udev,kmod,busybox-static,libncursesw6,libstdc++6,libgcc-s1,libturbojpeg0 \
    --aptopt="$work/apt.conf" "$suite" "$work/root" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1
}
# An archive can serve one suite's index of one architecture mid-sync (its size not the one its
# Release names) for hours. The guest is a test machine: an updates or security suite whose
# index cannot be read is left out, and said so; the release's own suite never is.
if ! make_root; then
  mapfile -t broken < <(sed -n 's|^E: Failed to fetch .*/dists/\([^/]*\)/.*|\1|p' \
    "$work/mmdebstrap.log" | sort -u)
  kept=()
  for line in "${sources[@]}"; do
    drop=0
    for name in "${broken[@]}"; do
      [ "$name" != "$suite" ] || continue
      [ "$(echo "$line" | cut -d' ' -f3)" != "$name" ] || drop=1
    done
    [ "$drop" = 1 ] || kept+=("$line")
  done
  if [ "${#kept[@]}" -eq "${#sources[@]}" ]; then
    cat "$work/mmdebstrap.log" >&2
    vm_die "mmdebstrap could not make the $suite root"
  fi
  vm_log "boot-$arch: left out of the guest, its $deb_arch index unreadable: ${broken[*]}"
  sources=("${kept[@]}")
  make_root || {
    cat "$work/mmdebstrap.log" >&2
    vm_die "mmdebstrap could not make the $suite root"
  }
fi
root=$work/root

# --- the kernel's modules the tests need, with what they depend on ---
kdir=lib/modules/$release
mkdir -p "$root/$kdir"
if [ "$arch" = armhf ]; then
  # The busybox image's modules, flat; depmod finds what each needs and udev its aliases.
  mkdir -p "$work/base" "$root/$kdir/extra"
  (cd "$work/base" && gzip -dc "$VM_CACHE/armhf/base.cpio.gz" | cpio -id --quiet 'modules/*.ko')
  cp "$work/base/modules/"*.ko "$root/$kdir/extra/"
  touch "$root/$kdir"/modules.{order,builtin,builtin.modinfo}
else
  mkdir -p "$work/kernel"
  (cd "$work/kernel" && apt-get download "linux-image-$release" >/dev/null 2>"$work/download.err") || {
    cat "$work/download.err" >&2
    vm_die "cannot download linux-image-$release"
  }
  dpkg-deb -x "$work/kernel/"*.deb "$work/kernel/tree"
  tree=$work/kernel/tree
  /sbin/depmod -b "$tree" "$release"
  # Prints the files of MODULE... and their dependencies, each once, dependencies first.
  closure() {
    local m
    for m in "$@"; do
      /sbin/modprobe -d "$tree" -S "$release" --show-depends "$m" ||
        vm_die "$release has no module $m"
    done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }'
  }
  for file in $(closure "${modules[@]}" "${root_modules[@]}"); do
    mkdir -p "$root/$(dirname "${file#"$tree/"}")"
    cp "$file" "$root/${file#"$tree/"}"
  done
  cp "$tree/$kdir"/modules.{order,builtin,builtin.modinfo} "$root/$kdir/"
fi
/sbin/depmod -b "$root" "$release"

# --- the system: disks, the case runner, no first-boot set-up ---
# The initrd has mounted the root (x86_64), or the root is the initramfs itself (armhf); /boot
# is the FAT disk, as on the board. An emulated CPU on a busy machine may take longer than
# systemd's 90 s to find the disk.
{
  [ "$arch" = armhf ] || echo "/dev/vda / ext4 rw 0 0"
  echo "LABEL=BOOT /boot vfat defaults,x-systemd.device-timeout=300 0 0"
} >"$root/etc/fstab"
mkdir -p "$root/boot" "$root/case" "$root/out"
echo camctl >"$root/etc/hostname"
# A machine id of its own, so the first boot is no first boot (no presets run, no id written).
od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/etc/machine-id"
echo >>"$root/etc/machine-id"
install -m 0755 "$here/boot-case.sh" "$root/usr/local/sbin/camctl-case"
# The busybox VMs' /modules/load SET, so that the cameras start the same way in both kinds of
# VM; here udev loads uvcvideo when the webcam appears, as it does on a board.
mkdir -p "$root/modules"
cat >"$root/modules/load" <<'LOAD'
#!/bin/sh
for set in "$@"; do
  case "$set" in
    usb) modprobe -a dummy_hcd gadgetfs || exit 1 ;;
    *) echo "load: no module set $set" >&2; exit 1 ;;
  esac
done
LOAD
chmod 755 "$root/modules/load"
cat >"$root/etc/systemd/system/camctl-case.service" <<'UNIT'
[Unit]
Description=System test case, once the boot is done

[Service]
Type=simple
ExecStart=/usr/local/sbin/camctl-case
StandardOutput=journal+console

[Install]
WantedBy=multi-user.target
UNIT
systemctl --root="$root" enable camctl-case.service >/dev/null 2>&1 ||
  vm_die "cannot enable the case runner"
# Nobody logs in: no gettys to start on the emulated CPU.
systemctl --root="$root" mask getty.target >/dev/null 2>&1 || vm_die "cannot mask the gettys"

if [ "$arch" = armhf ]; then
  # --- the root is the initramfs: the kernel unpacks it and runs its /init ---
  install -m 0755 "$here/boot-init.sh" "$root/init"
  [ -e "$root/dev/console" ] || mknod -m 600 "$root/dev/console" c 5 1
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$dir/root.cpio.gz"
  image=$dir/root.cpio.gz
else
  # --- the disk: ext4 without the features older kernels lack, sized to the files ---
  size=$(du -sm "$root" | cut -f1)
  /sbin/mke2fs -q -t ext4 -O ^orphan_file,^metadata_csum_seed -L camctl-root -d "$root" \
    "$dir/root.img" "$((size + size / 4 + 64))M" || vm_die "mke2fs could not make the root disk"
  image=$dir/root.img

  # --- the initrd: busybox from the root, the disk's modules, the init ---
  initrd=$work/initrd
  mkdir -p "$initrd"/{bin,dev,proc,sys,root,modules}
  mknod -m 600 "$initrd/dev/console" c 5 1
  cp "$root/bin/busybox" "$initrd/bin/busybox"
  for file in $(closure "${root_modules[@]}"); do
    cp "$file" "$initrd/modules/"
    basename "$file" .ko >>"$initrd/modules/order"
  done
  install -m 0755 "$here/boot-init.sh" "$initrd/init"
  (cd "$initrd" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$dir/initrd.cpio.gz"
fi

echo "$stamp" >"$dir/stamp"
vm_log "boot-$arch: built in $(($(date +%s) - started)) s ($(du -sm --apparent-size "$image" | cut -f1) MiB image)"
