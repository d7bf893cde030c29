// What the user asked this run to do: shared by the run, the control walk and the screen.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace camctl {

inline constexpr std::size_t kMaxIgnoreNames = 49;

enum class RunMode {
  screen,  // the interactive screen
  list,    // -l: print the controls' names
  load,    // -L: load the settings file into the camera
  save,    // -S: save the camera's set-up to the settings file
};

struct RunOptions {
  const char* settings_path = "/boot/camera.txt";
  const char* device_path = "/dev/video0";
  std::vector<std::string_view> ignore_names;  // at most kMaxIgnoreNames
  RunMode mode = RunMode::screen;
};

}  // namespace camctl
