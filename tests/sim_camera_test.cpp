// The simulated camera agrees with what the real drivers did, as the fixtures recorded it.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "device/sys_ops.h"
#include "sim/camera.h"
#include "sim/in_process.h"

namespace {

using camsim::Camera;
using camsim::Scenario;

// A media graph's fixture holds a node's records in a section of its own: "FILE:DEVNAME".
const char* const kFixtures[] = {
    "vivid-6.1-capture.txt",
    "vivid-6.1-output.txt",
    "vivid-6.1-mplane.txt",
    "vivid-6.1-radio.txt",
    "vivid-5.10-armhf-capture.txt",
    "uvc-webcam-6.1.txt",
    "uvc-webcam-5.10-armhf.txt",
    "board-camera-5.10.txt",
    "vimc-6.1.txt:v4l-subdev0",
    "vimc-6.1.txt:v4l-subdev2",
    "vimc-6.1.txt:v4l-subdev5",
    "vimc-6.1.txt:v4l-subdev6",
    "vimc-6.1.txt:video2",
    "vimc-5.10-armhf.txt:v4l-subdev0",
    "vimc-5.10-armhf.txt:v4l-subdev2",
    "vimc-5.10-armhf.txt:video0",
};

std::string fixture(const char* name) {
  return std::string(FIXTURE_DIR) + "/" + name;
}

Scenario scenario_of(const std::string& name) {
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos) return camsim::scenario_from_file(fixture(name.c_str()));
  camsim::MediaScenario media =
      camsim::media_scenario_from_file(fixture(name.substr(0, colon).c_str()));
  for (camsim::MediaNode& node : media.nodes) {
    if (node.devname == name.substr(colon + 1)) return node.scenario;
  }
  ADD_FAILURE() << "no node " << name;
  return {};
}

class FixtureReplay : public ::testing::TestWithParam<const char*> {};

// Every event a handle has waiting, oldest first.
std::vector<v4l2_event> drain(Camera& camera, int handle) {
  std::vector<v4l2_event> events;
  v4l2_event ev{};
  while (camera.handle_on(handle, VIDIOC_DQEVENT, &ev) == 0) events.push_back(ev);
  return events;
}

bool volatile_member(const Scenario& scenario, std::uint32_t id) {
  for (const camsim::Cluster& c : scenario.clusters) {
    if (!c.is_volatile) continue;
    for (const std::uint32_t m : c.members) {
      if (m == id) return true;
    }
  }
  return false;
}

// What G_CTRL and QUERYCTRL say about each control, by id.
struct Seen {
  std::uint32_t flags = 0;
  int error = 0;
  std::int32_t value = 0;
};
std::map<std::uint32_t, Seen> look(Camera& camera, int handle) {
  std::map<std::uint32_t, Seen> seen;
  for (const camsim::Control& c : camera.scenario().controls) {
    v4l2_queryctrl q{};
    q.id = c.id;
    camera.handle_on(handle, VIDIOC_QUERYCTRL, &q);
    v4l2_control read{c.id, 0};
    const int error = camera.handle_on(handle, VIDIOC_G_CTRL, &read);
    seen[c.id] = Seen{q.flags, error, error == 0 ? read.value : 0};
  }
  return seen;
}

