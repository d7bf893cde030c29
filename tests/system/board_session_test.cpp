// The board's own kernel (Debian's 5.10 armmp in an armhf VM) with the release bundle, and
// Debian's 6.1 x86_64: interactive sessions of the program against vivid and against uvcvideo
// with the emulated USB webcam, checked against an independent reader of the device; the screen
// following changes it did not make; the boot-time load exactly as the shipped systemd unit
// runs it, and under Debian's own systemd and udev; the bundled dummy module loading where it
// was built for.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "guest_camera.h"
#include "guest_run.h"
#include "screen_session.h"
#include "system_config.h"

namespace {

using systest::detail;
using systest::detail_value;
using systest::KeyScript;
using systest::list_row;
using systest::ListRow;
using systest::probe_values;
using systest::Session;
using systest::status_area;

constexpr const char* kBrightnessId = "0x00980900";
constexpr const char* kContrastId = "0x00980901";
constexpr const char* kMenuId = "0x0098f904";
constexpr const char* kIntegerMenuId = "0x0098f907";
constexpr unsigned kInactiveFlag = 0x10;  // V4L2_CTRL_FLAG_INACTIVE
const std::string kSessionIds = std::string(kBrightnessId) + " " + kMenuId + " " + kIntegerMenuId;

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> set;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) set.insert(line);
  return set;
}

class BoardKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
  }

  systest::GuestResult boot(systest::GuestCase& guest) {
    systest::GuestResult result = guest.boot();
    EXPECT_TRUE(result.delivered) << "the armhf 5.10 VM did not run the case:\n"
                                  << result.runner_messages;
    return result;
  }
};

TEST_F(BoardKernel, InteractiveSessionKeepsScreenDeviceAndSettingsFileInStep) {
  std::string program = systest::program_for("armhf");
  ASSERT_EQ(systest::require_file(program, "static armhf camera_control (tools/release.sh)"), "");
  ASSERT_NE(systest::terminfo_entry(), "") << "no xterm terminfo entry on this machine";

  // Brightness 128 -> 131; then "Menu" (items 1, 3, 4; default 3) up to 4 and down across the
  // gap at 2 to 1; then a jump down on "Integer Menu" (items 2..8, default 4), which stops on
  // its first offered item 2, not on its minimum 1, which the driver does not offer; then save
  // and quit.
  KeyScript first;
  first.mark("start").key("Right", 3).mark("brightness").key("Down", 12).mark("on-menu");
  first.key("Right").mark("menu-up").key("Left", 2).mark("menu-down");
  first.probe("probe-menu.txt", kSessionIds);
  first.key("Down", 2).mark("on-integer-menu").key("PgDn").mark("jumped");
  first.probe("probe-jumped.txt", kSessionIds).key("S").mark("saved").key("Q");
  // A second run: reset everything, then load the saved file.
  KeyScript second;
  second.mark("start").key("R").mark("reset").probe("probe-reset.txt", kSessionIds);
  second.key("L").mark("loaded").probe("probe-loaded.txt", kSessionIds).key("Q");

  systest::GuestCase guest("armhf");
  guest.add_file(program, "camera_control");
  guest.add_file(systest::guest_helper("armhf", "keypty"), "keypty");
  guest.add_file(systest::guest_helper("armhf", "ctlprobe"), "ctlprobe");
  guest.add_file(systest::terminfo_entry(), "terminfo/x/xterm");
  guest.add_text("first.keys", first.text());
  guest.add_text("second.keys", second.text());
  guest.set_script(
      "insmod /modules/vivid.ko n_devs=1 node_types=0x1\n"
      "export TERM=xterm TERMINFO=/case/terminfo\n"
      "./keypty -s first.keys -o /out/first.raw -m /out/first.marks -- "
      "./camera_control -c /tmp/camera.txt\n"
      "cp /tmp/camera.txt /out/camera.txt\n"
      "./keypty -s second.keys -o /out/second.raw -m /out/second.marks -- "
      "./camera_control -c /tmp/camera.txt\n");
  systest::GuestResult result = boot(guest);
  ASSERT_TRUE(result.delivered);
  ASSERT_EQ(result.file("case.log"), "");

  Session one(result.file("first.raw"), result.file("first.marks"));
  EXPECT_EQ(one.exit_status(), "0");
  {
    auto screen = one.at("brightness");
    ASSERT_TRUE(screen);
    auto row = list_row(*screen, "Brightness");
    ASSERT_TRUE(row) << screen->dump();
    EXPECT_EQ(row->marker, '+');
    EXPECT_EQ(row->shown, "131");
    EXPECT_EQ(detail_value(*screen, "Val"), "131") << screen->dump();
  }
  {
    auto screen = one.at("on-menu");
    ASSERT_TRUE(screen);
    ASSERT_EQ(detail(*screen, 1), "Menu") << screen->dump();
    EXPECT_EQ(detail_value(*screen, "Val"), "3");
    EXPECT_EQ(detail_value(*screen, "Opt"), "Menu Item 3");
  }
  {
    auto screen = one.at("menu-up");
    ASSERT_TRUE(screen);
    EXPECT_EQ(detail_value(*screen, "Val"), "4") << screen->dump();
    EXPECT_EQ(detail_value(*screen, "Opt"), "Menu Item 4");
  }
  {
    // Two steps down from 4 pass 3 and then skip the missing item 2.
    auto screen = one.at("menu-down");
    ASSERT_TRUE(screen);
    EXPECT_EQ(detail_value(*screen, "Val"), "1") << screen->dump();
    EXPECT_EQ(detail_value(*screen, "Opt"), "Menu Item 1");
    auto row = list_row(*screen, "Menu");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->marker, '-');
    EXPECT_EQ(row->shown, "Menu Item 1");
    // The device holds what the screen shows.
    auto device = probe_values(result.file("probe-menu.txt"));
    EXPECT_EQ(device[kMenuId], detail_value(*screen, "Val"));
    EXPECT_EQ(device[kBrightnessId], list_row(*screen, "Brightness").value_or(ListRow{}).shown);
    EXPECT_EQ(device[kIntegerMenuId], "4");
  }
  {
    auto before = one.at("on-integer-menu");
    auto screen = one.at("jumped");
    ASSERT_TRUE(before && screen);
    ASSERT_EQ(detail(*before, 1), "Integer Menu") << before->dump();
    EXPECT_EQ(detail_value(*before, "Val"), "4");
    // Item 2, whose value is 2; the driver took it without a word.
    EXPECT_EQ(status_area(*screen), "") << screen->dump();
    EXPECT_EQ(detail_value(*screen, "Val"), "2");
    EXPECT_EQ(detail_value(*screen, "Opt"), "2");
    auto row = list_row(*screen, "Integer Menu");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->marker, '-');
    EXPECT_EQ(row->shown, "2");
    EXPECT_EQ(probe_values(result.file("probe-jumped.txt"))[kIntegerMenuId],
              detail_value(*screen, "Val"));
  }
  {
    auto screen = one.at("saved");
    ASSERT_TRUE(screen);
    EXPECT_EQ(status_area(*screen), "Config file /tmp/camera.txt saved") << screen->dump();
  }
  // Exactly the values that differ from their defaults.
  EXPECT_EQ(result.file("camera.txt"), "brightness=131\r\nmenu=1\r\ninteger_menu=2\r\n");

  Session two(result.file("second.raw"), result.file("second.marks"));
  EXPECT_EQ(two.exit_status(), "0");
  {
    auto screen = two.at("start");
    ASSERT_TRUE(screen);
    // A new run reads the device's values: the device kept them.
    EXPECT_EQ(list_row(*screen, "Brightness").value_or(ListRow{}).shown, "131") << screen->dump();
    EXPECT_EQ(list_row(*screen, "Menu").value_or(ListRow{}).shown, "Menu Item 1");
  }
  {
    auto screen = two.at("reset");
    ASSERT_TRUE(screen);
    auto brightness = list_row(*screen, "Brightness");
    auto menu = list_row(*screen, "Menu");
    ASSERT_TRUE(brightness && menu) << screen->dump();
    EXPECT_EQ(brightness->marker, ' ');
    EXPECT_EQ(brightness->shown, "128");
    EXPECT_EQ(menu->marker, ' ');
    EXPECT_EQ(menu->shown, "Menu Item 3");
    auto device = probe_values(result.file("probe-reset.txt"));
    EXPECT_EQ(device[kBrightnessId], "128");
    EXPECT_EQ(device[kMenuId], "3");
    EXPECT_EQ(device[kIntegerMenuId], "4");
  }
  {
    auto screen = two.at("loaded");
    ASSERT_TRUE(screen);
    EXPECT_EQ(status_area(*screen), "Config file /tmp/camera.txt loaded") << screen->dump();
    auto brightness = list_row(*screen, "Brightness");
    auto menu = list_row(*screen, "Menu");
    ASSERT_TRUE(brightness && menu) << screen->dump();
    EXPECT_EQ(brightness->marker, '+');
    EXPECT_EQ(brightness->shown, "131");
    EXPECT_EQ(menu->marker, '-');
    EXPECT_EQ(menu->shown, "Menu Item 1");
    auto device = probe_values(result.file("probe-loaded.txt"));
    EXPECT_EQ(device[kBrightnessId], "131");
    EXPECT_EQ(device[kMenuId], "1");
    EXPECT_EQ(device[kIntegerMenuId], "2");
  }
}

