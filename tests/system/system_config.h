// Where the system tests find the programs and modules they put into the guests.
#pragma once

#include <string>

namespace systest {

// The static camera_control for a guest architecture ("x86_64" or "armhf"); the environment
// variable CAMCTL_ARMHF_BINARY overrides the armhf one the build was configured with.
std::string program_for(const std::string& arch);

// A static helper of tests/system/guest built for armhf (keypty, ctlprobe).
std::string armhf_helper(const std::string& name);

// The dummy.ko that ships with the armhf release (CAMCTL_ARMHF_DUMMY_MODULE overrides it).
std::string armhf_dummy_module();

// The terminfo entry the program's terminal inside the guest is described by.
std::string terminfo_entry();

}  // namespace systest
