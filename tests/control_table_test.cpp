// The control walk against the simulated camera: what enters the table, names, ignore list, menus.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "controls/adjust.h"
#include "controls/control_sync.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "sim/in_process.h"

namespace {

using camctl::ControlTable;
using camctl::derive_variable_name;

constexpr const char* kDevice =
    "device driver=\"t\" card=\"Test\" bus_info=\"test:0\" version=0x1 capabilities=0x84200001 "
    "device_caps=0x04200001\n";

std::string control_line(std::uint32_t id, int type, const std::string& name, long min, long max,
                         long step, long def, unsigned flags,
                         const std::string& value = "value=0") {
  char line[512];
  std::snprintf(
      line, sizeof line,
      "control id=0x%08x type=%d name=\"%s\" minimum=%ld maximum=%ld step=%ld default=%ld "
      "flags=0x%x %s\n",
      id, type, name.c_str(), min, max, step, def, flags, value.c_str());
  return line;
}

struct Walk {
  ControlTable table;
  std::string out;
  camsim::RequestCounts counts;
};

Walk walk(const camsim::Scenario& scenario, const std::vector<std::string_view>& ignore = {},
          bool list_mode = false) {
  camsim::InProcessCamera sim(scenario);
  camctl::Camera device;
  Walk result;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  EXPECT_TRUE(camctl::open_capture_device(device, "/dev/video0", out));
  camctl::build_control_table(device, ignore, list_mode, out, result.table);
  std::fclose(out);
  result.out.assign(text, size);
  std::free(text);
  result.counts = sim.camera().counts();
  return result;
}

Walk walk_text(const std::string& controls, const std::vector<std::string_view>& ignore = {},
               bool list_mode = false) {
  return walk(camsim::scenario_from_text(kDevice + controls), ignore, list_mode);
}

std::vector<std::string> names(const ControlTable& table) {
  std::vector<std::string> result;
  for (const auto& e : table.entries) result.push_back(e.variable_name);
  return result;
}

TEST(VariableName, DerivesLowerCaseWordsJoinedByUnderscores) {
  const std::pair<const char*, const char*> cases[] = {
      {"Brightness", "brightness"},
      {"White Balance Temperature, Auto", "white_balance_temperature_auto"},
      {"Exposure (Absolute)", "exposure_absolute"},
      {"H264 I-Frame Period", "h264_i_frame_period"},
      {"(Test) Pattern", "_test_pattern"},
      {"----", ""},
      {"", ""},
      {"Temp\xc3\xa9rature", "temp_rature"},  // UTF-8 letters separate like blanks
      {"\xff\xfe"
       "Abc\x80",
       "_abc"},  // any byte above 127, leading and trailing
      {"A  --  B", "a_b"},
      {"Y'CbCr Encoding", "y_cbcr_encoding"},
  };
  for (const auto& [display, expected] : cases) {
    EXPECT_EQ(derive_variable_name(display), expected) << display;
  }
}

TEST(IgnoreList, AnIgnoreNameMatchesEveryVariableNameItBeginsWith) {
  using camctl::is_ignored;
  EXPECT_TRUE(is_ignored({"brightness"}, "brightness"));
  EXPECT_TRUE(is_ignored({"brightness_extra"}, "brightness"));
  EXPECT_FALSE(is_ignored({"bright"}, "brightness"));
  EXPECT_TRUE(is_ignored({"white_balance_temperature_auto"}, "white_balance_temperature"));
  EXPECT_FALSE(is_ignored({"Brightness"}, "brightness"));  // bytes, not letters
  EXPECT_TRUE(is_ignored({"x"}, ""));                      // every name begins with ""
  EXPECT_FALSE(is_ignored({"", "contrast"}, "brightness"));
  EXPECT_TRUE(is_ignored({"hue", "contrast"}, "contrast"));
}

TEST(ControlWalk, IgnoreNamesLeaveOutMatchingControlsOnlyFromTheTable) {
  const std::string controls = control_line(0x00980900, 1, "Brightness", 0, 255, 1, 128, 0) +
                               control_line(0x00980901, 1, "Contrast", 0, 255, 1, 128, 0) +
                               control_line(0x00980902, 1, "----", 0, 255, 1, 128, 0);
  EXPECT_EQ(names(walk_text(controls).table),
            (std::vector<std::string>{"brightness", "contrast", ""}));
  // A non-empty list always leaves out the control without a name.
  EXPECT_EQ(names(walk_text(controls, {"brightness_extra"}).table),
            (std::vector<std::string>{"contrast"}));
  EXPECT_EQ(names(walk_text(controls, {""}).table),
            (std::vector<std::string>{"brightness", "contrast"}));
  // List mode applies no ignore list.
  const Walk listed = walk_text(controls, {"brightness"}, true);
  EXPECT_NE(listed.out.find("brightness = Brightness"), std::string::npos);
  EXPECT_TRUE(listed.table.entries.empty());
}

TEST(ControlWalk, ControlsTheUserCannotChangeOrReadAreLeftOut) {
  const std::string controls =
      control_line(0x00980001, 6, "User Controls", 0, 0, 0, 0, 0x44, "value_error=EACCES") +
      control_line(0x00980900, 1, "Disabled", 0, 9, 1, 0, 0x1) +
      control_line(0x00980901, 1, "Read Only", 0, 9, 1, 0, 0x4) +
      control_line(0x00980902, 1, "Inactive", 0, 9, 1, 0, 0x10) +
      control_line(0x00980903, 1, "Grabbed Slider Volatile", 0, 9, 1, 0, 0x2 | 0x20 | 0x80) +
      control_line(0x00980904, 4, "Button", 0, 0, 0, 0, 0x240, "value_error=EACCES") +
      control_line(0x00980905, 5, "Integer 64", 0, 0, 0, 0, 0x0, "value_error=EINVAL") +
      control_line(0x00980906, 7, "String", 0, 8, 1, 0, 0x100, "value_error=EINVAL") +
      control_line(0x00980907, 1, "Unreadable", 0, 9, 1, 0, 0x0, "value_error=EIO") +
      control_line(0x00980908, 2, "Kept", 0, 1, 1, 0, 0x8);
  const Walk w = walk_text(controls);
  EXPECT_EQ(names(w.table), (std::vector<std::string>{"grabbed_slider_volatile", "kept"}));
  // Only the inactive one may become changeable later; it waits with its value unread.
  ASSERT_EQ(w.table.inactive.size(), 1U);
  EXPECT_EQ(w.table.inactive[0].variable_name, "inactive");
  const Walk listed = walk_text(controls, {}, true);
  EXPECT_EQ(listed.out,
            "INFO: Device is Test on bus test:0\n"
            "INFO:          Control variable name = Control name                  \n"
            "INFO:        grabbed_slider_volatile = Grabbed Slider Volatile       \n"
            "INFO:                           kept = Kept                          \n");
}

TEST(ControlWalk, EntriesCarryTheDriversFieldsAndCurrentValue) {
  const Walk w = walk_text(
      control_line(0x009a0902, 1, "Exposure Time, Absolute", 3, 2047, 5, 250, 0x20, "value=-7"));
  ASSERT_EQ(w.table.count(), 1U);
  const auto& e = w.table.at(0);
  EXPECT_EQ(e.id, 0x009a0902U);
  EXPECT_EQ(e.display_name, "Exposure Time, Absolute");
  EXPECT_EQ(e.variable_name, "exposure_time_absolute");
  EXPECT_EQ(e.type, 1U);
  EXPECT_EQ(e.value, -7);
  EXPECT_EQ(e.minimum, 3);
  EXPECT_EQ(e.maximum, 2047);
  EXPECT_EQ(e.step, 5);
  EXPECT_EQ(e.default_value, 250);
  EXPECT_FALSE(e.has_menu);
}

TEST(ControlWalk, NamesThatFillTheDriversFieldAreCutThere) {
  const std::string long_name(40, 'N');  // the field holds 32 bytes, with no zero after them
  const Walk w = walk_text(control_line(0x00980900, 1, long_name, 0, 9, 1, 0, 0));
  ASSERT_EQ(w.table.count(), 1U);
  EXPECT_EQ(w.table.at(0).display_name, std::string(32, 'N'));
  EXPECT_EQ(w.table.at(0).variable_name, std::string(32, 'n'));
}

TEST(ControlWalk, MenusCollectOfferedItemsAndSkipGaps) {
  const std::string controls =
      control_line(0x0098f904, 3, "Menu", 0, 3, 1, 0, 0) +
      "menu id=0x0098f904 index=0 name=\"Zero\"\nmenu id=0x0098f904 index=1 name=\"One\"\n"
      "menu id=0x0098f904 index=2 error=EINVAL\nmenu id=0x0098f904 index=3 name=\"Three\"\n" +
      control_line(0x0098f905, 3, "From One", 1, 3, 1, 1, 0, "value=1") +
      "menu id=0x0098f905 index=1 name=\"a\"\nmenu id=0x0098f905 index=2 name=\"b\"\n"
      "menu id=0x0098f905 index=3 name=\"c\"\n" +
      control_line(0x0098f907, 9, "Integer Menu", 1, 3, 1, 2, 0, "value=2") +
      "menu id=0x0098f907 index=1 error=EINVAL\nmenu id=0x0098f907 index=2 value=-4000\n"
      "menu id=0x0098f907 index=3 value=8589934593\n" +
      control_line(0x0098f908, 3, "All Gaps", 0, 1, 1, 0, 0) +
      "menu id=0x0098f908 index=0 error=EINVAL\nmenu id=0x0098f908 index=1 error=EINVAL\n";
  const Walk w = walk_text(controls);
  ASSERT_EQ(w.table.count(), 4U);

  const auto& menu = w.table.at(0);
  ASSERT_TRUE(menu.has_menu);
  ASSERT_EQ(menu.menu_entries.size(), 3U);
  EXPECT_EQ(menu.menu_entries[2].index, 3U);
  EXPECT_EQ(menu.menu_entries[2].label, "Three");
  EXPECT_EQ(camctl::find_menu_entry(menu, 2), nullptr);
  ASSERT_NE(camctl::find_menu_entry(menu, 1), nullptr);
  EXPECT_EQ(camctl::find_menu_entry(menu, 1)->label, "One");

  ASSERT_NE(camctl::find_menu_entry(w.table.at(1), 1), nullptr);
  EXPECT_EQ(camctl::find_menu_entry(w.table.at(1), 1)->label, "a");

  const auto& integers = w.table.at(2);
  ASSERT_EQ(integers.menu_entries.size(), 2U);
  EXPECT_FALSE(integers.menu_entries[0].has_label);
  EXPECT_EQ(integers.menu_entries[0].value, -4000);
  EXPECT_EQ(integers.menu_entries[1].value, 1);  // low 32 bits of 2^33 + 1

  EXPECT_FALSE(w.table.at(3).has_menu);  // kept, but nothing to show
  EXPECT_EQ(w.counts.querymenu, 4 + 3 + 3 + 2);
}

TEST(ControlWalk, MenuRangesThatOfferNoIndexOrTooManyStayBounded) {
  const std::string controls =
      control_line(0x00980901, 3, "Empty Range", 1, 0, 1, 0, 0) +     // max = min - 1
      control_line(0x00980902, 9, "Inverted Range", 5, 1, 1, 0, 0) +  // lower still
      control_line(0x00980903, 3, "Huge Range", 0, 2147483647, 1, 0, 0) +
      "menu id=0x00980903 index=0 name=\"first\"\nmenu id=0x00980903 index=2000 name=\"far\"\n" +
      control_line(0x00980904, 3, "Whole Range", -2147483647 - 1, 2147483647, 1, 0, 0) +
      control_line(0x00980905, 1, "After", 0, 9, 1, 0, 0);
  const Walk w = walk_text(controls);
  EXPECT_EQ(names(w.table),
            (std::vector<std::string>{"inverted_range", "huge_range", "whole_range", "after"}));
  EXPECT_FALSE(w.table.at(0).has_menu);
  ASSERT_TRUE(w.table.at(1).has_menu);
  EXPECT_EQ(w.table.at(1).menu_entries.size(), 1U);  // index 2000 lies past the bound
  EXPECT_EQ(w.counts.querymenu, 2 * camctl::kMaxMenuQueries);
  // Listing still names the menu with the empty range: it is readable and changeable.
  EXPECT_NE(walk_text(controls, {}, true).out.find("empty_range = Empty Range"), std::string::npos);
}

TEST(ControlWalk, KeepsEveryControlPastAHundred) {
  std::string controls;
  for (unsigned i = 0; i < 250; ++i) {
    controls += control_line(0x00980900 + i, 1, "Control " + std::to_string(i), 0, 9, 1, 0, 0);
  }
  const Walk w = walk_text(controls);
  ASSERT_EQ(w.table.count(), 250U);
  EXPECT_EQ(w.table.at(249).variable_name, "control_249");
}

TEST(ControlWalk, WalkAsksWithBothNextFlagsAndSeesCompoundControls) {
  // A walk with NEXT_CTRL alone would never reach the control behind a compound one; both
  // flags make the walk visit every control, and it still leaves the compound one out.
  const std::string controls =
      control_line(0x0098f908, 258, "Array", 0, 0, 0, 0, 0x100, "value_error=EINVAL") +
      control_line(0x0098f909, 1, "Behind", 0, 9, 1, 0, 0);
  const Walk w = walk_text(controls);
  EXPECT_EQ(names(w.table), (std::vector<std::string>{"behind"}));
  EXPECT_EQ(w.counts.queryctrl, 3);
}

// The walk makes exactly the requests it needs: one QUERYCAP, one QUERYCTRL per control and
// the closing one, one G_CTRL per changeable control, one QUERYMENU per index of a kept menu.
TEST(ControlWalk, RequestCountsAreTheMinimumForEveryFixture) {
  for (const char* name :
       {"vivid-6.1-capture.txt", "vivid-5.10-armhf-capture.txt", "uvc-webcam-6.1.txt",
        "uvc-webcam-5.10-armhf.txt", "board-camera-5.10.txt"}) {
    const camsim::Scenario s = camsim::scenario_from_file(std::string(FIXTURE_DIR) + "/" + name);
    long eligible = 0;
    long readable = 0;
    long menu_items = 0;
    for (const auto& c : s.controls) {
      if ((c.flags & 0x15) != 0) continue;
      ++eligible;
      if (c.value_error != 0) continue;
      ++readable;
      if ((c.type == 3 || c.type == 9) && c.maximum >= c.minimum) {
        menu_items += static_cast<long>(c.maximum) - c.minimum + 1;
      }
    }
    const Walk w = walk(s);
    SCOPED_TRACE(name);
    EXPECT_EQ(w.counts.querycap, 1);
    EXPECT_EQ(w.counts.queryctrl, static_cast<long>(s.controls.size()) + 1);
    EXPECT_EQ(w.counts.g_ctrl, eligible);
    EXPECT_EQ(w.counts.querymenu, menu_items);
    EXPECT_EQ(w.counts.s_ctrl + w.counts.g_fmt + w.counts.other, 0);
    EXPECT_EQ(static_cast<long>(w.table.count()), readable);
    std::printf("%s: %ld requests (querycap 1, queryctrl %ld, g_ctrl %ld, querymenu %ld)\n", name,
                w.counts.total(), w.counts.queryctrl, w.counts.g_ctrl, w.counts.querymenu);
    const Walk listed = walk(s, {}, true);
    EXPECT_EQ(listed.counts.total(), 1 + static_cast<long>(s.controls.size()) + 1 + eligible);
  }
}

TEST(ControlWalk, AFailingWalkEndsQuietlyWithWhatItHas) {
  std::string controls = control_line(0x00980900, 1, "A", 0, 9, 1, 0, 0) +
                         control_line(0x00980901, 1, "B", 0, 9, 1, 0, 0) +
                         control_line(0x00980902, 1, "C", 0, 9, 1, 0, 0);
  // QUERYCAP, QUERYCTRL A, G_CTRL A, QUERYCTRL B; then the device is gone.
  const Walk w = walk_text(controls + "vanish after=4\n");
  EXPECT_EQ(names(w.table), (std::vector<std::string>{"a"}));
}

// ---- Following the camera ----

// Brightness; a menu; Gain behind "Gain, Automatic" (volatile, automatic value 12).
const std::string kFollowed =
    control_line(0x00980900, 1, "Brightness", 0, 255, 1, 128, 0x20, "value=128") +
    control_line(0x00980912, 2, "Gain, Automatic", 0, 1, 1, 1, 0x8, "value=1") +
    control_line(0x00980913, 1, "Gain", 0, 255, 1, 100, 0x90, "value=12") +
    "cluster master=0x00980912 manual=0 members=0x00980913 volatile=1\n" +
    control_line(0x0098f904, 3, "Menu", 1, 2, 1, 1, 0x0, "value=1") +
    "menu id=0x0098f904 index=1 name=\"One\"\nmenu id=0x0098f904 index=2 name=\"Two\"\n" +
    "menu id=0x0098f904 index=3 name=\"Three\"\n";

class Following : public ::testing::Test {
 protected:
  void start(const std::string& extra = "") {
    sim_ = std::make_unique<camsim::InProcessCamera>(
        camsim::scenario_from_text(kDevice + kFollowed + extra));
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_TRUE(camctl::open_capture_device(device_, "/dev/video0", sink));
    camctl::build_control_table(device_, {}, false, sink, table_, true, true);
    std::fclose(sink);
  }
  void TearDown() override {
    device_.close();
    sim_.reset();
    table_ = {};
  }
  camsim::Camera& camera() { return sim_->camera(); }
  // Takes in what the camera reports; returns the dequeue's result.
  int follow() {
    changes_.clear();
    dequeued_ = 0;
    return camctl::apply_pending_events(table_, device_, 0, changes_, dequeued_);
  }
  std::string listed() const {
    std::string text;
    for (const auto& e : table_.entries)
      text += e.variable_name + "=" + std::to_string(e.value) + " ";
    return text;
  }

