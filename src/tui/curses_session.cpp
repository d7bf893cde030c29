// Start and end of curses, kept in one place so no way out of the screen skips the restore.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/curses_session.h"

#include <cstdlib>

namespace camctl {
namespace {

// How long an Esc waits for the rest of a key's sequence (curses' own default is a second, in
// which keys and camera events wait too). A key's bytes leave the terminal together: over SSH
// they travel in one packet, and on a serial line the longest sequence takes about 6 ms at 9600
// baud; a USB serial adapter may hold received bytes for up to 16 ms. 50 ms is three times the
// worst of these, so a sequence split on the way is still one key (a split Left would
// otherwise end in "D", the default key), and a lone Esc holds the screen back for no longer
// than a user can notice.
constexpr int kEscapeDelayMs = 50;

}  // namespace

void CursesSession::start() {
  if (active_) return;
  initscr();
  active_ = true;
  wclear(stdscr);
  noecho();
  cbreak();
  // A user's own ESCDELAY (the environment variable curses reads) is kept.
  if (std::getenv("ESCDELAY") == nullptr) set_escdelay(kEscapeDelayMs);
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

void CursesSession::create_picture_window(int rows, int cols, int row, int col) {
  delete_picture_window();
  picture_ = newwin(rows, cols, row, col);
  if (picture_ != nullptr) keypad(picture_, TRUE);
}

void CursesSession::delete_picture_window() {
  if (picture_ != nullptr) delwin(picture_);
  picture_ = nullptr;
}

void CursesSession::delete_windows() {
  delete_picture_window();
  if (list_ != nullptr) delwin(list_);
  if (detail_ != nullptr) delwin(detail_);
  list_ = nullptr;
  detail_ = nullptr;
}

}  // namespace camctl
