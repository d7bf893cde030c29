// uvcvideo with the emulated USB webcam under both kernels: keys typed while a slow camera
// answers, -L and -S with either kernel's names and their exit statuses, and the webcam's second
// node (metadata), which has no control and must never replace a settings file.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "guest_camera.h"
#include "guest_run.h"
#include "screen_session.h"
#include "system_config.h"

namespace {

using systest::detail;
using systest::KeyScript;
using systest::list_row;
using systest::ListRow;
using systest::Session;
using systest::status_area;

constexpr int kSlowMs = 100;  // each request the camera answers, answered this late

// One camera_control command line in the guest; its output (standard error included) and its
// status land in /out.
std::string run_program(const std::string& tag, const std::string& args) {
  return systest::program_run(tag, args, false);
}

// The line of request counts in one of the webcam's reports, and a value from it.
std::string counts(const std::string& report) {
  return report.substr(0, report.find('\n'));
}
std::string count(const std::string& report, const std::string& name) {
  std::istringstream fields(counts(report));
  for (std::string field; fields >> field;)
    if (field.rfind(name + "=", 0) == 0) return field.substr(name.size() + 1);
  return "<no " + name + ">";
}
// A control's value in a report ("exposure" -> "252").
std::string reported(const std::string& report, const std::string& control) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(control + "=", 0) == 0) return line.substr(control.size() + 1);
  return "<no " + control + ">";
}

class Webcam : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    ASSERT_EQ(systest::require_file(systest::program_for(GetParam()), "static camera_control"), "");
    ASSERT_NE(systest::terminfo_entry(), "") << "no xterm terminfo entry on this machine";
  }
};

// One session run twice, each on a webcam just plugged in: at full speed with each key waited
// for, and with every answer 100 ms late and the keys typed while the camera answers. Down to
// the auto exposure, Left puts it on manual, the exposure time joins below, Down goes there and
// Right raises it twice.
void check_sessions(const systest::GuestResult& result, const systest::GuestCamera& camera) {
  const systest::AutoCluster& exposure = camera.clusters[1];
  for (const char* run : {"paced", "typed"}) {
    SCOPED_TRACE(run);
    Session session(result.file(std::string(run) + ".raw"),
                    result.file(std::string(run) + ".marks"));
    EXPECT_EQ(session.exit_status(), "0");
    auto before = session.at("on-exposure");
    auto after = session.at("typed");
    ASSERT_TRUE(before && after);
    EXPECT_EQ(detail(*before, 1), systest::panel_name(exposure.auto_name)) << before->dump();
    EXPECT_EQ(list_row(*after, exposure.auto_name).value_or(ListRow{}).shown, "Manual Mode")
        << after->dump();
    EXPECT_EQ(detail(*after, 1), systest::panel_name(exposure.manual_name)) << after->dump();
    auto row = list_row(*after, exposure.manual_name);
    ASSERT_TRUE(row) << after->dump();
    EXPECT_EQ(row->marker, '+');
    EXPECT_EQ(row->shown, "252");
    const std::string report = result.file(std::string("report-") + run + ".txt");
    EXPECT_EQ(reported(report, "ae_mode"), "1");  // the camera's own bit for manual
    EXPECT_EQ(reported(report, "exposure"), "252");
    // Three writes: the mode, and the exposure time twice.
    EXPECT_EQ(count(report, "set_cur"), "3") << report;
  }
  // No key lost and no request made twice: the slow camera saw exactly what the fast one saw,
  // the program's start included.
  EXPECT_EQ(counts(result.file("report-typed.txt")), counts(result.file("report-paced.txt")));
  EXPECT_NE(result.file("webcam-slow.log").find("delay 100 ms"), std::string::npos);
}

