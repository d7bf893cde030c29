// One run of the program, from the command line to the exit status.
#pragma once

namespace camctl {

// Returns the process exit status.
int run_camera_control(int argc, char** argv);

}  // namespace camctl
