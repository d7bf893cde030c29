#!/usr/bin/env bash
# Times `camera_control -l` (static and dynamic builds) against Debian's `v4l2-ctl -L`, and
# `camera_control -L` with a three-pair settings file against `v4l2-ctl --set-ctrl` with the same
# pairs, on the vivid capture node of the 6.1 system-test VM: 31 runs of each in the same boot,
# and one counted run of each dynamic program (requests counted by bench/vm-count.c), each
# counted load from vivid's defaults and checked by ctlprobe; wall time and peak memory from
# bench/vm-timer.c. Then the same on uvcvideo with the emulated USB webcam (sim/webcam) in the
# same boot, with a seven-pair file, and the USB requests the camera saw in each counted run.
# Then vimc's Raw Capture 0 (a media-controller pipeline: Sensor A and its Lens A behind it), with
# camera_control on the capture node beside v4l2-ctl on each subdevice node and the capture node,
# as a user reaches the same controls today. Prints a Markdown section.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=bench/work/vm
case_dir=$work/case
rm -rf "$case_dir" "$work/out"
mkdir -p "$case_dir/bin" "$case_dir/lib" "$work/debs"

# The two builds of the program, as a release would make them (stripped).
for kind in static dynamic; do
  build=bench/work/release-$kind
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCAMCTL_BUILD_TESTS=OFF \
    -DCAMCTL_STATIC=$([ "$kind" = static ] && echo ON || echo OFF) >/dev/null
  cmake --build "$build" -j2 --target camera_control >/dev/null
  strip -o "$case_dir/bin/camera_control-$kind" "$build/camera_control"
done
# For comparison: dynamic, but with the C++ runtime linked in, as the only shared libraries left
# are the C library and curses.
build=bench/work/release-cxxstatic
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCAMCTL_BUILD_TESTS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS="-static-libstdc++ -static-libgcc" >/dev/null
cmake --build "$build" -j2 --target camera_control >/dev/null
strip -o "$case_dir/bin/camera_control-cxxstatic" "$build/camera_control"

# Debian's v4l-utils with the libraries it needs, unpacked, never installed.
if ! ls "$work/debs"/v4l-utils_*.deb >/dev/null 2>&1; then
  (cd "$work/debs" && apt-get download v4l-utils libv4l-0 libv4l2rds0 libv4lconvert0 libjpeg62-turbo >/dev/null 2>&1)
