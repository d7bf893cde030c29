#!/usr/bin/env bash
# Builds the kernel's virtual media-controller driver, vimc, for the system-test VMs' kernels,
# which Debian builds without it: out of tree, from Debian's linux-source package of the same
# version as each VM's kernel, against that kernel's own headers.
#
# Usage: tools/vm/build-vimc.sh [x86_64|armhf]...   (both when none is named)
#
# The module lands in the VM cache beside the kernels (CAMCTL_VM_CACHE, default
# /var/cache/camera_control/vm), as vimc-ARCH/vimc.ko; its stamp names the kernel package and
# this script, so a new kernel or a change here builds it anew, and a second run downloads
# nothing. The packages come through apt as the machine is configured: the 6.1 ones from the
# system's own suites, the 5.10 ones from bullseye through the private configuration the VM
# kernels use, with bullseye's amd64 kbuild tools for the cross build. Packages are only
# unpacked into a scratch root, never installed.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/vm/common.sh
source "$here/common.sh"

arches=("$@")
[ "${#arches[@]}" -gt 0 ] || arches=(x86_64 armhf)

script_version() {
  sha256sum "$here/build-vimc.sh" | cut -c1-16
}

# The Version of a package as the given apt tool (with its options) knows it.
package_version() {
  "$@" 2>/dev/null | awk '/^Version:/ {print $2; exit}'
}

# The kbuild tools of the series at the kernel's own version if the archive still has it, else
# its newest: the archive keeps only the latest kbuild of a series, while the kernel's headers
# and source stay, and a stable update of a series does not change how the tools build a module.
kbuild_spec() {
  local package=$1 version=$2
  shift 2
  if [ -n "$(package_version "$@" apt-cache show "$package=$version")" ]; then
    echo "$package=$version"
  else
    vm_log "vimc: $package $version is gone from the archive; its newest builds the module"
    echo "$package"
  fi
}

# Unpacks vimc's folder out of the source tarball, and makes the headers' Makefile, which
# includes the common headers by their absolute /usr/src path, find them in the scratch root.
prepare_tree() {
  local root=$1 release=$2 series=$3
  local tarball=$root/usr/src/linux-source-$series.tar.xz
  [ -f "$tarball" ] || vm_die "no $tarball in the source package"
  tar -xJf "$tarball" -C "$root" "linux-source-$series/drivers/media/test-drivers/vimc" ||
    vm_die "no vimc in linux-source-$series"
  local headers=$root/usr/src/linux-headers-$release
  [ -f "$headers/Makefile" ] || vm_die "no headers for $release"
  sed -i "s|/usr/src/|$root/usr/src/|g" "$headers/Makefile"
}

# Builds vimc.ko in the tree and checks that it is built for the release.
build_module() {
  local root=$1 release=$2 series=$3
  shift 3
  local src=$root/linux-source-$series/drivers/media/test-drivers/vimc
  make -s -C "$root/usr/src/linux-headers-$release" M="$src" CONFIG_VIDEO_VIMC=m -j2 "$@" \
    modules >"$root/build.log" 2>&1 || {
    tail -n 40 "$root/build.log" >&2
    vm_die "building vimc for $release failed"
  }
  local magic
  magic=$(modinfo -F vermagic "$src/vimc.ko" 2>/dev/null || strings "$src/vimc.ko" | sed -n 's/^vermagic=//p')
  case "$magic" in
    "$release "*) ;;
    *) vm_die "vimc.ko has vermagic '$magic', not $release" ;;
  esac
  echo "$src/vimc.ko"
}

build_for() {
  local arch=$1
  local dir=$VM_CACHE/vimc-$arch
  local kpkg release
  kpkg=$(cut -d' ' -f1 "$VM_CACHE/$arch/stamp")
  release=$(cat "$VM_CACHE/$arch/release")
  local stamp="$kpkg $(script_version)"
  if [ -f "$dir/stamp" ] && [ "$(cat "$dir/stamp")" = "$stamp" ] && [ -f "$dir/vimc.ko" ]; then
    vm_log "vimc for $release cached in $dir"
    return 0
  fi
  vm_log "vimc: building for $release"
  local start
  start=$(date +%s)
  local abi=${release%-*}   # 6.1.0-57
  local series=${abi%.*-*}  # 6.1
  rm -rf "$dir"
  mkdir -p "$dir/scratch" "$dir/root"
  local version
  local make_args=()
  case "$arch" in
    x86_64)
      version=$(package_version apt-cache show "$kpkg")
      [ -n "$version" ] || vm_die "apt knows no $kpkg"
      local kbuild
      kbuild=$(kbuild_spec "linux-kbuild-$series" "$version" env)
      fetch_and_unpack "$dir/scratch" "$dir/root" apt-get download "linux-source-$series=$version" \
        "linux-headers-$release=$version" "linux-headers-$abi-common=$version" "$kbuild"
      ;;
    armhf)
      local apt_dir=$dir/apt
      export PRIVATE_APT_ARCHES=amd64
      setup_private_apt "$apt_dir" bullseye
      version=$(package_version private_apt "$apt_dir" apt-cache show "$kpkg:armhf")
      [ -n "$version" ] || vm_die "bullseye has no $kpkg"
      # The kbuild tools run on this machine; Debian's modpost reads either word size.
      local kbuild
      kbuild=$(kbuild_spec "linux-kbuild-$series:amd64" "$version" private_apt "$apt_dir")
      fetch_and_unpack "$dir/scratch" "$dir/root" private_apt "$apt_dir" apt-get download \
        "linux-source-$series=$version" "linux-headers-$release:armhf=$version" \
        "linux-headers-$abi-common=$version" "$kbuild"
      # The headers name gcc-10; Debian 12's cross compiler (12) builds a module that loads.
      make_args=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- CC=arm-linux-gnueabihf-gcc)
      ;;
  esac
  prepare_tree "$dir/root" "$release" "$series"
  local module
  module=$(build_module "$dir/root" "$release" "$series" "${make_args[@]}")
  cp "$module" "$dir/vimc.ko"
  # What vimc needs besides itself: the media modules vivid needs too, which every VM loads.
  modinfo -F depends "$dir/vimc.ko" >"$dir/depends" 2>/dev/null || true
  echo "linux-source-$series $version" >"$dir/source"
  rm -rf "$dir/root" "$dir/scratch" "$dir/apt"
  echo "$stamp" >"$dir/stamp"
  vm_log "vimc for $release built in $(($(date +%s) - start)) s"
}

mkdir -p "$VM_CACHE"
bash "$here/prepare.sh" "${arches[@]}"
bash "$here/../install-deps.sh" gcc-arm-linux-gnueabihf bc bison flex libelf-dev kmod \
  xz-utils >/dev/null || vm_die "cannot install the module build tools"
exec 9>"$VM_CACHE/.vimc.lock"
flock 9
for arch in "${arches[@]}"; do
  case "$arch" in
    x86_64 | armhf) build_for "$arch" ;;
    *) vm_die "unknown architecture '$arch' (x86_64 or armhf)" ;;
  esac
done
