// A libvterm screen fed once with a recorded stream.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "recorded_screen.h"

extern "C" {
#include <vterm.h>
}

namespace systest {

RecordedScreen::RecordedScreen(std::string_view bytes, int rows, int cols)
    : rows_(rows), cols_(cols) {
  vt_ = vterm_new(rows, cols);
  vterm_set_utf8(vt_, 1);
  screen_ = vterm_obtain_screen(vt_);
  vterm_screen_enable_altscreen(screen_, 1);
  vterm_screen_reset(screen_, 1);
  vterm_input_write(vt_, bytes.data(), bytes.size());
}

RecordedScreen::~RecordedScreen() {
  vterm_free(vt_);
}

std::string RecordedScreen::text(int row, int col, int length) const {
  std::string out;
  for (int c = col; c < col + length && c < cols_; ++c) {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{row, c}, &cell);
    uint32_t ch = cell.chars[0];
    // Line drawing arrives as the alternate character set; any non-ASCII cell reads as '#'.
    out += ch == 0 ? ' ' : (ch < 0x80 ? static_cast<char>(ch) : '#');
  }
  return out;
}

bool RecordedScreen::reverse(int row, int col) const {
  VTermScreenCell cell{};
  vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
  return cell.attrs.reverse != 0;
}

std::string RecordedScreen::dump() const {
  std::string out;
  for (int r = 0; r < rows_; ++r) out += text(r, 0, cols_) + "\n";
  return out;
}

}  // namespace systest
