// The picture view against the kernel's vivid, and vimc's raw Bayer capture, under both kernels,
// on `linux` and on a 256-colour terminal: its meter follows Brightness, another program's
// stream is said while the controls stay usable, and the camera is free and unchanged once the
// view closes.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "guest_camera.h"
#include "guest_run.h"
#include "screen_session.h"
#include "system_config.h"

namespace {

using systest::KeyScript;
using systest::Session;

constexpr const char* kBrightnessId = "0x00980900";
constexpr int kControlRow = 21;
constexpr int kMeterRow = 22;
constexpr int kNoticeRow = 10;

struct Console {
  std::string arch;
  std::string term;
  std::string camera = "vivid";
  // The test pattern's text changes with every frame; without it the picture holds still and
  // keypty sees the screen settle. vivid's OSD Text Mode, vimc's Show Information: 2 is none.
  std::string no_text = "0x00f0f001=2";
  // streamer -s settings that set the camera's formats up before the program runs, and the
  // format it streams then.
  std::string pipeline{};
  std::string fourcc = "YUYV";
};

// vimc's Raw Capture 0 in a Bayer order and depth, as a board's own camera application would
// set it up: the program never changes a format, and vimc streams only once every link its
// sensor's enabled links reach agrees at STREAMON. The sensor feeds the debayer as well, whose
// input takes RGGB 8-bit unless told otherwise; under 5.10 the scaler behind it triples the
// size, which the RGB/YUV capture node must then take too.
Console vimc_raw(const std::string& arch, const std::string& term, const std::string& fourcc,
                 const std::string& code) {
  std::string pipeline =
      "-s /dev/v4l-subdev0=" + code + " -s /dev/v4l-subdev2=" + code + " -s /dev/video0=" + fourcc;
  if (arch == "armhf") pipeline += " -s /dev/video2=RGB3@1920x1440";
  return Console{arch, term, "vimc", "0x00f0f002=2", pipeline, fourcc};
}

// The Mean the meter line shows, or -1 when it shows none.
int mean_of(const systest::RecordedScreen& screen) {
  const std::string line = screen.text(kMeterRow, 0, 80);
  if (line.rfind(" Mean ", 0) != 0) return -1;
  return std::stoi(line.substr(6));
}

class PictureView : public ::testing::TestWithParam<Console> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    ASSERT_EQ(systest::require_file(systest::program_for(GetParam().arch), "static camera_control"),
              "");
    ASSERT_TRUE(std::filesystem::exists(terminfo_of(GetParam().term)))
        << "no " << GetParam().term << " terminfo entry on this machine";
  }
  static std::string terminfo_of(const std::string& term) {
    return "/lib/terminfo/" + term.substr(0, 1) + "/" + term;
  }
};