// Each recorded S_CTRL, replayed in order on the writer's handle, gives the recorded result,
// returned value and read-back; where the recording watched for them, the same other controls
// change and both handles dequeue the same events. A volatile cluster member's automatic value
// is the driver's invention: it is not compared, its flags and the manual value it keeps are.
TEST_P(FixtureReplay, WritesMatchTheRecordedDriver) {
  Scenario scenario = scenario_of(GetParam());
  Camera camera(scenario);
  const int other = camera.open_handle();
  for (const camsim::Control& c : scenario.controls) {
    for (const int handle : {0, other}) {
      v4l2_event_subscription sub{};
      sub.type = V4L2_EVENT_CTRL;
      sub.id = c.id;
      ASSERT_EQ(camera.handle_on(handle, VIDIOC_SUBSCRIBE_EVENT, &sub), 0) << c.name;
    }
  }
  bool watched = false;  // from the first write whose events were recorded on
  int compared = 0;
  for (const camsim::Write& w : scenario.recorded_writes) {
    watched = watched || !w.events.empty();
    drain(camera, 0);
    drain(camera, other);
    const std::map<std::uint32_t, Seen> before = look(camera, 0);
    v4l2_control control{};
    control.id = w.id;
    control.value = w.value;
    const int result = camera.handle(VIDIOC_S_CTRL, &control);
    SCOPED_TRACE("id " + std::to_string(w.id) + " value " + std::to_string(w.value));
    EXPECT_EQ(result, w.result);
    if (result == 0) {
      EXPECT_EQ(control.value, w.returned);
    }
    const camsim::Control* c = camera.control(w.id);
    const bool volatile_value = c != nullptr && (c->flags & V4L2_CTRL_FLAG_VOLATILE) != 0;
    v4l2_control read{};
    read.id = w.id;
    const int read_result = camera.handle(VIDIOC_G_CTRL, &read);
    EXPECT_EQ(read_result, w.readback_error);
    if (w.has_readback && !volatile_value) {
      EXPECT_EQ(read.value, w.readback);
    }
    ++compared;
    if (!watched) continue;

    // Other controls changed by the write; a volatile member's value drifting is no effect.
    const std::map<std::uint32_t, Seen> after = look(camera, 0);
    std::map<std::uint32_t, camsim::Changed> expected;
    for (const camsim::Changed& ch : w.changed) {
      if (volatile_member(scenario, ch.id) && ch.flags == before.at(ch.id).flags) continue;
      expected[ch.id] = ch;
    }
    std::map<std::uint32_t, Seen> actual;
    for (const auto& [id, now] : after) {
      const Seen& was = before.at(id);
      if (id != w.id &&
          (now.flags != was.flags || now.error != was.error || now.value != was.value)) {
        actual[id] = now;
      }
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (const auto& [id, ch] : expected) {
      ASSERT_EQ(actual.count(id), 1U) << id;
      EXPECT_EQ(actual[id].flags, ch.flags) << id;
      EXPECT_EQ(actual[id].error, ch.value_error) << id;
      if (!volatile_member(scenario, id)) {
        EXPECT_EQ(actual[id].value, ch.value) << id;
      }
    }

    for (const bool writer : {true, false}) {
      SCOPED_TRACE(writer ? "writer" : "other");
      std::vector<camsim::RecordedEvent> want;
      for (const camsim::RecordedEvent& e : w.events) {
        if (e.writer == writer) want.push_back(e);
      }
      const std::vector<v4l2_event> got = drain(camera, writer ? 0 : other);
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, static_cast<__u32>(V4L2_EVENT_CTRL));
        EXPECT_EQ(got[i].id, want[i].id);
        EXPECT_EQ(got[i].u.ctrl.changes, want[i].changes);
        EXPECT_EQ(got[i].u.ctrl.flags, want[i].flags);
        // The value a member took from the automatic mode is invented; the one it keeps is not.
        const bool invented = volatile_member(scenario, want[i].id) && want[i].id != w.id &&
                              (want[i].changes & V4L2_EVENT_CTRL_CH_VALUE) != 0;
        if (!invented) {
          EXPECT_EQ(got[i].u.ctrl.value, want[i].value);
        }
        EXPECT_EQ(got[i].pending, got.size() - i - 1);
      }
    }
  }
  EXPECT_EQ(compared, static_cast<int>(scenario.recorded_writes.size()));
}

// The auto clusters put on their members the flags the drivers reported at the start.
TEST_P(FixtureReplay, ClusterFlagsAtTheStartAreTheRecordedOnes) {
  const Scenario scenario = scenario_of(GetParam());
  Camera camera(scenario);
  for (const camsim::Control& c : scenario.controls) {
    v4l2_queryctrl q{};
    q.id = c.id;
    ASSERT_EQ(camera.handle(VIDIOC_QUERYCTRL, &q), 0);
    EXPECT_EQ(q.flags, c.flags) << c.name;
  }
}

