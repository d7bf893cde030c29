// Writes seed inputs for the walk fuzz target: the answers a simulated camera gives to the walk
// and to a few value changes, in the input camera's byte layout.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstring>
#include <string>

#include "controls/adjust.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "device/sys_ops.h"
#include "sim/camera.h"
#include "walk_input.h"

namespace {

constexpr int kFd = 42;
camsim::Camera* g_camera = nullptr;
walkfuzz::Encoder* g_encoder = nullptr;

int record_open(const char*, int) {
  const int error = g_camera->scenario().open_error;
  g_encoder->open(error);
  if (error != 0) {
    errno = error;
    return -1;
  }
  return kFd;
}

int record_ioctl(int, unsigned long request, void* arg) {
  // The largest request structure the walk passes.
  unsigned char asked[sizeof(v4l2_format)];
  std::memcpy(asked, arg, _IOC_SIZE(request) <= sizeof asked ? _IOC_SIZE(request) : sizeof asked);
  const int result = g_camera->handle(request, arg);
  g_encoder->request(request, asked, arg, result);
  if (result != 0) {
    errno = result;
    return -1;
  }
  return 0;
}

int record_close(int) {
  return 0;
}
// The camera is one node in no media graph: a media-controller driver's capture node finds none.
int record_fstat(int, struct stat*) {
  errno = ENODEV;
  return -1;
}

bool write_seed(const camsim::Scenario& scenario, bool list_mode, const std::string& path) {
  camsim::Camera camera(scenario);
  walkfuzz::Encoder encoder;
  g_camera = &camera;
  g_encoder = &encoder;
  const camctl::SysOps saved = camctl::set_sys_ops(
      {record_open, record_ioctl, record_close, nullptr, record_fstat, nullptr, nullptr});
  std::FILE* sink = std::fopen("/dev/null", "w");
  encoder.byte(list_mode ? 1 : 0);
  {
    camctl::Camera device;
    if (camctl::open_capture_device(device, "/dev/video0", sink)) {
      camctl::ControlTable table;
      camctl::build_control_table(device, {}, list_mode, sink, table);
      for (int key = 0; key < 8 && table.count() > 0; ++key) {
        const auto position = static_cast<std::size_t>((key * 7) % table.count());
        encoder.byte(static_cast<std::uint8_t>(position));
        encoder.byte(static_cast<std::uint8_t>(key % 7));
        camctl::adjust_control(table, device, position, static_cast<camctl::AdjustKind>(key % 7));
      }
      if (table.count() > 0) camctl::reset_all_controls(table, device);
    }
  }
  std::fclose(sink);
  camctl::set_sys_ops(saved);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const auto& bytes = encoder.bytes();
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

}  // namespace

// Usage: walk_seed OUTPUT_DIR SCENARIO...
int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR SCENARIO...\n", argv[0]);
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    camsim::Scenario scenario;
    std::string error;
    if (!camsim::load_scenario_file(argv[i], scenario, error)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.c_str());
      return 1;
    }
    std::string base = argv[i];
    base = base.substr(base.find_last_of('/') + 1);
    base = base.substr(0, base.find_last_of('.'));
    for (const bool list_mode : {false, true}) {
      const std::string path = std::string(argv[1]) + "/" + base + (list_mode ? "-list" : "");
      if (!write_seed(scenario, list_mode, path)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
    }
  }
  return 0;
}
