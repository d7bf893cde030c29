// Changes of control values, each written to the device at once.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

namespace camctl {

class Camera;
struct ControlEntry;
struct ControlTable;

enum class AdjustKind { step_down, step_up, jump_down, jump_up, minimum, maximum, default_value };

// What the driver said to the last write it refused.
struct WriteRefusal {
  std::size_t position = 0;  // entry position in the table
  int error = 0;             // errno value; 0 when nothing was refused
};

// Writes value to the entry's control, on the entry's node. On success the entry takes the value
// the driver reports it stored (drivers clamp and round); on failure the entry is left as it was.
// Returns 0 or the errno value of the refusal.
int write_control_value(Camera& camera, ControlEntry& entry, std::int32_t value);

// Returns true when the entry's value changed. A menu with offered items moves along those
// items only, by every kind: N and M go to the first and last offered item, a jump ten items
// along, and D to the default only when the default is offered.
bool adjust_control(ControlTable& table, Camera& camera, std::size_t position, AdjustKind kind,
                    WriteRefusal* refusal = nullptr);

// Writes the default of every listed entry, whatever its value, in walk order; an entry that
// an earlier write of the reset made inactive leaves the list unwritten, and a menu whose
// default is not an offered item keeps its item.
void reset_all_controls(ControlTable& table, Camera& camera, WriteRefusal* refusal = nullptr);

}  // namespace camctl
