# Shared settings and helpers of the system-test VM scripts (sourced, not run).
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT

VM_CACHE=${CAMCTL_VM_CACHE:-/var/cache/camera_control/vm}
VM_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

vm_log() { echo "vm: $*" >&2; }
vm_die() {
  echo "vm: ERROR: $*" >&2
  exit 1
}

# Changes whenever the scripts that shape a cached image change, so stale images are rebuilt.
vm_layout_version() {
  cat "$VM_SCRIPTS/prepare.sh" "$VM_SCRIPTS/init.sh" "$VM_SCRIPTS/load-modules.sh" |
    sha256sum | cut -c1-16
}

# Writes the initrd of one boot to OUT: ARCH's base image (or the image BASE), then the folder
# ROOT (which holds case/) as a second archive; the kernel unpacks both.
vm_initrd() {
  local arch=$1 root=$2 out=$3 base=${4:-$VM_CACHE/$1/base.cpio.gz}
  cp "$base" "$out"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >>"$out"
}

# Makes a fresh FAT32 image at PATH, the disk of a board's /boot.
vm_fat_disk() {
  local path=$1 tool
  for tool in mkfs.vfat fsck.vfat; do
    command -v "$tool" >/dev/null || vm_die "$tool is missing (Debian: dosfstools)"
  done
  rm -f "$path"
  truncate -s 64M "$path"
  mkfs.vfat -F 32 -n BOOT "$path" >/dev/null
}

# Sets qemu=(...) for one boot of ARCH with INITRD. CONSOLE is the kernel console's -serial
# value ("file:PATH", or "chardev:ID" for a terminal); the init ships its results into the file
# RESULTS. REPORTS, when given, is a file for a second line the case writes to (/dev/ttyS2 on
# x86_64, /dev/vport0p2 on armhf); DRIVE, a qemu -drive option string, becomes a virtio disk (/dev/vda).
# On armhf the disk goes before the virtio ports, so that they keep the names the init expects.
# VM_LOGLEVEL sets the console's kernel log level (default 4).
vm_qemu_command() {
  local arch=$1 initrd=$2 console=$3 results=$4 reports=${5:-} drive=${6:-}
  local image_dir=$VM_CACHE/$arch
  local append="panic=-1 quiet loglevel=${VM_LOGLEVEL:-4}"
  case "$arch" in
    x86_64)
      qemu=(qemu-system-x86_64 -M pc -accel tcg -cpu max -m 512 -smp 1
        -kernel "$image_dir/vmlinux" -append "console=ttyS0 $append"
        -serial "$console" -serial "file:$results")
      [ -z "$reports" ] || qemu+=(-serial "file:$reports")
      [ -z "$drive" ] || qemu+=(-drive "$drive,if=none,id=disk" -device virtio-blk-pci,drive=disk)
      ;;
    armhf)
      qemu=(qemu-system-arm -M virt,highmem=off -accel tcg -cpu cortex-a15 -m 512 -smp 1
        -kernel "$image_dir/vmlinuz" -append "console=ttyAMA0 $append" -serial "$console")
      [ -z "$drive" ] || qemu+=(-drive "$drive,if=none,id=disk" -device virtio-blk-device,drive=disk)
      # shellcheck disable=SC2054 # qemu's own options take commas
      qemu+=(-device virtio-serial-device -chardev "file,id=results,path=$results"
        -device virtserialport,chardev=results,name=results)
      # shellcheck disable=SC2054
      [ -z "$reports" ] || qemu+=(-chardev "file,id=reports,path=$reports"
        -device virtserialport,chardev=reports,name=reports)
      ;;
    *) vm_die "unknown architecture '$arch'" ;;
  esac
  qemu+=(-initrd "$initrd" -nodefaults -display none -no-reboot)
}

# Says on stderr why a boot failed: MESSAGE, what qemu printed (QEMU_ERR) and the last lines of
# the kernel console (CONSOLE).
vm_boot_failed() {
  local console=$1 qemu_err=$2
  shift 2
  {
    echo "vm: ERROR: $*"
    sed 's/^/qemu: /' "$qemu_err"
    echo "vm: last console lines:"
    tail -n 30 "$console" 2>/dev/null | sed 's/^/console: /'
  } >&2
}

# Runs qemu=(...) for at most LIMIT seconds with its own output in QEMU_ERR, then unpacks the
# results tar RESULTS into OUT_DIR. A failed boot, or results without case.status, is said (the
# VM named by WHAT, the console's last lines from CONSOLE) and returns 1.
vm_run_collect() {
  local limit=$1 results=$2 out_dir=$3 console=$4 qemu_err=$5 what=$6 status=0 late=""
  timeout --kill-after=5 "$limit" "${qemu[@]}" </dev/null >"$qemu_err" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || ! tar -x -f "$results" -C "$out_dir" 2>/dev/null ||
    [ ! -f "$out_dir/case.status" ]; then
    [ "$status" -ne 124 ] || late=" It ran past the limit of $limit s."
    vm_boot_failed "$console" "$qemu_err" "$what did not deliver its results (qemu status $status).$late"
    return 1
  fi
}

# The first Debian main archive the system's apt sources name (deb822 and one-line styles).
system_mirror() {
  local uri
  uri=$( {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}'
  } | grep -E '/debian/?$' | head -n 1)
  [ -n "$uri" ] || vm_die "no Debian archive found in the system's apt sources"
  echo "${uri%/}"
}

# Runs apt-get/apt-cache with a private configuration for one suite, for armhf (and for the
# further architectures PRIVATE_APT_ARCHES names, blank-separated: a cross build's host tools).
private_apt() {
  local dir=$1 tool=$2 arch
  shift 2
  local arches=(-o APT::Architectures::=armhf)
  for arch in ${PRIVATE_APT_ARCHES:-}; do arches+=(-o "APT::Architectures::=$arch"); done
  "$tool" -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/parts" \
    -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status" \
    -o Dir::Cache::Archives="$dir/archives" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
    -o APT::Architecture=armhf -o APT::Architectures= "${arches[@]}" -o Debug::NoLocking=1 "$@"
}

setup_private_apt() {
  local dir=$1 suite=$2
  local mirror
  mirror=$(system_mirror)
  rm -rf "$dir"
  mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/parts"
  : >"$dir/status"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
    >"$dir/sources.list"
  private_apt "$dir" apt-get update -qq >/dev/null || vm_die "apt-get update for $suite/armhf failed ($mirror)"
}

# Downloads a package (apt-get download) into a scratch folder and unpacks it into $2.
fetch_and_unpack() {
  local scratch=$1 dest=$2
  shift 2
  mkdir -p "$dest"
  (cd "$scratch" && "$@" >/dev/null 2>"$scratch/download.err") || {
    cat "$scratch/download.err" >&2
    vm_die "download failed: ${*: -1}"
  }
  local deb
  for deb in "$scratch"/*.deb; do dpkg-deb -x "$deb" "$dest"; done
  rm -f "$scratch"/*.deb
}
