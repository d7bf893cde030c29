#!/usr/bin/env bash
# Prepares everything an armhf build of camera_control needs: the cross compiler and
# qemu-user from the system's packages, and, in a cache outside the work tree, an overlay
# with armhf ncursesw and libturbojpeg, the Linux 5.10 uapi headers and the 5.10 armmp
# kernel's dummy module.
#
# Idempotent: a second run finds the cache complete and only checks it. The system's own
# apt sources and package state are left as they are; the armhf and 5.10 packages come
# through a private apt configuration that is built here from the system's mirror.
#
# Usage: prepare-sysroot.sh [--refresh]
#   CAMCTL_ARMHF_CACHE  cache directory (default /var/cache/camera_control/armhf)
# Prints the cache directory on its last line.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

cache=${CAMCTL_ARMHF_CACHE:-/var/cache/camera_control/armhf}
refresh=0
if [ "${1:-}" = "--refresh" ]; then refresh=1; fi

log() { echo "prepare-sysroot: $*" >&2; }

# --- host tools -------------------------------------------------------------
host_packages=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user googletest
               file binutils dpkg-dev cmake ninja-build pkg-config)
# Through the project's installer, which waits for another package manager's lock.
bash "$(dirname "$0")/../install-deps.sh" --only "${host_packages[@]}" >/dev/null

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9

# What the cache holds; a cache made for another list is made anew.
overlay_packages=(libncurses-dev libncursesw6 libncurses6 libtinfo6 libvterm-dev libvterm0
                  libturbojpeg0-dev libturbojpeg0)
recipe="overlay: ${overlay_packages[*]}; bullseye: linux-libc-dev, linux-image-armmp dummy.ko"
stamp="$cache/ready"
if [ "$refresh" = 0 ] && [ -f "$stamp" ] && [ "$(head -n1 "$stamp")" = "$recipe" ] &&
   [ -f "$cache/sysroot/usr/lib/arm-linux-gnueabihf/libncursesw.a" ] &&
   [ -f "$cache/sysroot/usr/lib/arm-linux-gnueabihf/libturbojpeg.a" ] &&
   [ -f "$cache/kernel-headers/usr/include/linux/videodev2.h" ] &&
   [ -f "$cache/kernel-modules/module-tree" ]; then
  log "cache complete: $cache"
  echo "$cache"
  exit 0
fi

# --- private apt configuration ----------------------------------------------
# The Debian archive that serves the system's own release: the first deb entry of the
# system's sources whose suite is exactly its codename.
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release | tr -d '"')
[ -n "$codename" ] || { log "cannot tell the system's release codename"; exit 1; }
mirror=""
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  mirror=$(awk -v s="$codename" '$1 == "deb" {
      i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
      if ($(i + 1) == s) { print $i; exit } }' "$f")
  [ -z "$mirror" ] || break
done
if [ -z "$mirror" ]; then
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    mirror=$(awk -v s="$codename" '
        function flush() { if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " s " ") && uri != "") { print uri; found = 1; exit } }
        /^[ \t]*$/ { flush(); types = suites = uri = ""; next }
        /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); split($0, u, /[ \t]+/); uri = u[1] }
        END { if (!found) flush() }' "$f")
    [ -z "$mirror" ] || break
  done
fi
[ -n "$mirror" ] || { log "no apt source for $codename found to derive the mirror from"; exit 1; }
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/sources.list.d" "$apt_dir/prefs.d"
: >"$apt_dir/status"
cat >"$apt_dir/sources.list" <<SOURCES
deb [arch=armhf signed-by=$keyring] $mirror $codename main
deb [arch=armhf signed-by=$keyring] $mirror bullseye main
SOURCES
cat >"$apt_dir/apt.conf" <<CONF
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/sources.list.d";
Dir::Etc::PreferencesParts "$apt_dir/prefs.d";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "$apt_dir/status";
Dir::Cache "$apt_dir";
Dir::Cache::Archives "$apt_dir/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
APT::Get::AllowUnauthenticated "false";
APT::Sandbox::User "root";
CONF
export APT_CONFIG="$apt_dir/apt.conf"
log "package lists for armhf ($codename, bullseye)"
apt-get update -qq

