// The cameras of the system tests: vivid, and the emulated webcam under uvcvideo, per kernel.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "guest_camera.h"

#include <sstream>

#include "system_config.h"

namespace systest {

void GuestCamera::add_to(GuestCase& guest) const {
  if (kind == "webcam") guest.add_file(guest_helper(arch, "webcam"), "webcam");
  if (kind == "vimc") guest.add_file(vimc_module(arch), "vimc.ko");
}

std::string GuestCamera::start(const std::string& log) const {
  if (kind == "vivid") return "insmod /modules/vivid.ko n_devs=1 node_types=0x1\n";
  // The last nodes vimc makes are the RGB/YUV capture node and the scaler's subdevice.
  if (kind == "vimc") {
    return "insmod /case/vimc.ko || exit 1\n"
           "i=0; while { [ ! -e /dev/video2 ] || [ ! -e /dev/v4l-subdev5 ]; } && [ $i -lt 500 ]; "
           "do sleep 0.02; i=$((i + 1)); done\n";
  }
  // The metadata node comes last: once it is there, uvcvideo has made its last request of the
  // bind, and the counts the camera keeps from then on are the program's.
  return "/modules/load usb || exit 1\n"
         "[ -p /tmp/cam ] || mkfifo /tmp/cam\n"
         "/case/webcam -c /tmp/cam >/out/" +
         log +
         " 2>&1 &\n"
         "webcam=$!\n"
         "cam() {\n"
         "  rm -f /tmp/cam.done\n"
         "  printf '%s\\nreport /tmp/cam.done\\n' \"$1\" >/tmp/cam\n"
         "  i=0; while [ ! -e /tmp/cam.done ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); "
         "done\n"
         "}\n"
         "i=0; while [ ! -e /dev/video1 ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done\n";
}

std::string GuestCamera::unplug() const {
  // vivid's Disconnect button unregisters its nodes as an unplug does.
  if (kind == "vivid") return "/case/ctlprobe -s /dev/video0 0x00f0f041=0 >/dev/null";
  // Unbinding the driver takes every node of the pipeline away at once.
  if (kind == "vimc") {
    return "for d in /sys/bus/platform/drivers/vimc/vimc.*; do echo ${d##*/} "
           ">/sys/bus/platform/drivers/vimc/unbind; done";
  }
  return "echo disconnect >/tmp/cam";
}

std::string GuestCamera::finish() const {
  if (kind != "webcam") return "";
  return "if kill -0 $webcam 2>/dev/null; then echo disconnect >/tmp/cam; fi\n"
         "wait $webcam\n";
}

void add_session_tools(GuestCase& guest, const GuestCamera& camera) {
  guest.add_file(program_for(camera.arch), "camera_control");
  guest.add_file(guest_helper(camera.arch, "keypty"), "keypty");
  guest.add_file(guest_helper(camera.arch, "ctlprobe"), "ctlprobe");
  guest.add_file(terminfo_entry(), "terminfo/x/xterm");
  camera.add_to(guest);
}

GuestCamera vivid_camera(const std::string& arch) {
  GuestCamera camera;
  camera.kind = "vivid";
  camera.arch = arch;
  camera.golden = arch == "armhf" ? "vivid-5.10-armhf-capture.list" : "vivid-6.1-capture.list";
  camera.clusters = {{"Gain, Automatic", "Gain", "0x00980912", "0x00980913", "gain_automatic",
                      "gain", "gain_automatic", "gain", 1, 0, 6, 7, 200}};
  // The 5.10 kernel only marks the nodes of an unplugged camera unregistered and wakes no waiter
  // (vivid's Disconnect button unplugs); 6.1's wakes them.
  camera.unplug_wakes = arch != "armhf";
  camera.listings = {{"/dev/video0", camera.golden, {"/dev/video0"}}};
  return camera;
}

GuestCamera vimc_pipeline(const std::string& arch) {
  GuestCamera camera;
  camera.kind = "vimc";
  camera.arch = arch;
  const std::string kernel = arch == "armhf" ? "vimc-5.10-armhf" : "vimc-6.1";
  camera.golden = kernel + "-video0.list";
  camera.control_node = "/dev/v4l-subdev0";
  // Sensor A is v4l-subdev0 and Debayer A v4l-subdev2 under both kernels; 6.1's Lens A is
  // v4l-subdev6. The RGB/YUV capture node lists the debayer's control once and the sensor's once.
  const std::vector<std::string> lens =
      arch == "armhf" ? std::vector<std::string>{} : std::vector<std::string>{"/dev/v4l-subdev6"};
  std::vector<std::string> raw = {"/dev/v4l-subdev0"};
  raw.insert(raw.end(), lens.begin(), lens.end());
  std::vector<std::string> rgb = raw;
  rgb.push_back("/dev/v4l-subdev2");
  camera.listings = {{"/dev/video0", camera.golden, raw},
                     {"/dev/video2", kernel + "-video2.list", rgb},
                     {"/dev/v4l-subdev0", kernel + "-v4l-subdev0.list", {"/dev/v4l-subdev0"}}};
  // As with vivid and the webcam, 5.10 wakes no waiter when the nodes go.
  camera.unplug_wakes = arch != "armhf";
  return camera;
}

GuestCamera emulated_webcam(const std::string& arch) {
  GuestCamera camera;
  camera.kind = "webcam";
  camera.arch = arch;
  camera.sets_itself = "set gain 40";
  camera.shown_name = "Gain";
  camera.shown_value = "40";
  camera.switches_itself = "set ae_mode 1";  // the camera's own bit for manual exposure
  camera.switched = 1;
  // Under 5.10 an unplugged node wakes no waiter either.
  camera.unplug_wakes = arch != "armhf";
  // Linux 5.16 gave these controls the control framework's names; both kernels walk them in the
  // same order (6.1 adds two class entries, which are never listed).
  if (arch == "armhf") {
    camera.golden = "uvc-webcam-5.10-armhf.list";
    camera.clusters = {
        {"White Balance Temperature, Auto", "White Balance Temperature", "0x0098090c", "0x0098091a",
         "white_balance_temperature_auto", "white_balance_temperature", "white_balance_automatic",
         "white_balance_temperature", 1, 0, 3, 6, 5000},
        {"Exposure, Auto", "Exposure (Absolute)", "0x009a0901", "0x009a0902", "exposure_auto",
         "exposure_absolute", "auto_exposure", "exposure_time_absolute", 3, 1, 8, 9, 400},
        {"Focus, Auto", "Focus (absolute)", "0x009a090c", "0x009a090a", "focus_auto",
         "focus_absolute", "focus_automatic_continuous", "focus_absolute", 1, 0, 10, 10, 100}};
  } else {
    camera.golden = "uvc-webcam-6.1.list";
    camera.clusters = {
        {"White Balance, Automatic", "White Balance Temperature", "0x0098090c", "0x0098091a",
         "white_balance_automatic", "white_balance_temperature", "white_balance_temperature_auto",
         "white_balance_temperature", 1, 0, 3, 6, 5000},
        {"Auto Exposure", "Exposure Time, Absolute", "0x009a0901", "0x009a0902", "auto_exposure",
         "exposure_time_absolute", "exposure_auto", "exposure_absolute", 3, 1, 8, 9, 400},
        {"Focus, Automatic Continuous", "Focus, Absolute", "0x009a090c", "0x009a090a",
         "focus_automatic_continuous", "focus_absolute", "focus_auto", "focus_absolute", 1, 0, 10,
         10, 100}};
  }
  camera.listings = {{"/dev/video0", camera.golden, {"/dev/video0"}}};
  return camera;
}

std::string GuestCamera::log_problems(const GuestResult& result, const std::string& log) const {
  if (kind != "webcam") return "";
  std::istringstream lines(result.file(log));
  std::string problems, counts;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("ERROR") != std::string::npos) problems += line + "\n";
    if (line.rfind("requests ", 0) == 0) counts = line;
  }
  if (counts.empty()) return problems + "no request counts at the end of " + log + "\n";
  if (counts.find(" lost=0 ") == std::string::npos) problems += counts + "\n";
  return problems;
}

std::ostream& operator<<(std::ostream& out, const GuestCamera& camera) {
  return out << camera.kind << " under " << (camera.arch == "armhf" ? "5.10 armhf" : "6.1 x86_64");
}

std::string row_name(const GuestCamera& camera) {
  return camera.arch + "_" + camera.kind;
}

}  // namespace systest