TEST_F(BoardKernel, BundledDummyModuleCreatesTwoInterfaces) {
  std::string module = systest::armhf_dummy_module();
  ASSERT_EQ(systest::require_file(module, "dummy.ko of the release bundle (tools/release.sh)"), "");
  systest::GuestCase guest("armhf");
  guest.add_file(module, "dummy.ko");
  guest.set_script(
      "ls /sys/class/net >/out/before.txt\n"
      "insmod /case/dummy.ko numdummies=2\n"
      "echo $? >/out/insmod.status\n"
      "ls /sys/class/net >/out/after.txt\n");
  systest::GuestResult result = boot(guest);
  ASSERT_TRUE(result.delivered);
  EXPECT_EQ(result.file("insmod.status"), "0\n") << result.file("case.log");
  std::set<std::string> expected = lines(result.file("before.txt"));
  EXPECT_EQ(expected.count("dummy0") + expected.count("dummy1"), 0U);
  expected.insert({"dummy0", "dummy1"});
  EXPECT_EQ(lines(result.file("after.txt")), expected);
}

std::string kernel_of(const std::string& arch) {
  return arch == "armhf" ? "the armhf 5.10 VM" : "the x86_64 6.1 VM";
}

// Both cameras under both kernels: the board's 5.10 armhf with the release bundle's binary,
// and 6.1 x86_64.
class FollowingTheCamera : public ::testing::TestWithParam<systest::GuestCamera> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    ASSERT_EQ(systest::require_file(systest::program_for(GetParam().arch), "static camera_control"),
              "");
    ASSERT_NE(systest::terminfo_entry(), "") << "no xterm terminfo entry on this machine";
  }
};

// Whether ctlprobe -f found the control inactive: "yes", "no", or what it printed instead.
std::string inactive(const std::string& probe, const std::string& id) {
  std::istringstream lines(probe);
  std::string probed, flags;
  while (lines >> probed >> flags) {
    if (probed != id || flags.rfind("flags=0x", 0) != 0) continue;
    return (std::stoul(flags.substr(8), nullptr, 16) & kInactiveFlag) != 0 ? "yes" : "no";
  }
  return "<" + probe + ">";
}

