#!/usr/bin/env bash
# Cuts the power of a system-test VM that saves to a FAT disk, then checks what the disk kept.
#
# Usage: tools/vm/powercut.sh ARCH CASE_DIR OUT_DIR [MAX_DELAY_MS]
#   ARCH      x86_64 (Debian's 6.1 kernel) or armhf (the board's 5.10 armmp kernel)
#   CASE_DIR  becomes /case in the guest; its run.sh runs twice, first with /case/phase holding
#             "cut", then "check"; /case/report names the guest's report line
#   OUT_DIR   receives reports (what the guest reported before the cut), delay_ms, fsck.log and
#             fsck.status (fsck.vfat -n of the cut disk), the check boot's /out files, fsck-next.log
#             (fsck.vfat -n of the disk the check boot left), console.log and cut-console.log
# A fresh FAT32 image is the guest's virtio disk with qemu's writeback cache, so what the guest
# sent to its disk survives the kill of qemu's own process and what it only held in its memory
# does not. The kill comes at a random delay up to MAX_DELAY_MS (default 3000) after the first
# report line has reached this side. The second boot mounts the same image; the guest kernel,
# not a host tool, reads the files back. Exits 0 once both boots went as planned, whatever the
# disk holds.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

[ $# -ge 3 ] || vm_die "usage: powercut.sh ARCH CASE_DIR OUT_DIR [MAX_DELAY_MS]"
arch=$1 case_dir=$2 out_dir=$3 max_delay=${4:-3000}
limit=300
[ -f "$case_dir/run.sh" ] || vm_die "$case_dir/run.sh does not exist"

bash "$here/prepare.sh" "$arch"

rm -rf "$out_dir"
mkdir -p "$out_dir"
work=$(mktemp -d)
qemu_pid=""
trap '[ -z "$qemu_pid" ] || kill -KILL "$qemu_pid" 2>/dev/null; rm -rf "$work"' EXIT

disk=$work/boot.img
vm_fat_disk "$disk"

case "$arch" in
  x86_64) report_dev=/dev/ttyS2 ;;
  armhf) report_dev=/dev/vport0p2 ;;
  *) vm_die "unknown architecture '$arch'" ;;
esac

# Sets qemu=(...) for one boot: the base image with the case in the given phase, the disk, the
# console, the init's results line and the report line.
boot_command() {
  local phase=$1 console=$2 results=$3 reports=$4
  rm -rf "$work/root"
  mkdir -p "$work/root/case"
  cp -a "$case_dir/." "$work/root/case/"
  chmod 755 "$work/root/case/run.sh"
  echo "$phase" >"$work/root/case/phase"
  echo "$report_dev" >"$work/root/case/report"
  vm_initrd "$arch" "$work/root" "$work/initrd-$phase"
  : >"$results"
  : >"$reports"
  vm_qemu_command "$arch" "$work/initrd-$phase" "file:$console" "$results" "$reports" \
    "file=$disk,format=raw,cache=writeback"
  qemu+=(-monitor none)
}

fail_boot() {
  vm_boot_failed "$1" "$work/qemu.err" "${@:2}"
  exit 1
}

# --- the boot whose power is cut ---
boot_command cut "$out_dir/cut-console.log" "$work/cut-results.tar" "$out_dir/reports"
"${qemu[@]}" </dev/null >"$work/qemu.err" 2>&1 &
qemu_pid=$!
waited=0
until grep -q '^saved ' "$out_dir/reports"; do
  kill -0 "$qemu_pid" 2>/dev/null ||
    fail_boot "$out_dir/cut-console.log" "the $arch VM ended before it reported a save"
  [ "$waited" -lt $((limit * 20)) ] ||
    fail_boot "$out_dir/cut-console.log" "no save reported within $limit s"
  sleep 0.05
  waited=$((waited + 1))
done
delay=$((RANDOM * 32768 + RANDOM))
delay=$((delay % (max_delay + 1)))
sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
kill -0 "$qemu_pid" 2>/dev/null ||
  fail_boot "$out_dir/cut-console.log" "the $arch VM ended before its power was cut"
kill -KILL "$qemu_pid"
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=""
echo "$delay" >"$out_dir/delay_ms"

# --- what a host tool makes of the disk, before the guest mounts it again ---
status=0
fsck.vfat -n "$disk" >"$out_dir/fsck.log" 2>&1 || status=$?
echo "$status" >"$out_dir/fsck.status"

# --- the boot that reads the disk back and saves once more ---
boot_command check "$out_dir/console.log" "$work/results.tar" "$work/check-reports"
status=0
timeout --kill-after=5 "$limit" "${qemu[@]}" </dev/null >"$work/qemu.err" 2>&1 || status=$?
if [ "$status" -ne 0 ] || ! tar -x -f "$work/results.tar" -C "$out_dir" 2>/dev/null ||
  [ ! -f "$out_dir/case.status" ]; then
  fail_boot "$out_dir/console.log" "the $arch check boot did not deliver its results (qemu status $status)"
fi
fsck.vfat -n "$disk" >"$out_dir/fsck-next.log" 2>&1 || true
exit 0
