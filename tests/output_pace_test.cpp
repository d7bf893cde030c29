// The picture's pace: declared speeds as bits a second, a line's time for a frame's bytes, the
// wait rounded so it never ends early, and the bytes a frame wrote counted by the kernel.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/output_pace.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace {

using camctl::PaceClock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(OutputPaceTest, SpeedsLineTimesAndWaits) {
  const std::pair<speed_t, long> speeds[] = {
      {B0, 0}, {B50, 50}, {B9600, 9600}, {B38400, 38400}, {B115200, 115200}, {B4000000, 4000000}};
  for (const auto& [speed, bits] : speeds) {
    EXPECT_EQ(camctl::declared_bits_per_second(speed), bits) << speed;
  }
  // A changed ASCII frame at 115200 baud, a 256-colour one at 50 baud, nothing, no speed.
  EXPECT_EQ(camctl::line_time(1492, 115200), microseconds(129513));
  EXPECT_EQ(camctl::line_time(9096, 50), microseconds(1819200000));
  EXPECT_EQ(camctl::line_time(0, 9600), microseconds(0));
  EXPECT_EQ(camctl::line_time(1492, 0), microseconds(0));

  const PaceClock::time_point now = PaceClock::now();
  const std::pair<PaceClock::duration, int> waits[] = {{microseconds(1200), 2},
                                                       {milliseconds(1), 1},
                                                       {microseconds(1), 1},
                                                       {{}, 0},
                                                       {-milliseconds(5), 0}};
  for (const auto& [left, ms] : waits) {
    EXPECT_EQ(camctl::wait_ms_until(now + left, now), ms) << left.count();
  }
}

// The bytes written between the frame's start and its end, at the pty's declared 9600 baud;
// where the kernel does not count them, the screen's guess of them.
TEST(OutputPaceTest, AFramesBytesHoldTheNextBackAtTheDeclaredSpeed) {
  struct Count {
    const char* io_path;
    std::size_t guess;
    int held_ms;  // 96 bytes written, or the guess, at 960 bytes a second
  };
  for (const Count& count : {Count{"/proc/self/io", 4800, 100}, Count{"/nonexistent", 48, 50}}) {
    SCOPED_TRACE(count.io_path);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios modes{};
    ASSERT_EQ(tcgetattr(slave, &modes), 0);
    cfsetospeed(&modes, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &modes), 0);

    camctl::OutputPace pace;
    pace.start(slave, count.io_path);
    EXPECT_EQ(pace.bits_per_second(), 9600);
    EXPECT_TRUE(pace.ready(PaceClock::now()));
    pace.frame_begins();
    const std::string frame(96, '#');
    ASSERT_EQ(write(slave, frame.data(), frame.size()), 96);
    const PaceClock::time_point sent = PaceClock::now();
    pace.frame_sent(sent, count.guess);
    EXPECT_FALSE(pace.ready(sent));
    EXPECT_EQ(camctl::wait_ms_until(pace.ready_at(), sent), count.held_ms);
    EXPECT_TRUE(pace.ready(sent + milliseconds(count.held_ms)));
    close(master);
    close(slave);
  }
}

}  // namespace
