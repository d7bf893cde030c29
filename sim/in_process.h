// Puts a simulated camera behind the device layer of this process, for as long as the object lives.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/camera.h"

namespace camsim {

class Router;

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

// A whole media graph: every node at /dev/DEVNAME, the media device, and their sysfs.
class InProcessMedia {
 public:
  explicit InProcessMedia(MediaScenario scenario);
  ~InProcessMedia();
  InProcessMedia(const InProcessMedia&) = delete;
  InProcessMedia& operator=(const InProcessMedia&) = delete;

  // The simulated node at /dev/DEVNAME; nullptr for an unknown one.
  Camera* camera(const std::string& devname);
  Router& router();

 private:
  MediaScenario scenario_;
  std::vector<std::unique_ptr<Camera>> cameras_;
};

// Reads a scenario file, failing the calling test's process loudly when it cannot.
Scenario scenario_from_file(const std::string& path);
Scenario scenario_from_text(const std::string& text);
MediaScenario media_scenario_from_file(const std::string& path);

}  // namespace camsim
