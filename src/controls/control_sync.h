// Keeps the table in step with the camera: control events, and controls turning active or not.
// The walk subscribes (build_control_table): feedback is asked for, so the last pending event
// of a control always holds its latest state, also when this program wrote it after another
// program did.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <vector>

namespace camctl {

class Device;
struct ControlTable;

// What a change on the camera's side did to the table.
struct TableChanges {
  bool rows = false;                  // controls joined or left the list
  std::vector<std::uint32_t> values;  // listed controls whose shown numbers changed

  bool empty() const { return !rows && values.empty(); }
  void clear() {
    rows = false;
    values.clear();
  }
};

// Applies one V4L2_EVENT_CTRL: a new value, new flags (joining or leaving the list) or a
// new range. A control that joins has its value read from the device.
void apply_control_event(ControlTable& table, Device& device, const v4l2_event& event,
                         TableChanges& changes);

// Dequeues and applies every pending event. Returns 0 once none is left, or the errno value
// that stopped the dequeueing (ENODEV: the camera is gone). dequeued counts the events.
int apply_pending_events(ControlTable& table, Device& device, TableChanges& changes, int& dequeued);

// Asks the device for the control's flags and range again and moves it into or out of the
// list by them. Returns 0 or the errno value of the query.
int recheck_control(ControlTable& table, Device& device, std::uint32_t id, TableChanges& changes);

}  // namespace camctl
