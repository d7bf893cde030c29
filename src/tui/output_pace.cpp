// The picture's pace: the terminal's declared speed and the kernel's count of the bytes each
// frame wrote.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/output_pace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace camctl {
namespace {

struct SpeedBits {
  speed_t speed;
  long bits;
};

constexpr SpeedBits kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

constexpr long kBitsPerByte = 10;

}  // namespace

long declared_bits_per_second(speed_t speed) {
  for (const SpeedBits& entry : kSpeeds) {
    if (entry.speed == speed) return entry.bits;
  }
  return 0;
}

std::chrono::nanoseconds line_time(std::size_t bytes, long bits_per_second) {
  if (bits_per_second <= 0) return std::chrono::nanoseconds(0);
  // In microseconds first: a frame of a few kilobytes at 50 baud stays well inside 64 bits.
  const auto bits = static_cast<long long>(bytes) * kBitsPerByte;
  return std::chrono::microseconds(bits * 1000000 / bits_per_second);
}

int wait_ms_until(PaceClock::time_point ready_at, PaceClock::time_point now) {
  if (ready_at <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(ready_at - now).count();
  return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

void OutputPace::start(int terminal_fd, const char* io_path) {
  termios modes{};
  bits_per_second_ =
      tcgetattr(terminal_fd, &modes) == 0 ? declared_bits_per_second(cfgetospeed(&modes)) : 0;
  ready_at_ = PaceClock::time_point{};
  before_ = -1;
  if (!io_.valid()) io_.reset(::open(io_path, O_RDONLY | O_CLOEXEC));
}

long long OutputPace::written() const {
  if (!io_.valid()) return -1;
  char text[512];
  ssize_t n = -1;
  do {
    n = ::pread(io_.get(), text, sizeof text - 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* at = std::strstr(text, "wchar: ");
  return at == nullptr ? -1 : std::strtoll(at + 7, nullptr, 10);
}

void OutputPace::frame_begins() {
  before_ = bits_per_second_ > 0 ? written() : -1;
}

void OutputPace::frame_sent(PaceClock::time_point now, std::size_t guess) {
  if (bits_per_second_ <= 0) return;
  const long long after = before_ < 0 ? -1 : written();
  const std::size_t bytes =
      after >= before_ && after >= 0 ? static_cast<std::size_t>(after - before_) : guess;
  ready_at_ = now + line_time(bytes, bits_per_second_);
}

}  // namespace camctl
