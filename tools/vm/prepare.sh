#!/usr/bin/env bash
# Prepares the kernels and base initramfs images of the system-test VMs from Debian's packages.
#
# Usage: tools/vm/prepare.sh [x86_64|armhf]...   (both when none is named)
#
# Everything lands in a cache outside the clone (CAMCTL_VM_CACHE, default
# /var/cache/camera_control/vm); a second run finds its stamp there and downloads nothing.
# The x86_64 guest runs Debian's current 6.1 kernel from the system's own suite; the armhf guest
# runs the board's kernel, Debian bullseye's 5.10 armmp, fetched through a private apt
# configuration that points at the same mirror as the system's sources and leaves the system's
# own apt state alone. Kernels are only unpacked (dpkg-deb -x), never installed.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

arches=("$@")
[ "${#arches[@]}" -gt 0 ] || arches=(x86_64 armhf)

# The emulators, the guests' busybox and the archive tools, through the project's installer.
need_host_tools() {
  bash "$VM_SCRIPTS/../install-deps.sh" qemu-system-x86 qemu-system-arm busybox-static cpio \
    xz-utils >/dev/null || vm_die "cannot install the VM host tools"
}

# Prints the package a meta-package depends on first (linux-image-amd64 -> linux-image-6.1.0-N-amd64).
first_dependency() {
  awk '/Depends:/ {print $2; exit}'
}

# The bzImage/zImage payload of these kernels is xz; its first stream is the kernel proper.
extract_vmlinux() {
  local image=$1 out=$2 offset
  offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$image" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || vm_die "no xz payload in $image"
  tail -c +"$((offset + 1))" "$image" | xz -dc --single-stream >"$out" 2>/dev/null || true
  head -c 4 "$out" | grep -q 'ELF' || vm_die "could not extract vmlinux from $image"
}

# Prints the load order of a module and everything it needs (dependencies first), by the
# depends= field of each module's .modinfo; no depmod is needed for a foreign architecture.
module_closure() {
  local tree=$1 name=$2
  declare -A seen=()
  visit() {
    local n=${1//_/-} file dep
    [ -z "${seen[$n]:-}" ] || return 0
    seen[$n]=1
    file=$(find "$tree" \( -name "$n.ko" -o -name "${n//-/_}.ko" \) | head -n 1)
    [ -n "$file" ] || vm_die "module $n not found under $tree"
    for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do visit "$dep"; done
    echo "$file"
  }
  visit "$name"
}

# Copies the closure of the named modules into the image's /modules and prints their load order
# (dependencies first), modules already copied included.
copy_modules() {
  local root=$1 tree=$2 mod file files base
  shift 2
  for mod in "$@"; do
    files=$(module_closure "$tree" "$mod") || vm_die "cannot gather the modules $mod needs"
    for file in $files; do
      base=$(basename "$file" .ko)
      [ -e "$root/modules/$base.ko" ] || cp "$file" "$root/modules/$base.ko"
      echo "$base"
    done
  done | awk '!seen[$0]++'
}

# Builds the base initramfs: busybox, the module closure of vivid (plus what the output line
# needs) in load order, the module sets a case may load with /modules/load SET (usb: the
# emulated webcam's dummy USB controller, gadgetfs and uvcvideo; disk: a virtio disk with a
# FAT filesystem), and the init that runs a case's script and ships its /out folder.
# MODULE_SETS holds "name:module,module ..." words.
build_base_image() {
  local dir=$1 busybox=$2 tree=$3 out_dev=$4
  shift 4
  local root=$dir/root
  rm -rf "$root"
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,out,modules,case,etc}
  cp "$busybox" "$root/bin/busybox"
  # vivid itself is loaded by each case, with that case's options.
  copy_modules "$root" "$tree" "$@" | grep -v '^vivid$' >"$root/modules/order" || true
  local set
  for set in ${MODULE_SETS:-}; do
    # shellcheck disable=SC2046 # the module names are words
    copy_modules "$root" "$tree" $(echo "${set#*:}" | tr ',' ' ') >"$root/modules/${set%%:*}.order"
  done
  cp "$here/load-modules.sh" "$root/modules/load"
  chmod 755 "$root/modules/load"
  sed "s|@OUT_DEV@|$out_dev|" "$here/init.sh" >"$root/init"
  chmod 755 "$root/init"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$dir/base.cpio.gz"
  rm -rf "$root"
}