// The ids of every auto control and its manual control.
std::string cluster_ids(const systest::GuestCamera& camera) {
  std::string ids;
  for (const auto& cluster : camera.clusters)
    ids += (ids.empty() ? "" : " ") + cluster.auto_id + " " + cluster.manual_id;
  return ids;
}

// The list's first row is the screen's row 5.
constexpr int kFirstListRow = 5;

// The watching run: another program's write, a value the camera changes itself, each auto
// control switched off on the screen and on again, then all off and R, the camera switching an
// auto control itself, the unplug.
void check_watching(const systest::GuestResult& result, const systest::GuestCamera& camera) {
  Session watching(result.file("watch.raw"), result.file("watch.marks"));
  EXPECT_EQ(watching.exit_status(), "0");
  {
    auto screen = watching.at("start");
    ASSERT_TRUE(screen);
    ASSERT_EQ(detail(*screen, 1), "Brightness") << screen->dump();
    EXPECT_EQ(list_row(*screen, "Brightness").value_or(ListRow{}).shown, "128");
    // The manual controls are inactive while their auto controls are on: not listed.
    for (const auto& cluster : camera.clusters)
      EXPECT_FALSE(list_row(*screen, cluster.manual_name)) << screen->dump();
  }
  {
    auto screen = watching.at("other-write");
    ASSERT_TRUE(screen);
    EXPECT_EQ(result.file("other-set.txt"), std::string(kBrightnessId) + " 77\n");
    EXPECT_EQ(probe_values(result.file("probe-other.txt"))[kBrightnessId], "77");
    auto row = list_row(*screen, "Brightness");
    ASSERT_TRUE(row) << screen->dump();
    EXPECT_EQ(row->marker, '-');
    EXPECT_EQ(row->shown, "77") << screen->dump();
    EXPECT_EQ(detail_value(*screen, "Val"), "77") << screen->dump();
  }
  if (!camera.sets_itself.empty()) {
    // Only the camera knows this value: uvcvideo passes it on in an event and may answer a
    // read from its cache, so no other program is a witness.
    auto screen = watching.at("camera-set");
    ASSERT_TRUE(screen);
    EXPECT_EQ(list_row(*screen, camera.shown_name).value_or(ListRow{}).shown, camera.shown_value)
        << screen->dump();
  }
  for (std::size_t i = 0; i < camera.clusters.size(); ++i) {
    const auto& cluster = camera.clusters[i];
    SCOPED_TRACE(cluster.auto_name);
    const std::string n = std::to_string(i);
    auto before = watching.at("on-" + n);
    auto joined = watching.at("joined-" + n);
    auto left = watching.at("left-" + n);
    ASSERT_TRUE(before && joined && left);
    ASSERT_EQ(detail(*before, 1), systest::panel_name(cluster.auto_name)) << before->dump();
    EXPECT_EQ(detail_value(*before, "Val"), std::to_string(cluster.auto_on));
    // Left goes to the previous offered item: the webcam's auto exposure menu has a gap there.
    EXPECT_EQ(detail_value(*joined, "Val"), std::to_string(cluster.manual_mode)) << joined->dump();
    auto device = probe_values(result.file("probe-joined-" + n + ".txt"));
    EXPECT_EQ(device[cluster.auto_id], std::to_string(cluster.manual_mode));
    // The driver made the manual control active: the independent reader sees no inactive flag.
    EXPECT_EQ(inactive(result.file("flags-joined-" + n + ".txt"), cluster.manual_id), "no");
    // It joined at its walk position (not always right below its auto control), with the
    // device's value.
    auto manual = list_row(*joined, cluster.manual_name);
    ASSERT_TRUE(manual) << joined->dump();
    EXPECT_EQ(manual->row, kFirstListRow + cluster.manual_row) << joined->dump();
    EXPECT_EQ(manual->shown, device[cluster.manual_id]) << joined->dump();
    EXPECT_NE(device[cluster.manual_id], "");
    // Right goes back across the gap, and the manual control leaves.
    EXPECT_EQ(detail_value(*left, "Val"), std::to_string(cluster.auto_on)) << left->dump();
    EXPECT_EQ(detail(*left, 1), systest::panel_name(cluster.auto_name)) << left->dump();
    EXPECT_FALSE(list_row(*left, cluster.manual_name)) << left->dump();
    EXPECT_EQ(inactive(result.file("flags-left-" + n + ".txt"), cluster.manual_id), "yes");
  }
  {
    // R with every manual control in: each auto control back on takes its manual control over,
    // which the reset then leaves alone; nothing is refused.
    auto before = watching.at("all-manual");
    auto screen = watching.at("reset");
    ASSERT_TRUE(before && screen);
    // N was refused nowhere, and put every auto control in its manual mode.
    EXPECT_EQ(status_area(*before), "") << before->dump();
    auto manual = probe_values(result.file("probe-all-manual.txt"));
    for (const auto& cluster : camera.clusters) {
      EXPECT_EQ(manual[cluster.auto_id], std::to_string(cluster.manual_mode)) << cluster.auto_name;
      EXPECT_TRUE(list_row(*before, cluster.manual_name)) << before->dump();
      EXPECT_FALSE(list_row(*screen, cluster.manual_name)) << screen->dump();
    }
    EXPECT_EQ(status_area(*screen), "") << screen->dump();
    auto device = probe_values(result.file("probe-reset.txt"));
    EXPECT_EQ(device[kBrightnessId], "128");
    for (const auto& cluster : camera.clusters)
      EXPECT_EQ(device[cluster.auto_id], std::to_string(cluster.auto_on)) << cluster.auto_name;
  }
  if (!camera.switches_itself.empty()) {
    // The camera goes to manual exposure itself. uvcvideo passes the new mode on in an event,
    // but works the exposure time's flags out from the mode it cached, and says it is
    // inactive (6.1 also refuses to write it): the list keeps to what the driver says.
    const auto& cluster = camera.clusters[camera.switched];
    auto screen = watching.at("camera-switched");
    ASSERT_TRUE(screen);
    EXPECT_EQ(list_row(*screen, cluster.auto_name).value_or(ListRow{}).shown, "Manual Mode")
        << screen->dump();
    const std::string driver_says = inactive(result.file("flags-switched.txt"), cluster.manual_id);
    ASSERT_TRUE(driver_says == "yes" || driver_says == "no") << driver_says;
    EXPECT_EQ(list_row(*screen, cluster.manual_name).has_value(), driver_says == "no")
        << screen->dump();
  }
  {
    auto screen = watching.at("unplugged");
    ASSERT_TRUE(screen);
    EXPECT_EQ(status_area(*screen), "Camera /dev/video0 disconnected") << screen->dump();
    // Waiting on a gone camera would spin: a whole CPU, 200 ticks in the two seconds, and a
    // wake-up each turn. The program sleeps until its next key.
    systest::CpuUse use = systest::cpu_use(result.file("cpu.txt"));
    ASSERT_GE(use.ticks, 0) << result.file("cpu.txt");
    EXPECT_LE(use.ticks, 20);
    EXPECT_LE(use.switches, 20);
  }
}