// G_CTRL refuses by the kernel's rules (type and write-only flag), and those rules give
// exactly the errors the drivers were seen to give.
TEST_P(FixtureReplay, ReadRefusalsFollowTheKernelRules) {
  Scenario scenario = scenario_of(GetParam());
  for (camsim::Control& c : scenario.controls) c.value_error = 0;  // rules alone
  const Scenario recorded = scenario_of(GetParam());
  Camera camera(scenario);
  for (const camsim::Control& c : recorded.controls) {
    v4l2_control read{};
    read.id = c.id;
    EXPECT_EQ(camera.handle(VIDIOC_G_CTRL, &read), c.value_error) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllFixtures, FixtureReplay, ::testing::ValuesIn(kFixtures));

TEST(SimCamera, WalkWithBothFlagsVisitsEveryControlInIdOrderThenFails) {
  const Scenario scenario = camsim::scenario_from_file(fixture("vivid-6.1-capture.txt"));
  Camera camera(scenario);
  v4l2_queryctrl q{};
  q.id = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
  std::size_t seen = 0;
  while (camera.handle(VIDIOC_QUERYCTRL, &q) == 0) {
    ASSERT_LT(seen, scenario.controls.size());
    EXPECT_EQ(q.id, scenario.controls[seen].id);
    ++seen;
    q.id |= V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
  }
  EXPECT_EQ(seen, scenario.controls.size());
  EXPECT_EQ(seen, 72U);
}

TEST(SimCamera, NextCtrlAloneSkipsCompoundControls) {
  const Scenario scenario = camsim::scenario_from_file(fixture("vivid-6.1-capture.txt"));
  Camera camera(scenario);
  v4l2_queryctrl q{};
  q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  int plain = 0;
  while (camera.handle(VIDIOC_QUERYCTRL, &q) == 0) {
    EXPECT_LT(q.type, static_cast<unsigned>(V4L2_CTRL_COMPOUND_TYPES)) << q.name;
    ++plain;
    q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  EXPECT_GT(plain, 0);
  EXPECT_LT(plain, 72);
}

TEST(SimCamera, PlainIdQueriesThatControlOnly) {
  Camera camera(camsim::scenario_from_file(fixture("vivid-6.1-capture.txt")));
  v4l2_queryctrl q{};
  q.id = 0x00980900;
  ASSERT_EQ(camera.handle(VIDIOC_QUERYCTRL, &q), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.name), "Brightness");
  q = {};
  q.id = 0x00980904;  // no such control
  EXPECT_EQ(camera.handle(VIDIOC_QUERYCTRL, &q), EINVAL);
}

TEST(SimCamera, MenusAnswerTextIntegerAndGaps) {
  Camera camera(camsim::scenario_from_file(fixture("vivid-6.1-capture.txt")));
  v4l2_querymenu m{};
  m.id = 0x0098f904;
  m.index = 3;
  ASSERT_EQ(camera.handle(VIDIOC_QUERYMENU, &m), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(m.name), "Menu Item 3");
  m.index = 2;
  EXPECT_EQ(camera.handle(VIDIOC_QUERYMENU, &m), EINVAL);
  m.index = 5;
  EXPECT_EQ(camera.handle(VIDIOC_QUERYMENU, &m), EINVAL);
  m = {};
  m.id = 0x0098f907;
  m.index = 4;
  ASSERT_EQ(camera.handle(VIDIOC_QUERYMENU, &m), 0);
  EXPECT_EQ(m.value, 5);
  m.index = 1;
  EXPECT_EQ(camera.handle(VIDIOC_QUERYMENU, &m), EINVAL);
}

TEST(SimCamera, IntegerWritesRoundToTheStepAndClampWithoutOverflow) {
  Scenario s = camsim::scenario_from_text(
      "device driver=\"t\" card=\"t\" bus_info=\"t\" version=0x1 capabilities=0x1 device_caps=0x1\n"
      "control id=0x00980911 type=1 name=\"Exposure\" minimum=3 maximum=2047 step=5 default=250 "
      "flags=0x0 value=250\n"
      "control id=0x0098f902 type=1 name=\"Big\" minimum=-2147483648 maximum=2147483647 step=7 "
      "default=0 flags=0x0 value=0\n");
  Camera camera(s);
  auto write = [&](std::uint32_t id, std::int32_t value) {
    v4l2_control c{id, value};
    EXPECT_EQ(camera.handle(VIDIOC_S_CTRL, &c), 0);
    return c.value;
  };
  EXPECT_EQ(write(0x00980911, 250), 248);  // 3 + 5k nearest
  EXPECT_EQ(write(0x00980911, 251), 253);
  // The kernel rounds down onto the step grid even from the maximum when the maximum is
  // off the grid: 3 + 5 * 408.
  EXPECT_EQ(write(0x00980911, 5000), 2043);
  EXPECT_EQ(write(0x00980911, -5), 3);
  // Offsets from the minimum are unsigned 32-bit: the whole range is one offset, no overflow.
  EXPECT_EQ(write(0x0098f902, 2147483647), 2147483644);
  EXPECT_EQ(write(0x0098f902, -2147483647 - 1), -2147483647 - 1);
}

TEST(SimCamera, InjectedFaultsAndTheWriteLog) {
  Scenario s = camsim::scenario_from_text(
      "device driver=\"t\" card=\"t\" bus_info=\"t\" version=0x1 capabilities=0x1 device_caps=0x1\n"
      "control id=0x00980900 type=1 name=\"Brightness\" minimum=0 maximum=100 step=1 default=50 "
      "flags=0x0 value=50\n"
      "fail id=0x00980900 error=EBUSY\n"
      "vanish after=3\n");
  Camera camera(s);
  v4l2_control c{0x00980900, 60};
  EXPECT_EQ(camera.handle(VIDIOC_S_CTRL, &c), EBUSY);
  ASSERT_EQ(camera.write_log().size(), 1U);
  EXPECT_EQ(camera.write_log()[0].result, EBUSY);
  EXPECT_EQ(camera.control(0x00980900)->value, 50);
  v4l2_control r{0x00980900, 0};
  EXPECT_EQ(camera.handle(VIDIOC_G_CTRL, &r), 0);
  EXPECT_EQ(camera.handle(VIDIOC_G_CTRL, &r), 0);
  EXPECT_EQ(camera.handle(VIDIOC_G_CTRL, &r), ENODEV);  // the fourth request: gone
}

// ---- control events, clusters and waits ----

// A plain control, a volatile auto cluster (as vivid's gain) and a plain one (as a webcam's
// white balance), both auto controls on.
const char* const kEventCamera =
    "device driver=\"t\" card=\"t\" bus_info=\"t\" version=0x1 capabilities=0x1 device_caps=0x1\n"
    "control id=0x00980900 type=1 name=\"Brightness\" minimum=0 maximum=255 step=1 default=128 "
    "flags=0x20 value=128\n"
    "control id=0x0098090c type=2 name=\"White Balance, Auto\" minimum=0 maximum=1 step=1 "
    "default=1 flags=0x8 value=1\n"
    "control id=0x00980912 type=2 name=\"Gain, Automatic\" minimum=0 maximum=1 step=1 default=1 "
    "flags=0x8 value=1\n"
    "control id=0x00980913 type=1 name=\"Gain\" minimum=0 maximum=255 step=1 default=100 "
    "flags=0x0 value=12\n"
    "control id=0x0098091a type=1 name=\"White Balance Temperature\" minimum=2800 maximum=6500 "
    "step=1 default=4600 flags=0x0 value=4600\n"
    "cluster master=0x00980912 manual=0 members=0x00980913 volatile=1\n"
    "cluster master=0x0098090c manual=0 members=0x0098091a volatile=0\n";

constexpr std::uint32_t kBrightness = 0x00980900;
constexpr std::uint32_t kWhiteBalanceAuto = 0x0098090c;
constexpr std::uint32_t kAutoGain = 0x00980912;
constexpr std::uint32_t kGain = 0x00980913;
constexpr std::uint32_t kTemperature = 0x0098091a;

int subscribe(Camera& camera, int handle, std::uint32_t id, std::uint32_t flags = 0,
              std::uint32_t type = V4L2_EVENT_CTRL) {
  v4l2_event_subscription sub{};
  sub.type = type;
  sub.id = id;
  sub.flags = flags;
  return camera.handle_on(handle, VIDIOC_SUBSCRIBE_EVENT, &sub);
}

int write_on(Camera& camera, int handle, std::uint32_t id, std::int32_t value) {
  v4l2_control c{id, value};
  return camera.handle_on(handle, VIDIOC_S_CTRL, &c);
}

std::int32_t read_value(Camera& camera, std::uint32_t id) {
  v4l2_control c{id, 0};
  EXPECT_EQ(camera.handle(VIDIOC_G_CTRL, &c), 0);
  return c.value;
}

TEST(SimEvents, AWriterHearsOfItsOwnChangeOnlyWithFeedback) {
  Camera camera(camsim::scenario_from_text(kEventCamera));
  const int other = camera.open_handle();
  ASSERT_EQ(subscribe(camera, 0, kBrightness, V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK), 0);
  ASSERT_EQ(subscribe(camera, other, kBrightness), 0);
  ASSERT_EQ(write_on(camera, other, kBrightness, 10), 0);
  EXPECT_EQ(drain(camera, other).size(), 0U);
  ASSERT_EQ(write_on(camera, 0, kBrightness, 20), 0);
  const std::vector<v4l2_event> mine = drain(camera, 0);
  ASSERT_EQ(mine.size(), 1U);  // both writes merged into one event
  EXPECT_EQ(mine[0].u.ctrl.value, 20);
  EXPECT_EQ(drain(camera, other).size(), 1U);
  // Writing the value it already has changes nothing and says nothing.
  ASSERT_EQ(write_on(camera, other, kBrightness, 20), 0);
  EXPECT_EQ(camera.pending_events(0), 0U);
}

TEST(SimEvents, NewerEventsMergeIntoThePendingOneAndMoveToTheEnd) {
  Camera camera(camsim::scenario_from_text(kEventCamera));
  ASSERT_EQ(subscribe(camera, 0, kBrightness), 0);
  ASSERT_EQ(subscribe(camera, 0, kTemperature), 0);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(camera.other_write(kBrightness, i % 200), 0);
  ASSERT_EQ(camera.other_write(kTemperature, 5000), 0);  // stored although inactive
  ASSERT_EQ(camera.other_write(kBrightness, 42), 0);
  ASSERT_EQ(camera.other_write(kWhiteBalanceAuto, 0), 0);  // temperature: active now
  EXPECT_EQ(camera.pending_events(0), 2U);
  const std::vector<v4l2_event> events = drain(camera, 0);
  ASSERT_EQ(events.size(), 2U);
  EXPECT_EQ(events[0].id, kBrightness);
  EXPECT_EQ(events[0].u.ctrl.value, 42);
  EXPECT_EQ(events[0].u.ctrl.changes, static_cast<__u32>(V4L2_EVENT_CTRL_CH_VALUE));
  EXPECT_EQ(events[0].pending, 1U);
  EXPECT_EQ(events[1].id, kTemperature);
  EXPECT_EQ(events[1].u.ctrl.changes,
            static_cast<__u32>(V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS));
  EXPECT_EQ(events[1].u.ctrl.value, 5000);
  EXPECT_EQ(events[1].u.ctrl.flags, 0U);
  EXPECT_EQ(events[1].u.ctrl.minimum, 2800);
  EXPECT_EQ(events[1].u.ctrl.maximum, 6500);
  EXPECT_EQ(events[1].u.ctrl.default_value, 4600);
  EXPECT_LT(events[0].sequence, events[1].sequence);
  EXPECT_EQ(read_value(camera, kTemperature), 5000);
}

TEST(SimEvents, VolatileMemberReadsTheAutomaticValueAndTakesItWhenManual) {
  Camera camera(camsim::scenario_from_text(kEventCamera));
  v4l2_queryctrl q{};
  q.id = kGain;
  ASSERT_EQ(camera.handle(VIDIOC_QUERYCTRL, &q), 0);
  EXPECT_EQ(q.flags, static_cast<__u32>(V4L2_CTRL_FLAG_INACTIVE | V4L2_CTRL_FLAG_VOLATILE));
  EXPECT_EQ(read_value(camera, kGain), 12);
  ASSERT_TRUE(camera.set_auto_value(kGain, 40));
  EXPECT_EQ(read_value(camera, kGain), 40);
  ASSERT_EQ(subscribe(camera, 0, kGain), 0);
  v4l2_control ignored{kGain, 70};
  ASSERT_EQ(camera.handle(VIDIOC_S_CTRL, &ignored), 0);
  EXPECT_EQ(ignored.value, 100);  // the kept manual value
  EXPECT_EQ(camera.pending_events(0), 0U);
  ASSERT_EQ(write_on(camera, 0, kAutoGain, 0), 0);
  EXPECT_EQ(read_value(camera, kGain), 40);  // the 70 is lost
  const std::vector<v4l2_event> events = drain(camera, 0);
  ASSERT_EQ(events.size(), 1U);  // the driver's change reaches the writer without feedback
  EXPECT_EQ(events[0].u.ctrl.value, 40);
  EXPECT_EQ(events[0].u.ctrl.flags, 0U);
}

TEST(SimEvents, SubscriptionRulesInitialEventAndUnsubscribe) {
  Camera camera(camsim::scenario_from_text(kEventCamera));
  EXPECT_EQ(subscribe(camera, 0, 0x00980fff), EINVAL);
  EXPECT_EQ(subscribe(camera, 0, kBrightness, 0, V4L2_EVENT_VSYNC), EINVAL);
  ASSERT_EQ(subscribe(camera, 0, kGain, V4L2_EVENT_SUB_FL_SEND_INITIAL), 0);
  std::vector<v4l2_event> initial = drain(camera, 0);
  ASSERT_EQ(initial.size(), 1U);
  EXPECT_EQ(initial[0].u.ctrl.changes,
            static_cast<__u32>(V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS));
  EXPECT_EQ(initial[0].u.ctrl.value, 100);
  EXPECT_EQ(initial[0].u.ctrl.flags, 0x90U);

  ASSERT_EQ(subscribe(camera, 0, kBrightness), 0);
  ASSERT_EQ(camera.other_write(kBrightness, 1), 0);
  v4l2_event_subscription sub{};
  sub.type = V4L2_EVENT_CTRL;
  sub.id = kBrightness;
  ASSERT_EQ(camera.handle(VIDIOC_UNSUBSCRIBE_EVENT, &sub), 0);
  EXPECT_EQ(camera.pending_events(0), 0U);  // its pending event went with it
  ASSERT_EQ(camera.other_write(kBrightness, 2), 0);
  ASSERT_EQ(camera.other_write(kAutoGain, 0), 0);
  EXPECT_EQ(camera.pending_events(0), 1U);
  sub.type = V4L2_EVENT_ALL;
  ASSERT_EQ(camera.handle(VIDIOC_UNSUBSCRIBE_EVENT, &sub), 0);
  EXPECT_EQ(camera.pending_events(0), 0U);
  ASSERT_EQ(camera.other_write(kAutoGain, 1), 0);
  v4l2_event ev{};
  EXPECT_EQ(camera.handle(VIDIOC_DQEVENT, &ev), ENOENT);
  EXPECT_EQ(camera.counts().subscribe_event, 4);
  EXPECT_EQ(camera.counts().dqevent, 3);
  EXPECT_EQ(camera.counts().s_ctrl, 0);  // the other handle's writes are not the program's
}

// A rules record after the device line picks how an inactive member's write, a boolean and the
// events go, whatever the driver: here white balance temperature while its auto control is on,
// and the auto control written with -1 (turning it off under clamping) or with its own value.
TEST(SimEvents, RulesRecordChangesTheDriversWays) {
  struct Row {
    const char* rules;
    int result;             // of the inactive write of 5000
    std::int32_t readback;  // G_CTRL after it
    std::size_t events;     // the other handle's events after it (value 5000 when one)
    std::int32_t boolean;   // "White Balance, Auto" after writing -1
    std::size_t echoes;     // the other handle's events after writing it again with that value
  };
  const Row rows[] = {
      {"", 0, 5000, 1, 1, 0},
      {"rules inactive=ignore\n", 0, 4600, 1, 1, 0},
      {"rules inactive=refuse\n", EACCES, 4600, 0, 1, 0},
      {"rules booleans=clamp events=writes\n", 0, 5000, 1, 0, 1},
      {"rules members=writes\n", 0, 5000, 1, 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rules);
    Camera camera(camsim::scenario_from_text(std::string(kEventCamera) + row.rules));
    const int other = camera.open_handle();
    for (const std::uint32_t id : {kWhiteBalanceAuto, kTemperature}) {
      ASSERT_EQ(subscribe(camera, other, id), 0);
    }
    EXPECT_EQ(write_on(camera, 0, kTemperature, 5000), row.result);
    EXPECT_EQ(read_value(camera, kTemperature), row.readback);
    const std::vector<v4l2_event> heard = drain(camera, other);
    ASSERT_EQ(heard.size(), row.events);
    if (!heard.empty()) {
      EXPECT_EQ(heard[0].u.ctrl.value, 5000);
      EXPECT_EQ(heard[0].u.ctrl.flags, static_cast<__u32>(V4L2_CTRL_FLAG_INACTIVE));
    }
    ASSERT_EQ(write_on(camera, 0, kWhiteBalanceAuto, -1), 0);
    EXPECT_EQ(read_value(camera, kWhiteBalanceAuto), row.boolean);
    drain(camera, other);
    ASSERT_EQ(write_on(camera, 0, kWhiteBalanceAuto, row.boolean), 0);
    EXPECT_EQ(drain(camera, other).size(), row.echoes);
  }
  Scenario ignored;
  std::string error;
  EXPECT_FALSE(camsim::parse_scenario("rules inactive=sometimes\n", ignored, error));
  EXPECT_NE(error.find("line 1"), std::string::npos) << error;
}

TEST(SimEvents, DriverWithoutEventsRefusesSubscription) {
  Camera camera(camsim::scenario_from_text(std::string(kEventCamera) + "events error=ENOTTY\n"));
  EXPECT_EQ(subscribe(camera, 0, kBrightness), ENOTTY);
  ASSERT_EQ(camera.other_write(kBrightness, 5), 0);
  EXPECT_EQ(camera.poll_events(0), 0);
}

TEST(SimEvents, PollSaysPriWhileEventsWaitAndErrorForeverOnceUnplugged) {
  Camera camera(camsim::scenario_from_text(kEventCamera));
  ASSERT_EQ(subscribe(camera, 0, kBrightness), 0);
  EXPECT_EQ(camera.poll_events(0), 0);
  ASSERT_EQ(camera.other_write(kBrightness, 3), 0);
  EXPECT_EQ(camera.poll_events(0), POLLPRI);
  drain(camera, 0);
  EXPECT_EQ(camera.poll_events(0), 0);
  camera.fail_everything(ENODEV);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(camera.poll_events(0), POLLERR | POLLHUP | POLLPRI);
  v4l2_event ev{};
  EXPECT_EQ(camera.handle(VIDIOC_DQEVENT, &ev), ENODEV);
  EXPECT_EQ(subscribe(camera, 0, kBrightness), ENODEV);
}

// Through the device layer's system calls: the node answers for itself, a pipe beside it is
// left to the system, and a wait with nothing ready times out.
TEST(SimEvents, InProcessPollAnswersForTheNodeAndPassesTheRestOn) {
  camsim::InProcessCamera sim(camsim::scenario_from_text(kEventCamera));
  const camctl::SysOps& ops = camctl::sys_ops();
  const int fd = ops.open("/dev/video0", O_RDWR);
  ASSERT_GE(fd, 0);
  v4l2_event_subscription sub{};
  sub.type = V4L2_EVENT_CTRL;
  sub.id = kBrightness;
  ASSERT_EQ(ops.ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &sub), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pollfd fds[2] = {{pipe_fds[0], POLLIN, 0}, {fd, POLLPRI, 0}};
  EXPECT_EQ(ops.poll(fds, 2, 0), 0);  // /dev/null behind the node would be ready: not asked
  ASSERT_EQ(write(pipe_fds[1], "k", 1), 1);
  EXPECT_EQ(ops.poll(fds, 2, -1), 1);
  EXPECT_EQ(fds[0].revents, POLLIN);
  EXPECT_EQ(fds[1].revents, 0);
  ASSERT_EQ(sim.camera().other_write(kBrightness, 9), 0);
  EXPECT_EQ(ops.poll(fds, 2, -1), 2);
  EXPECT_EQ(fds[1].revents, POLLPRI);
  sim.camera().fail_everything(ENODEV);
  fds[1].events = 0;  // errors and hang-ups are said unasked
  EXPECT_EQ(ops.poll(&fds[1], 1, -1), 1);
  EXPECT_EQ(fds[1].revents, POLLERR | POLLHUP);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  ops.close(fd);
}

}  // namespace
