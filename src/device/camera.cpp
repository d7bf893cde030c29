// Opening the camera: the named node's capability check, then the media graph behind it.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/camera.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "device/media_graph.h"
#include "device/sysfs.h"

namespace camctl {
namespace {

// The driver's fixed-size text fields need not end in a zero byte.
int bounded_length(const __u8* text, std::size_t size) {
  return static_cast<int>(strnlen(reinterpret_cast<const char*>(text), size));
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// The name the kernel gave the node (a subdevice's is its entity's); "" when unknown.
std::string node_name(const Device& device) {
  dev_t number = 0;
  std::string name;
  if (device.device_number(number) != 0 ||
      read_sysfs_text(sysfs_node_folder(number) + "/name", name) != 0) {
    return {};
  }
  return first_line(name);
}

// The media devices' sysfs folders among the names of a folder ("media0"), in number order.
std::vector<std::string> media_folders(const std::string& folder) {
  std::vector<std::string> names, found;
  if (list_sysfs_folder(folder, names) != 0) return found;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name.starts_with("media")) found.push_back(folder + "/" + name);
  }
  return found;
}

// The graph of the media device the node belongs to: the one beside the node under the device
// both hang from, as most drivers register them; otherwise any media device of the system that
// knows the node. False when none does.
bool find_graph(dev_t number, MediaTopology& topology) {
  std::vector<std::string> candidates = media_folders(sysfs_node_folder(number) + "/device");
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& folder : candidates) {
      const std::string path = device_node_path(folder);
      Device media;
      if (path.empty() || media.open(path.c_str()) != 0) continue;
      if (read_media_topology(media, topology) == 0 && !entity_name_of(topology, number).empty()) {
        return true;
      }
    }
    if (pass == 0) candidates = media_folders("/sys/bus/media/devices");
  }
  return false;
}

}  // namespace

bool open_capture_device(Camera& camera, const char* path, std::FILE* out) {
  camera.close();
  CameraNode named;
  named.path = path;
  if (const int error = named.device.open(path); error != 0) {
    std::fprintf(out, "ERROR: Device open failed: %s (%d)\n", std::strerror(error), error);
    return false;
  }
  v4l2_capability cap{};
  if (const int error = named.device.query_capabilities(cap); error != 0) {
    // A subdevice node knows no VIDIOC_QUERYCAP, only its own.
    v4l2_subdev_capability subdevice{};
    if (error == ENOTTY && named.device.query_subdevice_capabilities(subdevice) == 0) {
      named.subdevice = true;
      named.entity = node_name(named.device);
      std::fprintf(out, "INFO: Device is subdevice %s\n",
                   named.entity.empty() ? path : named.entity.c_str());
      camera.nodes_.push_back(std::move(named));
      return true;
    }
    std::fprintf(out, "ERROR: VIDIOC_QUERYCAP failed: %s (%d)\n", std::strerror(error), error);
    return false;
  }
  // The capabilities of the whole device decide, not those of this node: a multi-function
  // device may reach its capture side through this node all the same.
  if ((cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
    std::fprintf(out, "ERROR: %s is no video capture device\n", path);
    return false;
  }
  std::fprintf(out, "INFO: Device is %.*s on bus %.*s\n", bounded_length(cap.card, sizeof cap.card),
               reinterpret_cast<const char*>(cap.card),
               bounded_length(cap.bus_info, sizeof cap.bus_info),
               reinterpret_cast<const char*>(cap.bus_info));

  // Only a driver that says its capture node moves frames and nothing else has the camera's
  // controls elsewhere; every other node is the whole camera, and costs no further request.
  const __u32 node_caps =
      (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
  dev_t number = 0;
  MediaTopology topology;
  if ((node_caps & V4L2_CAP_IO_MC) == 0 || named.device.device_number(number) != 0 ||
      !find_graph(number, topology)) {
    camera.nodes_.push_back(std::move(named));
    return true;
  }
  named.entity = entity_name_of(topology, number);
  for (const SubdeviceNode& subdevice : camera_subdevices(topology, number)) {
    CameraNode node;
    node.path = device_node_path(sysfs_node_folder(subdevice.number));
    node.entity = subdevice.entity;
    node.subdevice = true;
    if (node.path.empty()) continue;  // sysfs names no device file for it
    std::fprintf(out, "INFO: Subdevice %s on %s\n", node.entity.c_str(), node.path.c_str());
    if (const int error = node.device.open(node.path.c_str()); error != 0) {
      std::fprintf(out, "ERROR: Device open failed: %s (%d)\n", std::strerror(error), error);
      camera.close();
      return false;
    }
    camera.nodes_.push_back(std::move(node));
  }
  camera.named_ = camera.nodes_.size();
  camera.nodes_.push_back(std::move(named));
  return true;
}

}  // namespace camctl