// The loading run: the file that names each manual value before its auto control, loaded with
// L into the camera at its defaults.
void check_loading(const systest::GuestResult& result, const systest::GuestCamera& camera) {
  Session loading(result.file("load.raw"), result.file("load.marks"));
  EXPECT_EQ(loading.exit_status(), "0");
  auto start = loading.at("start");
  auto screen = loading.at("loaded");
  ASSERT_TRUE(start && screen);
  EXPECT_EQ(status_area(*screen), "Config file /case/load.txt loaded") << screen->dump();
  auto flags = result.file("flags-defaults.txt");
  auto device = probe_values(result.file("probe-loaded.txt"));
  if (camera.clusters.empty()) {
    EXPECT_EQ(device[kContrastId], "40");
    auto contrast = list_row(*screen, "Contrast");
    ASSERT_TRUE(contrast) << screen->dump();
    EXPECT_EQ(contrast->marker, '-');
    EXPECT_EQ(contrast->shown, "40");
  }
  for (const auto& cluster : camera.clusters) {
    SCOPED_TRACE(cluster.manual_name);
    // At the camera's defaults the auto control is on, and the manual one inactive.
    EXPECT_EQ(inactive(flags, cluster.manual_id), "yes");
    EXPECT_FALSE(list_row(*start, cluster.manual_name)) << start->dump();
    EXPECT_EQ(device[cluster.auto_id], std::to_string(cluster.manual_mode));
    EXPECT_EQ(device[cluster.manual_id], std::to_string(cluster.loaded_value));
    auto manual = list_row(*screen, cluster.manual_name);
    ASSERT_TRUE(manual) << screen->dump();
    EXPECT_EQ(manual->marker, '+');
    EXPECT_EQ(manual->shown, std::to_string(cluster.loaded_value));
  }
}

