// Where the system tests find the programs and modules they put into the guests.
#pragma once

#include <string>

namespace systest {

// The static camera_control for a guest architecture ("x86_64" or "armhf"); the environment
// variables CAMCTL_ARMHF_BINARY and CAMCTL_X86_64_BINARY override the ones the build made.
std::string program_for(const std::string& arch);

// A static helper of tests/system/guest built for a guest architecture (keypty, ctlprobe).
std::string guest_helper(const std::string& arch, const std::string& name);

// The dynamically linked x86_64 camera_control (built beside the static one).
std::string dynamic_program();

// The source tree, and the build tree, where the shipped files that the build fills in (the
// systemd unit, which names where the program is installed) are found.
std::string project_dir();
std::string build_dir();

// The dummy.ko that ships with the armhf release (CAMCTL_ARMHF_DUMMY_MODULE overrides it).
std::string armhf_dummy_module();

// The terminfo entry the program's terminal inside the guest is described by.
std::string terminfo_entry();

}  // namespace systest
