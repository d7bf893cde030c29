// The board's own kernel (Debian's 5.10 armmp in an armhf VM) with the release bundle, and
// Debian's 6.1 x86_64: interactive sessions of the program against vivid, checked against an
// independent reader of the device; the screen following changes it did not make; the boot-time
// load exactly as the shipped systemd unit runs it; the bundled dummy module loading where it
// was built for.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "guest_run.h"
#include "recorded_screen.h"
#include "system_config.h"

namespace {

constexpr const char* kBrightnessId = "0x00980900";
constexpr const char* kMenuId = "0x0098f904";
constexpr const char* kIntegerMenuId = "0x0098f907";
constexpr const char* kAutoGainId = "0x00980912";
constexpr const char* kGainId = "0x00980913";
constexpr const char* kDisconnectId = "0x00f0f041";  // vivid's button that unplugs its nodes
constexpr unsigned kInactiveFlag = 0x10;             // V4L2_CTRL_FLAG_INACTIVE

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The ctlprobe lines "ID VALUE" as a map.
std::map<std::string, std::string> probe_values(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string id, value;
  while (lines >> id >> value) values[id] = value;
  return values;
}

// A recorded keypty session: the terminal stream and the offsets of its marks.
class Session {
 public:
  Session(std::string raw, const std::string& marks) : raw_(std::move(raw)) {
    std::istringstream lines(marks);
    std::string label, offset;
    while (lines >> label >> offset) marks_[label] = offset;
  }

  // The screen as it stood at a mark.
  std::optional<systest::RecordedScreen> at(const std::string& mark) const {
    auto found = marks_.find(mark);
    if (found == marks_.end()) return std::nullopt;
    std::size_t offset = std::stoul(found->second);
    if (offset > raw_.size()) return std::nullopt;
    return std::make_optional<systest::RecordedScreen>(std::string_view(raw_).substr(0, offset));
  }
  std::string exit_status() const {
    auto found = marks_.find("exit");
    return found == marks_.end() ? "<none>" : found->second;
  }

 private:
  std::string raw_;
  std::map<std::string, std::string> marks_;
};

// One control's row in the list window: its marker and what stands right-aligned after the name.
struct ListRow {
  char marker = '?';
  std::string shown;
  int row = -1;  // the screen row
};

std::optional<ListRow> list_row(const systest::RecordedScreen& screen, const std::string& name) {
  for (int row = 5; row <= 22; ++row) {
    std::string text = screen.text(row, 2, 46);
    if (text.compare(2, name.size() + 1, name + " ") != 0) continue;
    return ListRow{text[0], trim(text.substr(2 + name.size())), row};
  }
  return std::nullopt;
}

// A line of the detail panel, e.g. "Val:", read from the panel's inside.
std::string detail(const systest::RecordedScreen& screen, int panel_row) {
  return trim(screen.text(4 + panel_row, 53, 23));
}
// The number or label after one of the panel's labels ("Val", "Min", ... "Opt").
std::string detail_value(const systest::RecordedScreen& screen, const std::string& label) {
  static const std::map<std::string, int> rows = {{"Val", 2}, {"Min", 3}, {"Max", 4},
                                                  {"Stp", 5}, {"Def", 6}, {"Opt", 7}};
  std::string line = detail(screen, rows.at(label));
  return line.rfind(label + ":", 0) == 0 ? trim(line.substr(4)) : "<no " + label + " line>";
}
std::string status_area(const systest::RecordedScreen& screen) {
  return trim(screen.text(0, 20, 58));
}

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> set;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) set.insert(line);
  return set;
}