fi
rm -rf "$work/pkg"
for deb in "$work/debs"/*.deb; do dpkg-deb -x "$deb" "$work/pkg"; done
cp "$work/pkg/usr/bin/v4l2-ctl" "$case_dir/bin/"
cp -a "$work/pkg/usr/lib/x86_64-linux-gnu/." "$case_dir/lib/"
for bin in "$case_dir/bin/v4l2-ctl" "$case_dir/bin/camera_control-dynamic" "$case_dir/bin/camera_control-cxxstatic"; do
  LD_LIBRARY_PATH="$case_dir/lib" ldd "$bin" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' |
    while read -r lib; do [ -e "$case_dir/lib/$(basename "$lib")" ] || cp -L "$lib" "$case_dir/lib/"; done
done
gcc -O2 -static -o "$case_dir/bin/vm-timer" bench/vm-timer.c
gcc -O2 -static -o "$case_dir/bin/ctlprobe" tests/system/guest/ctlprobe.c
# The boot-time load: the manual gain named before the switch that makes it active.
printf 'gain=200\r\ngain_automatic=0\r\nbrightness=77\r\n' >"$case_dir/three.txt"
gcc -O2 -shared -fPIC -o "$case_dir/lib/vm-count.so" bench/vm-count.c -ldl
gcc -O2 -static -pthread -o "$case_dir/bin/webcam" sim/webcam/webcam.c
bash tools/vm/build-vimc.sh x86_64 >&2
cp "${CAMCTL_VM_CACHE:-/var/cache/camera_control/vm}/vimc-x86_64/vimc.ko" "$case_dir/vimc.ko"
# vimc's load: two of the sensor's controls and the lens's focus.
printf 'contrast=40\r\ntest_pattern=5\r\nfocus_absolute=300\r\n' >"$case_dir/vimc.txt"
# The webcam's load: each manual value before the auto control that makes it active, and
# brightness; the same pairs for v4l2-ctl.
webcam_pairs="exposure_time_absolute=400 auto_exposure=1 white_balance_temperature=5000
white_balance_automatic=0 focus_absolute=100 focus_automatic_continuous=0 brightness=77"
printf '%s\r\n' $webcam_pairs >"$case_dir/webcam.txt"
echo "$webcam_pairs" | tr ' \n' ',,' | sed 's/,$//' >"$case_dir/webcam.set-ctrl"

cat >"$case_dir/run.sh" <<'GUEST'
insmod /modules/vivid.ko n_devs=1 node_types=0x1
i=0
while [ ! -e /dev/video0 ] && [ "$i" -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
mkdir -p /lib64
ln -sf /case/lib/ld-linux-x86-64.so.2 /lib64/ld-linux-x86-64.so.2
export LD_LIBRARY_PATH=/case/lib
COUNT_OUT=/out/count.v4l2-ctl LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d /dev/video0 -L >/out/v4l2-ctl.txt 2>&1
COUNT_OUT=/out/count.dynamic LD_PRELOAD=/case/lib/vm-count.so /case/bin/camera_control-dynamic -l >/out/camera_control.txt 2>&1
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d /dev/video0 -L >/out/time.v4l2-ctl
/case/bin/vm-timer 31 /case/bin/camera_control-static -l >/out/time.static
/case/bin/vm-timer 31 /case/bin/camera_control-dynamic -l >/out/time.dynamic
/case/bin/vm-timer 31 /case/bin/camera_control-cxxstatic -l >/out/time.cxxstatic
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d /dev/video0 -L >/out/time.v4l2-ctl.2
# Loading three pairs: one counted run of each from vivid's defaults, checked by an independent
# reader, then the timed series (every run after the first sets the values the camera holds).
ids="0x00980912 0x00980913 0x00980900"
defaults() { /case/bin/ctlprobe -s /dev/video0 0x00980912=1 0x00980900=128 >/dev/null; }
set_ctrl="gain=200,gain_automatic=0,brightness=77"
defaults
COUNT_OUT=/out/count.set-ctrl LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d /dev/video0 --set-ctrl="$set_ctrl" >/out/set-ctrl.txt 2>&1
echo "status=$?" >>/out/set-ctrl.txt
/case/bin/ctlprobe /dev/video0 $ids >/out/probe.set-ctrl
defaults
COUNT_OUT=/out/count.load LD_PRELOAD=/case/lib/vm-count.so /case/bin/camera_control-dynamic -v /dev/video0 -c /case/three.txt -L >/out/load.txt 2>&1
echo "status=$?" >>/out/load.txt
/case/bin/ctlprobe /dev/video0 $ids >/out/probe.load
defaults
/case/bin/camera_control-static -v /dev/video0 -c /case/three.txt -L >/out/load-static.txt 2>&1
echo "status=$?" >>/out/load-static.txt
/case/bin/ctlprobe /dev/video0 $ids >/out/probe.load-static
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d /dev/video0 --set-ctrl="$set_ctrl" >/out/time.set-ctrl
/case/bin/vm-timer 31 /case/bin/camera_control-static -v /dev/video0 -c /case/three.txt -L >/out/time.load-static
/case/bin/vm-timer 31 /case/bin/camera_control-dynamic -v /dev/video0 -c /case/three.txt -L >/out/time.load-dynamic
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d /dev/video0 --set-ctrl="$set_ctrl" >/out/time.set-ctrl.2

# The emulated webcam under uvcvideo: its capture node comes after vivid's, its metadata node last.
/modules/load usb
mkfifo /tmp/cam
/case/bin/webcam -c /tmp/cam >/out/webcam.log 2>&1 &
webcam=$!
# Hands the camera a command and returns once it has carried it out.
cam() {
  rm -f /tmp/cam.done
  printf '%s\nreport /tmp/cam.done\n' "$1" >/tmp/cam
  i=0; while [ ! -e /tmp/cam.done ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
}
i=0
while [ ! -e /dev/video2 ] && [ "$i" -lt 500 ]; do sleep 0.02; i=$((i + 1)); done
w=/dev/video1
/case/bin/ctlprobe -w $w >/out/webcam.walk
# uvcvideo asks the camera for each control's range at the first look and keeps it: one listing
# first, so that neither program's counted run pays for it.
/case/bin/v4l2-ctl -d $w -L >/dev/null 2>&1
cam zero
COUNT_OUT=/out/wcount.v4l2-ctl LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d $w -L >/out/wv4l2-ctl.txt 2>&1
cam "report /out/wusb.v4l2-ctl"
cam zero
COUNT_OUT=/out/wcount.list LD_PRELOAD=/case/lib/vm-count.so /case/bin/camera_control-dynamic -v $w -l >/out/wlist.txt 2>&1
cam "report /out/wusb.list"
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d $w -L >/out/wtime.v4l2-ctl
/case/bin/vm-timer 31 /case/bin/camera_control-static -v $w -l >/out/wtime.static
/case/bin/vm-timer 31 /case/bin/camera_control-dynamic -v $w -l >/out/wtime.dynamic
# Loading: each counted run from the camera's defaults (manual values too), then checked.
wids="0x009a0901 0x009a0902 0x0098090c 0x0098091a 0x009a090c 0x009a090a 0x00980900"
wdefaults() {
  /case/bin/ctlprobe -s $w 0x009a0901=1 0x009a0902=250 0x0098090c=0 0x0098091a=4000 \
    0x009a090c=0 0x009a090a=0 0x009a0901=3 0x0098090c=1 0x009a090c=1 0x00980900=128 >/dev/null
}
wset_ctrl=$(cat /case/webcam.set-ctrl)
wdefaults
cam zero
COUNT_OUT=/out/wcount.set-ctrl LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d $w --set-ctrl="$wset_ctrl" >/out/wset-ctrl.txt 2>&1
echo "status=$?" >>/out/wset-ctrl.txt
cam "report /out/wusb.set-ctrl"
/case/bin/ctlprobe $w $wids >/out/probe.wset-ctrl
wdefaults
cam zero
COUNT_OUT=/out/wcount.load LD_PRELOAD=/case/lib/vm-count.so /case/bin/camera_control-dynamic -v $w -c /case/webcam.txt -L >/out/wload.txt 2>&1
echo "status=$?" >>/out/wload.txt
cam "report /out/wusb.load"
/case/bin/ctlprobe $w $wids >/out/probe.wload
wdefaults
/case/bin/camera_control-static -v $w -c /case/webcam.txt -L >/out/wload-static.txt 2>&1
echo "status=$?" >>/out/wload-static.txt
/case/bin/ctlprobe $w $wids >/out/probe.wload-static
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d $w --set-ctrl="$wset_ctrl" >/out/wtime.set-ctrl
/case/bin/vm-timer 31 /case/bin/camera_control-static -v $w -c /case/webcam.txt -L >/out/wtime.load-static
/case/bin/vm-timer 31 /case/bin/camera_control-dynamic -v $w -c /case/webcam.txt -L >/out/wtime.load-dynamic
echo disconnect >/tmp/cam
wait $webcam

# vimc: the capture node of Raw Capture 0, and the subdevices of Sensor A and Lens A behind it.
insmod /case/vimc.ko
i=0
while [ "$(ls /dev | grep -c v4l-subdev)" -lt 8 ] && [ "$i" -lt 500 ]; do sleep 0.02; i=$((i + 1)); done
node_of() { for d in /sys/class/video4linux/*; do [ "$(cat $d/name)" = "$1" ] && echo /dev/${d##*/}; done; }
raw=$(node_of "Raw Capture 0"); sensor=$(node_of "Sensor A"); lens=$(node_of "Lens A")
echo "$raw $sensor $lens" >/out/vimc.nodes
/case/bin/ctlprobe -w $raw >/out/vwalk.capture
/case/bin/ctlprobe -w $sensor >/out/vwalk.sensor
/case/bin/ctlprobe -w $lens >/out/vwalk.lens
COUNT_OUT=/out/vcount.list LD_PRELOAD=/case/lib/vm-count.so /case/bin/camera_control-dynamic -v $raw -l >/out/vlist.txt 2>&1
for n in sensor lens raw; do
  eval d=\$$n
  COUNT_OUT=/out/vcount.v4l2-$n LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d $d -L >/out/vv4l2-$n.txt 2>&1
