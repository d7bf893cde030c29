#!/usr/bin/env bash
# Boots one system-test VM with a case folder and collects what the case left in /out.
#
# Usage: tools/vm/run.sh ARCH CASE_DIR OUT_DIR [TIMEOUT_SECONDS [fat]]
#   ARCH      x86_64 (Debian's 6.1 kernel, booted as PVH) or armhf (5.10 armmp on -M virt)
#   CASE_DIR  becomes /case in the guest; its run.sh runs as root after the base modules load
#   OUT_DIR   receives the guest's /out files (case.log, case.status, whatever run.sh wrote)
#             and console.log, the guest's kernel console
#   fat       attaches a fresh FAT32 disk (/dev/vda) as the power cut does (tools/vm/powercut.sh)
# Exits 0 once the guest has delivered its results, whatever the case found; any failure to
# boot or to deliver is an error with the console's last lines.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

[ $# -ge 3 ] || vm_die "usage: run.sh ARCH CASE_DIR OUT_DIR [TIMEOUT_SECONDS [fat]]"
arch=$1 case_dir=$2 out_dir=$3 limit=${4:-300} disk_kind=${5:-}
[ -f "$case_dir/run.sh" ] || vm_die "$case_dir/run.sh does not exist"

bash "$here/prepare.sh" "$arch"

rm -rf "$out_dir"
mkdir -p "$out_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The case goes in as a second archive after the base one.
mkdir -p "$work/root/case"
cp -a "$case_dir/." "$work/root/case/"
chmod 755 "$work/root/case/run.sh"
vm_initrd "$arch" "$work/root" "$work/initrd"

console=$out_dir/console.log
results=$work/results.tar
: >"$results"
drive=""
if [ "$disk_kind" = fat ]; then
  vm_fat_disk "$work/boot.img"
  drive="file=$work/boot.img,format=raw,cache=writeback"
fi
vm_qemu_command "$arch" "$work/initrd" "file:$console" "$results" "" "$drive"
qemu+=(-monitor none)

vm_run_collect "$limit" "$results" "$out_dir" "$console" "$work/qemu.err" "the $arch VM"
