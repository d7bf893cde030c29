// camera_control against the kernel's own vivid driver on 6.1 x86_64 and the board's 5.10 armhf:
// the listing of a capture node, and the refusal of nodes that cannot capture single-planar video.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "guest_run.h"
#include "system_config.h"

namespace {

struct Kernel {
  const char* arch;
  const char* golden;  // the listing the recorded walk of this kernel's vivid implies
};

std::ostream& operator<<(std::ostream& out, const Kernel& kernel) {
  return out << kernel.arch;
}

std::string read_golden(const std::string& name) {
  std::ifstream in(std::string(GOLDEN_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs one camera_control command line in the guest; its stdout, stderr and status land in /out
// under the given tag.
std::string run_program(const std::string& tag, const std::string& args) {
  return "./camera_control " + args + " >/out/" + tag + ".stdout 2>/out/" + tag +
         ".stderr\necho $? >/out/" + tag + ".status\n";
}

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

TEST_P(VividNodes, ListModePrintsWhatTheDriversWalkImplies) {
  systest::GuestResult result =
      boot("insmod /modules/vivid.ko n_devs=1 node_types=0x1\n" + run_program("list", "-l"));
  ASSERT_TRUE(result.delivered);
  EXPECT_EQ(result.file("list.stdout"), read_golden(GetParam().golden));
  EXPECT_EQ(result.file("list.stderr"), "");
  EXPECT_EQ(result.file("list.status"), "0\n");
}

TEST_P(VividNodes, RefusesOutputOnlyAndMultiplanarOnlyNodes) {
  systest::GuestResult result =
      boot("insmod /modules/vivid.ko n_devs=1 node_types=0x100\n" + run_program("output", "-l") +
           "rmmod vivid\n"
           "insmod /modules/vivid.ko n_devs=1 node_types=0x1 multiplanar=2\n" +
           run_program("mplane", "-l") + "rmmod vivid\n");
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

INSTANTIATE_TEST_SUITE_P(Kernels, VividNodes,
                         ::testing::Values(Kernel{"x86_64", "vivid-6.1-capture.list"},
                                           Kernel{"armhf", "vivid-5.10-armhf-capture.list"}),
                         [](const auto& test) { return std::string(test.param.arch); });

}  // namespace