done
for n in sensor lens raw; do
  eval d=\$$n
  /case/bin/vm-timer 31 /case/bin/v4l2-ctl -d $d -L >/out/vtime.v4l2-$n
done
/case/bin/vm-timer 31 /case/bin/camera_control-static -v $raw -l >/out/vtime.static
/case/bin/vm-timer 31 /case/bin/camera_control-dynamic -v $raw -l >/out/vtime.dynamic
vdefaults() {
  /case/bin/ctlprobe -s $sensor 0x00980901=128 0x00f0f000=0 >/dev/null
  /case/bin/ctlprobe -s $lens 0x009a090a=0 >/dev/null
}
vprobe() { /case/bin/ctlprobe $sensor 0x00980901 0x00f0f000; /case/bin/ctlprobe $lens 0x009a090a; }
vdefaults
COUNT_OUT=/out/vcount.load LD_PRELOAD=/case/lib/vm-count.so /case/bin/camera_control-dynamic -v $raw -c /case/vimc.txt -L >/out/vload.txt 2>&1
echo "status=$?" >>/out/vload.txt
vprobe >/out/probe.vload
vdefaults
COUNT_OUT=/out/vcount.set-sensor LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d $sensor --set-ctrl=contrast=40,test_pattern=5 >/out/vset-ctrl.txt 2>&1
echo "status=$?" >>/out/vset-ctrl.txt
COUNT_OUT=/out/vcount.set-lens LD_PRELOAD=/case/lib/vm-count.so /case/bin/v4l2-ctl -d $lens --set-ctrl=focus_absolute=300 >>/out/vset-ctrl.txt 2>&1
echo "status=$?" >>/out/vset-ctrl.txt
vprobe >/out/probe.vset-ctrl
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d $sensor --set-ctrl=contrast=40,test_pattern=5 >/out/vtime.set-sensor
/case/bin/vm-timer 31 /case/bin/v4l2-ctl -d $lens --set-ctrl=focus_absolute=300 >/out/vtime.set-lens
/case/bin/vm-timer 31 /case/bin/camera_control-static -v $raw -c /case/vimc.txt -L >/out/vtime.load-static
/case/bin/vm-timer 31 /case/bin/camera_control-dynamic -v $raw -c /case/vimc.txt -L >/out/vtime.load-dynamic
GUEST
bash tools/vm/run.sh x86_64 "$case_dir" "$work/out" 900 >&2

