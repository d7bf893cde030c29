// A camera of 1000 controls, a tenth of them menus (bench/synth-camera.sh): the screen scrolls to
// its last control, and a save, a reset and a load bring the saved values back to the camera.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e/terminal.h"
#include "robust_util.h"

namespace {

using e2e::Key;

class LargeCamera : public robust::TempDirTest {
 protected:
  std::string make_camera() {
    const std::string path = dir() + "/synth.txt";
    const std::string command = std::string("bash ") + SYNTH_CAMERA + " 1000 > " + path;
    EXPECT_EQ(std::system(command.c_str()), 0);
    return path;
  }
};

TEST_F(LargeCamera, ScrollsToTheLastControlAndRoundTripsItsSettings) {
  const std::string scenario = make_camera();
  const std::string settings = dir() + "/camera.txt";
  e2e::Terminal s(robust::program_run(scenario, log_path(), {"-c", settings}));
  ASSERT_TRUE(s.settle()) << s.dump();
  EXPECT_EQ(s.text(5, 4, 22), "Synthetic Control 0000") << s.dump();

  // The last control (an integer menu) on the last row, then one step of it and of the one
  // above it (an integer control).
  s.send_key(Key::end);
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(s.text(22, 4, 22), "Synthetic Control 0999") << s.dump();
  EXPECT_TRUE(s.reverse(22, 2));
  EXPECT_EQ(s.text(5, 4, 22), "Synthetic Control 0982") << s.dump();
  s.send_key(Key::right);
  s.send_key(Key::up);
  s.send_key(Key::page_up);
  ASSERT_TRUE(s.settle());
  const std::int32_t menu_value = robust::device_value(scenario, log_path(), 0x00980ce7);
  const std::int32_t integer_value = robust::device_value(scenario, log_path(), 0x00980ce6);
  EXPECT_EQ(menu_value, 1);
  EXPECT_EQ(robust::val_line(s), integer_value) << s.dump();

  s.send("s");
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(e2e::read_file(settings), "synthetic_control_0998=" + std::to_string(integer_value) +
                                          "\r\nsynthetic_control_0999=1\r\n");
  s.send("r");
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(robust::device_value(scenario, log_path(), 0x00980ce7), 0);
  s.send("l");
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(robust::device_value(scenario, log_path(), 0x00980ce7), 1);
  EXPECT_EQ(robust::device_value(scenario, log_path(), 0x00980ce6), integer_value);
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

}  // namespace
