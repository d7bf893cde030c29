// Keeps the table in step with the camera: control events, and controls turning active or not.
// The walk subscribes (build_control_table): feedback is asked for, so the last pending event
// of a control always holds its latest state, also when this program wrote it after another
// program did.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "controls/control_table.h"

namespace camctl {

class Camera;

// What a change on the camera's side did to the table.
struct TableChanges {
  bool rows = false;               // controls joined or left the list
  std::vector<ControlKey> values;  // listed controls whose shown numbers changed

  bool empty() const { return !rows && values.empty(); }
  void clear() {
    rows = false;
    values.clear();
  }
};

// Applies one V4L2_EVENT_CTRL from one node of the camera: a new value, new flags (joining or
// leaving the list) or a new range. A control that joins has its value read from the device.
void apply_control_event(ControlTable& table, Camera& camera, std::size_t node,
                         const v4l2_event& event, TableChanges& changes);

// Dequeues and applies every pending event of the node. Returns 0 once none is left, or the
// errno value that stopped the dequeueing (ENODEV: the camera is gone). dequeued counts the
// events.
int apply_pending_events(ControlTable& table, Camera& camera, std::size_t node,
                         TableChanges& changes, int& dequeued);

// Asks the control's node for its flags and range again and moves it into or out of the list
// by them. Returns 0 or the errno value of the query.
int recheck_control(ControlTable& table, Camera& camera, ControlKey key, TableChanges& changes);

}  // namespace camctl
