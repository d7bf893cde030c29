#!/usr/bin/env bash
# Opens camera_control on a USB webcam without one: boots a VM whose kernel's uvcvideo driver
# binds to the emulated webcam (sim/webcam), with the program on this terminal.
#
# Usage: tools/webcam-vm.sh [x86_64|armhf] [camera_control options]
#   x86_64  Debian's 6.1 kernel (the default); armhf: the board's 5.10 kernel and a static
#           armhf build of the program, as the board runs it
# Builds what it needs (a static camera_control, the webcam, ctlprobe) and the VM image
# (tools/vm/prepare.sh, cached). Q ends the program and leaves a shell in the VM, where the
# camera takes commands (the shell says how); exit or Ctrl-D powers the VM off. Ctrl-A x stops
# the VM at any time. The guest's console is this terminal's size, at least 24x78.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/vm/common.sh
source "$repo/tools/vm/common.sh"
arch=x86_64
case "${1:-}" in
  x86_64 | armhf) arch=$1; shift ;;
esac
if [ ! -t 0 ] || [ ! -t 1 ]; then
  vm_die "run it from a terminal: the program's screen is this terminal"
fi

cd "$repo"
bash tools/install-deps.sh >/dev/null
build=build/webcam-vm-$arch
echo "webcam-vm: building camera_control for $arch (the first build takes a few minutes)..."
if [ "$arch" = armhf ]; then
  cache=$(bash tools/armhf/prepare-sysroot.sh | tail -n1)
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-armhf.cmake" \
    -DCAMCTL_ARMHF_CACHE="$cache" -DCMAKE_BUILD_TYPE=Release -DCAMCTL_STATIC=ON \
    -DCAMCTL_BUILD_TESTS=OFF >/dev/null
  cc=arm-linux-gnueabihf-gcc tty=/dev/ttyAMA0
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCAMCTL_STATIC=ON \
    -DCAMCTL_BUILD_TESTS=OFF >/dev/null
  cc=cc tty=/dev/ttyS0
fi
cmake --build "$build" --target camera_control | tail -n 1
bash tools/vm/prepare.sh "$arch"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case_dir=$work/root/case
mkdir -p "$case_dir/terminfo"
cp "$build/camera_control" "$case_dir/"
"$cc" -std=gnu11 -O2 -Wall -Wextra -static -pthread -o "$case_dir/webcam" sim/webcam/webcam.c
"$cc" -std=gnu11 -O2 -Wall -Wextra -static -o "$case_dir/ctlprobe" tests/system/guest/ctlprobe.c

# This terminal's description, so that the program draws for it.
term=${TERM:-xterm}
entry=
for dir in /etc/terminfo /lib/terminfo /usr/share/terminfo; do
  [ -f "$dir/${term:0:1}/$term" ] && entry=$dir/${term:0:1}/$term && break
done
if [ -z "$entry" ]; then
  term=xterm entry=/usr/share/terminfo/x/xterm
  [ -f "$entry" ] || entry=/lib/terminfo/x/xterm
fi
mkdir -p "$case_dir/terminfo/${term:0:1}"
cp "$entry" "$case_dir/terminfo/${term:0:1}/$term"
read -r rows cols < <(stty size)
[ "$rows" -ge 24 ] || rows=24
[ "$cols" -ge 78 ] || cols=78

: >"$case_dir/options"
[ $# -eq 0 ] || printf '%q ' "$@" >"$case_dir/options"
cat >"$case_dir/run.sh" <<EOF
/modules/load usb || { echo "webcam-vm: the USB modules did not load" >$tty; exit 1; }
dmesg -n 1
mkfifo /tmp/camera
/case/webcam -c /tmp/camera >/tmp/webcam.log 2>&1 &
camera=\$!
i=0
while [ ! -e /dev/video0 ] && [ \$i -lt 500 ]; do sleep 0.02; i=\$((i + 1)); done
export TERM=$term TERMINFO=/case/terminfo PATH=/case:/bin
stty -F $tty rows $rows cols $cols
mkdir -p /boot
cat >/tmp/hint <<'HINT'

camera_control has ended; this is a shell in the VM (exit or Ctrl-D powers it off).
  camera_control                    the program again (settings file: /boot/camera.txt)
  echo 'set brightness 77' >/tmp/camera   the camera changes a value itself; also contrast,
      saturation, sharpness, gain, backlight, power_line, wb_auto, wb_temperature, ae_mode
      (1 manual, 8 aperture priority), ae_priority, exposure, focus, focus_auto
  echo 'delay 100' >/tmp/camera     the camera answers each request 100 ms late
  echo 'disconnect' >/tmp/camera    unplug the camera
  ctlprobe /dev/video0 0x00980900   read a control from a handle of its own
  cat /tmp/webcam.log               what the camera logged
HINT
setsid -c sh -c 'eval "set -- \$(cat /case/options)"; camera_control "\$@"; cat /tmp/hint; exec sh' \
  <$tty >$tty 2>&1
echo disconnect >/tmp/camera
wait \$camera
EOF
chmod 755 "$case_dir/run.sh"

vm_initrd "$arch" "$work/root" "$work/initrd"
results=$work/results
: >"$results"
# The console is this terminal, with qemu's monitor on Ctrl-A c.
VM_LOGLEVEL=1 vm_qemu_command "$arch" "$work/initrd" chardev:console "$results"
# shellcheck disable=SC2054 # qemu's own options take commas
qemu+=(-chardev stdio,id=console,mux=on,signal=off -mon chardev=console)
echo "webcam-vm: booting the $arch VM; Q ends the program, Ctrl-A x stops the VM"
"${qemu[@]}"
