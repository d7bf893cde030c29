// Fuzz target for the settings file reader and a save's merge: bounded state, the C library's
// scan where it applies, and a merge that keeps exactly the pairs of other cameras.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../support/settings_text.h"
#include "controls/control_table.h"
#include "settings/settings.h"

namespace {

using settings_text::merge_fault;
using settings_text::Pair;
using settings_text::scan_with_libc;

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<Pair> read_all(camctl::SettingsReader& reader, std::size_t input_size) {
  std::vector<Pair> pairs;
  camctl::SettingsPair pair;
  while (reader.next(pair)) {
    check(pair.key_length >= 1 && pair.key_length <= camctl::kMaxSettingsKey);
    check(std::memchr(pair.key, '=', pair.key_length) == nullptr);
    check(!pair.key_too_long || pair.key_length == camctl::kMaxSettingsKey);
    check(pair.begin < pair.equals && pair.equals < pair.end && pair.end <= input_size);
    check(reader.position() >= pair.end && reader.position() <= input_size);
    pairs.push_back({std::string(pair.key_text()), pair.value, pair.key_too_long});
    // Every pair takes at least a key byte, "=" and a digit: reading always ends.
    check(pairs.size() * 3 <= input_size);
  }
  check(!reader.next(pair));  // once stopped, for good
  return pairs;
}

// Where the C library's own scan is defined the same way (no zero bytes, which end its
// string, and no numbers past nine digits, whose overflow it handles its own way), the
// reader must find exactly its pairs.
bool libc_comparable(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return false;
  std::size_t run = 0;
  for (const char ch : text) {
    run = (ch >= '0' && ch <= '9') ? run + 1 : 0;
    if (run > 9) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  camctl::SettingsReader from_text(text);
  const std::vector<Pair> pairs = read_all(from_text, size);

  // A save over the text, from a camera with a control of each kind a key can name: listed (one
  // of them under the name the other kernel gave it), waiting and hidden.
  static const camctl::ControlTable table = [] {
    camctl::ControlTable t;
    t.entries.push_back({.id = 0x00980900, .variable_name = "brightness", .value = 60});
    t.entries.push_back({.id = 0x009a0901, .variable_name = "auto_exposure", .value = 1});
    t.inactive.push_back({.id = 0x009a0902, .variable_name = "exposure_time_absolute"});
    t.unlisted = {{0x00980913, "gain"}};
    return t;
  }();
  check(merge_fault(table, text, camctl::merge_settings(table, text)).empty());

  if (libc_comparable(text)) check(scan_with_libc(std::string(text)) == pairs);
  return 0;
}
