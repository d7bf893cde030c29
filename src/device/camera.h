// The camera the program works on: the node the user named and, for a capture node in a media
// graph, the subdevices on its pipeline whose controls are the camera's (sensor, lens, processing).
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "device/device.h"

namespace camctl {

struct CameraNode {
  Device device;
  std::string path;
  std::string entity;      // its media entity's name; "" for a node in no media graph
  bool subdevice = false;  // a v4l-subdev node: controls, but no capture format
};

// Owns every node it opened, each with its own descriptor, in the order of the control table:
// the pipeline's subdevices from the sensor on, then the node the user named. A camera that is
// one node (a USB webcam, vivid, a subdevice opened directly) has just that one.
class Camera {
 public:
  std::size_t size() const { return nodes_.size(); }
  bool is_open() const { return !nodes_.empty(); }
  CameraNode& node(std::size_t position) { return nodes_[position]; }
  const CameraNode& node(std::size_t position) const { return nodes_[position]; }
  Device& device(std::size_t position) { return nodes_[position].device; }
  // The node the user named with -v.
  CameraNode& named() { return nodes_[named_]; }
  const CameraNode& named() const { return nodes_[named_]; }
  void close() {
    nodes_.clear();
    named_ = 0;
  }

 private:
  friend bool open_capture_device(Camera& camera, const char* path, std::FILE* out);

  std::vector<CameraNode> nodes_;
  std::size_t named_ = 0;
};

// Opens the node and proves it is a video capture device or a subdevice, printing the start-up
// lines ("INFO: Device is ...", or the one "ERROR: " line of a failure) to out. A capture node
// that says its driver is media-controller centric (V4L2_CAP_IO_MC) brings the subdevices of its
// pipeline, each named in a line of its own; one of them that cannot be opened fails it all.
bool open_capture_device(Camera& camera, const char* path, std::FILE* out);

}  // namespace camctl
