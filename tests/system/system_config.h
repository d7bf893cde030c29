// Where the system tests find the programs and modules they put into the guests.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace systest {

// The static camera_control for a guest architecture ("x86_64" or "armhf"); the environment
// variables CAMCTL_ARMHF_BINARY and CAMCTL_X86_64_BINARY override the ones the build made.
std::string program_for(const std::string& arch);

// A static helper built for a guest architecture: keypty and ctlprobe (tests/system/guest),
// webcam (sim/webcam).
std::string guest_helper(const std::string& arch, const std::string& name);

// The Debian package tools/release.sh made for a Debian architecture ("armhf", "amd64"), or
// "" when there is none.
std::string release_package(const std::string& deb_arch);

// vimc.ko built for the guest's kernel by tools/vm/build-vimc.sh, in the VM cache.
std::string vimc_module(const std::string& arch);

// The dummy.ko that ships with the armhf release (CAMCTL_ARMHF_DUMMY_MODULE overrides it).
std::string armhf_dummy_module();

// A reviewed listing of tests/e2e/golden, by file name.
std::string golden_listing(const std::string& name);

// The terminfo entry the program's terminal inside the guest is described by.
std::string terminfo_entry();

}  // namespace systest