// -L of a file under the other kernel's names, on the slow camera from its defaults: each
// manual value before its auto control, and brightness. Then -S writes this kernel's names,
// and keeps another camera's line.
void check_load_and_save(const systest::GuestResult& result, const systest::GuestCamera& camera,
                         const std::string& opening) {
  EXPECT_EQ(result.file("load.stdout"), opening + "INFO: Config file /case/other.txt loaded\n");
  EXPECT_EQ(result.file("load.status"), "0\n");
  // One write for each pair, all of which changed a value.
  const std::string report = result.file("report-load.txt");
  EXPECT_EQ(count(report, "set_cur"), std::to_string(2 * camera.clusters.size() + 1)) << report;
  EXPECT_EQ(count(report, "ignored"), "0") << report;
  auto device = systest::probe_values(result.file("probe-load.txt"));
  std::vector<std::pair<std::string, std::string>> saved = {{"0x00980900", "brightness=77"}};
  EXPECT_EQ(device["0x00980900"], "77");
  for (const auto& cluster : camera.clusters) {
    EXPECT_EQ(device[cluster.auto_id], std::to_string(cluster.manual_mode)) << cluster.auto_name;
    EXPECT_EQ(device[cluster.manual_id], std::to_string(cluster.loaded_value))
        << cluster.manual_name;
    saved.emplace_back(cluster.auto_id,
                       cluster.auto_key + "=" + std::to_string(cluster.manual_mode));
    saved.emplace_back(cluster.manual_id,
                       cluster.manual_key + "=" + std::to_string(cluster.loaded_value));
  }
  // In walk order, which is id order.
  std::sort(saved.begin(), saved.end());
  std::string file;
  for (const auto& line : saved) file += line.second + "\r\n";
  EXPECT_EQ(result.file("saved.txt"), file + "zoom_absolute=3\r\n");
  EXPECT_EQ(result.file("save.stdout"), opening + "INFO: Config file /tmp/saved.txt saved\n");
  EXPECT_EQ(result.file("save.status"), "0\n");
}

