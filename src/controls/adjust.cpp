// Value changes by key and the reset of all controls; the table only ever holds what the device
// took.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "controls/adjust.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "controls/control_sync.h"
#include "controls/control_table.h"
#include "device/camera.h"

namespace camctl {
namespace {

constexpr std::int64_t kJumpFactor = 10;  // steps of a number, offered items of a menu

std::int32_t saturate(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Every key moves a menu along the items the driver offers: the driver refuses the indexes in
// a gap, and a plain step would stick there. From a value in a gap (or outside the items) the
// offered item next to it is the first one along.
bool menu_index_along(const ControlEntry& entry, bool upward, std::ptrdiff_t items_along,
                      std::int32_t& index) {
  const auto& items = entry.menu_entries;
  const auto count = static_cast<std::ptrdiff_t>(items.size());
  const std::int64_t value = entry.value;
  std::ptrdiff_t at = 0;
  if (upward) {
    at = std::upper_bound(items.begin(), items.end(), value,
                          [](std::int64_t v, const MenuEntry& item) { return v < item.index; }) -
         items.begin();
    if (at == count) return false;
    at = std::min(at + items_along - 1, count - 1);
  } else {
    at = std::lower_bound(items.begin(), items.end(), value,
                          [](const MenuEntry& item, std::int64_t v) { return item.index < v; }) -
         items.begin() - 1;
    if (at < 0) return false;
    at = std::max<std::ptrdiff_t>(at - items_along + 1, 0);
  }
  index = static_cast<std::int32_t>(items[static_cast<std::size_t>(at)].index);
  return true;
}

// What a key asks of a menu with offered items; false when it asks for nothing.
bool requested_menu_index(const ControlEntry& entry, AdjustKind kind, std::int32_t& wanted) {
  const auto& items = entry.menu_entries;
  const auto first = static_cast<std::int32_t>(items.front().index);
  const auto last = static_cast<std::int32_t>(items.back().index);
  switch (kind) {
    case AdjustKind::step_down:
      return menu_index_along(entry, false, 1, wanted);
    case AdjustKind::step_up:
      return menu_index_along(entry, true, 1, wanted);
    // A jump stops on the first or last item, as a number's stops at its bound.
    case AdjustKind::jump_down:
      if (!menu_index_along(entry, false, kJumpFactor, wanted)) wanted = first;
      return true;
    case AdjustKind::jump_up:
      if (!menu_index_along(entry, true, kJumpFactor, wanted)) wanted = last;
      return true;
    case AdjustKind::minimum:
      wanted = first;
      return true;
    case AdjustKind::maximum:
      wanted = last;
      return true;
    case AdjustKind::default_value:
      // A default in a gap would only be refused.
      wanted = entry.default_value;
      return find_menu_entry(entry, wanted) != nullptr;
  }
  return false;
}

// Works out the value a key asks for; false when the key asks for nothing.
bool requested_value(const ControlEntry& entry, AdjustKind kind, std::int32_t& wanted) {
  const std::int64_t value = entry.value;
  const std::int64_t step = entry.step;
  if (kind == AdjustKind::step_down && value <= entry.minimum) return false;
  if (kind == AdjustKind::step_up && value >= entry.maximum) return false;
  if (entry.has_menu) return requested_menu_index(entry, kind, wanted);
  switch (kind) {
    case AdjustKind::step_down:
      wanted = saturate(value - step);
      return true;
    case AdjustKind::step_up:
      wanted = saturate(value + step);
      return true;
    case AdjustKind::jump_down:
      wanted = saturate(std::max<std::int64_t>(value - kJumpFactor * step, entry.minimum));
      return true;
    case AdjustKind::jump_up:
      wanted = saturate(std::min<std::int64_t>(value + kJumpFactor * step, entry.maximum));
      return true;
    case AdjustKind::minimum:
      wanted = entry.minimum;
      return true;
    case AdjustKind::maximum:
      wanted = entry.maximum;
      return true;
    case AdjustKind::default_value:
      wanted = entry.default_value;
      return true;
  }
  return false;
}

}  // namespace

int write_control_value(Camera& camera, ControlEntry& entry, std::int32_t value) {
  v4l2_control control{};
  control.id = entry.id;
  control.value = value;
  const int error = camera.device(entry.node).set_control(control);
  if (error == 0) entry.value = control.value;
  return error;
}

bool adjust_control(ControlTable& table, Camera& camera, std::size_t position, AdjustKind kind,
                    WriteRefusal* refusal) {
  if (position >= table.count()) return false;
  ControlEntry& entry = table.at(position);
  std::int32_t wanted = 0;
  if (!requested_value(entry, kind, wanted)) return false;
  if (wanted == entry.value) return false;

  const std::int32_t old = entry.value;
  if (const int error = write_control_value(camera, entry, wanted); error != 0) {
    if (refusal != nullptr) *refusal = WriteRefusal{position, error};
    return false;
  }
  return entry.value != old;
}

void reset_all_controls(ControlTable& table, Camera& camera, WriteRefusal* refusal) {
  std::vector<ControlKey> listed;
  listed.reserve(table.count());
  for (const ControlEntry& entry : table.entries) listed.push_back(entry.key());
  // The nodes the reset has written to: only a node's own writes change its controls' flags.
  std::vector<std::size_t> written;
  for (const ControlKey key : listed) {
    // An auto control this reset put back on (automatic exposure, its default) makes its manual
    // control inactive: uvcvideo refuses that control's write then, or sends it to a camera
    // that ignores it. The driver says so only when asked; such a control is left to its auto.
    if (std::find(written.begin(), written.end(), key.node) != written.end()) {
      TableChanges changes;
      recheck_control(table, camera, key, changes);
    }
    const std::size_t position = listed_position(table, key);
    if (position == table.count()) continue;
    ControlEntry& entry = table.at(position);
    // A menu's default in a gap would only be refused: such a menu keeps its item.
    if (entry.has_menu && find_menu_entry(entry, entry.default_value) == nullptr) continue;
    if (const int error = write_control_value(camera, entry, entry.default_value); error != 0) {
      if (refusal != nullptr) *refusal = WriteRefusal{position, error};
    } else if (std::find(written.begin(), written.end(), key.node) == written.end()) {
      written.push_back(key.node);
    }
  }
}

}  // namespace camctl
