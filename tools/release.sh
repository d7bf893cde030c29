#!/usr/bin/env bash
# Makes the release bundle for the board in one command: camera_control for armhf (fully static,
# stripped), the 5.10 kernel's dummy.ko exactly as that kernel ships it, the man page and a note
# of the module's kernel and license; then checks the bundle and packs it as a .tar.gz. Beside it
# go two Debian packages: camera-control_<version>_armhf.deb with the same static program, and
# one for this machine's architecture with a native build (tools/pkg/make-deb.sh).
#
# Usage: tools/release.sh [--modules DIR] [--out DIR]
#   --modules DIR  take dummy.ko from this module tree (the board kernel's /lib/modules/<release>,
#                  or a root that holds lib/modules/<release>) instead of Debian's 5.10 armmp kernel
#   --out DIR      where the bundle goes (default build/release)
# camera_control never loads the module; it only travels with it.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

modules=""
out="build/release"
while [ $# -gt 0 ]; do
  case "$1" in
    --modules) modules=${2:?--modules needs a directory}; shift 2 ;;
    --out) out=${2:?--out needs a directory}; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "release: unknown argument $1" >&2; exit 2 ;;
  esac
done

cache=$(bash tools/armhf/prepare-sysroot.sh | tail -n1)

# --- the program: static, stripped, installed by the project's own install rules ---
# Prefix /usr, as the package installs it (the unit names /usr/bin/camera_control); the stage
# receives it through DESTDIR.
build="build/armhf-release"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" \
  -DCAMCTL_ARMHF_CACHE="$cache" -DCMAKE_BUILD_TYPE=Release -DCAMCTL_STATIC=ON \
  -DCAMCTL_BUILD_TESTS=OFF -DCAMCTL_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j2
stage="$build/stage"
rm -rf "$stage"
DESTDIR="$root/$stage" cmake --install "$build" --strip >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
name="camera_control-$version-armhf"

# --- the module, unchanged ---
if [ -n "$modules" ]; then
  [ -d "$modules" ] || { echo "release: no module tree at $modules" >&2; exit 1; }
  module=$(find "$modules" -path '*/kernel/drivers/net/dummy.ko' | head -n1)
  if [ -z "$module" ]; then
    echo "release: no kernel/drivers/net/dummy.ko under $modules (a compressed module is not" \
         "taken: the bundle ships the module as the kernel loads it)" >&2
    exit 1
  fi
  origin="the module tree $(cd "$modules" && pwd)"
else
  tree=$(cat "$cache/kernel-modules/module-tree")
  module="$tree/kernel/drivers/net/dummy.ko"
  origin="Debian package $(cat "$cache/kernel-modules/packages"), unchanged (its md5sums entry matches)"
fi
info=$(readelf -p .modinfo "$module" | sed -n 's/^ *\[ *[0-9a-f]*\] *//p')
field() { sed -n "s/^$1=//p" <<<"$info" | head -n1; }
vermagic=$(field vermagic)
case "$vermagic" in
  5.10.*ARMv7*) ;;
  *) echo "release: $module is for '$vermagic', not a 5.10 ARMv7 kernel" >&2; exit 1 ;;
esac

# --- the bundle ---
bundle="$out/$name"
rm -rf "$bundle" "$bundle.tar.gz"
mkdir -p "$bundle"
install -m 0755 "$stage/usr/bin/camera_control" "$bundle/camera_control"
install -m 0644 "$stage/usr/share/man/man1/camera_control.1" "$bundle/camera_control.1"
cp -p "$module" "$bundle/dummy.ko"
cmp -s "$module" "$bundle/dummy.ko"
cat >"$bundle/MODULE.txt" <<NOTE
dummy.ko: the Linux kernel's own "dummy" network driver module, shipped beside camera_control.
camera_control does not load, call or otherwise use it.

kernel:   $(cut -d' ' -f1 <<<"$vermagic") (the module loads only into the kernel whose vermagic it carries)
vermagic: $vermagic
license:  $(field license) (the kernel's own license; its source is the Linux kernel's drivers/net/dummy.c)
parameter: $(field parmtype) ($(sed -n 's/^parm=numdummies://p' <<<"$info"))
origin:   $origin
sha256: $(sha256sum "$module" | cut -d' ' -f1)
NOTE

bash tools/armhf/check-bundle.sh "$bundle"
epoch=$(git log -1 --format=%ct 2>/dev/null || date +%s)
tar -C "$out" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
  -czf "$bundle.tar.gz" "$name"
echo "release: $bundle.tar.gz ($(stat -c %s "$bundle/camera_control") bytes camera_control," \
     "dummy.ko for $(cut -d' ' -f1 <<<"$vermagic"))"

# --- the Debian packages ---
armhf_deb=$(bash tools/pkg/make-deb.sh --root "$stage" --arch armhf --version "$version" \
            --out "$out" --static | tail -n1)
# The native program is built the way Debian builds its packages: with dpkg-buildflags' flags,
# every hardening feature included.
native="build/native-release"
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCAMCTL_BUILD_TESTS=OFF \
  -DCAMCTL_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$native" -j2
native_stage="$native/stage"
rm -rf "$native_stage"
DESTDIR="$root/$native_stage" cmake --install "$native" --strip >/dev/null
native_deb=$(bash tools/pkg/make-deb.sh --root "$native_stage" --arch "$(dpkg --print-architecture)" \
             --version "$version" --out "$out" | tail -n1)
echo "release: $armhf_deb, $native_deb"