TEST_P(Webcam, SlowAnswersLoadSaveAndTheMetadataNode) {
  const systest::GuestCamera camera = systest::emulated_webcam(GetParam());
  const systest::AutoCluster& exposure = camera.clusters[1];
  KeyScript paced;
  paced.screen().mark("start").key("Down", exposure.auto_row).mark("on-exposure");
  paced.key("Left").key("Down").key("Right", 2).mark("typed").key("Q");
  // The first keys typed while the slow camera's start asks for every range; then 100 ms for
  // the mode's write (uvcvideo reads the exposure time for its event meanwhile): the three keys
  // after Left arrive while it lasts.
  KeyScript typed;
  std::string downs;
  for (int i = 0; i < exposure.auto_row; ++i) downs += " Down";
  typed.type(50, downs.substr(1)).screen().mark("on-exposure");
  typed.type(25, "Left Down Right Right").mark("typed").key("Q");
  KeyScript meta;
  meta.mark("start").key("S").mark("saved").key("Q");
  std::string other;
  for (const auto& cluster : camera.clusters)
    other += cluster.other_manual_key + "=" + std::to_string(cluster.loaded_value) + "\r\n" +
             cluster.other_auto_key + "=" + std::to_string(cluster.manual_mode) + "\r\n";
  other += "brightness=77\r\n";
  // A refused menu gap, a manual value after its auto control went back on, and a key this
  // camera does not have.
  const std::string refused = exposure.other_auto_key + "=0\r\n" + exposure.auto_key + "=3\r\n" +
                              exposure.other_manual_key + "=300\r\nhue=5\r\n";
  std::string ids = "0x00980900";
  for (const auto& cluster : camera.clusters)
    ids += " " + cluster.auto_id + " " + cluster.manual_id;

  systest::GuestCase guest(camera.arch);
  systest::add_session_tools(guest, camera);
  guest.add_text("paced.keys", paced.text());
  guest.add_text("typed.keys", typed.text());
  guest.add_text("meta.keys", meta.text());
  guest.add_text("other.txt", other);
  guest.add_text("refused.txt", refused);
  const std::string session =
      " -o /out/$run.raw -m /out/$run.marks -- ./camera_control -c /tmp/none\n";
  guest.set_script(
      "export TERM=xterm TERMINFO=/case/terminfo\n" + camera.start() + "cam zero\n" +
      "run=paced; ./keypty -s paced.keys" + session + "cam 'report /out/report-paced.txt'\n" +
      camera.finish() +
      "i=0; while [ -e /dev/video0 ] && [ $i -lt 250 ]; do sleep 0.02; i=$((i + 1)); done\n" +
      // Plugged in again: uvcvideo knows nothing of it yet, and the start asks every range.
      camera.start("webcam-slow.log") + "cam 'delay " + std::to_string(kSlowMs) + "'\ncam zero\n" +
      "run=typed; ./keypty -s typed.keys" + session + "cam 'report /out/report-typed.txt'\n" +
      "./ctlprobe -s /dev/video0 " + exposure.auto_id + "=" + std::to_string(exposure.auto_on) +
      " >/dev/null\ncam zero\n" + run_program("load", "-c /case/other.txt -L") +
      "cam 'report /out/report-load.txt'\ncam 'delay 0'\n" + "./ctlprobe /dev/video0 " + ids +
      " >/out/probe-load.txt\n" + "printf 'zoom_absolute=3\\r\\n' >/tmp/saved.txt\n" +
      run_program("save", "-c /tmp/saved.txt -S") + "cp /tmp/saved.txt /out/saved.txt\n" +
      run_program("refused", "-c /case/refused.txt -L") +
      run_program("missing", "-c /case/missing.txt -L") +
      // The second node: no control at all.
      "printf 'brightness=60\\r\\n' >/tmp/shared.txt\n" +
      run_program("meta-list", "-v /dev/video1 -l") +
      run_program("meta-save", "-v /dev/video1 -c /tmp/shared.txt -S") +
      "cp /tmp/shared.txt /out/shared-option.txt\n" +
      "./keypty -s meta.keys -o /out/meta.raw -m /out/meta.marks -- ./camera_control -v "
      "/dev/video1 "
      "-c /tmp/shared.txt\n"
      "cp /tmp/shared.txt /out/shared-key.txt\n" +
      camera.finish());
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << "the " << camera.arch << " VM did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");
  EXPECT_EQ(camera.log_problems(result), "") << result.file("webcam.log");
  EXPECT_EQ(camera.log_problems(result, "webcam-slow.log"), "") << result.file("webcam-slow.log");

  const std::string golden = systest::golden_listing(camera.golden);
  // "INFO: Opening /dev/video0 device", "INFO: Device is ...".
  const std::string opening = golden.substr(0, golden.find('\n', golden.find('\n') + 1) + 1);
  check_sessions(result, camera);
  check_load_and_save(result, camera, opening);
  EXPECT_EQ(result.file("refused.stdout"),
            opening + "ERROR: Cannot set " + exposure.other_auto_key +
                ": Invalid argument\nERROR: Not applied: " + exposure.other_manual_key +
                " (inactive)\nINFO: No control named hue\nINFO: Config file /case/refused.txt "
                "loaded\n");
  EXPECT_EQ(result.file("refused.status"), "2\n");
  EXPECT_EQ(result.file("missing.stdout"), opening + "ERROR: Cannot load /case/missing.txt\n");
  EXPECT_EQ(result.file("missing.status"), "1\n");

  // The metadata node is a capture device's node: it opens and lists (nothing), but has no
  // control to save, and the file it would replace stays as it was, byte for byte.
  std::string meta_opening = opening;
  meta_opening.replace(meta_opening.find("/dev/video0"), 11, "/dev/video1");
  const std::string header =
      golden.substr(opening.size(), golden.find('\n', opening.size()) + 1 - opening.size());
  EXPECT_EQ(result.file("meta-list.stdout"), meta_opening + header);
  EXPECT_EQ(result.file("meta-list.status"), "0\n");
  EXPECT_EQ(result.file("meta-save.stdout"), meta_opening +
                                                 "ERROR: Cannot save /tmp/shared.txt\n"
                                                 "ERROR: The device has no controls\n");
  EXPECT_EQ(result.file("meta-save.status"), "1\n");
  EXPECT_EQ(result.file("shared-option.txt"), "brightness=60\r\n");
  Session screen(result.file("meta.raw"), result.file("meta.marks"));
  EXPECT_EQ(screen.exit_status(), "0");
  auto saved = screen.at("saved");
  ASSERT_TRUE(saved);
  EXPECT_EQ(status_area(*saved), "Cannot save /tmp/shared.txt: The device has no controls")
      << saved->dump();
  EXPECT_EQ(result.file("shared-key.txt"), "brightness=60\r\n");
}

INSTANTIATE_TEST_SUITE_P(Kernels, Webcam, ::testing::Values("armhf", "x86_64"),
                         [](const auto& test) { return test.param; });

}  // namespace