out=$work/out
field() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" "$2" 2>/dev/null; }
ms() { [ -n "$1" ] && echo "$(($1 / 1000)).$(printf '%03d' $(($1 % 1000))) ms" || echo "not measured"; }
tv=$(field median_us "$out/time.v4l2-ctl"); tv2=$(field median_us "$out/time.v4l2-ctl.2")
ts=$(field median_us "$out/time.static"); td=$(field median_us "$out/time.dynamic")
tc=$(field median_us "$out/time.cxxstatic")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g ? "met" : "**missed**") }'; }
# The dynamic build's goals: ahead of v4l2-ctl on time, and no more peak memory than its -L.
ahead() {
  if [ -z "$1" ] || [ -z "$2" ] || [ -z "$3" ]; then echo "**missed** (not measured)"; return; fi
  awk -v r="$1" -v m="$2" -v limit="$3" 'BEGIN { print (r < 1 && m <= limit ? "met" : "**missed**") }'
}
rs=$(ratio "$ts" "$tv"); rd=$(ratio "$td" "$tv"); rc=$(ratio "$tc" "$tv")
echo "## Beside v4l2-ctl in the 6.1 vivid VM"
echo
echo "Debian's v4l-utils $(dpkg-deb -f "$work"/debs/v4l-utils_*.deb Version) carried into the x86_64 system-test VM"
echo "(Debian's 6.1 kernel under qemu TCG, no KVM) with its libraries; vivid with one capture"
echo "node. Median of 31 runs each, one boot; requests counted in one extra run of each dynamic"
echo "program."
echo
mv=$(field rss_kib "$out/time.v4l2-ctl"); ms_=$(field rss_kib "$out/time.static")
md=$(field rss_kib "$out/time.dynamic"); mc=$(field rss_kib "$out/time.cxxstatic")
echo "| Program | median | min–max | peak RSS | requests | ratio to v4l2-ctl | goal | |"
echo "|---|---:|---:|---:|---:|---:|---|---|"
echo "| \`v4l2-ctl -d /dev/video0 -L\` | $(ms "$tv") | $(field min_us "$out/time.v4l2-ctl")–$(field max_us "$out/time.v4l2-ctl") µs | $mv KiB | $(field requests "$out/count.v4l2-ctl") | 1 | | |"
echo "| \`camera_control -l\`, static (the board's build) | $(ms "$ts") | $(field min_us "$out/time.static")–$(field max_us "$out/time.static") µs | $ms_ KiB | (as dynamic) | $rs | ≤ 0.15 | $(verdict "$rs" 0.15) |"
echo "| \`camera_control -l\`, dynamic | $(ms "$td") | $(field min_us "$out/time.dynamic")–$(field max_us "$out/time.dynamic") µs | $md KiB | $(field requests "$out/count.dynamic") | $rd | < 1; RSS ≤ v4l2-ctl's | $(ahead "$rd" "$md" "$mv") |"
echo "| \`camera_control -l\`, dynamic with the C++ runtime linked in (not the project's build) | $(ms "$tc") | $(field min_us "$out/time.cxxstatic")–$(field max_us "$out/time.cxxstatic") µs | $mc KiB | (as dynamic) | $rc | | |"
echo
echo "A second series of v4l2-ctl at the end of the boot gave a median of $((tv2 / 1000)).$(printf '%03d' $((tv2 % 1000))) ms."
echo "The listing's minimum on this node is 138 requests."
echo
count_h() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" -h 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
echo "Peak RSS is the median over the 31 timed runs of each run's peak resident set (\`wait4\`)."
echo "The board runs the static build, which must stay within 0.15× of v4l2-ctl's time; the"
echo "dynamic build (the native package for other machines) must be ahead of v4l2-ctl and use no"
echo "more memory than \`v4l2-ctl -L\` on the same camera. Most of the dynamic build's time is"
echo "loading its shared libraries, not its work: instructions of \`camera_control -h\` (no device"
echo "at all), counted by callgrind on the host: dynamic $(count_h bench/work/release-dynamic/camera_control),"
echo "with the C++ runtime linked in $(count_h bench/work/release-cxxstatic/camera_control), static"
echo "$(count_h bench/work/release-static/camera_control). Under emulation every library page run for"
echo "the first time is also translated, which the static build, running only its own code, escapes."

