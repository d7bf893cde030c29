// The simulated camera agrees with what the real drivers did, as the fixtures recorded it.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim/camera.h"
#include "device/sys_ops.h"
#include "sim/in_process.h"

namespace {

using camsim::Camera;
using camsim::Scenario;

const char* const kFixtures[] = {
    "vivid-6.1-capture.txt", "vivid-6.1-output.txt",         "vivid-6.1-mplane.txt",
    "vivid-6.1-radio.txt",   "vivid-5.10-armhf-capture.txt", "uvc-webcam-5.10.txt",
    "board-camera-5.10.txt",
};

std::string fixture(const char* name) {
  return std::string(FIXTURE_DIR) + "/" + name;
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
  Scenario scenario = camsim::scenario_from_file(fixture(GetParam()));
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
  const Scenario scenario = camsim::scenario_from_file(fixture(GetParam()));
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
  Scenario scenario = camsim::scenario_from_file(fixture(GetParam()));
  for (camsim::Control& c : scenario.controls) c.value_error = 0;  // rules alone
  const Scenario recorded = camsim::scenario_from_file(fixture(GetParam()));
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

}  // namespace
