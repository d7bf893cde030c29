// The real binary's command line, start-up lines, exit statuses, list mode, and loading and
// saving the settings file without the screen.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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
                                       fixture_path("uvc-webcam-5.10-armhf.txt"),
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

// ---- Loading and saving without the screen ----

// Brightness 0..100 (50), Contrast refused by the camera, and Gain behind its auto control.
constexpr const char* kRestoreCamera =
    "device driver=\"r\" card=\"Restore\" bus_info=\"platform:r\" version=0x1 "
    "capabilities=0x84200001 device_caps=0x04200001\n"
    "control id=0x00980900 type=1 name=\"Brightness\" minimum=0 maximum=100 step=1 default=50 "
    "flags=0x0 value=50\n"
    "control id=0x00980901 type=1 name=\"Contrast\" minimum=0 maximum=100 step=1 default=50 "
    "flags=0x0 value=50\n"
    "fail id=0x00980901 error=EBUSY\n"
    "control id=0x00980912 type=2 name=\"Gain, Automatic\" minimum=0 maximum=1 step=1 default=1 "
    "flags=0x8 value=1\n"
    "control id=0x00980913 type=1 name=\"Gain\" minimum=0 maximum=255 step=1 default=100 "
    "flags=0x90 value=12\n"
    "cluster master=0x00980912 manual=0 members=0x00980913 volatile=1\n";

class Restore : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = e2e::make_temp_dir();
    scenario_ = scenario_file(dir_, kRestoreCamera);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string file() const { return dir_ + "/camera.txt"; }
  void write_file(const std::string& text) const {
    std::ofstream(file(), std::ios::binary) << text;
  }
  ProgramResult run(std::vector<std::string> args, const std::string& scenario = "") {
    return run_program({std::move(args), scenario.empty() ? scenario_ : scenario, {}, log()});
  }
  std::string log() const { return dir_ + "/log"; }
  // The camera's writes, "id=value" in order.
  std::string writes() const {
    std::string text;
    std::istringstream lines(e2e::read_file(log()));
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("write ")) text += line + "\n";
    }
    return text;
  }
  static std::string opening() {
    return "INFO: Opening /dev/video0 device\nINFO: Device is Restore on bus platform:r\n";
  }

  std::string dir_;
  std::string scenario_;
};

