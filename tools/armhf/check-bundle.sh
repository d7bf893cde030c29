#!/usr/bin/env bash
# Checks a release bundle for the board: camera_control is a stripped, fully static ARM EABI5
# hard-float executable that runs on its own, and dummy.ko is an unchanged ARM module of a
# 5.10 kernel for ARMv7 under the GPL. Exits non-zero, naming every fault, otherwise.
#
# Usage: check-bundle.sh BUNDLE_DIR
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
set -euo pipefail
bundle=${1:?usage: check-bundle.sh BUNDLE_DIR}
binary="$bundle/camera_control"
module="$bundle/dummy.ko"
faults=0
fault() { echo "check-bundle: FAULT: $*" >&2; faults=$((faults + 1)); }
expect() {  # what text pattern
  grep -Eq -- "$3" <<<"$2" || fault "$1: expected /$3/ in: $(head -c 300 <<<"$2")"
}
refuse() {  # what text pattern
  if grep -Eq -- "$3" <<<"$2"; then fault "$1: unexpected /$3/"; fi
}

for f in "$binary" "$module" "$bundle/camera_control.1" "$bundle/MODULE.txt"; do
  [ -f "$f" ] || fault "missing $f"
done
if [ "$faults" -gt 0 ]; then exit 1; fi

# --- the program ---
kind=$(file -b "$binary")
expect "file camera_control" "$kind" '^ELF 32-bit LSB executable, ARM, EABI5'
expect "file camera_control" "$kind" 'statically linked'
expect "file camera_control" "$kind" ', stripped$'
header=$(readelf -h "$binary")
expect "ELF class" "$header" 'Class: +ELF32'
expect "ELF machine" "$header" 'Machine: +ARM$'
expect "ELF flags" "$header" 'Flags: .*Version5 EABI, hard-float ABI'
expect "ELF type" "$header" 'Type: +EXEC'
attributes=$(readelf -A "$binary")
expect "float arguments" "$attributes" 'Tag_ABI_VFP_args: VFP registers'
refuse "program headers" "$(readelf -lW "$binary")" 'INTERP'
expect "dynamic section" "$(readelf -d "$binary")" 'no dynamic section'
refuse "symbols" "$(readelf -sW "$binary" 2>&1)" 'Symbol table .\.symtab'

# It starts on its own (no loader, no sysroot) and answers -h with the usage and status 1.
if command -v qemu-arm >/dev/null; then
  set +e
  usage=$(QEMU_LD_PREFIX=/nonexistent qemu-arm "$binary" -h 2>&1 >/dev/null)
  status=$?
  set -e
  [ "$status" = 1 ] || fault "camera_control -h exited with $status under qemu-arm, not 1"
  expect "camera_control -h" "$usage" '^Usage: .*camera_control \[options\]'
fi

# --- the module ---
kind=$(file -b "$module")
expect "file dummy.ko" "$kind" '^ELF 32-bit LSB relocatable, ARM, EABI5'
info=$(readelf -p .modinfo "$module" | sed -n 's/^ *\[ *[0-9a-f]*\] *//p')
expect "module name" "$info" '^name=dummy$'
expect "module license" "$info" '^license=GPL$'
expect "module parameter" "$info" '^parmtype=numdummies:int$'
expect "module vermagic" "$info" '^vermagic=5\.10\.[^ ]* .*ARMv7'
vermagic=$(sed -n 's/^vermagic=//p' <<<"$info")
grep -qF "vermagic: $vermagic" "$bundle/MODULE.txt" || fault "MODULE.txt does not give the vermagic"
grep -qF "sha256: $(sha256sum "$module" | cut -d' ' -f1)" "$bundle/MODULE.txt" ||
  fault "MODULE.txt does not give dummy.ko's checksum"

if [ "$faults" -gt 0 ]; then
  echo "check-bundle: $faults fault(s) in $bundle" >&2
  exit 1
fi
echo "check-bundle: $bundle is fine: $(file -b "$binary" | cut -d, -f1-4), $(stat -c %s "$binary") bytes;" \
     "dummy.ko vermagic $vermagic"
