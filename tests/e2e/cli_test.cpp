// The real binary's command line, start-up lines, exit statuses and list mode.
#include <gtest/gtest.h>

#include <string>

#include "e2e/run_program.h"

namespace {

using e2e::fixture_path;
using e2e::ProgramResult;
using e2e::run_program;

const std::string kUsage =
    "Available options are\n"
    " -c file               Path to config file\n"
    " -h                    Print this help screen and exit\n"
    " -i control_variable   Ignore control with defined name\n"
    " -l                    List available controls\n"
    " -L                    Load config file into the device and exit\n"
    " -S                    Save device settings to config file and exit\n"
    " -v device             V4L2 Video Capture device\n";

std::string usage() {
  return std::string("Usage: ") + CAMERA_CONTROL_BINARY + " [options]\n" + kUsage;
}

std::string scenario_file(const std::string& dir, const std::string& text) {
  const std::string path = dir + "/scenario.txt";
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
  return path;
}

TEST(CommandLine, HelpPrintsUsageAndStopsParsing) {
  const ProgramResult r = run_program({{"-i", "a", "-h", "-x", "-l"}, "", {}, ""});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "INFO: Ignored control: a\n");
  EXPECT_EQ(r.err, usage());
}

TEST(CommandLine, UnknownOptionIsNamedOnOutputAfterGetoptsOwnComplaint) {
  const ProgramResult r = run_program({{"-x"}, "", {}, ""});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "ERROR: Invalid option '-x'\n");
  EXPECT_EQ(r.err, std::string(CAMERA_CONTROL_BINARY) + ": invalid option -- 'x'\n" + usage());
}

TEST(CommandLine, MissingArgumentNamesTheOptionThatLacksIt) {
  for (const char* option : {"-c", "-v", "-i"}) {
    const ProgramResult r = run_program({{"-l", option}, "", {}, ""});
    EXPECT_EQ(r.exit_status, 1) << option;
    EXPECT_EQ(r.out, std::string("ERROR: Invalid option '") + option + "'\n");
    EXPECT_EQ(r.err, std::string(CAMERA_CONTROL_BINARY) + ": option requires an argument -- '" +
                         (option + 1) + "'\n" + usage());
  }
}

TEST(CommandLine, FiftyIgnoreOptionsKeepFortyNine) {
  std::vector<std::string> args;
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    args.push_back("-i");
    args.push_back("name" + std::to_string(i));
    if (i < 49) expected += "INFO: Ignored control: name" + std::to_string(i) + "\n";
  }
  args.push_back("-v");
  args.push_back("/nonexistent/video");
  const ProgramResult r = run_program({args, "", {}, ""});
  EXPECT_EQ(r.out, expected +
                       "INFO: Opening /nonexistent/video device\n"
                       "ERROR: Device open failed: No such file or directory (2)\n");
  EXPECT_EQ(r.exit_status, 1);
}

TEST(CommandLine, OptionsAfterPlainWordsCountAndTheLastDeviceWins) {
  const ProgramResult r = run_program({{"word", "-v", "/first", "-l", "-v", "/dev/video0"},
                                       fixture_path("uvc-webcam-5.10.txt"),
                                       {},
                                       ""});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "INFO: Opening /dev/video0 device\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, DoubleHyphenEndsTheOptions) {
  const ProgramResult r = run_program({{"-v", "/nonexistent", "--", "-l", "-x"}, "", {}, ""});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out,
            "INFO: Opening /nonexistent device\n"
            "ERROR: Device open failed: No such file or directory (2)\n");
}

struct BadNode {
  const char* name;
  const char* path;
  const char* scenario;  // fixture name or scenario text
  const char* expected;
};

class BadNodes : public ::testing::TestWithParam<BadNode> {};