prepare_x86_64() {
  local dir=$VM_CACHE/x86_64
  local kpkg
  kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | first_dependency)
  if [ -z "$kpkg" ]; then
    apt-get update -qq >/dev/null || true
    kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | first_dependency)
  fi
  [ -n "$kpkg" ] || vm_die "apt knows no linux-image-amd64 (is a Debian suite in the apt sources?)"
  if [ -f "$dir/stamp" ] && [ "$(cat "$dir/stamp")" = "$kpkg $(vm_layout_version)" ]; then
    vm_log "x86_64: $kpkg cached in $dir"
    return 0
  fi
  vm_log "x86_64: preparing $kpkg"
  rm -rf "$dir"
  mkdir -p "$dir/scratch"
  fetch_and_unpack "$dir/scratch" "$dir/pkg" apt-get download "$kpkg"
  local release
  release=$(ls "$dir/pkg/lib/modules")
  extract_vmlinux "$dir/pkg/boot/vmlinuz-$release" "$dir/vmlinux"
  MODULE_SETS="usb:dummy_hcd,gadgetfs,uvcvideo disk:virtio_pci,virtio_blk,vfat,nls_cp437,nls_ascii" \
    build_base_image "$dir" /bin/busybox "$dir/pkg/lib/modules/$release" /dev/ttyS1 vivid
  echo "$release" >"$dir/release"
  rm -rf "$dir/pkg" "$dir/scratch"
  echo "$kpkg $(vm_layout_version)" >"$dir/stamp"
}

prepare_armhf() {
  local dir=$VM_CACHE/armhf
  local apt_dir=$dir/apt
  if [ -f "$dir/stamp" ] && [ "$(cut -d' ' -f2 "$dir/stamp")" = "$(vm_layout_version)" ]; then
    vm_log "armhf: $(cut -d' ' -f1 "$dir/stamp") cached in $dir"
    return 0
  fi
  rm -rf "$dir"
  mkdir -p "$dir/scratch"
  setup_private_apt "$apt_dir" bullseye
  local kpkg
  kpkg=$(private_apt "$apt_dir" apt-cache depends linux-image-armmp | first_dependency)
  [ -n "$kpkg" ] || vm_die "bullseye has no linux-image-armmp for armhf"
  vm_log "armhf: preparing $kpkg"
  fetch_and_unpack "$dir/scratch" "$dir/pkg" private_apt "$apt_dir" apt-get download "$kpkg"
  fetch_and_unpack "$dir/scratch" "$dir/busybox" private_apt "$apt_dir" apt-get download busybox-static
  local release
  release=$(ls "$dir/pkg/lib/modules")
  cp "$dir/pkg/boot/vmlinuz-$release" "$dir/vmlinuz"
  # virtio_mmio and virtio_console carry the output line (a virtio serial port).
  MODULE_SETS="usb:dummy_hcd,gadgetfs,uvcvideo disk:virtio_blk,vfat,nls_cp437,nls_ascii" \
    build_base_image "$dir" "$dir/busybox/bin/busybox" "$dir/pkg/lib/modules/$release" \
    /dev/vport0p1 virtio_mmio virtio_console vivid
  echo "$release" >"$dir/release"
  rm -rf "$dir/pkg" "$dir/busybox" "$dir/scratch" "$apt_dir"
  echo "$kpkg $(vm_layout_version)" >"$dir/stamp"
}

mkdir -p "$VM_CACHE"
# Parallel test runs share the cache: one prepares, the others wait and then find it ready.
exec 9>"$VM_CACHE/.lock"
flock 9
need_host_tools
for arch in "${arches[@]}"; do
  case "$arch" in
    x86_64) prepare_x86_64 ;;
    armhf) prepare_armhf ;;
    *) vm_die "unknown architecture '$arch' (x86_64 or armhf)" ;;
  esac
done
