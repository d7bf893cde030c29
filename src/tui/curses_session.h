// Owner of the curses session: however the screen is left, the terminal gets its normal modes back.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <curses.h>

namespace camctl {

class CursesSession {
 public:
  CursesSession() = default;
  ~CursesSession() { end(); }
  CursesSession(const CursesSession&) = delete;
  CursesSession& operator=(const CursesSession&) = delete;

  // Takes over the process's terminal: no echo, one key at a time. When the terminal cannot
  // be driven at all, the curses library reports it and ends the process itself.
  void start();
  // Deletes the windows and restores the terminal; harmless when already ended.
  void end();
  bool active() const { return active_; }

  // (Re)creates the two fixed windows, replacing any earlier pair. Keys are read from the
  // list window with keypad mode on, so arrow and paging keys arrive as single codes.
  void create_windows(int list_rows, int list_cols, int list_row, int list_col, int detail_rows,
                      int detail_cols, int detail_row, int detail_col);
  // (Re)creates the picture view's window over the two, with keypad mode on like the list's:
  // keys are read from it while it shows. delete_picture_window() lets the two show again.
  void create_picture_window(int rows, int cols, int row, int col);
  void delete_picture_window();
  WINDOW* picture_window() const { return picture_; }
  WINDOW* list_window() const { return list_; }
  WINDOW* detail_window() const { return detail_; }

 private:
  void delete_windows();

  bool active_ = false;
  WINDOW* list_ = nullptr;
  WINDOW* detail_ = nullptr;
  WINDOW* picture_ = nullptr;
};

}  // namespace camctl
