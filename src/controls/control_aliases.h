// The standard webcam controls whose variable names changed when Linux 5.16 renamed them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace camctl {

// One renamed control: its id and its variable name under uvcvideo's own naming (Linux up to
// 5.15) and under the common naming (5.16 on). A settings file written under either kernel
// keeps naming the control by the variable name it was saved with.
struct ControlAlias {
  std::uint32_t id;
  const char* older_name;
  const char* newer_name;
};

// Every renamed control whose variable names differ, from the kernels' own sources
// (tools/gen-control-aliases.py). A control uvcvideo mapped twice has two rows.
std::span<const ControlAlias> control_aliases();

// The id of the renamed standard control that key names under either kernel's name; 0 when none.
std::uint32_t aliased_control_id(std::string_view key);

}  // namespace camctl