echo
echo "### Loading three settings: \`-L\` beside \`v4l2-ctl --set-ctrl\`"
echo
echo "The same boot, after the listing series. The file holds \`gain=200\`, \`gain_automatic=0\`,"
echo "\`brightness=77\` (the manual gain first, so the load has to apply it once the switch has made"
echo "it active); v4l2-ctl gets the same pairs as \`--set-ctrl=gain=200,gain_automatic=0,brightness=77\`."
echo "Each counted run starts from vivid's defaults and is checked by ctlprobe (auto gain, gain,"
echo "brightness read back); the timed runs after the first set what the camera already holds."
echo
lv=$(field median_us "$out/time.set-ctrl"); lv2=$(field median_us "$out/time.set-ctrl.2")
ls_=$(field median_us "$out/time.load-static"); ld=$(field median_us "$out/time.load-dynamic")
probe_of() { tr '\n' ' ' <"$out/probe.$1" | sed 's/ $//'; }
status_of() { sed -n 's/^status=//p' "$1"; }
lratio() { if [ -n "$1" ] && [ -n "$2" ]; then ratio "$1" "$2"; else echo "-"; fi; }
lverdict() { if [ "$1" = "-" ]; then echo "**missed** (no run)"; else verdict "$1" "$2"; fi; }
rls=$(lratio "$ls_" "$lv"); rld=$(lratio "$ld" "$lv")
failed_runs() { field failed "$1"; }
echo "| Program | median | min–max | peak RSS | failed runs | requests | device after (auto gain, gain, brightness) | exit | ratio to v4l2-ctl | goal | |"
echo "|---|---:|---:|---:|---:|---:|---|---:|---:|---|---|"
echo "| \`v4l2-ctl --set-ctrl\` | $(ms "$lv") | $(field min_us "$out/time.set-ctrl")–$(field max_us "$out/time.set-ctrl") µs | $(field rss_kib "$out/time.set-ctrl") KiB | $(failed_runs "$out/time.set-ctrl") | $(field requests "$out/count.set-ctrl") | $(probe_of set-ctrl) | $(status_of "$out/set-ctrl.txt") | 1 | | |"
echo "| \`camera_control -L\`, static (the board's build) | $(ms "$ls_") | $(field min_us "$out/time.load-static")–$(field max_us "$out/time.load-static") µs | $(field rss_kib "$out/time.load-static") KiB | $(failed_runs "$out/time.load-static") | (as dynamic) | $(probe_of load-static) | $(status_of "$out/load-static.txt") | $rls | ≤ 0.15 | $(lverdict "$rls" 0.15) |"
echo "| \`camera_control -L\`, dynamic | $(ms "$ld") | $(field min_us "$out/time.load-dynamic")–$(field max_us "$out/time.load-dynamic") µs | $(field rss_kib "$out/time.load-dynamic") KiB | $(failed_runs "$out/time.load-dynamic") | $(field requests "$out/count.load") | $(probe_of load) | $(status_of "$out/load.txt") | $rld | < 1; RSS ≤ \`v4l2-ctl -L\`'s | $(ahead "$rld" "$(field rss_kib "$out/time.load-dynamic")" "$mv") |"
echo
echo "A second series of \`v4l2-ctl --set-ctrl\` at the end of the boot gave a median of $(ms "$lv2")."
echo "What \`camera_control -L\` printed in its counted run:"
echo
sed 's/^/    /' "$out/load.txt"