// The steps keypty takes through one run of the program.
class KeyScript {
 public:
  KeyScript& key(const std::string& name, int times = 1) {
    for (int i = 0; i < times; ++i) text_ += "key " + name + "\n";
    return *this;
  }
  KeyScript& mark(const std::string& label) {
    text_ += "mark " + label + "\n";
    return *this;
  }
  // Reads brightness, "Menu" and "Integer Menu" from the device into /out/file while the
  // program runs.
  KeyScript& probe(const std::string& file) {
    return probe(file, std::string(kBrightnessId) + " " + kMenuId + " " + kIntegerMenuId);
  }
  // Reads the given controls ("ID ID...") into /out/file.
  KeyScript& probe(const std::string& file, const std::string& ids) {
    text_ += "run /case/ctlprobe /dev/video0 " + ids + " >/out/" + file + "\n";
    return *this;
  }
  // Their flags, as the driver reports them to any handle.
  KeyScript& probe_flags(const std::string& file, const std::string& ids) {
    text_ += "run /case/ctlprobe -f /dev/video0 " + ids + " >/out/" + file + "\n";
    return *this;
  }
  // Another program writes "ID=VALUE ..." from a handle of its own; the screen must follow
  // (without redraw, keypty does not wait for the program's answer).
  KeyScript& other_program_sets(const std::string& file, const std::string& pairs,
                                bool redraw = true) {
    text_ += std::string(redraw ? "change" : "run") + " /case/ctlprobe -s /dev/video0 " + pairs +
             " >/out/" + file + "\n";
    return *this;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

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
  // gap at 2 to 1; then a jump down on "Integer Menu" (items 2..8, default 4), which lands on
  // its minimum 1, an index the driver does not offer; then save and quit.
  KeyScript first;
  first.mark("start").key("Right", 3).mark("brightness").key("Down", 12).mark("on-menu");
  first.key("Right").mark("menu-up").key("Left", 2).mark("menu-down").probe("probe-menu.txt");
  first.key("Down", 2).mark("on-integer-menu").key("PgDn").mark("refused");
  first.probe("probe-refused.txt").key("S").mark("saved").key("Q");
  // A second run: reset everything, then load the saved file.
  KeyScript second;
  second.mark("start").key("R").mark("reset").probe("probe-reset.txt");
  second.key("L").mark("loaded").probe("probe-loaded.txt").key("Q");

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
    auto screen = one.at("refused");
    ASSERT_TRUE(before && screen);
    ASSERT_EQ(detail(*before, 1), "Integer Menu") << before->dump();
    EXPECT_EQ(detail_value(*before, "Val"), "4");
    // The driver refuses item 1; the screen keeps showing what the device still holds.
    EXPECT_EQ(status_area(*screen), "Cannot set Integer Menu: Invalid argument") << screen->dump();
    EXPECT_EQ(detail_value(*screen, "Val"), "4");
    EXPECT_EQ(detail_value(*screen, "Opt"), "5");
    auto row = list_row(*screen, "Integer Menu");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->marker, ' ');
    EXPECT_EQ(row->shown, "5");
    EXPECT_EQ(probe_values(result.file("probe-refused.txt"))[kIntegerMenuId],
              detail_value(*screen, "Val"));
  }
  {
    auto screen = one.at("saved");
    ASSERT_TRUE(screen);
    EXPECT_EQ(status_area(*screen), "Config file /tmp/camera.txt saved") << screen->dump();
  }
  // Exactly the values that differ from their defaults.
  EXPECT_EQ(result.file("camera.txt"), "brightness=131\r\nmenu=1\r\n");

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

// The programs a session needs in its guest: the program under test, keypty, ctlprobe and the
// terminal description.
void add_session_tools(systest::GuestCase& guest, const std::string& arch) {
  guest.add_file(systest::program_for(arch), "camera_control");
  guest.add_file(systest::guest_helper(arch, "keypty"), "keypty");
  guest.add_file(systest::guest_helper(arch, "ctlprobe"), "ctlprobe");
  guest.add_file(systest::terminfo_entry(), "terminfo/x/xterm");
}

std::string kernel_of(const std::string& arch) {
  return arch == "armhf" ? "the armhf 5.10 VM" : "the x86_64 6.1 VM";
}

// Both kernels: the board's 5.10 armhf with the release bundle's binary, and 6.1 x86_64.
class FollowingTheCamera : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (systest::system_tests_opted_out()) GTEST_SKIP() << "CAMCTL_SKIP_SYSTEM_TESTS=1";
    ASSERT_EQ(systest::require_file(systest::program_for(GetParam()), "static camera_control"), "");
    ASSERT_NE(systest::terminfo_entry(), "") << "no xterm terminfo entry on this machine";
  }
};

// Whether ctlprobe -f found Gain inactive: "yes", "no", or what it printed instead.
std::string gain_inactive(const std::string& probe) {
  std::istringstream lines(probe);
  std::string id, flags;
  while (lines >> id >> flags) {
    if (id != kGainId || flags.rfind("flags=0x", 0) != 0) continue;
    return (std::stoul(flags.substr(8), nullptr, 16) & kInactiveFlag) != 0 ? "yes" : "no";
  }
  return "<" + probe + ">";
}

