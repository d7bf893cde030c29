// Opening the capture device and its capability check, through the real request path.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "device/camera.h"
#include "sim/in_process.h"

namespace {

std::string run_open(const std::string& scenario_text, const char* path = "/dev/video0",
                     bool* ok = nullptr) {
  camsim::InProcessCamera sim(camsim::scenario_from_text(scenario_text));
  camctl::Camera device;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  const bool opened = camctl::open_capture_device(device, path, out);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  if (ok != nullptr) *ok = opened;
  EXPECT_EQ(device.is_open(), opened);
  return result;
}

constexpr const char* kCapture =
    "device driver=\"d\" card=\"Cam\" bus_info=\"usb-1\" version=0x1 capabilities=0x84200001 "
    "device_caps=0x04200001\n";

TEST(OpenCaptureDevice, AcceptsACaptureNodeAndNamesIt) {
  bool ok = false;
  EXPECT_EQ(run_open(kCapture, "/dev/video0", &ok), "INFO: Device is Cam on bus usb-1\n");
  EXPECT_TRUE(ok);
}

TEST(OpenCaptureDevice, OpenFailuresPrintTheSystemText) {
  bool ok = true;
  EXPECT_EQ(run_open(std::string(kCapture) + "open error=EACCES\n", "/dev/video0", &ok),
            "ERROR: Device open failed: Permission denied (13)\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(run_open(kCapture, "/nonexistent/video9", &ok),
            "ERROR: Device open failed: No such file or directory (2)\n");
  EXPECT_FALSE(ok);
}

TEST(OpenCaptureDevice, NodeThatIsNoV4l2Device) {
  bool ok = true;
  EXPECT_EQ(run_open("device error=ENOTTY\n", "/dev/video0", &ok),
            "ERROR: VIDIOC_QUERYCAP failed: Inappropriate ioctl for device (25)\n");
  EXPECT_FALSE(ok);
  // A real node that is not a V4L2 device answers the same way.
  EXPECT_EQ(run_open(kCapture, "/dev/null", &ok),
            "ERROR: VIDIOC_QUERYCAP failed: Inappropriate ioctl for device (25)\n");
}

TEST(OpenCaptureDevice, TheDeviceCapabilitiesDecideNotTheNodes) {
  bool ok = true;
  // Output only, radio only, multi-planar capture only: refused.
  for (const char* caps : {"0x84200002", "0x84250000", "0x84201000"}) {
    const std::string text = std::string(
                                 "device driver=\"d\" card=\"c\" bus_info=\"b\" version=0x1 "
                                 "capabilities=") +
                             caps + " device_caps=0x1\n";
    EXPECT_EQ(run_open(text, "/dev/video0", &ok), "ERROR: /dev/video0 is no video capture device\n")
        << caps;
    EXPECT_FALSE(ok);
  }
  // The node itself lacks capture, the device has it: accepted.
  run_open(
      "device driver=\"d\" card=\"c\" bus_info=\"b\" version=0x1 capabilities=0x84200001 "
      "device_caps=0x04200002\n",
      "/dev/video0", &ok);
  EXPECT_TRUE(ok);
}

TEST(OpenCaptureDevice, CardNamesFillingTheirFieldAreCutAtTheField) {
  const std::string card(40, 'C');  // more than the 32-byte field: no terminating zero
  const std::string text = "device driver=\"d\" card=\"" + card +
                           "\" bus_info=\"b\" version=0x1 capabilities=0x1 device_caps=0x1\n";
  EXPECT_EQ(run_open(text), "INFO: Device is " + std::string(32, 'C') + " on bus b\n");
}

}  // namespace
