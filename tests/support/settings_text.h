// Test helpers for settings text: the C library's own scan to compare the reader with, what a
// save's merge must keep, and whole-file reads and writes.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
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

// The pairs of text as a load reads them once a save has put them behind other lines: whole
// keys, without the blanks the reader swallows before every key but the file's first, line ends
// as CR LF.
inline std::vector<Pair> pairs_behind_lines(std::string_view text) {
  std::vector<Pair> pairs;
  camctl::SettingsReader reader(text);
  camctl::SettingsPair pair;
  while (reader.next(pair)) {
    std::string_view key = text.substr(pair.begin, pair.equals - pair.begin);
    key.remove_prefix(std::min(key.find_first_not_of(" \t\n\v\f\r"), key.size()));
    std::string crlf;
    for (std::size_t i = 0; i < key.size(); ++i) {
      if (key[i] == '\r' && i + 1 < key.size() && key[i + 1] == '\n') continue;
      crlf += key[i] == '\r' || key[i] == '\n' ? std::string("\r\n") : std::string(1, key[i]);
    }
    pairs.push_back({crlf, pair.value});
  }
  return pairs;
}

// What a save over previous must write for table: the table's own lines, then exactly the
// pairs of previous whose keys name none of its controls, in order, and nothing else a load
// reads. Empty when merged is so; otherwise what is wrong.
inline std::string merge_fault(const camctl::ControlTable& table, std::string_view previous,
                               std::string_view merged) {
  const std::string own = camctl::format_settings(table);
  if (!merged.starts_with(own)) return "the table's lines do not come first";
  std::vector<Pair> foreign;
  for (Pair& pair : pairs_behind_lines(previous)) {
    // A key of blanks alone names nothing, and would end the load behind other lines.
    if (!pair.key.empty() && !camctl::is_own_key(table, pair.key)) foreign.push_back(pair);
  }
  const std::vector<Pair> kept = pairs_behind_lines(merged.substr(own.size()));
  if (kept == foreign) return {};
  std::ostringstream why;
  why << "kept";
  for (const Pair& pair : kept) why << ' ' << pair;
  why << "; foreign";
  for (const Pair& pair : foreign) why << ' ' << pair;
  return why.str();
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
