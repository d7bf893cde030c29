// Value changes by key and reset, checked in both the table and the device's write log.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "controls/adjust.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "sim/in_process.h"

namespace {

using camctl::adjust_control;
using camctl::AdjustKind;

constexpr const char* kDevice =
    "device driver=\"t\" card=\"Test\" bus_info=\"test:0\" version=0x1 capabilities=0x84200001 "
    "device_caps=0x04200001\n";

std::string control_line(std::uint32_t id, int type, const char* name, long min, long max,
                         long step, long def, long value) {
  char line[400];
  std::snprintf(line, sizeof line,
                "control id=0x%08x type=%d name=\"%s\" minimum=%ld maximum=%ld step=%ld "
                "default=%ld flags=0x0 value=%ld\n",
                id, type, name, min, max, step, def, value);
  return line;
}

// One simulated camera, opened and walked, for the length of a test.
class Adjust : public ::testing::Test {
 protected:
  void start(const std::string& controls) {
    start_scenario(camsim::scenario_from_text(kDevice + controls));
  }
  void start_scenario(camsim::Scenario scenario) {
    TearDown();
    table_ = {};
    sim_ = std::make_unique<camsim::InProcessCamera>(std::move(scenario));
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_TRUE(camctl::open_capture_device(device_, "/dev/video0", sink));
    camctl::build_control_table(device_, {}, false, sink, table_);
    std::fclose(sink);
    sim_->camera().clear_write_log();
  }
  void TearDown() override {
    device_.close();
    sim_.reset();
  }
  std::size_t position(std::uint32_t id) const { return camctl::listed_position(table_, {0, id}); }
  std::int32_t value(std::size_t i) const { return table_.at(i).value; }
  std::int32_t device_value(std::size_t i) {
    return sim_->camera().control(table_.at(i).id)->value;
  }
  const std::vector<camsim::Write>& writes() { return sim_->camera().write_log(); }
  bool press(std::size_t i, AdjustKind kind) {
    return adjust_control(table_, device_, i, kind, &refusal_);
  }
  void set_value(std::size_t i, std::int32_t v) {
    table_.at(i).value = v;
    sim_->camera().control(table_.at(i).id)->value = v;
  }

  std::unique_ptr<camsim::InProcessCamera> sim_;
  camctl::Camera device_;
  camctl::ControlTable table_;
  camctl::WriteRefusal refusal_;
};

TEST_F(Adjust, StepsJumpsAndBoundsOfAPlainInteger) {
  start(control_line(0x00980900, 1, "Brightness", 0, 100, 1, 50, 10));
  EXPECT_TRUE(press(0, AdjustKind::jump_down));
  EXPECT_EQ(value(0), 0);
  EXPECT_FALSE(press(0, AdjustKind::step_down));  // at the minimum: nothing written
  EXPECT_TRUE(press(0, AdjustKind::step_up));
  EXPECT_EQ(value(0), 1);
  set_value(0, 10);
  EXPECT_TRUE(press(0, AdjustKind::jump_up));
  EXPECT_EQ(value(0), 20);
  set_value(0, 95);
  EXPECT_TRUE(press(0, AdjustKind::jump_up));
  EXPECT_EQ(value(0), 100);
  EXPECT_FALSE(press(0, AdjustKind::step_up));
  EXPECT_FALSE(press(0, AdjustKind::maximum));
  EXPECT_TRUE(press(0, AdjustKind::minimum));
  EXPECT_EQ(value(0), 0);
  EXPECT_TRUE(press(0, AdjustKind::default_value));
  EXPECT_EQ(value(0), 50);
  EXPECT_FALSE(press(0, AdjustKind::default_value));  // already there: nothing written
  ASSERT_EQ(writes().size(), 6U);
  const std::int32_t written[] = {0, 1, 20, 100, 0, 50};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(writes()[i].id, 0x00980900U);
    EXPECT_EQ(writes()[i].value, written[i]);
  }
  EXPECT_EQ(device_value(0), 50);
}

TEST_F(Adjust, ABooleanStopsAtOne) {
  start(control_line(0x00980909, 2, "Mute", 0, 1, 1, 0, 0));
  EXPECT_TRUE(press(0, AdjustKind::step_up));
  EXPECT_EQ(value(0), 1);
  EXPECT_FALSE(press(0, AdjustKind::step_up));
  EXPECT_EQ(writes().size(), 1U);
}