echo
echo "## Beside v4l2-ctl on a USB webcam (uvcvideo under 6.1)"
echo
echo "The same boot, after the vivid series: the kernel's own uvcvideo bound to the emulated USB"
echo "webcam (\`sim/webcam\`, every request a USB transfer through the dummy controller, about"
echo "0.7 ms each), its capture node \`/dev/video1\`. One \`v4l2-ctl -L\` first, so that the driver"
echo "has asked every range before any counted run. Median of 31 runs each; requests counted in"
echo "one extra run of each dynamic program, and the USB requests the camera saw in that run"
echo "(its own report: GET_* and SET_CUR)."
echo
walk_total=$(grep -c . "$out/webcam.walk")
walk_listed=0  # not disabled, read-only or inactive, and readable
while read -r _ flags read _; do
  f=$((${flags#flags=}))
  if [ $((f & 0x15)) -eq 0 ] && [ "$read" = value ]; then walk_listed=$((walk_listed + 1)); fi
done <"$out/webcam.walk"
list_min=$((1 + walk_total + 1 + walk_listed))
usb_get() { awk '/^requests/ { n = 0; for (i = 2; i <= NF; i++) if ($i ~ /^get_/) { split($i, kv, "="); n += kv[2] } print n }' "$1" 2>/dev/null; }
usb() {
  [ -f "$1" ] || { echo "not measured"; return; }
  local ignored; ignored=$(field ignored "$1")
  echo "$(usb_get "$1") GET, $(field set_cur "$1") SET_CUR$([ "$ignored" = 0 ] || echo " ($ignored ignored by the camera)")"
}
wtv=$(field median_us "$out/wtime.v4l2-ctl"); wts=$(field median_us "$out/wtime.static"); wtd=$(field median_us "$out/wtime.dynamic")
echo "| Program | median | min–max | peak RSS | requests | minimum | USB requests | ratio to v4l2-ctl |"
echo "|---|---:|---:|---:|---:|---:|---|---:|"
echo "| \`v4l2-ctl -d /dev/video1 -L\` | $(ms "$wtv") | $(field min_us "$out/wtime.v4l2-ctl")–$(field max_us "$out/wtime.v4l2-ctl") µs | $(field rss_kib "$out/wtime.v4l2-ctl") KiB | $(field requests "$out/wcount.v4l2-ctl") | | $(usb "$out/wusb.v4l2-ctl") | 1 |"
echo "| \`camera_control -l\`, static | $(ms "$wts") | $(field min_us "$out/wtime.static")–$(field max_us "$out/wtime.static") µs | $(field rss_kib "$out/wtime.static") KiB | (as dynamic) | | | $(lratio "$wts" "$wtv") |"
echo "| \`camera_control -l\`, dynamic | $(ms "$wtd") | $(field min_us "$out/wtime.dynamic")–$(field max_us "$out/wtime.dynamic") µs | $(field rss_kib "$out/wtime.dynamic") KiB | $(field requests "$out/wcount.list") | $list_min | $(usb "$out/wusb.list") | $(lratio "$wtd" "$wtv") |"
echo
echo "The listing's minimum: one QUERYCAP, the walk's $walk_total controls and the QUERYCTRL that"
echo "ends it, and one G_CTRL for each of the $walk_listed controls a user may change (\`ctlprobe -w\`"
echo "walked the node for these numbers). uvcvideo answers G_CTRL from what it has cached except for"
echo "the controls a camera changes itself (exposure time, focus, white balance temperature), which"
echo "it asks the camera again: v4l2-ctl reads those too, inactive as they are; camera_control lists"
echo "only what a user may change now."
echo
pairs=$(grep -c = "$case_dir/webcam.txt")
not_applied=$(grep -c '^ERROR:\|^INFO: No control' "$out/wload.txt" || true)
applied=$((pairs - not_applied))
load_min=$((list_min + pairs + 3))
wlv=$(field median_us "$out/wtime.set-ctrl"); wls=$(field median_us "$out/wtime.load-static"); wld=$(field median_us "$out/wtime.load-dynamic")
set_curs=$(field set_cur "$out/wusb.load")
echo "### Loading seven settings into the webcam: \`-L\` beside \`v4l2-ctl --set-ctrl\`"
echo
echo "The file: \`$(echo $(cat "$case_dir/webcam.txt" | tr -d '\r') | sed 's/ /\`, \`/g')\`: each manual"
echo "value before the auto control that makes it active. v4l2-ctl gets the same pairs with"
echo "\`--set-ctrl\`. Each counted run starts from the camera's defaults and is checked by ctlprobe;"
echo "the timed runs after the first set what the camera already holds."
echo
echo "| Program | median | min–max | peak RSS | failed runs | requests | minimum | USB requests | SET_CUR = pairs applied | device after (auto exposure, exposure, auto WB, WB temperature, auto focus, focus, brightness) | exit | ratio to v4l2-ctl |"
echo "|---|---:|---:|---:|---:|---:|---:|---|---|---|---:|---:|"
echo "| \`v4l2-ctl --set-ctrl\` | $(ms "$wlv") | $(field min_us "$out/wtime.set-ctrl")–$(field max_us "$out/wtime.set-ctrl") µs | $(field rss_kib "$out/wtime.set-ctrl") KiB | $(failed_runs "$out/wtime.set-ctrl") | $(field requests "$out/wcount.set-ctrl") | | $(usb "$out/wusb.set-ctrl") | | $(probe_of wset-ctrl) | $(status_of "$out/wset-ctrl.txt") | 1 |"
echo "| \`camera_control -L\`, static | $(ms "$wls") | $(field min_us "$out/wtime.load-static")–$(field max_us "$out/wtime.load-static") µs | $(field rss_kib "$out/wtime.load-static") KiB | $(failed_runs "$out/wtime.load-static") | (as dynamic) | | | | $(probe_of wload-static) | $(status_of "$out/wload-static.txt") | $(lratio "$wls" "$wlv") |"
echo "| \`camera_control -L\`, dynamic | $(ms "$wld") | $(field min_us "$out/wtime.load-dynamic")–$(field max_us "$out/wtime.load-dynamic") µs | $(field rss_kib "$out/wtime.load-dynamic") KiB | $(failed_runs "$out/wtime.load-dynamic") | $(field requests "$out/wcount.load") | $load_min | $(usb "$out/wusb.load") | $set_curs = $applied: $([ "$set_curs" = "$applied" ] && echo met || echo '**missed**') | $(probe_of wload) | $(status_of "$out/wload.txt") | $(lratio "$wld" "$wlv") |"
echo
echo "The load's minimum: the listing's, one S_CTRL for each of the $pairs pairs, and one QUERYCTRL"
echo "for each of the three manual values to learn that its auto control let it go. camera_control"
echo "also asks again after each write whether the next pair's control is still active, and reads"
echo "a control that turned active before it writes it (so a value it already holds is not"
echo "written); uvcvideo answers both from its cache."
echo "v4l2-ctl writes the pairs without waiting for an auto control to let its manual value go:"
echo "6.1's uvcvideo refuses such a write (Permission denied), and a camera ignores a manual value"
echo "that reaches it before its auto control is off, so from the defaults v4l2-ctl's counted run"
echo "fails; the timed runs after it find the camera already on manual."
echo
echo "What \`camera_control -L\` printed in its counted run, and v4l2-ctl:"
echo
sed 's/^/    /' "$out/wload.txt"
sed 's/^/    v4l2-ctl: /' "$out/wset-ctrl.txt"
if grep -q "ERROR" "$out/webcam.log" || ! grep -q " lost=0 " "$out/webcam.log"; then
  echo
  echo "**The emulated webcam reported a fault:**"
  echo
  grep "ERROR\|^requests" "$out/webcam.log" | sed 's/^/    /'
fi

# ---- vimc ----
sum_us() { local t=0 v; for v in "$@"; do [ -n "$v" ] || { echo ""; return; }; t=$((t + v)); done; echo "$t"; }
walk_counts() {  # controls, and those a user may change now
  local total listed=0 flags read f
  total=$(grep -c . "$1" || true)
  while read -r _ flags read _; do
    f=$((${flags#flags=}))
    if [ $((f & 0x15)) -eq 0 ] && [ "$read" = value ]; then listed=$((listed + 1)); fi
  done <"$1"
  echo "$total $listed"
}
read -r cap_total cap_listed <<<"$(walk_counts "$out/vwalk.capture")"
read -r sen_total sen_listed <<<"$(walk_counts "$out/vwalk.sensor")"
read -r lens_total lens_listed <<<"$(walk_counts "$out/vwalk.lens")"
# One topology read; the capture node's QUERYCAP and walk; each subdevice's walk.
vlist_min=$((1 + 1 + cap_total + 1 + cap_listed + sen_total + 1 + sen_listed + lens_total + 1 + lens_listed))
vpairs=$(grep -c = "$case_dir/vimc.txt")
vload_min=$((vlist_min + vpairs))
vts=$(field median_us "$out/vtime.static"); vtd=$(field median_us "$out/vtime.dynamic")
vtv=$(sum_us "$(field median_us "$out/vtime.v4l2-sensor")" "$(field median_us "$out/vtime.v4l2-lens")" "$(field median_us "$out/vtime.v4l2-raw")")
vcv=$(sum_us "$(field requests "$out/vcount.v4l2-sensor")" "$(field requests "$out/vcount.v4l2-lens")" "$(field requests "$out/vcount.v4l2-raw")")
echo
echo "## Beside v4l2-ctl on a media-controller pipeline (vimc under 6.1)"
echo
echo "The same boot, after the webcam: the kernel's own vimc (built out of tree from Debian's"
echo "linux-source by \`tools/vm/build-vimc.sh\`), its Raw Capture 0 capture node \`$(cut -d' ' -f1 "$out/vimc.nodes")\`,"
echo "with Sensor A (\`$(cut -d' ' -f2 "$out/vimc.nodes")\`) and Lens A (\`$(cut -d' ' -f3 "$out/vimc.nodes")\`) behind it. camera_control"
echo "lists and loads the camera from the capture node; a user today runs v4l2-ctl on each"
echo "subdevice node and on the capture node, so its figure is the sum of those runs' medians."
echo "Median of 31 runs each; requests counted in one extra run of each dynamic program,"
echo "media-controller requests included."
echo
echo "| Program | median | peak RSS | requests | minimum | ratio to v4l2-ctl |"
echo "|---|---:|---:|---:|---:|---:|"
for n in sensor lens raw; do
  echo "| \`v4l2-ctl -d $( [ $n = sensor ] && cut -d' ' -f2 "$out/vimc.nodes"; [ $n = lens ] && cut -d' ' -f3 "$out/vimc.nodes"; [ $n = raw ] && cut -d' ' -f1 "$out/vimc.nodes") -L\` | $(ms "$(field median_us "$out/vtime.v4l2-$n")") | $(field rss_kib "$out/vtime.v4l2-$n") KiB | $(field requests "$out/vcount.v4l2-$n") | | |"
done
echo "| the three v4l2-ctl runs | $(ms "$vtv") | | $vcv | | 1 |"
echo "| \`camera_control -l\` on the capture node, static | $(ms "$vts") | $(field rss_kib "$out/vtime.static") KiB | (as dynamic) | | $(lratio "$vts" "$vtv") |"
echo "| \`camera_control -l\` on the capture node, dynamic | $(ms "$vtd") | $(field rss_kib "$out/vtime.dynamic") KiB | $(field requests "$out/vcount.list") | $vlist_min | $(lratio "$vtd" "$vtv") |"
echo
echo "The listing's minimum: one topology read (MEDIA_IOC_G_TOPOLOGY, with room for the whole"
echo "graph), the capture node's QUERYCAP and its walk ($cap_total controls and the QUERYCTRL that"
echo "ends it), and each subdevice's walk: the sensor's $sen_total controls, the QUERYCTRL that ends"
echo "it and a G_CTRL for each of the $sen_listed a user may change, and the lens's $lens_total,"
echo "one and $lens_listed (\`ctlprobe -w\` walked each node for these numbers)."
echo
vls=$(field median_us "$out/vtime.load-static"); vld=$(field median_us "$out/vtime.load-dynamic")
vlv=$(sum_us "$(field median_us "$out/vtime.set-sensor")" "$(field median_us "$out/vtime.set-lens")")
vlc=$(sum_us "$(field requests "$out/vcount.set-sensor")" "$(field requests "$out/vcount.set-lens")")
echo "### Loading three settings through the capture node"
echo
echo "The file: \`contrast=40\`, \`test_pattern=5\` (the sensor's) and \`focus_absolute=300\` (the"
echo "lens's); v4l2-ctl sets the first two with \`--set-ctrl\` on the sensor's node and the third on"
echo "the lens's. Each counted run starts from the defaults and is checked by ctlprobe on the"
echo "subdevice nodes."
echo
echo "| Program | median | requests | minimum | device after (contrast, test pattern, focus) | exit | ratio to v4l2-ctl |"
echo "|---|---:|---:|---:|---|---:|---:|"
echo "| the two \`v4l2-ctl --set-ctrl\` runs | $(ms "$vlv") | $vlc | | $(probe_of vset-ctrl) | $(sed -n 's/^status=//p' "$out/vset-ctrl.txt" | tr '\n' ' ' | sed 's/ $//') | 1 |"
echo "| \`camera_control -L\`, static | $(ms "$vls") | (as dynamic) | | | | $(lratio "$vls" "$vlv") |"
echo "| \`camera_control -L\`, dynamic | $(ms "$vld") | $(field requests "$out/vcount.load") | $vload_min | $(probe_of vload) | $(status_of "$out/vload.txt") | $(lratio "$vld" "$vlv") |"
echo
echo "The load's minimum: the listing's and one S_CTRL for each of the $vpairs pairs. camera_control"
echo "also asks again, after a write to a node, whether the next pair's control on that node is"
echo "still active (one QUERYCTRL here: the test pattern after the contrast); a write to one node"
echo "changes no other node's controls, so the lens's pair is not asked again. What"
echo "\`camera_control -L\` printed in its counted run:"
echo
sed 's/^/    /' "$out/vload.txt"
