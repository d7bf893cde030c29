// The fixed screen layout: title, status area, capture-format header, control list, detail
// panel and help panel, and the drawing of each.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

#include "controls/run_options.h"
#include "device/frame_luma.h"
#include "tui/curses_session.h"

namespace camctl {

class Camera;
struct ControlTable;

inline constexpr int kMinScreenRows = 24;
inline constexpr int kMinScreenCols = 78;
// The status area's width, from column 20 to column 77.
inline constexpr std::size_t kStatusWidth = 58;
// The picture view's picture: the layout's width, and the rows between the status row and the
// control and meter lines. One sample of the frame per cell.
inline constexpr int kPictureColumns = 78;
inline constexpr int kPictureRows = 20;

class Screen {
 public:
  Screen(const ControlTable& table, const RunOptions& options) : table_(table), options_(options) {}

  // Starts curses and draws the whole layout with entry 0 selected; the header shows the named
  // node's capture format, or the entity a subdevice node is. When the terminal is smaller than
  // the layout, restores it at once, creates no window and returns false.
  bool set_up_screen(Camera& camera);

  void draw_control_list(std::size_t selection);
  // Redraws one entry whose numbers changed: its row, if it is on the list window now, and
  // the detail panel when it is the selected one; nothing else.
  void draw_changed_entry(std::size_t position, std::size_t selection);
  void draw_detail_panel(std::size_t position);
  // Blanks the status area and shows text there; it stays until the next message.
  void show_status(const std::string& text);
  // Keeps text for the status area without drawing it, while the layout cannot be shown; the
  // layout shows it when it is drawn again.
  void keep_status(const std::string& text) { status_ = text; }
  void refresh_main_screen();

  // The next key from the list window without waiting: a curses key code, or ERR when no key
  // is ready (or the read failed: end of input, a hang-up).
  int read_key();
  // The descriptor keys arrive on, to wait on beside the camera.
  int key_descriptor() const;
  bool terminal_fits() const;
  // Says on the top row, as far as it fits, that the layout needs a larger terminal.
  void show_size_notice();
  // Makes the windows anew and repaints, for a terminal that was resized or has just grown
  // back to the layout's size.
  void redraw_layout(std::size_t selection);
  // Clears the terminal and sends the whole screen again from the table (or the size notice,
  // on a terminal too small for the layout).
  void repaint(std::size_t selection);
  // Ends the screen: list, clear of the current line, refresh, end of curses.
  void close(std::size_t selection);

  int terminal_rows() const;
  int terminal_cols() const;

  // The picture view, over the list, the detail panel and the help panel; the status row stays.
  // While it shows, the list's and the panel's draws draw its control line instead: the
  // selected control's name and value. Closing shows the list again where it was.
  void open_picture(std::size_t selection);
  void close_picture(std::size_t selection);
  bool picture_open() const { return session_.picture_window() != nullptr; }
  // Draws one frame's cells and its meter line; curses sends only the cells that changed.
  // Returns a guess of the bytes that took, from the cells whose level changed, for where the
  // kernel does not count the bytes written.
  std::size_t draw_picture(const LumaPicture& picture, const LumaMeter& meter);
  // Says, in place of the picture, why there is none; an empty text clears it.
  void show_picture_notice(const std::string& text);
  // The terminal still has bytes of earlier drawing to send (a serial line's queue): a frame
  // drawn now would wait behind them.
  bool output_busy() const;
  // The descriptor the screen is written to.
  static int output_descriptor();

 private:
  void paint_picture_control(std::size_t selection);
  void paint_picture_frame();
  // The step of the ramp or of the greys a cell's level is drawn as.
  int shown_level(int luma) const;
  void draw_control_row(std::size_t position, int row);
  // The list's content, not yet sent to the terminal.
  void paint_control_list(std::size_t selection);
  // The panel's content, not yet sent to the terminal.
  void paint_detail_panel(std::size_t position);
  // Where the list window's first row stands for a selection.
  static std::size_t first_shown(std::size_t selection);
  void rest_cursor(std::size_t selection, std::size_t first, std::size_t end);
  void draw_main_screen();

  const ControlTable& table_;
  const RunOptions& options_;
  CursesSession session_;
  bool have_format_ = false;
  std::string format_line_;
  std::string resolution_line_;
  std::string status_;
  // What the picture view shows, kept so a repaint or resize can draw it again.
  LumaPicture picture_;
  LumaMeter meter_;
  bool have_picture_ = false;
  std::string picture_notice_;
  std::size_t picture_selection_ = 0;
  bool grey_levels_ = false;  // cells in grey backgrounds, not in the ASCII ramp
};

}  // namespace camctl
