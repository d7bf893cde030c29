// The key table: each help line beside the keys it explains, so the two never drift apart.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/key_bindings.h"

#include <curses.h>

namespace camctl {
namespace {

constexpr int kCtrlL = 'L' & 0x1f;
constexpr int kEscape = 0x1b;

constexpr KeyBinding adjust_key(int key, AdjustKind kind) {
  return KeyBinding{key, Command::adjust, kind};
}

const std::array<HelpLine, kHelpLineCount> kHelpLines = {{
    {"Up/Down/Home/End  Navigate",
     {{{KEY_UP, Command::select_previous, AdjustKind::step_up},
       {KEY_DOWN, Command::select_next, AdjustKind::step_up},
       {KEY_HOME, Command::select_first, AdjustKind::step_up},
       {KEY_END, Command::select_last, AdjustKind::step_up}}}},
    {"Left/Right          Adjust",
     {{adjust_key(KEY_LEFT, AdjustKind::step_down), adjust_key(KEY_RIGHT, AdjustKind::step_up)}}},
    {"PgDn/PgUp      Jump Adjust",
     {{adjust_key(KEY_NPAGE, AdjustKind::jump_down), adjust_key(KEY_PPAGE, AdjustKind::jump_up)}}},
    {"R Reset All", {{{'r', Command::reset_all, AdjustKind::step_up}}}},
    {"D Default", {{adjust_key('d', AdjustKind::default_value)}}},
    {"N Minimum", {{adjust_key('n', AdjustKind::minimum)}}},
    {"M Maximum", {{adjust_key('m', AdjustKind::maximum)}}},
    {"L Load", {{{'l', Command::load, AdjustKind::step_up}}}},
    {"S Save", {{{'s', Command::save, AdjustKind::step_up}}}},
    {"Q Quit", {{{'q', Command::quit, AdjustKind::step_up}}}},
    // The help panel's last row.
    {"P Picture (P/Esc: back)",
     {{{'p', Command::toggle_picture, AdjustKind::step_up},
       {kEscape, Command::close_picture, AdjustKind::step_up}}}},
    // Ctrl-L, as in every full-screen terminal program; the panel has no row to spare for it.
    {nullptr, {{{kCtrlL, Command::repaint, AdjustKind::step_up}}}},
}};

}  // namespace

const std::array<HelpLine, kHelpLineCount>& help_lines() {
  return kHelpLines;
}

KeyBinding find_key_binding(int key) {
  // Only ASCII capitals fold: key codes above 255 are function keys, never letters.
  if (key >= 'A' && key <= 'Z') key += 'a' - 'A';
  for (const HelpLine& line : kHelpLines) {
    for (const KeyBinding& binding : line.keys) {
      if (binding.key != 0 && binding.key == key) return binding;
    }
  }
  return KeyBinding{};
}

}  // namespace camctl