TEST_F(Adjust, AValueOffTheStepGridStaysWithinTheKeysGuards) {
  start(control_line(0x00980900, 1, "Odd", 0, 100, 2, 0, 1));
  // The driver rounds 1 - 2 = -1 into range: the entry shows 0, what the device holds.
  EXPECT_TRUE(press(0, AdjustKind::step_down));
  EXPECT_EQ(value(0), 0);
  EXPECT_EQ(device_value(0), 0);
  EXPECT_FALSE(press(0, AdjustKind::step_down));
  EXPECT_FALSE(press(0, AdjustKind::jump_down));
}

TEST_F(Adjust, TheEntryTakesWhatTheDriverStored) {
  start(control_line(0x009a0902, 1, "Exposure", 3, 2047, 5, 248, 248));
  EXPECT_TRUE(press(0, AdjustKind::maximum));
  EXPECT_EQ(writes().back().value, 2047);
  EXPECT_EQ(value(0), 2043);  // the driver keeps to its step grid
  EXPECT_EQ(device_value(0), 2043);
  // Right again: 2043 is below the maximum, so it asks for 2048, which rounds back to 2043.
  EXPECT_FALSE(press(0, AdjustKind::step_up));
  EXPECT_EQ(value(0), 2043);
}

TEST_F(Adjust, RefusedWritesLeaveTheEntryAndReportTheError) {
  for (const char* error : {"EACCES", "EBUSY", "EINVAL", "EIO", "ENODEV"}) {
    SCOPED_TRACE(error);
    start(control_line(0x00980900, 1, "Brightness", 0, 100, 1, 50, 50) +
          control_line(0x00980901, 1, "Contrast", 0, 100, 1, 50, 50) +
          "fail id=0x00980900 error=" + error + "\n");
    refusal_ = {};
    EXPECT_FALSE(press(0, AdjustKind::step_up));
    EXPECT_EQ(value(0), 50);
    EXPECT_EQ(refusal_.position, 0U);
    EXPECT_EQ(refusal_.error, camsim::errno_from_name(error));
    ASSERT_EQ(writes().size(), 1U);
    EXPECT_EQ(writes()[0].value, 51);
    EXPECT_TRUE(press(1, AdjustKind::step_up));
    EXPECT_EQ(value(1), 51);
  }
}

TEST_F(Adjust, MenuStepsGoFromOfferedItemToOfferedItem) {
  start(control_line(0x0098f904, 3, "Menu", 1, 4, 1, 3, 1) +
        "menu id=0x0098f904 index=1 name=\"One\"\nmenu id=0x0098f904 index=2 error=EINVAL\n"
        "menu id=0x0098f904 index=3 name=\"Three\"\nmenu id=0x0098f904 index=4 name=\"Four\"\n" +
        control_line(0x0098f907, 9, "Integer Menu", 1, 8, 1, 4, 4) +
        "menu id=0x0098f907 index=1 error=EINVAL\nmenu id=0x0098f907 index=2 value=2\n"
        "menu id=0x0098f907 index=3 value=3\nmenu id=0x0098f907 index=4 value=5\n"
        "menu id=0x0098f907 index=5 error=EINVAL\nmenu id=0x0098f907 index=6 error=EINVAL\n"
        "menu id=0x0098f907 index=7 error=EINVAL\nmenu id=0x0098f907 index=8 value=13\n");
  EXPECT_TRUE(press(0, AdjustKind::step_up));
  EXPECT_EQ(value(0), 3);
  EXPECT_TRUE(press(0, AdjustKind::step_up));
  EXPECT_EQ(value(0), 4);
  EXPECT_FALSE(press(0, AdjustKind::step_up));
  EXPECT_TRUE(press(0, AdjustKind::step_down));
  EXPECT_TRUE(press(0, AdjustKind::step_down));
  EXPECT_EQ(value(0), 1);
  EXPECT_FALSE(press(0, AdjustKind::step_down));

  EXPECT_TRUE(press(1, AdjustKind::step_up));
  EXPECT_EQ(value(1), 8);
  EXPECT_TRUE(press(1, AdjustKind::step_down));
  EXPECT_TRUE(press(1, AdjustKind::step_down));
  EXPECT_TRUE(press(1, AdjustKind::step_down));
  EXPECT_EQ(value(1), 2);
  EXPECT_FALSE(press(1, AdjustKind::step_down));  // index 1 is a gap: nothing below
  for (const camsim::Write& w : writes()) EXPECT_EQ(w.result, 0) << "wrote index " << w.value;
  EXPECT_EQ(writes().size(), 8U);
}

