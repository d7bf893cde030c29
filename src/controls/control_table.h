// The table of the device's adjustable controls: filled by walking the device at start, then kept
// in step with the camera as its controls turn active and inactive.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace camctl {

class Camera;

struct MenuEntry {
  std::uint32_t index = 0;
  std::int32_t value = 0;  // integer menus: the low 32 bits of the item's value
  bool has_label = false;  // text menus carry a label, integer menus do not
  std::string label;
};

// Where a control lives: the node of the camera it came from and its id there. Two nodes may
// offer a control with the same id (two subdevices' brightness); the table orders by both.
struct ControlKey {
  std::size_t node = 0;
  std::uint32_t id = 0;
  friend auto operator<=>(const ControlKey&, const ControlKey&) = default;
};

struct ControlEntry {
  std::size_t node = 0;  // the camera's node: its reads, writes and events go there
  std::uint32_t id = 0;
  std::string display_name;
  std::string variable_name;
  std::uint32_t type = 0;
  std::int32_t value = 0;
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;
  std::int32_t step = 0;
  std::int32_t default_value = 0;
  std::uint32_t flags = 0;  // as the device last reported them
  bool has_menu = false;
  bool menu_asked = false;              // the menu's items have been asked for
  std::vector<MenuEntry> menu_entries;  // ascending index

  ControlKey key() const { return {node, id}; }
};

struct ControlName {
  std::uint32_t id = 0;
  std::string variable_name;
};

struct ControlTable {
  // The controls a user may change now: node by node in the camera's order, and on each node in
  // the order the device reports them (ascending id), so ascending key.
  std::vector<ControlEntry> entries;
  // Controls that would be listed but for the driver's INACTIVE flag: the manual members of an
  // auto cluster while the auto control is on. Ascending key; their values are not known until
  // they join the list.
  std::vector<ControlEntry> inactive;
  // The other controls the walk returned: hidden with -i, read-only, disabled, unreadable.
  // Only their ids and variable names are kept, so that a save knows every key of this camera.
  std::vector<ControlName> unlisted;
  // Whether controls joining the list have their menu items asked (the screen shows them;
  // loading or saving a file does not need them).
  bool ask_menus = true;
  // By node of the camera: the walk subscribed to the control events of every listed and every
  // inactive control there.
  std::vector<bool> follows_events;

  std::size_t count() const { return entries.size(); }
  // False for a node that offers no control at all (a webcam's metadata node).
  bool has_controls() const { return !entries.empty() || !inactive.empty() || !unlisted.empty(); }
  ControlEntry& at(std::size_t position) { return entries[position]; }
  const ControlEntry& at(std::size_t position) const { return entries[position]; }
};

// The most menu items asked for one control. A driver may report a range of millions of
// indexes; no real menu comes near this, and the walk must stay short and small.
inline constexpr std::int64_t kMaxMenuQueries = 1024;

// Lower-case words of the display name's ASCII letters and digits, joined by single "_".
std::string derive_variable_name(std::string_view display_name);

// True when some ignore name begins with the variable name.
bool is_ignored(const std::vector<std::string_view>& ignore_names, std::string_view variable_name);

// The entry's menu item whose index equals value, or nullptr.
const MenuEntry* find_menu_entry(const ControlEntry& entry, std::int32_t value);

// Walks every control of every node of the camera, in the camera's order. In list mode prints
// the listing to out and fills nothing; otherwise fills table with the controls a user may
// change, and table.inactive with those that may become changeable. ask_menus = false leaves
// menu items unasked. With subscribe, each of those controls is subscribed to (with feedback)
// on its node before its value is read, so that every later change of it arrives as an event;
// a node whose driver refuses its first subscription is asked for no more, and its entry in
// table.follows_events stays false.
void build_control_table(Camera& camera, const std::vector<std::string_view>& ignore_names,
                         bool list_mode, std::FILE* out, ControlTable& table, bool ask_menus = true,
                         bool subscribe = false);

// Asks the entry's node for its menu items, once.
void collect_menu(Camera& camera, ControlEntry& entry);

// Where the control stands, or would stand, among entries kept in walk order (ascending key).
std::size_t walk_position(const std::vector<ControlEntry>& entries, ControlKey key);

// The listed entry of the control, or nullptr.
ControlEntry* find_listed(ControlTable& table, ControlKey key);
// The position of the listed entry of the control, or table.count() when it is not listed.
std::size_t listed_position(const ControlTable& table, ControlKey key);

}  // namespace camctl
