// camera_control on the kernel's own drivers under 6.1 x86_64 and the board's 5.10 armhf: the
// listing of vivid's capture node, of the emulated webcam's under uvcvideo and of vimc's
// capture and subdevice nodes, -L and -S through vimc's capture node, and the refusal of vivid's
// nodes that cannot capture single-planar video.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "guest_camera.h"
#include "guest_run.h"
#include "screen_session.h"
#include "system_config.h"

namespace {

struct Kernel {
  const char* arch;
};

std::ostream& operator<<(std::ostream& out, const Kernel& kernel) {
  return out << kernel.arch;
}

using systest::program_run;

class VividNodes : public ::testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    binary_ = systest::program_for(GetParam().arch);
    std::string missing =
        systest::require_file(binary_, "static camera_control for " + std::string(GetParam().arch));
    ASSERT_EQ(missing, "");
  }

  systest::GuestResult boot(const std::string& script) {
    systest::GuestCase guest(GetParam().arch);
    guest.add_file(binary_, "camera_control");
    guest.set_script(script);
    systest::GuestResult result = guest.boot();
    // A VM that does not start is a failure of the suite, never a skip.
    EXPECT_TRUE(result.delivered) << "the " << GetParam().arch << " VM did not run the case:\n"
                                  << result.runner_messages;
    return result;
  }

  std::string binary_;
};

TEST_P(VividNodes, RefusesOutputOnlyAndMultiplanarOnlyNodes) {
  systest::GuestResult result =
      boot("insmod /modules/vivid.ko n_devs=1 node_types=0x100\n" + program_run("output", "-l") +
           "rmmod vivid\n"
           "insmod /modules/vivid.ko n_devs=1 node_types=0x1 multiplanar=2\n" +
           program_run("mplane", "-l") + "rmmod vivid\n");
  ASSERT_TRUE(result.delivered);
  const std::string refusal =
      "INFO: Opening /dev/video0 device\nERROR: /dev/video0 is no video capture device\n";
  for (const char* node : {"output", "mplane"}) {
    SCOPED_TRACE(node);
    EXPECT_EQ(result.file(std::string(node) + ".stdout"), refusal);
    EXPECT_EQ(result.file(std::string(node) + ".status"), "1\n");
  }
  // The guest log shows that both vivid variants loaded, so the refusal is the program's.
  EXPECT_EQ(result.file("case.log"), "");
}

INSTANTIATE_TEST_SUITE_P(Kernels, VividNodes, ::testing::Values(Kernel{"x86_64"}, Kernel{"armhf"}),
                         [](const auto& test) { return std::string(test.param.arch); });

// The display names of the controls a user may change now, from ctlprobe -w's walk: not
// disabled, read-only or inactive, and readable.
std::vector<std::string> changeable_names(const std::string& walk) {
  constexpr unsigned long kUnlisted = 0x1 | 0x4 | 0x10;
  std::vector<std::string> names;
  std::istringstream lines(walk);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, flags, read;
    fields >> id >> flags >> read;
    std::string name;
    std::getline(fields >> std::ws, name);
    if (flags.rfind("flags=", 0) != 0) continue;
    if ((std::stoul(flags.substr(6), nullptr, 16) & kUnlisted) == 0 && read == "value")
      names.push_back(name);
  }
  return names;
}

// The display names -l printed, after its header line.
std::vector<std::string> listed_names(const std::string& listing) {
  std::vector<std::string> names;
  std::istringstream lines(listing);
  bool header = false;
  for (std::string line; std::getline(lines, line);) {
    std::size_t equals = line.find(" = ");
    if (line.rfind("INFO: ", 0) != 0 || equals == std::string::npos) continue;
    if (!header) {
      header = true;
      continue;
    }
    std::string name = line.substr(equals + 3);
    names.push_back(name.substr(0, name.find_last_not_of(' ') + 1));
  }
  return names;
}

class CameraNodes : public ::testing::TestWithParam<systest::GuestCamera> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    ASSERT_EQ(systest::require_file(systest::program_for(GetParam().arch), "static camera_control"),
              "");
  }
};