// Every adjusting key lands a menu on an item the driver offers, so none is refused: the
// captured webcam's "Auto Exposure" (items 1 and 3 of 0 to 3), vivid's "Integer Menu" (no item
// 1), and a long menu with a gap at 5, its default.
TEST_F(Adjust, EveryKeyLandsAMenuOnAnOfferedItem) {
  std::string long_menu = control_line(0x009a0914, 3, "Scene", 0, 15, 1, 5, 0);
  for (int i = 0; i <= 15; ++i) {
    long_menu += "menu id=0x009a0914 index=" + std::to_string(i) +
                 (i == 5 ? " error=EINVAL\n" : " name=\"S" + std::to_string(i) + "\"\n");
  }
  struct Case {
    const char* camera;  // a fixture, or "" for the long menu
    std::uint32_t id;
    std::int32_t from;
    AdjustKind kind;
    std::int32_t to;  // from again: nothing written
  };
  constexpr std::uint32_t kAutoExposure = 0x009a0901, kIntegerMenu = 0x0098f907;
  constexpr std::uint32_t kScene = 0x009a0914;
  const Case cases[] = {
      {"uvc-webcam-6.1.txt", kAutoExposure, 3, AdjustKind::minimum, 1},
      {"uvc-webcam-6.1.txt", kAutoExposure, 3, AdjustKind::jump_down, 1},
      {"uvc-webcam-6.1.txt", kAutoExposure, 1, AdjustKind::maximum, 3},
      {"uvc-webcam-6.1.txt", kAutoExposure, 1, AdjustKind::jump_up, 3},
      {"uvc-webcam-6.1.txt", kAutoExposure, 1, AdjustKind::default_value, 3},
      {"vivid-6.1-capture.txt", kIntegerMenu, 4, AdjustKind::minimum, 2},
      {"vivid-6.1-capture.txt", kIntegerMenu, 4, AdjustKind::jump_down, 2},
      {"vivid-6.1-capture.txt", kIntegerMenu, 2, AdjustKind::jump_up, 8},
      {"vivid-6.1-capture.txt", kIntegerMenu, 8, AdjustKind::maximum, 8},
      // Ten offered items along, the gap not counted, and clamped at either end.
      {"", kScene, 0, AdjustKind::jump_up, 11},
      {"", kScene, 11, AdjustKind::jump_down, 0},
      {"", kScene, 14, AdjustKind::jump_up, 15},
      {"", kScene, 15, AdjustKind::jump_up, 15},
      // From a value in the gap, the item next to it is the first one along.
      {"", kScene, 5, AdjustKind::jump_down, 0},
      {"", kScene, 5, AdjustKind::step_up, 6},
      // The default lies in the gap: D writes nothing rather than a refused index.
      {"", kScene, 3, AdjustKind::default_value, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.camera) + " from " + std::to_string(c.from) + " kind " +
                 std::to_string(static_cast<int>(c.kind)));
    start_scenario(*c.camera == '\0'
                       ? camsim::scenario_from_text(kDevice + long_menu)
                       : camsim::scenario_from_file(std::string(FIXTURE_DIR) + "/" + c.camera));
    const std::size_t i = position(c.id);
    ASSERT_LT(i, table_.count());
    set_value(i, c.from);
    refusal_ = {};
    EXPECT_EQ(press(i, c.kind), c.to != c.from);
    EXPECT_EQ(value(i), c.to);
    EXPECT_EQ(device_value(i), c.to);
    EXPECT_EQ(refusal_.error, 0);
    EXPECT_EQ(writes().size(), c.to != c.from ? 1U : 0U);
  }
  // R leaves the menu whose default is not offered on its item, and resets the rest.
  start(long_menu + control_line(0x00980900, 1, "Brightness", 0, 100, 1, 50, 10));
  set_value(position(kScene), 7);
  camctl::reset_all_controls(table_, device_, &refusal_);
  EXPECT_EQ(value(position(kScene)), 7);
  ASSERT_EQ(writes().size(), 1U);
  EXPECT_EQ(writes()[0].id, 0x00980900U);
}

