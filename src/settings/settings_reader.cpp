// The settings file reader: the scan rules users' files were written against, with bounded state.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <cstdint>
#include <cstdio>
#include <limits>

#include "settings/settings.h"

namespace camctl {
namespace {

constexpr int kNone = -2;

// White space as the C library counts it in the POSIX locale; the program never selects
// another locale, so the set is written out rather than asked of the library.
bool is_blank(int ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool is_digit(int ch) {
  return ch >= '0' && ch <= '9';
}

// Anything beyond this magnitude is held here: it is already past both 32-bit ends, and
// holding it keeps hundreds of digits from overflowing the sum.
constexpr std::int64_t kMagnitudeCap = std::int64_t{1} << 32;

std::int32_t nearest_int32(bool negative, std::int64_t magnitude) {
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

}  // namespace

SettingsReader::SettingsReader(std::string_view text) : text_(text) {}

int SettingsReader::get() {
  if (offset_ < text_.size()) return static_cast<unsigned char>(text_[offset_++]);
  ++offset_;  // past the end too, so that one byte taken back is always the one taken
  return EOF;
}

bool SettingsReader::next(SettingsPair& pair) {
  if (stopped_) return false;
  stopped_ = true;  // until the pair is read whole

  // The key: every byte up to the next "=", blanks, line ends and zero bytes included, at
  // least one. Only the first bytes are kept; the rest is consumed all the same.
  pair.begin = offset_;
  pair.key_length = 0;
  pair.key_too_long = false;
  int ch = get();
  if (ch == EOF || ch == '=') return false;
  while (ch != EOF && ch != '=') {
    if (pair.key_length < kMaxSettingsKey) {
      pair.key[pair.key_length++] = static_cast<char>(ch);
    } else {
      pair.key_too_long = true;
    }
    ch = get();
  }
  if (ch == EOF) return false;
  pair.equals = offset_ - 1;

  // The number: leading white space, line ends included, then an optional sign and at
  // least one digit.
  do {
    ch = get();
  } while (is_blank(ch));
  bool negative = false;
  if (ch == '-' || ch == '+') {
    negative = ch == '-';
    ch = get();
  }
  if (!is_digit(ch)) return false;
  std::int64_t magnitude = 0;
  while (is_digit(ch)) {
    if (magnitude < kMagnitudeCap) magnitude = magnitude * 10 + (ch - '0');
    ch = get();
  }
  pair.value = nearest_int32(negative, magnitude);
  pair.end = offset_ - 1;

  // Any white space after the number: the line end, blank lines and the next line's
  // leading blanks.
  while (is_blank(ch)) ch = get();
  --offset_;  // the byte after them starts the next key
  position_ = offset_;
  stopped_ = false;
  return true;
}

}  // namespace camctl
