// A camera for the walk fuzz target whose answers are read from a byte string, and the encoder
// that writes a simulated camera's answers in the same form (for the seed corpus).
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace walkfuzz {

// What the input camera reported for one control id.
struct Answered {
  std::uint32_t flags = 0;
  bool has_value = false;
  std::int32_t value = 0;
};

struct WriteAnswer {
  std::uint32_t id = 0;
  std::int32_t requested = 0;
  int error = 0;
  std::int32_t returned = 0;
};

// Byte layout, one record per request, each opening with a verdict byte: 0xf0 and above fail
// the request with kErrors[verdict - 0xf0], anything else succeeds with the fields below.
//   open      -
//   QUERYCAP  capabilities u32, card 32 bytes, bus_info 32 bytes
//   QUERYCTRL id step u32 (added to the asked id), type u8, flags u16, minimum, maximum,
//             step, default i32, name 32 bytes
//   G_CTRL    value i32
//   S_CTRL    u8: odd takes the asked value, even is followed by the returned i32
//   QUERYMENU 32 bytes (the name, or the 64-bit value of an integer menu item)
//   G_FMT     width, height, pixelformat u32
// Integers are little-endian. Once the bytes run out every request fails with EINVAL.
inline constexpr int kErrors[16] = {22, 19, 5, 13, 16, 34, 84, 4, 25, 1, 12, 14, 28, 110, 11, 6};
inline constexpr std::uint8_t kFailVerdict = 0xf0;

class InputCamera {
 public:
  InputCamera(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  int open(const char* path, int flags);
  int ioctl(int fd, unsigned long request, void* arg);
  int close(int fd);

  std::uint8_t take_byte();
  bool exhausted() const { return offset_ >= size_; }

  const Answered* answered(std::uint32_t id) const;
  const std::vector<WriteAnswer>& writes() const { return writes_; }
  // QUERYCTRL requests made after an answer whose id did not rise.
  int queryctrl_after_stop() const { return after_stop_; }
  int open_descriptors() const { return open_count_; }

 private:
  std::uint32_t take32();
  void take_bytes(void* to, std::size_t count);
  // 0 to go on with the request's fields, else the errno value to fail it with.
  int verdict();

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  std::map<std::uint32_t, Answered> answered_;
  std::vector<WriteAnswer> writes_;
  bool have_last_id_ = false;
  std::uint32_t last_id_ = 0;
  bool stopped_ = false;
  int after_stop_ = 0;
  int open_count_ = 0;
};

// Writes the bytes that make an InputCamera repeat the answers given to each request.
class Encoder {
 public:
  void byte(std::uint8_t value) { bytes_.push_back(value); }
  // Records one request and the answer (0 or errno) it got; arg holds the answered fields.
  void request(unsigned long request, const void* asked, const void* arg, int result);
  void open(int result);
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  void put32(std::uint32_t value);
  void put_bytes(const void* from, std::size_t count);
  bool verdict(int result);

  std::vector<std::uint8_t> bytes_;
};

}  // namespace walkfuzz
