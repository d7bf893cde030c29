// Controls joining and leaving the list, and values changed by the driver or by other programs.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "controls/control_sync.h"

#include <algorithm>
#include <cerrno>

#include "controls/control_table.h"
#include "device/camera.h"

namespace camctl {
namespace {

constexpr std::uint32_t kUnlistedFlags =
    V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE;

using Entries = std::vector<ControlEntry>;

bool is_listable(std::uint32_t flags) {
  return (flags & kUnlistedFlags) == 0;
}

bool is_menu(const ControlEntry& entry) {
  return entry.type == V4L2_CTRL_TYPE_MENU || entry.type == V4L2_CTRL_TYPE_INTEGER_MENU;
}

Entries::iterator find_in(Entries& entries, ControlKey key) {
  const auto it = entries.begin() + static_cast<std::ptrdiff_t>(walk_position(entries, key));
  return it != entries.end() && it->key() == key ? it : entries.end();
}

// Both lists stay in walk order.
void move_entry(Entries& from, Entries::iterator it, Entries& to) {
  ControlEntry entry = std::move(*it);
  from.erase(it);
  const std::size_t at = walk_position(to, entry.key());
  to.insert(to.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
}

void note_value(TableChanges& changes, ControlKey key) {
  if (std::find(changes.values.begin(), changes.values.end(), key) == changes.values.end()) {
    changes.values.push_back(key);
  }
}

// A control that turned active joins with the value the device holds now: the number an event
// carries for a control that was volatile while inactive is not what the device reads.
void join(ControlTable& table, Camera& camera, Entries::iterator waiting, TableChanges& changes) {
  v4l2_control current{};
  current.id = waiting->id;
  if (camera.device(waiting->node).get_control(current) != 0) return;  // out until it changes
  waiting->value = current.value;
  if (is_menu(*waiting) && table.ask_menus) collect_menu(camera, *waiting);
  move_entry(table.inactive, waiting, table.entries);
  changes.rows = true;
}

struct ControlState {
  ControlKey key;
  bool has_value = false;
  std::int32_t value = 0;
  std::uint32_t flags = 0;  // every event and every query says what they are now
  bool has_range = false;
  std::int32_t minimum = 0, maximum = 0, step = 0, default_value = 0;
};

void apply_state(ControlTable& table, Camera& camera, const ControlState& state,
                 TableChanges& changes) {
  auto listed = find_in(table.entries, state.key);
  const bool is_listed = listed != table.entries.end();
  auto waiting = is_listed ? table.inactive.end() : find_in(table.inactive, state.key);
  if (!is_listed && waiting == table.inactive.end()) return;  // a control never shown
  ControlEntry& entry = is_listed ? *listed : *waiting;

  bool shown_change = false;
  if (state.has_range && (entry.minimum != state.minimum || entry.maximum != state.maximum ||
                          entry.step != state.step || entry.default_value != state.default_value)) {
    entry.minimum = state.minimum;
    entry.maximum = state.maximum;
    entry.step = state.step;
    entry.default_value = state.default_value;
    if (is_menu(entry)) {
      // The offered items may have changed with the range.
      entry.menu_asked = false;
      entry.has_menu = false;
      entry.menu_entries.clear();
      if (is_listed && table.ask_menus) collect_menu(camera, entry);
    }
    shown_change = true;
  }
  entry.flags = state.flags;

  if (!is_listed) {
    if (state.has_value) entry.value = state.value;
    if (is_listable(entry.flags)) join(table, camera, waiting, changes);
    return;
  }
  if (!is_listable(entry.flags)) {
    move_entry(table.entries, listed, table.inactive);
    changes.rows = true;
    return;
  }
  if (state.has_value && entry.value != state.value) {
    entry.value = state.value;
    shown_change = true;
  }
  if (shown_change) note_value(changes, entry.key());
}

}  // namespace

void apply_control_event(ControlTable& table, Camera& camera, std::size_t node,
                         const v4l2_event& event, TableChanges& changes) {
  if (event.type != V4L2_EVENT_CTRL) return;
  const auto& ctrl = event.u.ctrl;
  ControlState state;
  state.key = {node, event.id};
  state.has_value = (ctrl.changes & V4L2_EVENT_CTRL_CH_VALUE) != 0;
  state.value = ctrl.value;
  state.flags = ctrl.flags;
  state.has_range = (ctrl.changes & V4L2_EVENT_CTRL_CH_RANGE) != 0;
  state.minimum = ctrl.minimum;
  state.maximum = ctrl.maximum;
  state.step = ctrl.step;
  state.default_value = ctrl.default_value;
  apply_state(table, camera, state, changes);
}

int apply_pending_events(ControlTable& table, Camera& camera, std::size_t node,
                         TableChanges& changes, int& dequeued) {
  for (;;) {
    v4l2_event event{};
    if (const int error = camera.device(node).dequeue_event(event); error != 0) {
      return error == ENOENT ? 0 : error;
    }
    ++dequeued;
    apply_control_event(table, camera, node, event, changes);
    // The event says how many are still queued behind it; asking once more would only
    // hear that none is.
    if (event.pending == 0) return 0;
  }
}

int recheck_control(ControlTable& table, Camera& camera, ControlKey key, TableChanges& changes) {
  v4l2_queryctrl query{};
  query.id = key.id;
  if (const int error = camera.device(key.node).query_control(query); error != 0) return error;
  ControlState state;
  state.key = key;
  state.flags = query.flags;
  state.has_range = true;
  state.minimum = query.minimum;
  state.maximum = query.maximum;
  state.step = query.step;
  state.default_value = query.default_value;
  apply_state(table, camera, state, changes);
  return 0;
}

}  // namespace camctl
