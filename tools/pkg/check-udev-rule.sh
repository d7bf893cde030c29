#!/usr/bin/env bash
# Runs udev's own rule engine (udevadm test) over the capture, metadata and output nodes in
# udev-cases/ with the packaged rule in place, and checks which nodes make systemd start the unit.
#
# Usage: tools/pkg/check-udev-rule.sh [RULES_FILE]   (default dist/udev/70-camera-control.rules)
#
# A case file's comments say what it expects: "# action: add", "# wants: UNIT" (or nothing), and
# optionally "# local rule: RULE", a rule of the machine's own that sorts after the packaged one.
#
# Each case runs in a mount namespace of its own: a scratch sysfs folder holds the node, made
# from the case's `udevadm info` lines (its properties go in the node's uevent file, where udev
# reads them as if the kernel and v4l_id had set them), and /run and /dev are scratch too, so the
# test leaves no trace on the machine. Needs root and udev (udevadm).
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
rules=$(realpath "${1:-$here/../../dist/udev/70-camera-control.rules}")
name=$(basename "$rules")
command -v udevadm >/dev/null || { echo "check-udev-rule: udevadm missing (package udev)" >&2; exit 1; }

# The capabilities come from 60-persistent-v4l.rules' v4l_id import: a rule that sorts before
# it would see none and match nothing.
if [[ ! "$name" > "60-persistent-v4l.rules" ]]; then
  echo "check-udev-rule: $name sorts before 60-persistent-v4l.rules" >&2
  exit 1
fi

# One case inside its namespace: prints udevadm test's output.
run_case() {  # case_file rules_file
  local case_file=$1 rules_file=$2
  local syspath node action
  syspath=/sys$(sed -n 's/^P: //p' "$case_file")
  node=$(sed -n 's/^N: //p' "$case_file")
  action=$(sed -n 's/^# action: //p' "$case_file")
  mount -t tmpfs camctl-run /run
  mount -t tmpfs camctl-dev /dev
  mount -t tmpfs camctl-sys /sys/devices
  mkdir -p /run/udev/rules.d "$syspath"
  cp "$rules_file" /run/udev/rules.d/
  # A case may bring a local rule of its own, as a machine's /etc/udev/rules.d would.
  sed -n 's/^# local rule: //p' "$case_file" >/run/udev/rules.d/71-camctl-local.rules
  # Shows what the engine itself saw of the capabilities, after every other rule.
  echo 'SUBSYSTEM=="video4linux", ENV{CAMCTL_PROBE}="[$env{ID_V4L_CAPABILITIES}]"' \
    >/run/udev/rules.d/99-camctl-probe.rules
  {
    sed -n 's/^E: //p' "$case_file" | grep -vE '^(DEVNAME|DEVPATH|SUBSYSTEM)='
    echo "DEVNAME=$node"
  } >"$syspath/uevent"
  ln -s ../../../../class/video4linux "$syspath/subsystem"
  # The node is no real sysfs entry: sd-device is told not to insist on one.
  SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action="$action" "$syspath" 2>&1
}

failures=0
cases=0
for case_file in "$here"/udev-cases/*.txt; do
  cases=$((cases + 1))
  label=$(basename "$case_file" .txt)
  want=$(sed -n 's/^# wants: *//p' "$case_file")
  caps=$(sed -n 's/^E: ID_V4L_CAPABILITIES=//p' "$case_file")
  if ! out=$(unshare -m bash -c "$(declare -f run_case); set -euo pipefail; run_case \"\$1\" \"\$2\"" \
             run_case "$case_file" "$rules"); then
    echo "FAIL $label: udevadm test failed"
    echo "$out"
    failures=$((failures + 1))
    continue
  fi
  got=$(sed -n 's/^SYSTEMD_WANTS=//p' <<<"$out" | tr ' ' '\n' | grep '^camera-control@' || true)
  tags=$(sed -n 's/^TAGS=//p' <<<"$out")
  problem=""
  if ! grep -qxF "CAMCTL_PROBE=[$caps]" <<<"$out"; then
    problem="the rules never saw ID_V4L_CAPABILITIES=$caps"
  elif complaint=$(grep -F "$name" <<<"$out" | grep -iE 'invalid|error|ignoring'); then
    problem="udev complains about the rule: $(head -n1 <<<"$complaint")"
  elif [ "$got" != "$want" ]; then
    problem="wants '${got}', expected '${want}'"
  elif [ -n "$want" ] && [[ "$tags" != *:systemd:* ]]; then
    problem="no systemd tag (TAGS=$tags)"
  fi
  if [ -n "$problem" ]; then
    echo "FAIL $label: $problem"
    failures=$((failures + 1))
  else
    echo "ok   $label: ${want:-nothing started}"
  fi
done
[ "$cases" -gt 0 ] || { echo "check-udev-rule: no cases" >&2; exit 1; }
echo "udev rule: $((cases - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