TEST_P(CameraNodes, ListModePrintsTheReviewedListingAndWhatAnIndependentWalkFinds) {
  const systest::GuestCamera& camera = GetParam();
  systest::GuestCase guest(camera.arch);
  guest.add_file(systest::program_for(camera.arch), "camera_control");
  guest.add_file(systest::guest_helper(camera.arch, "ctlprobe"), "ctlprobe");
  camera.add_to(guest);
  std::string script = camera.start();
  for (std::size_t i = 0; i < camera.listings.size(); ++i) {
    const std::string n = std::to_string(i);
    script += program_run("list" + n, "-v " + camera.listings[i].node + " -l");
    for (const std::string& node : camera.listings[i].walked)
      script += "./ctlprobe -w " + node + " >>/out/walk" + n + ".txt\n";
  }
  guest.set_script(script + camera.finish());
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << "the " << camera.arch << " VM did not run the case:\n"
                                << result.runner_messages;
  for (std::size_t i = 0; i < camera.listings.size(); ++i) {
    const systest::Listing& listing = camera.listings[i];
    SCOPED_TRACE(listing.node);
    const std::string n = std::to_string(i);
    EXPECT_EQ(result.file("list" + n + ".stdout"), systest::golden_listing(listing.golden));
    EXPECT_EQ(result.file("list" + n + ".stderr"), "");
    EXPECT_EQ(result.file("list" + n + ".status"), "0\n");
    // Along a pipeline, the walks of its subdevices in its order hold the listed controls.
    const std::vector<std::string> walked = changeable_names(result.file("walk" + n + ".txt"));
    EXPECT_FALSE(walked.empty()) << result.file("walk" + n + ".txt");
    EXPECT_EQ(listed_names(result.file("list" + n + ".stdout")), walked)
        << result.file("walk" + n + ".txt");
  }
  EXPECT_EQ(camera.log_problems(result), "") << result.file("webcam.log");
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, CameraNodes,
    ::testing::Values(systest::vivid_camera("x86_64"), systest::vivid_camera("armhf"),
                      systest::emulated_webcam("x86_64"), systest::emulated_webcam("armhf"),
                      systest::vimc_pipeline("x86_64"), systest::vimc_pipeline("armhf")),
    [](const auto& test) { return systest::row_name(test.param); });

// -L and -S on vimc's capture node reach the sensor (and under 6.1 its lens) on their own nodes,
// as the independent reader sees; a value the sensor refuses gives status 2, a file that cannot
// be read status 1. Before, -L reported success while the sensor kept its values.
class Pipeline : public ::testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    ASSERT_EQ(systest::require_file(systest::program_for(GetParam().arch), "static camera_control"),
              "");
  }
};

TEST_P(Pipeline, LoadAndSaveThroughTheCaptureNodeReachTheSensor) {
  const std::string arch = GetParam().arch;
  const systest::GuestCamera camera = systest::vimc_pipeline(arch);
  const bool lens = arch == "x86_64";
  systest::GuestCase guest(arch);
  guest.add_file(systest::program_for(arch), "camera_control");
  guest.add_file(systest::guest_helper(arch, "ctlprobe"), "ctlprobe");
  camera.add_to(guest);
  guest.add_text("load.txt", std::string("contrast=40\r\ntest_pattern=5\r\n") +
                                 (lens ? "focus_absolute=300\r\n" : "") +
                                 "debayer_mean_window_size=7\r\n");
  guest.add_text("refused.txt", "hue=3\r\ntest_pattern=99\r\n");
  const std::string sensor = "./ctlprobe /dev/v4l-subdev0 0x00980901 0x00f0f000 0x00980903";
  guest.set_script(camera.start() + program_run("load", "-c /case/load.txt -L") + sensor +
                   " >/out/after-load.txt\n" +
                   "./ctlprobe /dev/v4l-subdev6 0x009a090a >/out/lens.txt 2>&1\n" +
                   "./ctlprobe /dev/v4l-subdev2 0x00f0f001 >/out/debayer.txt\n" +
                   program_run("save", "-c /tmp/saved.txt -S") + "cp /tmp/saved.txt /out/\n" +
                   program_run("refused", "-c /case/refused.txt -L") + sensor +
                   " >/out/after-refused.txt\n" + program_run("missing", "-c /case/none.txt -L"));
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << "the " << arch << " VM did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");
  const std::string opening = systest::golden_listing(camera.golden);
  const std::string start = opening.substr(0, opening.find("INFO:          Control"));
  // The first pairs name controls of the sensor and the lens; the debayer is not on this path.
  EXPECT_EQ(result.file("load.stdout"),
            start +
                "INFO: No control named debayer_mean_window_size\nINFO: Config file "
                "/case/load.txt loaded\n");
  EXPECT_EQ(result.file("load.status"), "0\n");
  auto values = systest::probe_values(result.file("after-load.txt"));
  EXPECT_EQ(values["0x00980901"], "40");
  EXPECT_EQ(values["0x00f0f000"], "5");
  if (lens) {
    EXPECT_EQ(systest::probe_values(result.file("lens.txt"))["0x009a090a"], "300");
  }
  EXPECT_EQ(systest::probe_values(result.file("debayer.txt"))["0x00f0f001"], "3");
  EXPECT_EQ(result.file("save.status"), "0\n");
  EXPECT_EQ(result.file("saved.txt"), std::string("contrast=40\r\ntest_pattern=5\r\n") +
                                          (lens ? "focus_absolute=300\r\n" : ""));
  EXPECT_EQ(result.file("refused.stdout"),
            start +
                "ERROR: Cannot set test_pattern: Numerical result out of range\nINFO: Config "
                "file /case/refused.txt loaded\n");
  EXPECT_EQ(result.file("refused.status"), "2\n");
  EXPECT_EQ(systest::probe_values(result.file("after-refused.txt"))["0x00980903"], "3");
  EXPECT_EQ(result.file("missing.status"), "1\n");
}

INSTANTIATE_TEST_SUITE_P(Kernels, Pipeline, ::testing::Values(Kernel{"x86_64"}, Kernel{"armhf"}),
                         [](const auto& test) { return std::string(test.param.arch); });

}  // namespace
