#!/usr/bin/env bash
# Boots one system-test VM with a case folder and collects what the case left in /out.
#
# Usage: tools/vm/run.sh ARCH CASE_DIR OUT_DIR [TIMEOUT_SECONDS]
#   ARCH      x86_64 (Debian's 6.1 kernel, booted as PVH) or armhf (5.10 armmp on -M virt)
#   CASE_DIR  becomes /case in the guest; its run.sh runs as root after the base modules load
#   OUT_DIR   receives the guest's /out files (case.log, case.status, whatever run.sh wrote)
#             and console.log, the guest's kernel console
# Exits 0 once the guest has delivered its results, whatever the case found; any failure to
# boot or to deliver is an error with the console's last lines.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

[ $# -ge 3 ] || vm_die "usage: run.sh ARCH CASE_DIR OUT_DIR [TIMEOUT_SECONDS]"
arch=$1 case_dir=$2 out_dir=$3 limit=${4:-300}
[ -f "$case_dir/run.sh" ] || vm_die "$case_dir/run.sh does not exist"

bash "$here/prepare.sh" "$arch"
image_dir=$VM_CACHE/$arch

rm -rf "$out_dir"
mkdir -p "$out_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The case goes in as a second archive after the base one; the kernel unpacks both.
mkdir -p "$work/root/case"
cp -a "$case_dir/." "$work/root/case/"
chmod 755 "$work/root/case/run.sh"
cp "$image_dir/base.cpio.gz" "$work/initrd"
(cd "$work/root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >>"$work/initrd"

console=$out_dir/console.log
results=$work/results.tar
: >"$results"
case "$arch" in
  x86_64)
    qemu=(qemu-system-x86_64 -M pc -accel tcg -cpu max -m 512 -smp 1
      -kernel "$image_dir/vmlinux" -append "console=ttyS0 panic=-1 quiet loglevel=4"
      -serial "file:$console" -serial "file:$results")
    ;;
  armhf)
    qemu=(qemu-system-arm -M virt,highmem=off -accel tcg -cpu cortex-a15 -m 512 -smp 1
      -kernel "$image_dir/vmlinuz" -append "console=ttyAMA0 panic=-1 quiet loglevel=4"
      -serial "file:$console"
      -device virtio-serial-device -chardev "file,id=results,path=$results"
      -device virtserialport,chardev=results,name=results)
    ;;
  *) vm_die "unknown architecture '$arch'" ;;
esac
qemu+=(-initrd "$work/initrd" -nodefaults -display none -no-reboot -monitor none)

status=0
timeout --kill-after=5 "$limit" "${qemu[@]}" </dev/null >"$work/qemu.err" 2>&1 || status=$?
if [ "$status" -ne 0 ] || ! tar -x -f "$results" -C "$out_dir" 2>/dev/null || [ ! -f "$out_dir/case.status" ]; then
  {
    echo "vm: ERROR: the $arch VM did not deliver its results (qemu status $status)."
    [ "$status" -eq 124 ] && echo "vm: it ran past the limit of $limit s."
    sed 's/^/qemu: /' "$work/qemu.err"
    echo "vm: last console lines:"
    tail -n 30 "$console" 2>/dev/null | sed 's/^/console: /'
  } >&2
  exit 1
fi
exit 0