TEST_P(PictureView, MeterFollowsBrightnessAnotherStreamIsSaidAndTheCameraIsLeftFree) {
  const Console& console = GetParam();
  const systest::GuestCamera camera = console.camera == "vimc"
                                          ? systest::vimc_pipeline(console.arch)
                                          : systest::vivid_camera(console.arch);
  const std::string& controls = camera.control_node;
  // The view, Brightness to its maximum and its minimum, back to the list; then another program
  // streams at once.
  KeyScript view;
  view.screen()
      .mark("start")
      .key("P")
      .mark("view")
      .key("M")
      .mark("bright")
      .key("N")
      .mark("dark")
      .key("D")
      .key("Esc")
      .mark("closed")
      .probe("probe-closed.txt", kBrightnessId, controls)
      .camera_changes("./streamer /dev/video0 >/out/after.txt 2>&1", false)
      .key("Q");
  // Another program streams all along: the view says so, and Right still changes Brightness.
  KeyScript busy;
  busy.screen()
      .key("P")
      .mark("busy")
      .key("Right")
      .mark("adjusted")
      .probe("probe-adjusted.txt", kBrightnessId, controls)
      .key("Esc")
      .mark("closed")
      .key("Q");

  systest::GuestCase guest(console.arch);
  systest::add_session_tools(guest, camera);
  guest.add_file(systest::guest_helper(console.arch, "streamer"), "streamer");
  guest.add_file(terminfo_of(console.term),
                 "terminfo/" + console.term.substr(0, 1) + "/" + console.term);
  guest.add_text("view.keys", view.text());
  guest.add_text("busy.keys", busy.text());
  guest.set_script(camera.start() + "export TERM=" + console.term +
                   " TERMINFO=/case/terminfo\n"
                   "./ctlprobe -s " +
                   controls + " " + console.no_text +
                   " >/dev/null\n"
                   "./streamer " +
                   console.pipeline +
                   " /dev/video0 >/out/before.txt 2>&1\n"
                   "./keypty -s view.keys -o /out/view.raw -m /out/view.marks -- "
                   "./camera_control -c /tmp/camera.txt\n"
                   "./ctlprobe -s " +
                   controls +
                   " 0x00980900=128 >/dev/null\n"
                   "./streamer -h /tmp/holding /dev/video0 >/out/holder.txt 2>&1 &\n"
                   "holder=$!\n"
                   "i=0; while [ ! -e /tmp/holding ] && [ $i -lt 500 ]; do sleep 0.02; "
                   "i=$((i + 1)); done\n"
                   "./keypty -s busy.keys -o /out/busy.raw -m /out/busy.marks -- "
                   "./camera_control -c /tmp/camera.txt\n"
                   "kill $holder; wait $holder\n" +
                   camera.finish());
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << "the " << console.arch << " VM did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");

  {
    Session session(result.file("view.raw"), result.file("view.marks"));
    EXPECT_EQ(session.exit_status(), "0");
    auto view_screen = session.at("view");
    auto bright = session.at("bright");
    auto dark = session.at("dark");
    auto closed = session.at("closed");
    ASSERT_TRUE(view_screen && bright && dark && closed);
    EXPECT_EQ(view_screen->text(kControlRow, 0, 17), " Brightness: 128 ") << view_screen->dump();
    EXPECT_EQ(bright->text(kControlRow, 0, 17), " Brightness: 255 ") << bright->dump();
    EXPECT_EQ(dark->text(kControlRow, 0, 15), " Brightness: 0 ") << dark->dump();
    const int mean = mean_of(*view_screen);
    EXPECT_GT(mean, 0) << view_screen->dump();
    EXPECT_GT(mean_of(*bright), mean) << bright->dump();
    EXPECT_LT(mean_of(*dark), mean) << dark->dump();
    if (console.term == "linux") {
      // The density ramp: the colour bars are light on the left, dark on the right.
      EXPECT_NE(view_screen->text(5, 0, 78), std::string(78, ' ')) << view_screen->dump();
    }
    // Back on the list, Brightness selected and at its default again.
    auto row = systest::list_row(*closed, "Brightness");
    ASSERT_TRUE(row) << closed->dump();
    EXPECT_EQ(row->shown, "128");
    EXPECT_TRUE(closed->reverse(row->row, 2)) << closed->dump();
    EXPECT_EQ(systest::probe_values(result.file("probe-closed.txt"))[kBrightnessId], "128");
  }
  // Another program streamed straight after the view closed, in the format from before.
  const std::string before = result.file("before.txt");
  EXPECT_EQ(before.rfind("format " + console.fourcc + " ", 0), 0u) << before;
  EXPECT_EQ(result.file("after.txt"), before);
  EXPECT_NE(before.find("\nframe "), std::string::npos) << before;

  {
    Session session(result.file("busy.raw"), result.file("busy.marks"));
    EXPECT_EQ(session.exit_status(), "0");
    auto busy_screen = session.at("busy");
    auto adjusted = session.at("adjusted");
    auto closed = session.at("closed");
    ASSERT_TRUE(busy_screen && adjusted && closed);
    EXPECT_EQ(busy_screen->text(kNoticeRow, 0, 43), " The camera is streaming to another program")
        << busy_screen->dump();
    EXPECT_EQ(adjusted->text(kControlRow, 0, 17), " Brightness: 129 ") << adjusted->dump();
    EXPECT_EQ(systest::probe_values(result.file("probe-adjusted.txt"))[kBrightnessId], "129");
    EXPECT_EQ(closed->text(kNoticeRow, 0, 80).find("streaming"), std::string::npos)
        << closed->dump();
    EXPECT_EQ(systest::list_row(*closed, "Brightness").value_or(systest::ListRow{}).shown, "129");
    // The other program's stream ran on untouched.
    EXPECT_EQ(result.file("holder.txt").find("error"), std::string::npos)
        << result.file("holder.txt");
  }
}

INSTANTIATE_TEST_SUITE_P(Consoles, PictureView,
                         ::testing::Values(Console{"armhf", "linux"},
                                           Console{"armhf", "xterm-256color"},
                                           Console{"x86_64", "linux"},
                                           Console{"x86_64", "xterm-256color"},
                                           vimc_raw("armhf", "linux", "RGGB", "3014"),
                                           vimc_raw("armhf", "xterm-256color", "RG10", "300f"),
                                           vimc_raw("x86_64", "linux", "RG10", "300f"),
                                           vimc_raw("x86_64", "xterm-256color", "RGGB", "3014")),
                         [](const auto& test) {
                           std::string name = test.param.arch + "_" + test.param.term;
                           if (test.param.camera != "vivid") name += "_" + test.param.camera;
                           if (!test.param.pipeline.empty()) name += "_" + test.param.fourcc;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