TEST_P(FollowingTheCamera, ScreenShowsOtherWritesTheAutoClustersAndAnOutOfOrderLoad) {
  const systest::GuestCamera& camera = GetParam();
  // One run, the camera at its defaults: another program sets Brightness to 77 while Brightness
  // is selected, and the webcam changes its gain itself. Then each auto control goes off with
  // Left, which makes its manual control active: it must join the list at its place with the
  // value the device holds; Right puts it back. Then every auto control off with N, from the
  // last up, and R. Last, the camera is unplugged.
  const std::string ids = cluster_ids(camera);
  KeyScript watch;
  const std::string& node = camera.control_node;
  watch.mark("start").other_program_sets("other-set.txt", std::string(kBrightnessId) + "=77", true,
                                         node);
  watch.mark("other-write").probe("probe-other.txt", kBrightnessId, node);
  if (!camera.sets_itself.empty())
    watch.camera_changes("echo '" + camera.sets_itself + "' >/tmp/cam").mark("camera-set");
  int row = 0;
  for (std::size_t i = 0; i < camera.clusters.size(); ++i) {
    const auto& cluster = camera.clusters[i];
    const std::string n = std::to_string(i);
    watch.key("Down", cluster.auto_row - row).mark("on-" + n).key("Left").mark("joined-" + n);
    watch.probe("probe-joined-" + n + ".txt", ids);
    watch.probe_flags("flags-joined-" + n + ".txt", cluster.manual_id);
    watch.key("Right").mark("left-" + n).probe_flags("flags-left-" + n + ".txt", cluster.manual_id);
    row = cluster.auto_row;
  }
  // N, the key for the minimum, turns each off: a control's manual mode is its first offered
  // item, and on the webcam's exposure menu not its minimum 0, which uvcvideo refuses.
  for (auto cluster = camera.clusters.rbegin(); cluster != camera.clusters.rend(); ++cluster) {
    watch.key("Up", row - cluster->auto_row).key("N");
    // The selection stays on the auto control; a manual control that joined above moved it.
    row = cluster->auto_row + (cluster->manual_row <= cluster->auto_row ? 1 : 0);
  }
  watch.mark("all-manual")
      .probe("probe-all-manual.txt", ids + " " + kBrightnessId, node)
      .key("R")
      .mark("reset")
      .probe("probe-reset.txt", ids + " " + kBrightnessId, node);
  if (!camera.switches_itself.empty()) {
    watch.camera_changes("echo '" + camera.switches_itself + "' >/tmp/cam").mark("camera-switched");
    watch.probe_flags("flags-switched.txt", camera.clusters[camera.switched].manual_id);
  }
  // Where the unplug wakes no waiter (vivid's button under 5.10), a key shows it.
  watch.camera_changes(camera.unplug(), camera.unplug_wakes);
  if (!camera.unplug_wakes) watch.key("Down");
  watch.mark("unplugged").watch_cpu("cpu.txt").key("Q");
  // Another run, the camera at its defaults: a file that names each manual value before the
  // switch that makes it active. vivid's automatic gain counts up from about 11 with the seconds
  // since boot, so 200 is never there by chance.
  // A camera without auto clusters loads a plain value.
  KeyScript load;
  load.mark("start")
      .key("L")
      .mark("loaded")
      .probe("probe-loaded.txt", ids.empty() ? kContrastId : ids, node)
      .key("Q");
  std::string settings = camera.clusters.empty() ? "contrast=40\r\n" : "";
  for (const auto& cluster : camera.clusters)
    settings += cluster.manual_key + "=" + std::to_string(cluster.loaded_value) + "\r\n" +
                cluster.auto_key + "=" + std::to_string(cluster.manual_mode) + "\r\n";

  systest::GuestCase guest(camera.arch);
  systest::add_session_tools(guest, camera);
  guest.add_text("watch.keys", watch.text());
  guest.add_text("load.keys", load.text());
  guest.add_text("load.txt", settings);
  std::string defaults = camera.clusters.empty() ? " " + std::string(kContrastId) + "=128" : "";
  for (const auto& cluster : camera.clusters)
    defaults += " " + cluster.auto_id + "=" + std::to_string(cluster.auto_on);
  guest.set_script(
      camera.start() + "export TERM=xterm TERMINFO=/case/terminfo\n" +
      (ids.empty() ? "" : "./ctlprobe -f " + node + " " + ids + " >/out/flags-defaults.txt\n") +
      "./keypty -s load.keys -o /out/load.raw -m /out/load.marks -- "
      "./camera_control -c /case/load.txt\n"
      // Back to the defaults for the second run.
      "./ctlprobe -s " +
      node + defaults + " >/dev/null\n" +
      "./keypty -s watch.keys -o /out/watch.raw -m /out/watch.marks -- "
      "./camera_control -c /tmp/camera.txt\n" +
      camera.finish());
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << kernel_of(camera.arch) << " did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");

  // Each run is judged on its own, so one's fault does not hide the other's.
  check_watching(result, camera);
  check_loading(result, camera);
  if (camera.kind == "webcam") {
    EXPECT_EQ(camera.log_problems(result), "") << result.file("webcam.log");
    // No write reached a control while its auto control had it: not from L, not from R.
    EXPECT_NE(result.file("webcam.log").find(" ignored=0 "), std::string::npos)
        << result.file("webcam.log");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, FollowingTheCamera,
    ::testing::Values(systest::vivid_camera("armhf"), systest::vivid_camera("x86_64"),
                      systest::emulated_webcam("armhf"), systest::emulated_webcam("x86_64"),
                      systest::vimc_pipeline("armhf"), systest::vimc_pipeline("x86_64")),
    [](const auto& test) { return systest::row_name(test.param); });

// The command line of the unit's ExecStart= for one instance, split as systemd splits it: the
// prefix characters that only steer systemd are dropped, %I and %i become the instance, %% a %.
// Empty, with the reason in error, when the unit has none or uses what this reading lacks.
std::vector<std::string> unit_command(const std::string& unit, const std::string& instance,
                                      std::string& error) {
  std::istringstream lines(unit);
  std::string line, exec;
  for (std::string raw; std::getline(lines, raw);) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (raw.rfind("ExecStart=", 0) == 0) {
      if (!exec.empty()) {
        error = "more than one ExecStart=";
        return {};
      }
      exec = raw.substr(10);
    }
  }
  std::size_t prefix = exec.find_first_not_of("-@:+!");
  if (exec.empty() || prefix == std::string::npos) {
    error = "no ExecStart= command";
    return {};
  }
  if (exec.substr(0, prefix).find('@') != std::string::npos) {
    error = "ExecStart= with @ (a separate argv[0]) is not read here";
    return {};
  }
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = prefix; i < exec.size(); ++i) {
    char c = exec[i];
    if (quote != 0 && c == quote) {
      quote = 0;
    } else if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
      in_word = true;
    } else if (quote == 0 && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else if (c == '%' && i + 1 < exec.size()) {
      char specifier = exec[++i];
      if (specifier == 'I' || specifier == 'i') {
        word += instance;
      } else if (specifier == '%') {
        word += '%';
      } else {
        error = std::string("specifier %") + specifier + " is not read here";
        return {};
      }
      in_word = true;
    } else if (c == '\\' || c == '$') {
      error = "escapes and variables in ExecStart= are not read here";
      return {};
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

std::string shell_quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A Debian package unpacked into a scratch folder on the build machine, removed with it.
class UnpackedPackage {
 public:
  explicit UnpackedPackage(const std::string& deb) {
    std::string pattern = (std::filesystem::temp_directory_path() / "camctl-deb-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    root_ = pattern;
    std::string command = "dpkg-deb -x " + shell_quoted(deb) + " " + shell_quoted(root_);
    unpacked_ = std::system(command.c_str()) == 0;
  }
  ~UnpackedPackage() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  UnpackedPackage(const UnpackedPackage&) = delete;
  UnpackedPackage& operator=(const UnpackedPackage&) = delete;

  bool unpacked() const { return unpacked_; }
  const std::string& root() const { return root_; }
  // The package's files, as paths below its root ("usr/bin/camera_control").
  std::vector<std::string> files() const {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_))
      if (entry.is_regular_file())
        paths.push_back(std::filesystem::relative(entry.path(), root_).string());
    return paths;
  }

 private:
  std::string root_;
  bool unpacked_ = false;
};

// The shared libraries a dynamic program loads (and its loader), as the build machine has them;
// none for a static program.
std::vector<std::string> shared_libraries(const std::string& program) {
  std::vector<std::string> paths;
  FILE* pipe = popen(("ldd " + shell_quoted(program) + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return paths;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line = buffer;
    std::size_t arrow = line.find("=> /");
    std::size_t start = arrow != std::string::npos ? arrow + 3 : line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] != '/') continue;
    paths.push_back(line.substr(start, line.find_first_of(" \t\n(", start) - start));
  }
  pclose(pipe);
  return paths;
}