  std::unique_ptr<camsim::InProcessCamera> sim_;
  camctl::Camera device_;
  camctl::ControlTable table_;
  camctl::TableChanges changes_;
  int dequeued_ = 0;
};

TEST_F(Following, ValuesFlagsAndOwnWritesKeepTheTableInStep) {
  start();
  EXPECT_EQ(listed(), "brightness=128 gain_automatic=1 menu=1 ");
  EXPECT_TRUE(table_.follows_events[0]);
  EXPECT_EQ(camera().counts().subscribe_event, 4);  // three listed, Gain inactive
  EXPECT_EQ(camera().counts().dqevent, 0);

  // Another program's value: one row changes, one dequeue asks for it.
  ASSERT_EQ(camera().other_write(0x00980900, 77), 0);
  EXPECT_EQ(follow(), 0);
  EXPECT_EQ(dequeued_, 1);
  EXPECT_EQ(camera().counts().dqevent, 1);
  EXPECT_FALSE(changes_.rows);
  EXPECT_EQ(changes_.values, (std::vector<camctl::ControlKey>{{0, 0x00980900}}));
  EXPECT_EQ(listed(), "brightness=77 gain_automatic=1 menu=1 ");

  // Auto gain off by another program: Gain joins at its place, with what the device reads.
  ASSERT_EQ(camera().other_write(0x00980912, 0), 0);
  EXPECT_EQ(follow(), 0);
  EXPECT_TRUE(changes_.rows);
  EXPECT_EQ(listed(), "brightness=77 gain_automatic=0 gain=12 menu=1 ");

  // This program's own writes come back as feedback that changes nothing shown...
  ASSERT_EQ(camctl::write_control_value(device_, table_.at(2), 40), 0);
  EXPECT_EQ(follow(), 0);
  EXPECT_EQ(dequeued_, 1);
  EXPECT_TRUE(changes_.empty());
  // ...but what the driver does to the rest of the cluster does: Gain leaves.
  ASSERT_EQ(camctl::write_control_value(device_, table_.at(1), 1), 0);
  EXPECT_EQ(follow(), 0);
  EXPECT_TRUE(changes_.rows);
  EXPECT_EQ(listed(), "brightness=77 gain_automatic=1 menu=1 ");
  ASSERT_EQ(table_.inactive.size(), 1U);
  EXPECT_EQ(table_.inactive[0].variable_name, "gain");

  // Nothing pending: the queue is asked once and nothing changes.
  EXPECT_EQ(follow(), 0);
  EXPECT_EQ(dequeued_, 0);
  EXPECT_TRUE(changes_.empty());

  camera().fail_everything(ENODEV);
  EXPECT_EQ(follow(), ENODEV);
}

TEST_F(Following, RangesAndFlagsFromEventsMoveRowsAndAskMenusAgain) {
  start();
  const auto event = [](std::uint32_t id, std::uint32_t changes, std::int32_t value,
                        std::uint32_t flags, std::int32_t min, std::int32_t max) {
    v4l2_event e{};
    e.type = V4L2_EVENT_CTRL;
    e.id = id;
    e.u.ctrl.changes = changes;
    e.u.ctrl.value = value;
    e.u.ctrl.flags = flags;
    e.u.ctrl.minimum = min;
    e.u.ctrl.maximum = max;
    e.u.ctrl.step = 1;
    e.u.ctrl.default_value = min;
    return e;
  };
  // The menu's range grows: its items are asked again, and the row and panel redrawn.
  const long menus_before = camera().counts().querymenu;
  camctl::apply_control_event(table_, device_, 0,
                              event(0x0098f904, V4L2_EVENT_CTRL_CH_RANGE, 1, 0, 1, 3), changes_);
  EXPECT_EQ(camera().counts().querymenu - menus_before, 3);
  EXPECT_EQ(table_.at(2).maximum, 3);
  EXPECT_EQ(changes_.values, (std::vector<camctl::ControlKey>{{0, 0x0098f904}}));
  // Disabled or read-only controls leave the list as inactive ones do.
  changes_.clear();
  camctl::apply_control_event(
      table_, device_, 0,
      event(0x00980900, V4L2_EVENT_CTRL_CH_FLAGS, 128, V4L2_CTRL_FLAG_READ_ONLY, 0, 255), changes_);
  EXPECT_TRUE(changes_.rows);
  EXPECT_EQ(listed(), "gain_automatic=1 menu=1 ");
  // An event of a control never shown, or of another kind, changes nothing.
  changes_.clear();
  camctl::apply_control_event(table_, device_, 0,
                              event(0x00981234, V4L2_EVENT_CTRL_CH_FLAGS, 0, 0, 0, 1), changes_);
  v4l2_event other = event(0x00980912, V4L2_EVENT_CTRL_CH_VALUE, 0, 0, 0, 1);
  other.type = V4L2_EVENT_EOS;
  camctl::apply_control_event(table_, device_, 0, other, changes_);
  EXPECT_TRUE(changes_.empty());
  EXPECT_EQ(listed(), "gain_automatic=1 menu=1 ");
}

TEST_F(Following, ADriverWithoutEventsIsAskedOnce) {
  start("events error=ENOTTY\n");
  EXPECT_FALSE(table_.follows_events[0]);
  EXPECT_EQ(camera().counts().subscribe_event, 1);
  EXPECT_EQ(listed(), "brightness=128 gain_automatic=1 menu=1 ");
}

// Another program's write (a load at boot, say) may land anywhere in the walk: before a
// control's value is read it is in the value, after it an event brings it. No request of the
// start leaves it unseen, and catching it costs no request the walk would not make anyway.
TEST_F(Following, AChangeAtAnyPointOfTheStartShows) {
  start();
  const long start_requests = camera().counts().total();
  for (long after = 0; after <= start_requests; ++after) {
    SCOPED_TRACE(after);
    TearDown();
    start("other after=" + std::to_string(after) + " id=0x00980900 value=77\n" +
          "other after=" + std::to_string(after) + " id=0x0098f904 value=2\n");
    EXPECT_EQ(camera().counts().total(), start_requests);
    EXPECT_EQ(follow(), 0);
    EXPECT_EQ(listed(), "brightness=77 gain_automatic=1 menu=2 ");
  }
}

}  // namespace
