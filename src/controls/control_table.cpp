// Walks the device's controls into the table: eligibility, variable names, ignore list, menus.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "controls/control_table.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

#include "device/camera.h"

namespace camctl {
namespace {

constexpr std::uint32_t kNextFlags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
// Controls the user cannot change, or that the driver currently ignores.
constexpr std::uint32_t kSkipFlags =
    V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE;

// The driver's names are fixed arrays that may be filled to the last byte with no zero.
std::string copy_name(const __u8* name, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(name);
  return std::string(text, strnlen(text, size));
}

// Only ASCII letters and digits count as word characters, whatever the bytes above 127
// mean in some encoding: the program runs in the POSIX locale and keys must not vary.
bool is_word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

void collect_menu(Camera& camera, ControlEntry& entry) {
  if (entry.menu_asked) return;
  Device& device = camera.device(entry.node);
  entry.menu_asked = true;
  entry.menu_entries.clear();
  // A menu index is unsigned: the kernel refuses every index below zero, and an item kept
  // under a wrapped-around index could never match the control's value.
  const std::int64_t first = entry.minimum < 0 ? 0 : entry.minimum;
  const std::int64_t last = entry.maximum;
  const std::int64_t span = last - first + 1;
  if (span <= 0) return;
  const std::int64_t asked = span < kMaxMenuQueries ? span : kMaxMenuQueries;
  entry.menu_entries.reserve(static_cast<std::size_t>(asked));

  v4l2_querymenu item{};
  for (std::int64_t index = first; index < first + asked; ++index) {
    item.id = entry.id;
    item.index = static_cast<std::uint32_t>(index);
    if (device.query_menu(item) != 0) continue;  // a gap in the menu
    MenuEntry menu_entry;
    menu_entry.index = static_cast<std::uint32_t>(index);
    if (entry.type == V4L2_CTRL_TYPE_MENU) {
      menu_entry.has_label = true;
      menu_entry.label = copy_name(item.name, sizeof item.name);
    } else {
      // The screen and the settings file deal in 32-bit values; keep the low half.
      menu_entry.value = static_cast<std::int32_t>(
          static_cast<std::uint32_t>(static_cast<std::uint64_t>(item.value) & 0xffffffffU));
    }
    entry.menu_entries.push_back(std::move(menu_entry));
  }
  entry.has_menu = !entry.menu_entries.empty();
}

namespace {

// Types whose value G_CTRL can read, so that a control now inactive can show its value once it
// turns active. Write-only controls never can.
bool is_readable(const v4l2_queryctrl& query) {
  if ((query.flags & V4L2_CTRL_FLAG_WRITE_ONLY) != 0) return false;
  switch (query.type) {
    case V4L2_CTRL_TYPE_INTEGER:
    case V4L2_CTRL_TYPE_BOOLEAN:
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_BITMASK:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string derive_variable_name(std::string_view display_name) {
  std::string result;
  result.reserve(display_name.size());
  bool gap = false;
  for (const char ch : display_name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) break;
    if (!is_word_byte(c)) {
      gap = true;
      continue;
    }
    if (gap) {
      result.push_back('_');
      gap = false;
    }
    result.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  }
  return result;
}

bool is_ignored(const std::vector<std::string_view>& ignore_names, std::string_view variable_name) {
  for (const std::string_view name : ignore_names) {
    if (name.starts_with(variable_name)) return true;
  }
  return false;
}

const MenuEntry* find_menu_entry(const ControlEntry& entry, std::int32_t value) {
  if (!entry.has_menu) return nullptr;
  for (const MenuEntry& item : entry.menu_entries) {
    if (static_cast<std::int64_t>(item.index) == static_cast<std::int64_t>(value)) return &item;
  }
  return nullptr;
}

ControlEntry* find_listed(ControlTable& table, ControlKey key) {
  const std::size_t position = listed_position(table, key);
  return position < table.count() ? &table.at(position) : nullptr;
}

std::size_t walk_position(const std::vector<ControlEntry>& entries, ControlKey key) {
  const auto it = std::lower_bound(entries.begin(), entries.end(), key,
                                   [](const ControlEntry& e, ControlKey k) { return e.key() < k; });
  return static_cast<std::size_t>(it - entries.begin());
}

std::size_t listed_position(const ControlTable& table, ControlKey key) {
  const std::size_t position = walk_position(table.entries, key);
  return position < table.count() && table.at(position).key() == key ? position : table.count();
}

namespace {

void walk_node(Camera& camera, std::size_t node, const std::vector<std::string_view>& ignore_names,
               bool list_mode, std::FILE* out, ControlTable& table, bool subscribe) {
  Device& device = camera.device(node);
  const bool ask_menus = table.ask_menus;
  bool events_refused = !subscribe || list_mode;
  const auto follow = [&](std::uint32_t id) {
    if (events_refused) return;
    const int error = device.subscribe_control_events(id, V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK);
    // A driver without control events refuses the first one (so does a subdevice without
    // them); asking on would only cost.
    if (error != 0 && !table.follows_events[node]) {
      events_refused = true;
      return;
    }
    table.follows_events[node] = true;
  };
  v4l2_queryctrl query{};
  query.id = kNextFlags;
  std::uint32_t previous_id = 0;
  bool first = true;
  while (device.query_control(query) == 0) {
    const std::uint32_t id = query.id & ~kNextFlags;
    // Ids rise through the walk; a driver that answers otherwise would keep us here forever,
    // also one that answers id 0 again and again.
    if (!first && id <= previous_id) break;
    first = false;
    previous_id = id;
    query.id = id | kNextFlags;
    // An inactive control is not listed now, but it may turn active while the program runs;
    // its value is read when it does.
    const bool waiting =
        !list_mode && (query.flags & kSkipFlags) == V4L2_CTRL_FLAG_INACTIVE && is_readable(query);
    std::string display_name = copy_name(query.name, sizeof query.name);
    std::string variable_name = derive_variable_name(display_name);
    // Every control the walk passes without listing it is still this camera's own.
    const auto unlisted = [&] {
      if (!list_mode) table.unlisted.push_back({id, std::move(variable_name)});
    };
    if ((query.flags & kSkipFlags) != 0 && !waiting) {
      unlisted();
      continue;
    }

    const bool is_menu =
        query.type == V4L2_CTRL_TYPE_MENU || query.type == V4L2_CTRL_TYPE_INTEGER_MENU;
    // A menu whose range holds no index at all offers nothing to choose from.
    const bool left_out =
        !list_mode && ((!ignore_names.empty() && is_ignored(ignore_names, variable_name)) ||
                       (is_menu && static_cast<std::int64_t>(query.maximum) ==
                                       static_cast<std::int64_t>(query.minimum) - 1));
    // Subscribed before the value is read: a change made before the read is in the value, one
    // made after it comes as an event, and none falls between the two. Types no read can
    // succeed on are left to the read's own verdict.
    const bool followed_first = !left_out && is_readable(query);
    if (followed_first) follow(id);

    v4l2_control current{};
    current.id = id;
    if (!waiting && device.get_control(current) != 0) {
      unlisted();
      continue;
    }

    if (list_mode) {
      std::fprintf(out, "INFO: %30s = %-30s\n", variable_name.c_str(), display_name.c_str());
      continue;
    }
    if (left_out) {
      unlisted();
      continue;
    }
    if (!followed_first) follow(id);

    ControlEntry entry;
    entry.node = node;
    entry.id = id;
    entry.display_name = std::move(display_name);
    entry.variable_name = std::move(variable_name);
    entry.type = query.type;
    entry.value = current.value;
    entry.minimum = query.minimum;
    entry.maximum = query.maximum;
    entry.step = query.step;
    entry.default_value = query.default_value;
    entry.flags = query.flags;
    if (waiting) {
      table.inactive.push_back(std::move(entry));
      continue;
    }
    if (is_menu && ask_menus) collect_menu(camera, entry);
    table.entries.push_back(std::move(entry));
  }
}

}  // namespace

void build_control_table(Camera& camera, const std::vector<std::string_view>& ignore_names,
                         bool list_mode, std::FILE* out, ControlTable& table, bool ask_menus,
                         bool subscribe) {
  table.ask_menus = ask_menus;
  table.follows_events.assign(camera.size(), false);
  if (list_mode) {
    std::fprintf(out, "INFO: %30s = %-30s\n", "Control variable name", "Control name");
  } else {
    table.entries.reserve(100);
  }
  for (std::size_t node = 0; node < camera.size(); ++node) {
    walk_node(camera, node, ignore_names, list_mode, out, table, subscribe);
  }
}

}  // namespace camctl