// Three pairs for a camera's auto cluster, the manual value before the switch that makes it
// active, named as the other kernel names them: a file saved on the board loads after a kernel
// upgrade, and back.
std::string boot_settings(const systest::AutoCluster& cluster) {
  if (cluster.other_auto_key.empty()) return "contrast=40\r\nbrightness=77\r\n";
  return cluster.other_manual_key + "=" + std::to_string(cluster.loaded_value) + "\r\n" +
         cluster.other_auto_key + "=" + std::to_string(cluster.manual_mode) +
         "\r\nbrightness=77\r\n";
}

// The cluster a camera's boot settings are about; a camera without auto clusters (vimc's sensor,
// behind the capture node) loads a plain value instead, which this stands for.
const systest::AutoCluster& boot_cluster(const systest::GuestCamera& camera) {
  static const systest::AutoCluster plain{
      "", "", kContrastId, kContrastId, "", "contrast", "", "contrast", 128, 40, 0, 0, 40};
  return camera.clusters.empty() ? plain : camera.clusters.front();
}

// The controls boot_settings sets, for ctlprobe.
std::string boot_ids(const systest::AutoCluster& cluster) {
  return cluster.auto_id + " " + cluster.manual_id + " " + kBrightnessId;
}

// The camera holds what boot_settings loads, and the program said it loaded settings, whole.
void expect_boot_load(const std::string& probe, const std::string& out,
                      const systest::AutoCluster& cluster, const std::string& settings) {
  auto after = probe_values(probe);
  EXPECT_EQ(after[cluster.auto_id], std::to_string(cluster.manual_mode));
  EXPECT_EQ(after[cluster.manual_id], std::to_string(cluster.loaded_value));
  EXPECT_EQ(after[kBrightnessId], "77");
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  std::string loaded = "INFO: Config file " + settings + " loaded\n";
  EXPECT_TRUE(out.size() >= loaded.size() &&
              out.compare(out.size() - loaded.size(), loaded.size(), loaded) == 0)
      << out;
}

struct BootRun {
  std::string deb_arch;  // the package of tools/release.sh installed in the guest
  systest::GuestCamera camera;
};

std::ostream& operator<<(std::ostream& out, const BootRun& run) {
  return out << run.camera << " with the " << run.deb_arch << " package";
}

class BootUnit : public ::testing::TestWithParam<BootRun> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
  }
};

TEST_P(BootUnit, ShippedUnitLoadsTheBootSettingsIntoTheCamera) {
  const BootRun& run = GetParam();
  std::string deb = systest::release_package(run.deb_arch);
  ASSERT_NE(deb, "") << "no " << run.deb_arch << " package (tools/release.sh makes it)";
  UnpackedPackage package(deb);
  ASSERT_TRUE(package.unpacked()) << "dpkg-deb -x " << deb << " failed";
  const std::string unit_path = "lib/systemd/system/camera-control@.service";
  std::ifstream unit_file(package.root() + "/" + unit_path);
  std::ostringstream unit;
  unit << unit_file.rdbuf();
  ASSERT_NE(unit.str(), "") << deb << " has no " << unit_path;
  std::string error;
  std::vector<std::string> command = unit_command(unit.str(), "video0", error);
  ASSERT_FALSE(command.empty()) << unit_path << ": " << error;
  // The package installs the program the unit names, where it names it.
  const std::string& program = command[0];
  ASSERT_TRUE(program[0] == '/' && std::filesystem::is_regular_file(package.root() + program))
      << unit_path << " runs " << program << ", which " << deb << " does not hold";
  std::string settings = "/boot/camera.txt";
  for (std::size_t i = 1; i + 1 < command.size(); ++i)
    if (command[i] == "-c") settings = command[i + 1];
  std::string line;
  for (const std::string& word : command) line += (line.empty() ? "" : " ") + shell_quoted(word);

  const systest::GuestCamera& camera = run.camera;
  systest::GuestCase guest(camera.arch);
  // The package's files go to their places in the guest, as dpkg would put them.
  for (const std::string& file : package.files())
    guest.add_file(package.root() + "/" + file, "root/" + file);
  // The guest is a bare busybox without a C library: a dynamic program gets the build
  // machine's libraries, which its package depends on, at the paths it looks for them.
  for (const std::string& library : shared_libraries(package.root() + program))
    guest.add_file(library, "root" + library);
  guest.add_file(systest::guest_helper(camera.arch, "ctlprobe"), "ctlprobe");
  camera.add_to(guest);
  const systest::AutoCluster& cluster = boot_cluster(camera);
  guest.add_text("root" + settings, boot_settings(cluster));
  const std::string probe = "./ctlprobe " + camera.control_node + " " + boot_ids(cluster);
  guest.set_script(camera.start() + "cp -a /case/root/. /\n" + probe + " >/out/before.txt\n" +
                   // As systemd starts a service: no terminal, no inherited environment, from /.
                   "(cd / && env -i PATH=/usr/bin:/bin " + line +
                   " </dev/null >/out/unit.stdout 2>/out/unit.stderr)\n"
                   "echo $? >/out/unit.status\n" +
                   probe + " >/out/after.txt\n" + camera.finish());
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << kernel_of(camera.arch) << " did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");
  SCOPED_TRACE("the unit's command in the guest: " + line);

  auto before = probe_values(result.file("before.txt"));
  EXPECT_EQ(before[cluster.auto_id], std::to_string(cluster.auto_on));
  EXPECT_EQ(before[kBrightnessId], "128");
  EXPECT_EQ(result.file("unit.status"), "0\n")
      << result.file("unit.stdout") << result.file("unit.stderr");
  expect_boot_load(result.file("after.txt"), result.file("unit.stdout"), cluster, settings);
  EXPECT_EQ(camera.log_problems(result), "") << result.file("webcam.log");
}

