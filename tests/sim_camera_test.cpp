// The simulated camera agrees with what the real drivers did, as the fixtures recorded it.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <string>

#include "sim/camera.h"
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

// Each recorded S_CTRL, replayed in order, gives the recorded result, returned value and
// read-back. Volatile controls read a value the hardware makes up as it goes, and a
// cluster's automatic mode decides the manual control's value in the driver; the
// simulation models neither, so their values are not compared.
TEST_P(FixtureReplay, WritesMatchTheRecordedDriver) {
  Scenario scenario = camsim::scenario_from_file(fixture(GetParam()));
  Camera camera(scenario);
  int compared = 0;
  for (const camsim::Write& w : scenario.recorded_writes) {
    const camsim::Control* c = camera.control(w.id);
    const bool volatile_value = c != nullptr && (c->flags & V4L2_CTRL_FLAG_VOLATILE) != 0;
    v4l2_control control{};
    control.id = w.id;
    control.value = w.value;
    const int result = camera.handle(VIDIOC_S_CTRL, &control);
    SCOPED_TRACE("id " + std::to_string(w.id) + " value " + std::to_string(w.value));
    EXPECT_EQ(result, w.result);
    if (result == 0 && !volatile_value) {
      EXPECT_EQ(control.value, w.returned);
    }
    v4l2_control read{};
    read.id = w.id;
    const int read_result = camera.handle(VIDIOC_G_CTRL, &read);
    EXPECT_EQ(read_result, w.readback_error);
    if (w.has_readback && !volatile_value) {
      EXPECT_EQ(read.value, w.readback);
    }
    ++compared;
  }
  EXPECT_EQ(compared, static_cast<int>(scenario.recorded_writes.size()));
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