TEST_F(Adjust, TheWholeThirtyTwoBitRangeNeverOverflows) {
  start(control_line(0x0098f902, 1, "Integer 32 Bits", INT_MIN, INT_MAX, 1, 0, 0) +
        control_line(0x0098f90a, 1, "Huge Step", INT_MIN, INT_MAX, 1500000000, 0, 0));
  EXPECT_TRUE(press(0, AdjustKind::maximum));
  EXPECT_EQ(value(0), INT_MAX);
  EXPECT_FALSE(press(0, AdjustKind::step_up));
  EXPECT_FALSE(press(0, AdjustKind::jump_up));
  EXPECT_TRUE(press(0, AdjustKind::minimum));
  EXPECT_EQ(value(0), INT_MIN);
  EXPECT_FALSE(press(0, AdjustKind::jump_down));
  EXPECT_TRUE(press(0, AdjustKind::jump_up));
  EXPECT_EQ(value(0), INT_MIN + 10);

  // 10 steps of 1.5e9 lie far past either end: a jump stops at the bound.
  EXPECT_TRUE(press(1, AdjustKind::jump_up));
  EXPECT_EQ(writes().back().value, INT_MAX);
  set_value(1, 1500000000);
  // One step up from 1.5e9 leaves the 32-bit range: the nearest 32-bit value is asked for.
  EXPECT_TRUE(press(1, AdjustKind::step_up));
  EXPECT_EQ(writes().back().value, INT_MAX);
  // The driver keeps to its grid of 1.5e9 steps from the minimum; the entry follows it.
  EXPECT_EQ(value(1), INT_MIN + 3000000000LL);
  set_value(1, -1500000000);
  EXPECT_TRUE(press(1, AdjustKind::step_down));
  EXPECT_EQ(writes().back().value, INT_MIN);
  EXPECT_EQ(value(1), INT_MIN);
  EXPECT_FALSE(press(1, AdjustKind::jump_down));
}

TEST_F(Adjust, ResetWritesEveryDefaultAndKeepsRefusedEntries) {
  start(control_line(0x00980900, 1, "Brightness", 0, 100, 1, 50, 50) +
        control_line(0x00980901, 1, "Contrast", 0, 100, 1, 40, 70) +
        control_line(0x00980902, 1, "Saturation", 0, 100, 1, 30, 90) +
        "fail id=0x00980901 error=EBUSY\n");
  camctl::reset_all_controls(table_, device_, &refusal_);
  ASSERT_EQ(writes().size(), 3U);  // also the one already at its default
  EXPECT_EQ(writes()[0].value, 50);
  EXPECT_EQ(writes()[1].value, 40);
  EXPECT_EQ(writes()[2].value, 30);
  EXPECT_EQ(value(0), 50);
  EXPECT_EQ(value(1), 70);  // refused: still what the device holds
  EXPECT_EQ(value(2), 30);
  EXPECT_EQ(refusal_.position, 1U);
  EXPECT_EQ(refusal_.error, EBUSY);
}

// An auto control back at its default takes its manual control over, which uvcvideo then
// refuses to write (6.1) or sends to a camera that ignores it (5.10); the control framework
// stores it unused. However the driver takes it, the reset leaves that control to its auto
// control and reports nothing; one before its auto control in walk order was reset in time.
TEST_F(Adjust, ResetLeavesTheControlsItsAutoControlsTookOver) {
  for (const char* inactive : {"refuse", "ignore", "store"}) {
    SCOPED_TRACE(inactive);
    start(control_line(0x00980900, 1, "Brightness", 0, 255, 1, 128, 77) +
          control_line(0x0098090c, 2, "White Balance, Automatic", 0, 1, 1, 1, 0) +
          control_line(0x0098091a, 1, "White Balance Temperature", 2000, 6500, 1, 4000, 5000) +
          control_line(0x009a090a, 1, "Focus, Absolute", 0, 250, 5, 0, 100) +
          control_line(0x009a090c, 2, "Focus, Automatic Continuous", 0, 1, 1, 1, 0) +
          "cluster master=0x0098090c manual=0 members=0x0098091a volatile=0\n"
          "cluster master=0x009a090c manual=0 members=0x009a090a volatile=0\n"
          "rules inactive=" +
          inactive + "\n");
    camctl::reset_all_controls(table_, device_, &refusal_);
    std::vector<std::pair<std::uint32_t, std::int32_t>> written;
    for (const camsim::Write& w : writes()) written.emplace_back(w.id, w.value);
    EXPECT_EQ(written, (std::vector<std::pair<std::uint32_t, std::int32_t>>{
                           {0x00980900, 128}, {0x0098090c, 1}, {0x009a090a, 0}, {0x009a090c, 1}}));
    EXPECT_EQ(refusal_.error, 0);
    ASSERT_EQ(table_.inactive.size(), 1U);
    EXPECT_EQ(table_.inactive[0].id, 0x0098091aU);
    EXPECT_EQ(sim_->camera().control(0x0098091a)->value, 5000);
  }
}

TEST_F(Adjust, AnyPositionPastTheTableIsIgnored) {
  start("");
  EXPECT_FALSE(press(0, AdjustKind::step_up));
  camctl::reset_all_controls(table_, device_, &refusal_);
  EXPECT_TRUE(writes().empty());
}

}  // namespace
