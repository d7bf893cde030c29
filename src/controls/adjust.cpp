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

constexpr std::int64_t kJumpFactor = 10;

std::int32_t saturate(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Stepping a menu goes from one offered item to the next: the driver refuses the indexes
// in a gap, and a plain step would stick there.
bool next_menu_index(const ControlEntry& entry, bool upward, std::int32_t& index) {
  const auto& items = entry.menu_entries;
  if (upward) {
    for (const MenuEntry& item : items) {
      if (static_cast<std::int64_t>(item.index) > entry.value) {
        index = static_cast<std::int32_t>(item.index);
        return true;
      }
    }
    return false;
  }
  for (auto item = items.rbegin(); item != items.rend(); ++item) {
    if (static_cast<std::int64_t>(item->index) < entry.value) {
      index = static_cast<std::int32_t>(item->index);
      return true;
    }
  }
  return false;
}

// Works out the value a key asks for; false when the key asks for nothing.
bool requested_value(const ControlEntry& entry, AdjustKind kind, std::int32_t& wanted) {
  const std::int64_t value = entry.value;
  const std::int64_t step = entry.step;
  switch (kind) {
    case AdjustKind::step_down:
    case AdjustKind::step_up: {
      const bool upward = kind == AdjustKind::step_up;
      if (upward ? value >= entry.maximum : value <= entry.minimum) return false;
      if (entry.has_menu) return next_menu_index(entry, upward, wanted);
      wanted = saturate(upward ? value + step : value - step);
      return true;
    }
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
    if (const int error = write_control_value(camera, entry, entry.default_value); error != 0) {
      if (refusal != nullptr) *refusal = WriteRefusal{position, error};
    } else if (std::find(written.begin(), written.end(), key.node) == written.end()) {
      written.push_back(key.node);
    }
  }
}

}  // namespace camctl
