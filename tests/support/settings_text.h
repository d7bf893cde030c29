// Test helpers for settings text: the C library's own scan to compare the reader with, and
// whole-file reads and writes.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings.h"

namespace settings_text {

struct Pair {
  std::string key;
  std::int32_t value = 0;
  bool too_long = false;
  bool operator==(const Pair&) const = default;
};

// Failure messages show a pair as its key and value.
inline std::ostream& operator<<(std::ostream& out, const Pair& pair) {
  return out << '"' << pair.key << "\"=" << pair.value << (pair.too_long ? " (too long)" : "");
}

// The C library's scan over text without zero bytes: the behaviour users' files rely on.
inline std::vector<Pair> scan_with_libc(const std::string& text) {
  std::vector<Pair> pairs;
  std::vector<char> key(text.size() + 1);
  const char* at = text.c_str();
  for (;;) {
    int value = 0;
    int used = -1;
    if (std::sscanf(at, "%[^=]=%d\r\n%n", key.data(), &value, &used) != 2 || used < 0) break;
    std::string whole(key.data());
    const bool too_long = whole.size() > camctl::kMaxSettingsKey;
    if (too_long) whole.resize(camctl::kMaxSettingsKey);
    pairs.push_back({whole, value, too_long});
    at += used;
  }
  return pairs;
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace settings_text