// The watching run: another program's write, the automatic gain switched off on the screen, the
// unplug.
void check_watching(const systest::GuestResult& result) {
  Session watching(result.file("watch.raw"), result.file("watch.marks"));
  EXPECT_EQ(watching.exit_status(), "0");
  {
    auto screen = watching.at("start");
    ASSERT_TRUE(screen);
    ASSERT_EQ(detail(*screen, 1), "Brightness") << screen->dump();
    EXPECT_EQ(list_row(*screen, "Brightness").value_or(ListRow{}).shown, "128");
    // Gain is inactive while the automatic gain is on: not listed.
    EXPECT_FALSE(list_row(*screen, "Gain")) << screen->dump();
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
  {
    auto before = watching.at("on-autogain");
    auto screen = watching.at("gain-joined");
    ASSERT_TRUE(before && screen);
    ASSERT_EQ(detail(*before, 1), "Gain, Automatic") << before->dump();
    EXPECT_EQ(detail_value(*before, "Val"), "1");
    EXPECT_EQ(detail_value(*screen, "Val"), "0") << screen->dump();
    auto device = probe_values(result.file("probe-joined.txt"));
    EXPECT_EQ(device[kAutoGainId], "0");
    // The driver made Gain active: the independent reader sees no inactive flag any more.
    EXPECT_EQ(gain_inactive(result.file("flags-joined.txt")), "no");
    // Gain joined right below "Gain, Automatic", its walk position, with the device's value.
    auto automatic = list_row(*screen, "Gain, Automatic");
    auto gain = list_row(*screen, "Gain");
    ASSERT_TRUE(automatic && gain) << screen->dump();
    EXPECT_EQ(gain->row, automatic->row + 1) << screen->dump();
    EXPECT_EQ(gain->shown, device[kGainId]) << screen->dump();
    EXPECT_NE(device[kGainId], "");
  }
  {
    auto screen = watching.at("unplugged");
    ASSERT_TRUE(screen);
    EXPECT_EQ(result.file("disconnect.txt"), std::string(kDisconnectId) + " 0\n");
    EXPECT_EQ(status_area(*screen), "Camera /dev/video0 disconnected") << screen->dump();
  }
}

// The loading run: the out-of-order file loaded with L into vivid at its defaults.
void check_loading(const systest::GuestResult& result) {
  // At vivid's defaults the automatic gain is on, and Gain inactive.
  EXPECT_EQ(gain_inactive(result.file("flags-defaults.txt")), "yes");
  Session loading(result.file("load.raw"), result.file("load.marks"));
  EXPECT_EQ(loading.exit_status(), "0");
  {
    auto screen = loading.at("start");
    ASSERT_TRUE(screen);
    EXPECT_FALSE(list_row(*screen, "Gain")) << screen->dump();
  }
  {
    auto screen = loading.at("loaded");
    ASSERT_TRUE(screen);
    EXPECT_EQ(status_area(*screen), "Config file /case/gain.txt loaded") << screen->dump();
    auto device = probe_values(result.file("probe-loaded.txt"));
    EXPECT_EQ(device[kAutoGainId], "0");
    EXPECT_EQ(device[kGainId], "200");
    auto gain = list_row(*screen, "Gain");
    ASSERT_TRUE(gain) << screen->dump();
    EXPECT_EQ(gain->marker, '+');
    EXPECT_EQ(gain->shown, "200");
  }
}

TEST_P(FollowingTheCamera, ScreenShowsOtherWritesTheGainClusterAndAnOutOfOrderLoad) {
  // One run, vivid at its defaults: another program sets Brightness to 77 while Brightness is
  // selected; then "Gain, Automatic" (the seventh row) goes off with Left, which makes "Gain"
  // active: it must join the list below it with the value the device holds. Last, another
  // program presses vivid's "Disconnect" button, which unregisters the node as an unplug does.
  std::string ids = std::string(kAutoGainId) + " " + kGainId;
  KeyScript watch;
  watch.mark("start").other_program_sets("other-set.txt", std::string(kBrightnessId) + "=77");
  watch.mark("other-write").probe("probe-other.txt", kBrightnessId);
  watch.key("Down", 6).mark("on-autogain").key("Left").mark("gain-joined");
  watch.probe("probe-joined.txt", ids).probe_flags("flags-joined.txt", kGainId);
  // The 5.10 driver's button only marks its nodes unregistered: it wakes no waiter, so there the
  // unplug is seen when a key wakes the program. 6.1's unregisters them, which wakes it.
  const bool wakes = GetParam() != "armhf";
  watch.other_program_sets("disconnect.txt", std::string(kDisconnectId) + "=0", wakes);
  if (!wakes) watch.key("Down");
  watch.mark("unplugged").key("Q");
  // Another run, vivid at its defaults: a file that names the manual gain before the switch
  // that makes it active. vivid's automatic gain counts up from about 11 with the seconds since
  // boot, so 200 is never there by chance.
  KeyScript load;
  load.mark("start").key("L").mark("loaded").probe("probe-loaded.txt", ids).key("Q");

  systest::GuestCase guest(GetParam());
  add_session_tools(guest, GetParam());
  guest.add_text("watch.keys", watch.text());
  guest.add_text("load.keys", load.text());
  guest.add_text("gain.txt", "gain=200\r\ngain_automatic=0\r\n");
  guest.set_script(
      "insmod /modules/vivid.ko n_devs=1 node_types=0x1\n"
      "export TERM=xterm TERMINFO=/case/terminfo\n"
      "./ctlprobe -f /dev/video0 " +
      ids + " >/out/flags-defaults.txt\n" +
      "./keypty -s load.keys -o /out/load.raw -m /out/load.marks -- "
      "./camera_control -c /case/gain.txt\n"
      // The unplug is last: the 5.10 driver does not give the node back after it.
      "rmmod vivid && insmod /modules/vivid.ko n_devs=1 node_types=0x1\n"
      "./keypty -s watch.keys -o /out/watch.raw -m /out/watch.marks -- "
      "./camera_control -c /tmp/camera.txt\n");
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << kernel_of(GetParam()) << " did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");

  // Each run is judged on its own, so one's fault does not hide the other's.
  check_watching(result);
  check_loading(result);
}

