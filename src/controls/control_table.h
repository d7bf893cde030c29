// The table of the device's adjustable controls, filled once at start by walking the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace camctl {

class Device;

struct MenuEntry {
  std::uint32_t index = 0;
  std::int32_t value = 0;  // integer menus: the low 32 bits of the item's value
  bool has_label = false;  // text menus carry a label, integer menus do not
  std::string label;
};

struct ControlEntry {
  std::uint32_t id = 0;
  std::string display_name;
  std::string variable_name;
  std::uint32_t type = 0;
  std::int32_t value = 0;
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;
  std::int32_t step = 0;
  std::int32_t default_value = 0;
  bool has_menu = false;
  std::vector<MenuEntry> menu_entries;  // ascending index
};

struct ControlTable {
  std::vector<ControlEntry> entries;  // in the order the device reported them

  std::size_t count() const { return entries.size(); }
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

// Walks every control of the device. In list mode prints the listing to out and fills
// nothing; otherwise fills table with the controls a user may change.
void build_control_table(Device& device, const std::vector<std::string_view>& ignore_names,
                         bool list_mode, std::FILE* out, ControlTable& table);

}  // namespace camctl
