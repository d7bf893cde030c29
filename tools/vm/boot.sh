#!/usr/bin/env bash
# Boots the systemd boot VM (Debian's systemd and udev as init, tools/vm/boot-image.sh) with a
# case folder and collects what the case left in /out.
#
# Usage: tools/vm/boot.sh ARCH CASE_DIR OUT_DIR [TIMEOUT_SECONDS]
#   ARCH      x86_64 (Debian's 6.1 kernel) or armhf (the board's 5.10 armmp kernel)
#   CASE_DIR  becomes /case in the guest: its run.sh runs as root once the boot is done; its
#             root/ is laid over the root filesystem and its *.deb are installed with dpkg
#             before systemd starts; its boot/ holds the files of the FAT disk mounted at /boot
#   OUT_DIR   receives the guest's /out files (boot-state, boot-time, boot-failed, case.log,
#             case.status, install.log and install.status when packages were given, whatever
#             run.sh wrote), console.log (the kernel's and systemd's console) and vm-ms (how
#             long the VM ran, from qemu's start to its exit)
# Exits 0 once the guest has delivered its results, whatever the case found; any failure to
# boot or to deliver is an error with the console's last lines.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

[ $# -ge 3 ] || vm_die "usage: boot.sh ARCH CASE_DIR OUT_DIR [TIMEOUT_SECONDS]"
# The board's kernel boots systemd in half a minute alone, and in two on a busy machine.
arch=$1 case_dir=$2 out_dir=$3 limit=${4:-600}
[ -f "$case_dir/run.sh" ] || vm_die "$case_dir/run.sh does not exist"
for tool in mkfs.vfat mcopy; do
  command -v "$tool" >/dev/null ||
    bash "$here/../install-deps.sh" dosfstools mtools >/dev/null || vm_die "$tool is missing"
done

bash "$here/boot-image.sh" "$arch"
image_dir=$VM_CACHE/boot-$arch

rm -rf "$out_dir"
mkdir -p "$out_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# /boot: a fresh FAT32 disk with the case's files, as the board's SD card has it.
disk=$work/boot.img
truncate -s 64M "$disk"
mkfs.vfat -F 32 -n BOOT "$disk" >/dev/null
if [ -d "$case_dir/boot" ] && [ -n "$(ls -A "$case_dir/boot")" ]; then
  MTOOLS_SKIP_CHECK=1 mcopy -s -i "$disk" "$case_dir/boot/"* ::/
fi

# The case goes in as a second archive after the image's initrd.
mkdir -p "$work/root/case"
cp -a "$case_dir/." "$work/root/case/"
console=$out_dir/console.log
results=$work/results.tar
: >"$results"
case "$arch" in
  x86_64)
    echo /dev/ttyS1 >"$work/root/case/results-line"
    vm_initrd "$arch" "$work/root" "$work/initrd" "$image_dir/initrd.cpio.gz"
    # The root disk is the cached image; what the guest writes to it goes to a scratch overlay.
    vm_qemu_command "$arch" "$work/initrd" "file:$console" "$results" "" \
      "file=$image_dir/root.img,format=raw,snapshot=on"
    # shellcheck disable=SC2054 # qemu's own options take commas
    qemu+=(-drive "file=$disk,format=raw,if=none,id=boot" -device virtio-blk-pci,drive=boot)
    ;;
  armhf)
    # The root is the initramfs; udev names the results port after its qemu name.
    echo /dev/virtio-ports/results >"$work/root/case/results-line"
    vm_initrd "$arch" "$work/root" "$work/initrd" "$image_dir/root.cpio.gz"
    vm_qemu_command "$arch" "$work/initrd" "file:$console" "$results" "" "file=$disk,format=raw"
    ;;
  *) vm_die "unknown architecture '$arch'" ;;
esac
qemu+=(-monitor none)

start=$(date +%s%N)
status=0
vm_run_collect "$limit" "$results" "$out_dir" "$console" "$work/qemu.err" "the $arch systemd VM" ||
  status=1
echo $((($(date +%s%N) - start) / 1000000)) >"$out_dir/vm-ms"
exit "$status"
