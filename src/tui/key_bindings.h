// The screen's keys: one table that both turns key codes into commands and prints the help panel.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>

#include "controls/adjust.h"

namespace camctl {

enum class Command {
  none,  // a key without a binding: only the list is redrawn
  select_next,
  select_previous,
  select_first,
  select_last,
  adjust,
  reset_all,
  load,
  save,
  quit,
  repaint,         // the whole screen sent again, over whatever else wrote to the terminal
  toggle_picture,  // the picture view opens, or closes back to the list
  close_picture,   // the picture view closes; nothing in the list
};

struct KeyBinding {
  int key = 0;  // curses key code, or the lower-case letter; 0 marks an unused slot
  Command command = Command::none;
  AdjustKind adjust = AdjustKind::step_up;  // only for Command::adjust
};

// One line of the key table: the keys and, when the help panel shows them, its line there.
struct HelpLine {
  const char* text;  // nullptr: the keys are not in the help panel
  std::array<KeyBinding, 4> keys;
};

inline constexpr std::size_t kHelpLineCount = 12;

// Every key of the screen, in the help panel's order; the panel prints the lines with a text.
const std::array<HelpLine, kHelpLineCount>& help_lines();

// The binding of a key read from the list window; letters of either case alike. A key
// without a binding gives Command::none.
KeyBinding find_key_binding(int key);

}  // namespace camctl
