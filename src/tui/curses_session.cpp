// Start and end of curses, kept in one place so no way out of the screen skips the restore.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/curses_session.h"

namespace camctl {

void CursesSession::start() {
  if (active_) return;
  initscr();
  active_ = true;
  wclear(stdscr);
  noecho();
  cbreak();
}

void CursesSession::end() {
  if (!active_) return;
  delete_windows();
  endwin();
  active_ = false;
}

void CursesSession::create_windows(int list_rows, int list_cols, int list_row, int list_col,
                                   int detail_rows, int detail_cols, int detail_row,
                                   int detail_col) {
  delete_windows();
  list_ = newwin(list_rows, list_cols, list_row, list_col);
  if (list_ != nullptr) keypad(list_, TRUE);
  detail_ = newwin(detail_rows, detail_cols, detail_row, detail_col);
}

void CursesSession::delete_windows() {
  if (list_ != nullptr) delwin(list_);
  if (detail_ != nullptr) delwin(detail_);
  list_ = nullptr;
  detail_ = nullptr;
}

}  // namespace camctl