TEST_P(BadNodes, GiveTheirErrorLineAndStatusOne) {
  const BadNode& node = GetParam();
  const std::string dir = e2e::make_temp_dir();
  std::string scenario;
  std::string own_file;  // a scenario written for this test, removed afterwards
  if (node.scenario != nullptr) {
    const std::string s = node.scenario;
    if (s.find(' ') == std::string::npos) {
      scenario = fixture_path(s);
    } else {
      scenario = own_file = scenario_file(dir, s);
    }
  }
  const ProgramResult r = run_program({{"-v", node.path}, scenario, {}, ""});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, std::string("INFO: Opening ") + node.path + " device\n" + node.expected);
  EXPECT_EQ(r.err, "");
  if (!own_file.empty()) std::remove(own_file.c_str());
  rmdir(dir.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, BadNodes,
    ::testing::Values(
        BadNode{"missing", "/nonexistent/video0", nullptr,
                "ERROR: Device open failed: No such file or directory (2)\n"},
        BadNode{"directory", "/", nullptr, "ERROR: Device open failed: Is a directory (21)\n"},
        BadNode{"not_v4l2", "/dev/null", nullptr,
                "ERROR: VIDIOC_QUERYCAP failed: Inappropriate ioctl for device (25)\n"},
        BadNode{"no_permission", "/dev/video0", "open error=EACCES\n",
                "ERROR: Device open failed: Permission denied (13)\n"},
        BadNode{"output_only", "/dev/video0", "vivid-6.1-output.txt",
                "ERROR: /dev/video0 is no video capture device\n"},
        BadNode{"radio", "/dev/video0", "vivid-6.1-radio.txt",
                "ERROR: /dev/video0 is no video capture device\n"},
        BadNode{"mplane_only", "/dev/video0", "vivid-6.1-mplane.txt",
                "ERROR: /dev/video0 is no video capture device\n"}),
    [](const ::testing::TestParamInfo<BadNode>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(StartUp, NodeWithoutCaptureOfItsOwnOnACaptureDeviceIsAccepted) {
  const std::string dir = e2e::make_temp_dir();
  const std::string scenario = scenario_file(
      dir,
      "device driver=\"m\" card=\"Multi\" bus_info=\"platform:m\" version=0x1 "
      "capabilities=0x84200001 device_caps=0x04200002\n"
      "control id=0x00980900 type=1 name=\"Brightness\" minimum=0 maximum=9 step=1 default=5 "
      "flags=0x0 value=5\n");
  const ProgramResult r = run_program({{"-l"}, scenario, {}, ""});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out,
            "INFO: Opening /dev/video0 device\n"
            "INFO: Device is Multi on bus platform:m\n"
            "INFO:          Control variable name = Control name                  \n"
            "INFO:                     brightness = Brightness                    \n");
  std::remove(scenario.c_str());
  rmdir(dir.c_str());
}

class ListMode : public ::testing::TestWithParam<const char*> {};

// The listing of each recorded driver, line for line, against a reviewed copy.
TEST_P(ListMode, PrintsExactlyTheReviewedListing) {
  const std::string name = GetParam();
  const std::string log = e2e::make_temp_dir() + "/log";
  const ProgramResult r = run_program({{"-l", "-i", "brightness"}, fixture_path(name), {}, log});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::string golden =
      std::string(GOLDEN_DIR) + "/" + name.substr(0, name.size() - 4) + ".list";
  EXPECT_EQ("INFO: Ignored control: brightness\n" + e2e::read_file(golden), r.out);
  // Listing asks no menu items and changes nothing on the device.
  const std::string requests = e2e::read_file(log);
  EXPECT_NE(requests.find("querymenu=0 s_ctrl=0 g_fmt=0"), std::string::npos) << requests;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ListMode,
                         ::testing::Values("vivid-6.1-capture.txt", "vivid-5.10-armhf-capture.txt",
                                           "uvc-webcam-5.10.txt", "board-camera-5.10.txt"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                           std::string n = param_info.param;
                           for (char& c : n) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

}  // namespace
