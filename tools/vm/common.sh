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