# The newest version of a package in one suite.
version_in() {  # package suite
  apt-cache madison "$1" | awk -F'|' -v s="$2" '$3 ~ (" " s "/") { gsub(/ /, "", $2); print $2; exit }'
}
download() {  # package version -> path of the .deb (apt writes an epoch's colon as %3a)
  local deb="$cache/debs/${1}_${2/:/%3a}_armhf.deb"
  mkdir -p "$cache/debs"
  if [ ! -f "$deb" ]; then
    (cd "$cache/debs" && apt-get download -qq "$1=$2")
  fi
  [ -f "$deb" ] || { log "apt-get download left no $deb"; exit 1; }
  echo "$deb"
}

# --- ncursesw, libturbojpeg (and libvterm for the screen tests) for armhf ---
sysroot="$cache/sysroot"
rm -rf "$sysroot.new"
mkdir -p "$sysroot.new"
for pkg in "${overlay_packages[@]}"; do
  v=$(version_in "$pkg" "$codename")
  [ -n "$v" ] || { log "no armhf $pkg in $codename"; exit 1; }
  deb=$(download "$pkg" "$v")
  dpkg-deb -x "$deb" "$sysroot.new"
  echo "$pkg $v" >>"$sysroot.new/packages"
done
# Absolute symbolic links (libtinfo.so -> /lib/...) would point at the build machine's own
# libraries: repoint them inside the overlay. /lib is merged into /usr/lib in the overlay.
mkdir -p "$sysroot.new/usr/lib/arm-linux-gnueabihf"
if [ -d "$sysroot.new/lib/arm-linux-gnueabihf" ]; then
  cp -a "$sysroot.new/lib/arm-linux-gnueabihf/." "$sysroot.new/usr/lib/arm-linux-gnueabihf/"
  rm -rf "$sysroot.new/lib"
fi
find "$sysroot.new" -type l | while read -r link; do
  target=$(readlink "$link")
  case "$target" in
    /*) ln -sfn "$(basename "$target")" "$link" ;;
  esac
done

# --- Linux 5.10 uapi headers ------------------------------------------------
kheaders="$cache/kernel-headers"
rm -rf "$kheaders.new"
mkdir -p "$kheaders.new"
v=$(version_in linux-libc-dev bullseye)
case "$v" in 5.10.*) ;; *) log "bullseye's linux-libc-dev is '$v', not 5.10"; exit 1 ;; esac
dpkg-deb -x "$(download linux-libc-dev "$v")" "$kheaders.new"
echo "linux-libc-dev $v" >"$kheaders.new/packages"

# --- the 5.10 armmp kernel's module tree (only the dummy module is kept) ----
kmodules="$cache/kernel-modules"
rm -rf "$kmodules.new"
mkdir -p "$kmodules.new"
meta=$(version_in linux-image-armmp bullseye)
image=$(apt-cache show "linux-image-armmp=$meta" | sed -n 's/^Depends: *//p' | tr ',' '\n' |
        sed -n 's/^ *\(linux-image-5\.10[^ ]*-armmp\).*/\1/p' | head -n1)
[ -n "$image" ] || { log "cannot find the 5.10 armmp kernel image package"; exit 1; }
iv=$(version_in "$image" bullseye)
deb=$(download "$image" "$iv")
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kmodules.new" --wildcards '*/kernel/drivers/net/dummy.ko'
module=$(cd "$kmodules.new" && find . -path '*/kernel/drivers/net/dummy.ko' | head -n1)
[ -n "$module" ] || { log "$image has no dummy.ko"; exit 1; }
# Proof that the file is the package's own: its checksum as the package lists it.
dpkg-deb --ctrl-tarfile "$deb" | tar -x -O ./md5sums | grep " ${module#./}\$" >"$kmodules.new/md5sums"
(cd "$kmodules.new" && md5sum --quiet -c md5sums)
tree=$(dirname "$(dirname "$(dirname "$(dirname "$module")")")")
echo "$kmodules/${tree#./}" >"$kmodules.new/module-tree"
echo "$image $iv" >"$kmodules.new/packages"
rm -f "$deb"  # 40 MB that the module no longer needs

for d in "$sysroot" "$kheaders" "$kmodules"; do
  rm -rf "$d"
  mv "$d.new" "$d"
done
{ echo "$recipe"; cat "$sysroot/packages" "$kheaders/packages" "$kmodules/packages"; } >"$stamp"
log "ready: $(tail -n +2 "$stamp" | tr '\n' ' ')"
echo "$cache"
