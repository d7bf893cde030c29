// One run of the program, from the command line to the exit status.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

namespace camctl {

// Returns the process exit status.
int run_camera_control(int argc, char** argv);

}  // namespace camctl
