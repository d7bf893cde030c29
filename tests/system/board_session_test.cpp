// The board's own kernel (Debian's 5.10 armmp in an armhf VM) with the release bundle: an
// interactive session of the static binary against vivid, checked against an independent reader
// of the device, and the bundled dummy module loading where it was built for.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "guest_run.h"
#include "recorded_screen.h"
#include "system_config.h"

namespace {

constexpr const char* kBrightnessId = "0x00980900";
constexpr const char* kMenuId = "0x0098f904";
constexpr const char* kIntegerMenuId = "0x0098f907";

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
};

std::optional<ListRow> list_row(const systest::RecordedScreen& screen, const std::string& name) {
  for (int row = 5; row <= 22; ++row) {
    std::string text = screen.text(row, 2, 46);
    if (text.compare(2, name.size() + 1, name + " ") != 0) continue;
    return ListRow{text[0], trim(text.substr(2 + name.size()))};
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
    text_ += std::string("run /case/ctlprobe /dev/video0 ") + kBrightnessId + " " + kMenuId + " " +
             kIntegerMenuId + " >/out/" + file + "\n";
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
  guest.add_file(systest::armhf_helper("keypty"), "keypty");
  guest.add_file(systest::armhf_helper("ctlprobe"), "ctlprobe");
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

}  // namespace
