// The cameras the system tests put in front of the program inside a guest: the kernel's vivid
// driver, uvcvideo bound to the emulated USB webcam, and the media-controller pipeline of vimc,
// with their names and ways per kernel.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "guest_run.h"

namespace systest {

// An auto control and the manual control it makes inactive while it is on.
struct AutoCluster {
  std::string auto_name, manual_name;            // display names under the guest's kernel
  std::string auto_id, manual_id;                // "0x0098090c"
  std::string auto_key, manual_key;              // variable names under the guest's kernel
  std::string other_auto_key, other_manual_key;  // and under the other kernel
  int auto_on = 1;       // the auto control's default, which makes the manual control inactive
  int manual_mode = 0;   // its value that hands the manual control to the user
  int auto_row = 0;      // the auto control's list row (0: the first) while no manual one is in
  int manual_row = 0;    // the manual control's row once it joined
  int loaded_value = 0;  // a value the tests load into the manual control
};

// A node the program lists (-v NODE -l), what it prints, and the nodes whose walks together
// hold the controls it lists, for an independent reader to walk.
struct Listing {
  std::string node;
  std::string golden;  // in tests/e2e/golden
  std::vector<std::string> walked;
};

struct GuestCamera {
  std::string kind;    // "vivid", "webcam" or "vimc"
  std::string arch;    // the guest: "x86_64" runs Debian's 6.1, "armhf" the board's 5.10
  std::string golden;  // what -l prints on /dev/video0, in tests/e2e/golden
  // The program runs on /dev/video0; the controls it shows live on this node, where the tests'
  // own reader and writer go (a sensor's subdevice behind a media-controller capture node).
  std::string control_node = "/dev/video0";
  std::vector<Listing> listings;      // /dev/video0's, and any other node's worth listing
  std::vector<AutoCluster> clusters;  // in the walk order of their auto controls
  bool unplug_wakes = true;           // the unplug wakes a program that waits on the node
  // Commands (on /tmp/cam) with which the camera changes a value itself: one of a plain control
  // ("set gain 40", shown then as gain "40"), and one that switches the auto control of
  // clusters[switched] to manual mode; empty for a camera that takes no commands.
  std::string sets_itself, shown_name, shown_value;
  std::string switches_itself;
  std::size_t switched = 0;

  // Puts what the camera needs into the case folder.
  void add_to(GuestCase& guest) const;
  // Shell lines that make the capture node /dev/video0. The webcam logs to /out/LOG, takes
  // commands on the FIFO /tmp/cam, and defines the shell function cam, which hands it one
  // command and returns once the camera has carried it out.
  std::string start(const std::string& log = "webcam.log") const;
  // A shell command that unplugs the camera while a program holds its node.
  std::string unplug() const;
  // Shell lines that end a case: a webcam still plugged in is unplugged, and its log then ends
  // with its request counts.
  std::string finish() const;
  // The webcam's own account of a case in /out/LOG: its ERROR lines, and a final count that
  // lost a request; empty when it has nothing to report, and always for vivid.
  std::string log_problems(const GuestResult& result, const std::string& log = "webcam.log") const;
};

// The programs a screen session needs in its guest: the program under test, keypty, ctlprobe,
// the terminal description and the camera's own.
void add_session_tools(GuestCase& guest, const GuestCamera& camera);

GuestCamera vivid_camera(const std::string& arch);
GuestCamera emulated_webcam(const std::string& arch);
// vimc's Raw Capture 0 as /dev/video0, with Sensor A (and under 6.1 Lens A) behind it.
GuestCamera vimc_pipeline(const std::string& arch);

std::ostream& operator<<(std::ostream& out, const GuestCamera& camera);
// "x86_64_webcam": for test names.
std::string row_name(const GuestCamera& camera);

}  // namespace systest