// The board's kernel with the armhf package (the release bundle's static program); Debian's 6.1
// with the native package, whose program is dynamically linked; each with both cameras.
INSTANTIATE_TEST_SUITE_P(Cameras, BootUnit,
                         ::testing::Values(BootRun{"armhf", systest::vivid_camera("armhf")},
                                           BootRun{"amd64", systest::vivid_camera("x86_64")},
                                           BootRun{"armhf", systest::emulated_webcam("armhf")},
                                           BootRun{"amd64", systest::emulated_webcam("x86_64")},
                                           BootRun{"armhf", systest::vimc_pipeline("armhf")},
                                           BootRun{"amd64", systest::vimc_pipeline("x86_64")}),
                         [](const auto& test) { return systest::row_name(test.param.camera); });

// Shell functions of the systemd boot's case. ran UNIT OLD waits until UNIT has run to its end
// in an invocation other than OLD ("": any); report UNIT TAG keeps the unit's state after that
// run in /out/TAG.show and the lines its program wrote to the journal since the last mark (or
// the boot) in /out/TAG.journal. The program's lines are found by the unit systemd named when it
// handed the program its output: journald may find no invocation for a program already gone.
const char* const kUnitFunctions = R"sh(ran() {
  i=0
  while [ "$i" -lt 1200 ]; do
    id=$(systemctl show -P InvocationID "$1")
    case "$(systemctl show -P ActiveState "$1")" in
      inactive|failed) [ -z "$id" ] || [ "$id" = "$2" ] || return 0 ;;
    esac
    sleep 0.1
    i=$((i + 1))
  done
  echo "$1 did not run within 120 s"
}
mark() {
  journalctl --sync
  journalctl -n 1 --show-cursor | sed -n 's/^-- cursor: //p' >/tmp/cursor
}
report() {
  journalctl --sync
  systemctl show -p ActiveState,Result,ExecMainStatus "$1" >"/out/$2.show"
  if [ -s /tmp/cursor ]; then since="--after-cursor=$(cat /tmp/cursor)"; else since=-b; fi
  journalctl -q -o cat "$since" _SYSTEMD_UNIT="$1" >"/out/$2.journal"
}
)sh";

// systemctl show's NAME=VALUE lines, by name.
std::map<std::string, std::string> unit_state(const std::string& text) {
  std::map<std::string, std::string> state;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) state[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return state;
}

// The unit's run TAG (report TAG) succeeded and loaded boot_settings(cluster) from settings
// into node, whose values ctlprobe left in TAG.values.
void expect_unit_loaded(const systest::GuestResult& result, const std::string& tag,
                        const std::string& node, const systest::AutoCluster& cluster,
                        const std::string& settings) {
  auto state = unit_state(result.file(tag + ".show"));
  EXPECT_EQ(state["Result"], "success");
  EXPECT_EQ(state["ExecMainStatus"], "0");
  std::string journal = result.file(tag + ".journal");
  EXPECT_EQ(journal.rfind("INFO: Opening " + node + " device\n", 0), 0u) << journal;
  expect_boot_load(result.file(tag + ".values"), journal, cluster, settings);
}

// The README's drop-in that gives one camera a settings file of its own.
std::string own_file_dropin(const std::string& file) {
  return "[Unit]\nConditionPathExists=\nConditionPathExists=" + file +
         "\n\n[Service]\nExecStart=\nExecStart=/usr/bin/camera_control -v /dev/%I -c " + file +
         " -L\n";
}

// The boot-time load as a board makes it: Debian's own systemd and udev are init, the package
// is installed with dpkg and /boot is a FAT disk (tools/vm/boot.sh). vivid is there at boot; the
// emulated webcam is plugged in afterwards and has a file of its own through the README's
// drop-in; then vivid comes back while its file cannot be read. The units run sandboxed as
// packaged.
class SystemdBoot : public ::testing::TestWithParam<BootRun> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
  }
};