INSTANTIATE_TEST_SUITE_P(Kernels, FollowingTheCamera,
                         ::testing::Values(std::string("armhf"), std::string("x86_64")),
                         [](const auto& test) { return test.param; });

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

struct BootRun {
  std::string arch;      // the guest
  std::string deb_arch;  // the package of tools/release.sh installed in it
};

std::ostream& operator<<(std::ostream& out, const BootRun& run) {
  return out << run.arch << " with the " << run.deb_arch << " package";
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

  systest::GuestCase guest(run.arch);
  // The package's files go to their places in the guest, as dpkg would put them.
  for (const std::string& file : package.files())
    guest.add_file(package.root() + "/" + file, "root/" + file);
  // The guest is a bare busybox without a C library: a dynamic program gets the build
  // machine's libraries, which its package depends on, at the paths it looks for them.
  for (const std::string& library : shared_libraries(package.root() + program))
    guest.add_file(library, "root" + library);
  guest.add_file(systest::guest_helper(run.arch, "ctlprobe"), "ctlprobe");
  // Three pairs, the manual gain before the switch that makes it active.
  guest.add_text("root" + settings, "gain=200\r\ngain_automatic=0\r\nbrightness=77\r\n");
  std::string ids = std::string(kAutoGainId) + " " + kGainId + " " + kBrightnessId;
  guest.set_script(
      "insmod /modules/vivid.ko n_devs=1 node_types=0x1\n"
      "cp -a /case/root/. /\n"
      "./ctlprobe /dev/video0 " +
      ids + " >/out/before.txt\n" +
      // As systemd starts a service: no terminal, no inherited environment, from /.
      "(cd / && env -i PATH=/usr/bin:/bin " + line +
      " </dev/null >/out/unit.stdout 2>/out/unit.stderr)\n"
      "echo $? >/out/unit.status\n" +
      "./ctlprobe /dev/video0 " + ids + " >/out/after.txt\n");
  systest::GuestResult result = guest.boot();
  ASSERT_TRUE(result.delivered) << kernel_of(run.arch) << " did not run the case:\n"
                                << result.runner_messages;
  EXPECT_EQ(result.file("case.log"), "");
  SCOPED_TRACE("the unit's command in the guest: " + line);

  auto before = probe_values(result.file("before.txt"));
  EXPECT_EQ(before[kAutoGainId], "1");
  EXPECT_EQ(before[kBrightnessId], "128");
  EXPECT_EQ(result.file("unit.status"), "0\n")
      << result.file("unit.stdout") << result.file("unit.stderr");
  std::string out = result.file("unit.stdout");
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  std::string loaded = "INFO: Config file " + settings + " loaded\n";
  EXPECT_TRUE(out.size() >= loaded.size() &&
              out.compare(out.size() - loaded.size(), loaded.size(), loaded) == 0)
      << out;
  auto after = probe_values(result.file("after.txt"));
  EXPECT_EQ(after[kAutoGainId], "0");
  EXPECT_EQ(after[kGainId], "200");
  EXPECT_EQ(after[kBrightnessId], "77");
}

// The board's kernel with the armhf package (the release bundle's static program); Debian's 6.1
// with the native package, whose program is dynamically linked.
INSTANTIATE_TEST_SUITE_P(Kernels, BootUnit,
                         ::testing::Values(BootRun{"armhf", "armhf"}, BootRun{"x86_64", "amd64"}),
                         [](const auto& test) { return test.param.arch; });

}  // namespace
