// How fast the terminal takes the picture: the bytes each frame sent, at the terminal's declared
// output speed, make the earliest moment the next frame may be drawn.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <termios.h>

#include <chrono>
#include <cstddef>

#include "device/unique_fd.h"

namespace camctl {

using PaceClock = std::chrono::steady_clock;

// The bits a second a speed of the termios interface stands for; 0 for B0 (hang up) and for
// anything unknown, which leave the picture unpaced.
long declared_bits_per_second(speed_t speed);

// How long a line of that many bits a second takes to send the bytes: 10 bits a byte (start,
// eight data bits, stop).
std::chrono::nanoseconds line_time(std::size_t bytes, long bits_per_second);

// The wait until `ready_at`, in whole milliseconds rounded up (0 once it has passed): a wait
// that ended before it would find the frame still held back and wait again at once.
int wait_ms_until(PaceClock::time_point ready_at, PaceClock::time_point now);

class OutputPace {
 public:
  // Reads the terminal's declared speed, each time the view opens: `stty speed` may have
  // changed it since. A pseudo-terminal declares 38400 unless told otherwise.
  // The process's count of written bytes is read from io_path.
  void start(int terminal_fd, const char* io_path = "/proc/self/io");
  long bits_per_second() const { return bits_per_second_; }

  // Around the writes of one frame: the bytes the process wrote in between, at the declared
  // speed, hold the next frame back; `guess` stands in for them where the kernel does not
  // count them (a kernel without task I/O accounting).
  void frame_begins();
  void frame_sent(PaceClock::time_point now, std::size_t guess);

  bool ready(PaceClock::time_point now) const { return now >= ready_at_; }
  // When the line will have sent the last frame.
  PaceClock::time_point ready_at() const { return ready_at_; }

 private:
  // What the kernel has counted of the process's writes (/proc/self/io), or -1.
  long long written() const;

  long bits_per_second_ = 0;
  UniqueFd io_;  // opened with the view's first opening, then kept: one read a count
  long long before_ = -1;
  PaceClock::time_point ready_at_{};
};

}  // namespace camctl
