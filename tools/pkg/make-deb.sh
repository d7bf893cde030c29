#!/usr/bin/env bash
# Packs an installed tree of camera_control (DESTDIR of `cmake --install` with prefix /usr) as a
# Debian binary package: the program, the manual page, the udev rule and the systemd unit, with
# the copyright, changelog and md5sums Debian policy asks for. The dependencies of a dynamic
# program come from dpkg-shlibdeps; a static one (--static) depends on nothing.
#
# Usage: make-deb.sh --root DIR --arch ARCH --version VERSION --out DIR [--static]
# Prints the path of the .deb on its last line.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dist="$here/../../dist/debian"

root="" arch="" version="" out="" static=0
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --static) static=1; shift ;;
    *) echo "make-deb: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$root" ] && [ -n "$arch" ] && [ -n "$version" ] && [ -n "$out" ] ||
  { echo "usage: make-deb.sh --root DIR --arch ARCH --version VERSION --out DIR [--static]" >&2; exit 2; }
for f in usr/bin/camera_control usr/share/man/man1/camera_control.1 \
         lib/udev/rules.d/70-camera-control.rules lib/systemd/system/camera-control@.service; do
  [ -f "$root/$f" ] || { echo "make-deb: $root has no $f (install with prefix /usr)" >&2; exit 1; }
done

package=camera-control
# The last commit dates the package, so the same sources give the same package.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}
maintainer=${CAMCTL_MAINTAINER:-$(git -C "$here" log -1 --format='%an <%ae>' 2>/dev/null)}
[ -n "$maintainer" ] || { echo "make-deb: set CAMCTL_MAINTAINER (Name <address>)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The layout dpkg-shlibdeps expects: debian/control beside the package's tree.
pkg="$work/debian/$package"
mkdir -p "$pkg/DEBIAN"
cp -a "$root/." "$pkg/"
gzip -9n "$pkg/usr/share/man/man1/camera_control.1"
doc="$pkg/usr/share/doc/$package"
mkdir -p "$doc"
# The templates' own comment lines (# at the start) are not part of what they make.
template() { sed '/^#/d' "$dist/$1"; }
template copyright >"$doc/copyright"
if [ "$static" = 1 ]; then template copyright-static >>"$doc/copyright"; fi
sed -e "s|@VERSION@|$version|" -e "s|@MAINTAINER@|$maintainer|" \
    -e "s|@DATE@|$(LC_ALL=C date -u -R -d "@$epoch")|" <(template changelog.in) |
  gzip -9n >"$doc/changelog.gz"
if [ "$static" = 1 ]; then
  # A static program is what the board needs: it carries its libraries, ncurses and the JPEG
  # decoder among them, on purpose, so that it runs on any armhf root whatever libraries that
  # root has.
  mkdir -p "$pkg/usr/share/lintian/overrides"
  cat >"$pkg/usr/share/lintian/overrides/$package" <<OVERRIDES
# The board's program is linked statically on purpose: it runs on any armhf root.
$package: statically-linked-binary [usr/bin/camera_control]
$package: embedded-library ncurses [usr/bin/camera_control]
OVERRIDES
  # lintian knows the JPEG library by one of its messages; an override for a library the
  # program does not hold would itself be a warning.
  if grep -qa 'quantization tables are too coarse for baseline JPEG' "$pkg/usr/bin/camera_control"; then
    echo "$package: embedded-library libjpeg [usr/bin/camera_control]" \
      >>"$pkg/usr/share/lintian/overrides/$package"
  fi
fi

depends=""
if [ "$static" = 0 ]; then
  printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" \
    >"$work/debian/control"
  line=$(cd "$work" && dpkg-shlibdeps -O "debian/$package/usr/bin/camera_control")
  depends=$(sed -n 's/^shlibs:Depends=//p' <<<"$line")
  [ -n "$depends" ] || { echo "make-deb: dpkg-shlibdeps found no dependency" >&2; exit 1; }
  depends="Depends: $depends"$'\n'
fi

find "$pkg" -type d -exec chmod 0755 {} +
find "$pkg" -type f -exec chmod 0644 {} +
chmod 0755 "$pkg/usr/bin/camera_control"
(cd "$pkg" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
   xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
size=$(du -s -k --exclude=DEBIAN "$pkg" | cut -f1)
sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@MAINTAINER@|$maintainer|" \
    -e "s|@SIZE@|$size|" <(template control.in) | awk -v d="$depends" '{ sub(/@DEPENDS@/, d); print }' \
    >"$pkg/DEBIAN/control"
chmod 0644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
find "$pkg" -exec touch -h -d "@$epoch" {} +

mkdir -p "$out"
deb="$out/${package}_${version}_${arch}.deb"
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "$deb"
