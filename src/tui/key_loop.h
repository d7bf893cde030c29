// The interactive screen's main loop: keys in, control changes and redraws out.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

namespace camctl {

class Camera;
struct ControlTable;
struct RunOptions;

// Runs the screen until the user quits; restores the terminal before it returns.
// Returns the process exit status.
int run_key_loop(ControlTable& table, Camera& camera, const RunOptions& options);

}  // namespace camctl