TEST_F(Restore, LoadReportsEveryPairItDidNotApplyAndItsStatus) {
  struct Case {
    const char* name;
    const char* file;
    const char* lines;  // after the start-up lines, before the last line
    int status;
    const char* writes;
  };
  const Case cases[] = {
      {"all applied, the manual value before its auto control",
       "gain=200\r\nbrightness=60\r\ngain_automatic=0\r\n", "", 0,
       "write id=0x00980900 value=60 result=0 returned=60\n"
       "write id=0x00980912 value=0 result=0 returned=0\n"
       "write id=0x00980913 value=200 result=0 returned=200\n"},
      {"keys of another camera are no failure", "brightness=60\r\nzoom_absolute=3\r\n",
       "INFO: No control named zoom_absolute\n", 0,
       "write id=0x00980900 value=60 result=0 returned=60\n"},
      {"every kind, in file order", "gain=200\r\nzoom=1\r\ncontrast=5\r\nbrightness=60\r\n",
       "ERROR: Not applied: gain (inactive)\n"
       "INFO: No control named zoom\n"
       "ERROR: Cannot set contrast: Device or resource busy\n",
       2,
       "write id=0x00980901 value=5 result=EBUSY\n"
       "write id=0x00980900 value=60 result=0 returned=60\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(c.file);
    std::filesystem::remove(log());
    const ProgramResult r = run({"-L", "-c", file()});
    EXPECT_EQ(r.out, opening() + c.lines + "INFO: Config file " + file() + " loaded\n");
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(writes(), c.writes);
  }
}

TEST_F(Restore, LoadOfAFileOrDeviceThatCannotBeUsedFails) {
  const std::string missing = dir_ + "/missing.txt";
  ProgramResult r = run({"-L", "-c", missing});
  EXPECT_EQ(r.out, opening() + "ERROR: Cannot load " + missing + "\n");
  EXPECT_EQ(r.exit_status, 1);
  r = run({"-L", "-c", dir_});  // a directory is no settings file
  EXPECT_EQ(r.out, opening() + "ERROR: Cannot load " + dir_ + "\n");
  EXPECT_EQ(r.exit_status, 1);
  r = run({"-L", "-c", "/dev/zero"});  // endless: refused once past what a settings file holds
  EXPECT_EQ(r.out, opening() + "ERROR: Cannot load /dev/zero\n");
  EXPECT_EQ(r.exit_status, 1);
  write_file("brightness=60\r\n");
  r = run({"-L", "-c", file(), "-v", "/nonexistent/video0"});
  EXPECT_EQ(r.out,
            "INFO: Opening /nonexistent/video0 device\n"
            "ERROR: Device open failed: No such file or directory (2)\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(writes(), "");
}

TEST_F(Restore, SaveThenLoadIntoACameraAtItsDefaults) {
  // A camera away from its defaults: auto gain off, Gain and Brightness set by hand.
  std::string away = kRestoreCamera;
  away.replace(away.find("flags=0x8 value=1"), 17, "flags=0x8 value=0");
  away.replace(away.find("default=50 flags=0x0 value=50"), 29, "default=50 flags=0x0 value=70");
  away.replace(away.find("flags=0x90 value=12"), 19, "flags=0x0 value=180");
  const std::string away_file = dir_ + "/away.txt";
  std::ofstream(away_file) << away;
  ProgramResult r = run({"-S", "-c", file(), "-i", "contrast"}, away_file);
  EXPECT_EQ(r.out, "INFO: Ignored control: contrast\n" + opening() + "INFO: Config file " + file() +
                       " saved\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(e2e::read_file(file()), "brightness=70\r\ngain_automatic=0\r\ngain=180\r\n");
  EXPECT_EQ(writes(), "");

  std::filesystem::remove(log());
  r = run({"-L", "-c", file()});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(writes(),
            "write id=0x00980900 value=70 result=0 returned=70\n"
            "write id=0x00980912 value=0 result=0 returned=0\n"
            "write id=0x00980913 value=180 result=0 returned=180\n");

  const std::string unwritable = dir_ + "/no/such/dir/camera.txt";
  r = run({"-S", "-c", unwritable});
  EXPECT_EQ(r.out, opening() + "ERROR: Cannot save " + unwritable +
                       "\nERROR: No such file or directory\n");
  EXPECT_EQ(r.exit_status, 1);
}

// One file serves two cameras: a save from one keeps the other's lines, and a node without a
// single control (a webcam's metadata node) refuses to save and leaves the file as it was.
TEST_F(Restore, ASharedFileKeepsTheOtherCamerasLinesThroughASave) {
  const std::string webcam = fixture_path("uvc-webcam-5.10-armhf.txt");
  const std::string webcam_lines = "focus_auto=0\r\nfocus_absolute=40\r\n";
  write_file("brightness=10\r\n" + webcam_lines);
  ProgramResult r = run({"-S", "-c", file()});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(e2e::read_file(file()), webcam_lines);  // Restore's brightness is at its default

  std::filesystem::remove(log());
  r = run({"-L", "-c", file()}, webcam);
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(writes(),
            "write id=0x009a090c value=0 result=0 returned=0\n"
            "write id=0x009a090a value=40 result=0 returned=40\n");

  const std::string metadata_node = dir_ + "/metadata.txt";
  std::ofstream(metadata_node) << "device driver=\"uvcvideo\" card=\"Webcam\" bus_info=\"usb-1\" "
                                  "version=0x1 capabilities=0x84a00001 device_caps=0x04a00000\n";
  r = run({"-S", "-c", file()}, metadata_node);
  EXPECT_EQ(r.out,
            "INFO: Opening /dev/video0 device\nINFO: Device is Webcam on bus usb-1\n"
            "ERROR: Cannot save " +
                file() + "\nERROR: The device has no controls\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(e2e::read_file(file()), webcam_lines);
}

// A file saved under one kernel loads into the webcam as the other kernel names its controls,
// the manual values named before their auto controls.
TEST_F(Restore, RenamedWebcamControlsLoadUnderTheOtherKernelsNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"uvc-webcam-5.10-armhf.txt",
       "exposure_time_absolute=300\r\nauto_exposure=1\r\nwhite_balance_temperature=5000\r\n"
       "white_balance_automatic=0\r\nfocus_absolute=100\r\nfocus_automatic_continuous=0\r\n"},
      {"uvc-webcam-6.1.txt",
       "exposure_absolute=300\r\nexposure_auto=1\r\nwhite_balance_temperature=5000\r\n"
       "white_balance_temperature_auto=0\r\nfocus_absolute=100\r\nfocus_auto=0\r\n"},
  };
  for (const auto& [fixture, text] : cases) {
    SCOPED_TRACE(fixture);
    write_file(text);
    std::filesystem::remove(log());
    const ProgramResult r = run({"-L", "-c", file()}, fixture_path(fixture));
    EXPECT_EQ(r.exit_status, 0) << r.out;
    // Each manual value goes right after the write that makes its control active.
    EXPECT_EQ(writes(),
              "write id=0x009a0901 value=1 result=0 returned=1\n"
              "write id=0x009a0902 value=300 result=0 returned=300\n"
              "write id=0x0098090c value=0 result=0 returned=0\n"
              "write id=0x0098091a value=5000 result=0 returned=5000\n"
              "write id=0x009a090c value=0 result=0 returned=0\n"
              "write id=0x009a090a value=100 result=0 returned=100\n");
  }
}

TEST(CommandLine, ListLoadAndSaveExcludeEachOther) {
  const std::pair<std::vector<std::string>, char> cases[] = {{{"-l", "-L"}, 'L'},
                                                             {{"-L", "-S"}, 'S'},
                                                             {{"-S", "-l"}, 'l'},
                                                             {{"-S", "-c", "f", "-L"}, 'L'}};
  for (const auto& [args, named] : cases) {
    const ProgramResult r = run_program({args, "", {}, ""});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, std::string("ERROR: Invalid option '-") + named + "'\n");
    EXPECT_EQ(r.err, usage());
  }
}

class ListMode : public ::testing::TestWithParam<const char*> {};

// The listing of each recorded driver, line for line, against a reviewed copy; a media graph's
// fixture is listed from one of its nodes ("FILE:DEVNAME").
TEST_P(ListMode, PrintsExactlyTheReviewedListing) {
  std::string name = GetParam();
  std::vector<std::string> args = {"-l", "-i", "brightness"};
  std::string node;
  if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
    node = name.substr(colon + 1);
    name.resize(colon);
    args.insert(args.end(), {"-v", "/dev/" + node});
  }
  const std::string log = e2e::make_temp_dir() + "/log";
  const ProgramResult r = run_program({args, fixture_path(name), {}, log});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::string golden = std::string(GOLDEN_DIR) + "/" + name.substr(0, name.size() - 4) +
                             (node.empty() ? "" : "-" + node) + ".list";
  EXPECT_EQ("INFO: Ignored control: brightness\n" + e2e::read_file(golden), r.out);
  // Listing asks no menu items and changes nothing on any node; each node the listing names is
  // walked, and a media graph is read once.
  const std::string requests = e2e::read_file(log);
  std::size_t walked = 0;
  for (std::size_t at = requests.find(" querycap="); at != std::string::npos;
       at = requests.find(" querycap=", at + 1)) {
    EXPECT_EQ(
        requests.compare(requests.find(" querymenu=", at), 29, " querymenu=0 s_ctrl=0 g_fmt=0"), 0)
        << requests;
    ++walked;
  }
  std::size_t subdevices = 0;
  for (std::size_t at = r.out.find("INFO: Subdevice "); at != std::string::npos;
       at = r.out.find("INFO: Subdevice ", at + 1)) {
    ++subdevices;
  }
  EXPECT_EQ(walked, 1 + subdevices) << requests;
  EXPECT_EQ(requests.find("topology=") == std::string::npos ? 0 : 1,
            requests.find("topology=1 ") == std::string::npos ? 0 : 1)
      << requests;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ListMode,
                         ::testing::Values("vivid-6.1-capture.txt", "vivid-5.10-armhf-capture.txt",
                                           "uvc-webcam-6.1.txt", "uvc-webcam-5.10-armhf.txt",
                                           "board-camera-5.10.txt", "vimc-6.1.txt:video0",
                                           "vimc-6.1.txt:video2", "vimc-6.1.txt:v4l-subdev0",
                                           "vimc-5.10-armhf.txt:video0",
                                           "vimc-5.10-armhf.txt:video2",
                                           "vimc-5.10-armhf.txt:v4l-subdev0"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                           std::string n = param_info.param;
                           for (char& c : n) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

}  // namespace
