// Puts a simulated camera behind the device layer of this process, for as long as the object lives.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "sim/camera.h"

namespace camsim {

class InProcessCamera {
 public:
  // Opening path reaches the simulated camera; every other path reaches the system.
  InProcessCamera(Scenario scenario, std::string path = "/dev/video0");
  ~InProcessCamera();
  InProcessCamera(const InProcessCamera&) = delete;
  InProcessCamera& operator=(const InProcessCamera&) = delete;

  Camera& camera() { return camera_; }

 private:
  Camera camera_;
};

// Reads a scenario file, failing the calling test's process loudly when it cannot.
Scenario scenario_from_file(const std::string& path);
Scenario scenario_from_text(const std::string& text);

}  // namespace camsim