TEST_P(SystemdBoot, UdevStartsTheUnitOfEachCaptureNodeAtBootAndOnPlugIn) {
  const systest::GuestCamera& vivid = GetParam().camera;
  const systest::GuestCamera webcam = systest::emulated_webcam(vivid.arch);
  std::string deb = systest::release_package(GetParam().deb_arch);
  ASSERT_NE(deb, "") << "no " << GetParam().deb_arch << " package (tools/release.sh makes it)";
  const systest::AutoCluster& at_boot = vivid.clusters.front();
  const systest::AutoCluster& plugged = webcam.clusters.front();

  systest::GuestCase guest(vivid.arch);
  guest.add_file(deb, "camera-control.deb");
  guest.add_file(systest::guest_helper(vivid.arch, "ctlprobe"), "ctlprobe");
  webcam.add_to(guest);
  guest.add_text("root/etc/modules-load.d/vivid.conf", "vivid\n");
  guest.add_text("root/etc/modprobe.d/vivid.conf", "options vivid n_devs=1 node_types=0x1\n");
  // vivid is /dev/video0; the webcam's capture node comes next, its metadata node after it.
  guest.add_text("root/etc/systemd/system/camera-control@video1.service.d/override.conf",
                 own_file_dropin("/boot/camera2.txt"));
  // One file serves several cameras: vivid's load passes over the webcam's key.
  guest.add_text("boot/camera.txt", boot_settings(at_boot) + plugged.manual_key + "=" +
                                        std::to_string(plugged.loaded_value) + "\r\n");
  guest.add_text("boot/camera2.txt", boot_settings(plugged));
  guest.set_script(
      std::string(kUnitFunctions) +
      "ran camera-control@video0.service ''\n"
      "report camera-control@video0.service boot\n"
      "./ctlprobe /dev/video0 " +
      boot_ids(at_boot) +
      " >/out/boot.values\n"
      "systemd-analyze security --no-pager camera-control@video0.service >/out/security.txt\n" +
      webcam.start() +
      "i=0; while [ ! -e /dev/video2 ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done\n"
      "udevadm settle\n"
      "ran camera-control@video1.service ''\n"
      "report camera-control@video1.service webcam\n"
      "./ctlprobe /dev/video1 " +
      boot_ids(plugged) +
      " >/out/webcam.values\n"
      "systemctl list-units --all --plain --no-legend 'camera-control@*' >/out/units.txt\n"
      "journalctl -q -o cat -u camera-control@video2.service >/out/metadata.journal\n" +
      webcam.finish() +
      // A directory where the file should be: it exists, so the unit runs, and cannot be read.
      "old=$(systemctl show -P InvocationID camera-control@video0.service)\nmark\n"
      "mv /boot/camera.txt /boot/vivid.txt && mkdir /boot/camera.txt\n"
      "modprobe -r vivid && modprobe vivid\n"
      "ran camera-control@video0.service \"$old\"\n"
      "report camera-control@video0.service again\n"
      "systemctl is-system-running >/out/final-state\n"
      "systemctl list-units --failed --plain --no-legend >/out/final-failed\n");
  systest::GuestResult result = guest.boot_systemd();
  ASSERT_TRUE(result.delivered) << "the systemd boot of " << kernel_of(vivid.arch)
                                << " did not deliver:\n"
                                << result.runner_messages;
  // How long the boot takes, for the system stage's log.
  std::string boot_time = result.file("boot-time");
  std::cout << "systemd boot, " << kernel_of(vivid.arch) << ": "
            << boot_time.substr(0, boot_time.find('\n')) << "; the whole VM ran "
            << result.file("vm-ms").substr(0, result.file("vm-ms").find('\n')) << " ms\n";
  EXPECT_EQ(result.file("install.status"), "0\n") << result.file("install.log");
  EXPECT_EQ(result.file("case.log"), "");
  EXPECT_EQ(result.file("boot-state"), "running\n") << result.file("boot-failed");

  {
    SCOPED_TRACE("vivid at boot, /boot/camera.txt");
    expect_unit_loaded(result, "boot", "/dev/video0", at_boot, "/boot/camera.txt");
    EXPECT_NE(result.file("boot.journal").find("INFO: No control named " + plugged.manual_key),
              std::string::npos)
        << result.file("boot.journal");
    // The sandbox systemd applied, as it scores it itself.
    std::string security = result.file("security.txt");
    std::size_t level = security.find("Overall exposure level for camera-control@video0.service: ");
    ASSERT_NE(level, std::string::npos) << security;
    EXPECT_LE(std::stod(security.substr(security.find(": ", level) + 2)), 1.5) << security;
  }
  {
    SCOPED_TRACE("the webcam plugged in after the boot, /boot/camera2.txt through the drop-in");
    expect_unit_loaded(result, "webcam", "/dev/video1", plugged, "/boot/camera2.txt");
    EXPECT_EQ(webcam.log_problems(result), "") << result.file("webcam.log");
    // The metadata node got no unit: systemd never heard of one.
    std::string units = result.file("units.txt");
    EXPECT_NE(units.find("camera-control@video1.service"), std::string::npos) << units;
    EXPECT_EQ(units.find("camera-control@video2.service"), std::string::npos) << units;
    EXPECT_EQ(result.file("metadata.journal"), "");
  }
  {
    SCOPED_TRACE("vivid plugged in again while /boot/camera.txt cannot be read");
    auto state = unit_state(result.file("again.show"));
    EXPECT_EQ(state["ActiveState"], "failed");
    EXPECT_EQ(state["Result"], "exit-code");
    EXPECT_EQ(state["ExecMainStatus"], "1");
    EXPECT_NE(result.file("again.journal").find("ERROR: Cannot load /boot/camera.txt\n"),
              std::string::npos)
        << result.file("again.journal");
    EXPECT_EQ(result.file("final-state"), "degraded\n");
    EXPECT_EQ(result.file("final-failed").rfind("camera-control@video0.service ", 0), 0u)
        << result.file("final-failed");
  }
}

// Debian's 6.1 with the native package, whose program is dynamically linked; the board's 5.10
// with the armhf package, whose program is static.
INSTANTIATE_TEST_SUITE_P(Kernels, SystemdBoot,
                         ::testing::Values(BootRun{"amd64", systest::vivid_camera("x86_64")},
                                           BootRun{"armhf", systest::vivid_camera("armhf")}),
                         [](const auto& test) { return systest::row_name(test.param.camera); });

}  // namespace
