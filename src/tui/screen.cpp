// Drawing of the fixed layout. Every text goes through one clipped writer, so nothing a driver
// reports can run over a border or wrap into the next line.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/screen.h"

#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "controls/control_table.h"
#include "device/camera.h"
#include "device/sys_ops.h"
#include "tui/key_bindings.h"

namespace camctl {
namespace {

constexpr int kStatusCol = 20;
constexpr int kHeaderCol = 1;
constexpr int kConfigCol = 30;

constexpr int kListRow = 4;
constexpr int kListCol = 0;
constexpr int kListRows = 20;
constexpr int kListCols = 50;
constexpr std::size_t kListShown = 18;  // the window's rows 1 to 18, inside the border
constexpr int kRowTextCol = 2;
constexpr int kRowTextLastCol = 47;  // columns 1 and 48 stay blank beside the border

constexpr int kDetailRow = 4;
constexpr int kDetailCol = 51;
constexpr int kDetailRows = 9;
constexpr int kDetailCols = 27;
constexpr int kDetailTextCol = 2;
constexpr int kDetailTextLastCol = kDetailCols - 2;

constexpr int kHelpRow = 13;
constexpr int kHelpCol = 51;

// The picture view's window starts below the status row; in it the picture's rows, then the
// selected control's line and the meter line.
constexpr int kPictureRow = 1;
constexpr int kControlLine = kPictureRows;
constexpr int kMeterLine = kPictureRows + 1;
constexpr int kNoticeRow = kPictureRows / 2 - 1;
constexpr int kHistogramCol = 40;
// A terminal without 256 colours shows each cell's level as a character, darkest first.
constexpr char kDensityRamp[] = " .:-=+*#%@";
constexpr int kDensityLevels = sizeof kDensityRamp - 1;
// With 256 colours: black, the 24 greys of the colour cube's ramp (232 to 255), white; each a
// colour pair from 1 on, as cell backgrounds.
constexpr int kGreyLevels = 26;
// A tty's own poll says it has room to write below this many queued bytes: the tail of a frame,
// not a frame, still waits there.
constexpr int kOutputBacklog = 256;
// The bytes a changed cell costs, cursor moves shared in: from a whole picture's bytes on
// `linux` (1681 for 1560 cells) and with 256 colours (9125), rounded up.
constexpr std::size_t kRampCellBytes = 2;
constexpr std::size_t kGreyCellBytes = 6;
// Writes text at row, col of the window, cut at last_col and at the window's own edge, which
// a resize may have moved. Bytes that are no printable ASCII show as "?": in the POSIX locale
// curses would spell them out in several columns and push the text past its place.
void put_text(WINDOW* window, int row, int col, const char* text, int last_col) {
  if (window == nullptr || row < 0 || row >= getmaxy(window)) return;
  last_col = std::min(last_col, getmaxx(window) - 1);
  if (col > last_col || wmove(window, row, col) == ERR) return;
  for (; *text != '\0' && col <= last_col; ++text, ++col) {
    const auto byte = static_cast<unsigned char>(*text);
    waddch(window, byte >= 0x20 && byte < 0x7f ? byte : '?');
  }
}

template <typename... Args>
void put_format(WINDOW* window, int row, int col, int last_col, const char* format, Args... args) {
  char text[128];
  std::snprintf(text, sizeof text, format, args...);
  put_text(window, row, col, text, last_col);
}

void draw_border(WINDOW* window) {
  wborder(window, 0, 0, 0, 0, 0, 0, 0, 0);
}

}  // namespace

bool Screen::set_up_screen(Camera& camera) {
  session_.start();
  // The fixed windows cannot be made on a smaller terminal; a run without them would crash.
  if (!terminal_fits()) {
    session_.end();
    return false;
  }

  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  CameraNode& named = camera.named();
  if (named.subdevice) {
    // A subdevice moves no frames of its own: it is known by what it is.
    format_line_ = "Subdevice:  " + (named.entity.empty() ? named.path : named.entity);
    resolution_line_.clear();
    have_format_ = true;
  } else if (named.device.get_capture_format(format) == 0) {
    const std::uint32_t fourcc = format.fmt.pix.pixelformat;
    char line[64];
    std::snprintf(line, sizeof line, "Format:     %c%c%c%c", static_cast<char>(fourcc & 0xff),
                  static_cast<char>((fourcc >> 8) & 0xff), static_cast<char>((fourcc >> 16) & 0xff),
                  static_cast<char>((fourcc >> 24) & 0xff));
    format_line_ = line;
    std::snprintf(line, sizeof line, "Resolution: %dx%d", static_cast<int>(format.fmt.pix.width),
                  static_cast<int>(format.fmt.pix.height));
    resolution_line_ = line;
    have_format_ = true;
  }

  draw_main_screen();
  session_.create_windows(kListRows, kListCols, kListRow, kListCol, kDetailRows, kDetailCols,
                          kDetailRow, kDetailCol);
  wrefresh(stdscr);
  draw_control_list(0);
  draw_detail_panel(0);
  return true;
}

void Screen::draw_main_screen() {
  const int last_col = getmaxx(stdscr) - 1;
  put_text(stdscr, 0, 1, "Camera control: ", last_col);
  if (!status_.empty()) put_text(stdscr, 0, kStatusCol, status_.c_str(), last_col);
  if (have_format_) {
    put_format(stdscr, 1, kHeaderCol, last_col, "V4L2:       %s", options_.device_path);
    put_text(stdscr, 2, kHeaderCol, format_line_.c_str(), last_col);
    put_text(stdscr, 3, kHeaderCol, resolution_line_.c_str(), last_col);
    put_format(stdscr, 1, kConfigCol, last_col, "Config: %s", options_.settings_path);
  }
  // The help panel is printed last, so the main screen's cursor rests behind it.
  int row = kHelpRow;
  for (const HelpLine& line : help_lines()) {
    if (line.text != nullptr) put_text(stdscr, row++, kHelpCol, line.text, last_col);
  }
}

std::size_t Screen::first_shown(std::size_t selection) {
  // Past the first screenful the selection sits on the last row.
  return selection < kListShown ? 0 : selection - (kListShown - 1);
}

void Screen::draw_control_list(std::size_t selection) {
  if (picture_open()) {
    paint_picture_control(selection);
    wrefresh(session_.picture_window());
    return;
  }
  if (session_.list_window() == nullptr) return;
  paint_control_list(selection);
  wrefresh(session_.list_window());
}

void Screen::paint_control_list(std::size_t selection) {
  WINDOW* list = session_.list_window();
  const std::size_t first = first_shown(selection);
  const std::size_t end = std::min(first + kListShown, table_.count());
  draw_border(list);
  for (std::size_t position = first; position < end; ++position) {
    const bool selected = position == selection;
    if (selected) wattr_on(list, A_REVERSE, nullptr);
    draw_control_row(position, static_cast<int>(position - first) + 1);
    if (selected) wattr_off(list, A_REVERSE, nullptr);
  }
  // Rows below the last entry are blank: the list shrinks when a control leaves it.
  static const std::string blank(kRowTextLastCol - kRowTextCol + 1, ' ');
  for (std::size_t row = end - first + 1; row <= kListShown; ++row) {
    put_text(list, static_cast<int>(row), kRowTextCol, blank.c_str(), kRowTextLastCol);
  }
  rest_cursor(selection, first, end);
}

void Screen::rest_cursor(std::size_t selection, std::size_t first, std::size_t end) {
  // The cursor rests just behind the bar. A key's changes end there as a rule, so placing the
  // cursor costs no bytes, and it marks the selection on a terminal that shows no attributes.
  if (selection >= first && selection < end) {
    wmove(session_.list_window(), static_cast<int>(selection - first) + 1, kRowTextLastCol + 1);
  }
}

void Screen::draw_changed_entry(std::size_t position, std::size_t selection) {
  if (picture_open()) {
    if (position == selection) draw_control_list(selection);
    return;
  }
  WINDOW* list = session_.list_window();
  if (list == nullptr) return;
  const std::size_t first = first_shown(selection);
  const std::size_t end = std::min(first + kListShown, table_.count());
  const bool selected = position == selection;
  if (position >= first && position < end) {
    if (selected) wattr_on(list, A_REVERSE, nullptr);
    draw_control_row(position, static_cast<int>(position - first) + 1);
    if (selected) wattr_off(list, A_REVERSE, nullptr);
    rest_cursor(selection, first, end);
    wnoutrefresh(list);
  }
  // One update for the row and the panel: the cursor goes straight on to the panel's value,
  // where it rests, not to the list's resting place first.
  if (selected) {
    paint_detail_panel(position);
    wnoutrefresh(session_.detail_window());
  }
  doupdate();
}

void Screen::draw_control_row(std::size_t position, int row) {
  WINDOW* list = session_.list_window();
  const ControlEntry& entry = table_.at(position);
  const char* marker = entry.value > entry.default_value   ? "+"
                       : entry.value < entry.default_value ? "-"
                                                           : " ";
  // Three prints over the same 46 columns: the number, a menu item over it, then the name
  // over the left part. Each covers the whole width, so the bar of a selected row does too.
  put_format(list, row, kRowTextCol, kRowTextLastCol, "%46d", entry.value);
  if (const MenuEntry* item = find_menu_entry(entry, entry.value)) {
    if (item->has_label) {
      put_format(list, row, kRowTextCol, kRowTextLastCol, "%46s", item->label.c_str());
    } else {
      put_format(list, row, kRowTextCol, kRowTextLastCol, "%46d", item->value);
    }
  }
  put_format(list, row, kRowTextCol, kRowTextLastCol, "%s %s", marker, entry.display_name.c_str());
}

void Screen::draw_detail_panel(std::size_t position) {
  if (picture_open()) return draw_control_list(position);
  if (session_.detail_window() == nullptr) return;
  paint_detail_panel(position);
  wrefresh(session_.detail_window());
}

void Screen::paint_detail_panel(std::size_t position) {
  WINDOW* detail = session_.detail_window();
  werase(detail);
  draw_border(detail);
  // An empty table has no entry to show: the panel stays blank.
  if (position < table_.count()) {
    const ControlEntry& entry = table_.at(position);
    const int col = kDetailTextCol;
    const int last = kDetailTextLastCol;
    put_format(detail, 1, col, last, "%.23s", entry.display_name.c_str());
    put_format(detail, 2, col, last, "Val: %18d", entry.value);
    put_format(detail, 3, col, last, "Min: %18d", entry.minimum);
    put_format(detail, 4, col, last, "Max: %18d", entry.maximum);
    put_format(detail, 5, col, last, "Stp: %18d", entry.step);
    put_format(detail, 6, col, last, "Def: %18d", entry.default_value);
    put_format(detail, 7, col, last, "Opt: %*s", 18, "");
    if (const MenuEntry* item = find_menu_entry(entry, entry.value)) {
      if (item->has_label) {
        put_format(detail, 7, col, last, "Opt: %18s", item->label.c_str());
      } else {
        put_format(detail, 7, col, last, "Opt: %18d", item->value);
      }
    }
    // The cursor rests behind the value, the text a key changes most.
    wmove(detail, 2, kDetailTextLastCol);
  }
}

void Screen::show_status(const std::string& text) {
  status_ = text;
  // Blanked to the screen's end, so no tail of a longer message cut there stays behind.
  wmove(stdscr, 0, kStatusCol);
  wclrtoeol(stdscr);
  put_text(stdscr, 0, kStatusCol, text.c_str(), getmaxx(stdscr) - 1);
}

void Screen::refresh_main_screen() {
  // With nothing new on the main screen a refresh would only send the cursor there and back:
  // bytes a slow serial console does not need.
  if (is_wintouched(stdscr)) wrefresh(stdscr);
}

int Screen::read_key() {
  WINDOW* list =
      session_.picture_window() != nullptr ? session_.picture_window() : session_.list_window();
  WINDOW* window = list != nullptr ? list : stdscr;
  // The loop waits for keys itself, beside the camera; curses only hands over what it has.
  nodelay(window, TRUE);
  return wgetch(window);
}

int Screen::key_descriptor() const {
  return fileno(stdin);
}

bool Screen::terminal_fits() const {
  return getmaxy(stdscr) >= kMinScreenRows && getmaxx(stdscr) >= kMinScreenCols;
}

int Screen::terminal_rows() const {
  return getmaxy(stdscr);
}
int Screen::terminal_cols() const {
  return getmaxx(stdscr);
}

void Screen::show_size_notice() {
  // A terminal that was resized holds whatever it made of the old screen, unknown to curses.
  clearok(curscr, TRUE);
  werase(stdscr);
  put_format(stdscr, 0, 0, getmaxx(stdscr) - 1, "Terminal too small: %dx%d, need at least %dx%d",
             getmaxy(stdscr), getmaxx(stdscr), kMinScreenRows, kMinScreenCols);
  wrefresh(stdscr);
}

void Screen::redraw_layout(std::size_t selection) {
  const bool picture = picture_open();
  session_.create_windows(kListRows, kListCols, kListRow, kListCol, kDetailRows, kDetailCols,
                          kDetailRow, kDetailCol);
  if (picture) {
    session_.create_picture_window(getmaxy(stdscr) - kPictureRow, getmaxx(stdscr), kPictureRow, 0);
  }
  repaint(selection);
}

void Screen::repaint(std::size_t selection) {
  if (!terminal_fits()) return show_size_notice();
  // What another program wrote over the screen, or what a resized terminal made of it, is
  // unknown to curses, which would send only what it changes itself: the terminal is cleared
  // and every piece sent again, in one update.
  clearok(curscr, TRUE);
  werase(stdscr);
  if (picture_open()) {
    put_text(stdscr, 0, 1, "Camera control: ", getmaxx(stdscr) - 1);
    if (!status_.empty()) put_text(stdscr, 0, kStatusCol, status_.c_str(), getmaxx(stdscr) - 1);
    wnoutrefresh(stdscr);
    werase(session_.picture_window());
    paint_picture_frame();
    paint_picture_control(selection);
    touchwin(session_.picture_window());
    wnoutrefresh(session_.picture_window());
    doupdate();
    return;
  }
  draw_main_screen();
  wnoutrefresh(stdscr);
  paint_detail_panel(selection);
  wnoutrefresh(session_.detail_window());
  // The list last, so the cursor rests on its bar.
  paint_control_list(selection);
  touchwin(session_.list_window());
  wnoutrefresh(session_.list_window());
  doupdate();
}

void Screen::close(std::size_t selection) {
  if (!session_.active()) return;
  // The list is what the terminal keeps after the run, as without the view.
  if (picture_open()) close_picture(selection);
  if (terminal_fits()) draw_control_list(selection);
  // The cursor stands behind the last print of the main screen, so this clears nothing that
  // shows. A message that filled the top row to the last column left the cursor at the start
  // of the next row instead, where clearing would wipe the header.
  if (getcurx(stdscr) != 0) wclrtoeol(stdscr);
  wrefresh(stdscr);
  session_.end();
}

void Screen::open_picture(std::size_t selection) {
  if (picture_open()) return;
  // Colours start only with the view, so the list costs what it did without it.
  static bool colours_started = false;
  // The terminal's description says how many colours it has; curses' own counts are known only
  // once colours are started.
  grey_levels_ = has_colors() && tigetnum("colors") >= 256 && tigetnum("pairs") > kGreyLevels;
  if (grey_levels_ && !colours_started) {
    start_color();
    for (short level = 0; level < kGreyLevels; ++level) {
      const short colour = level == 0 ? 16 : level == kGreyLevels - 1 ? 231 : 231 + level;
      init_pair(static_cast<short>(level + 1), COLOR_WHITE, colour);
    }
    colours_started = true;
  }
  have_picture_ = false;
  picture_notice_.clear();
  session_.create_picture_window(getmaxy(stdscr) - kPictureRow, getmaxx(stdscr), kPictureRow, 0);
  WINDOW* window = session_.picture_window();
  if (window == nullptr) return;
  werase(window);
  paint_picture_control(selection);
  wrefresh(window);
}

void Screen::close_picture(std::size_t selection) {
  if (!picture_open()) return;
  session_.delete_picture_window();
  have_picture_ = false;
  picture_notice_.clear();
  if (!terminal_fits()) return;
  // The layout as it stood, in one update: curses sends only the cells the view changed.
  touchwin(stdscr);
  wnoutrefresh(stdscr);
  paint_detail_panel(selection);
  touchwin(session_.detail_window());
  wnoutrefresh(session_.detail_window());
  paint_control_list(selection);
  touchwin(session_.list_window());
  wnoutrefresh(session_.list_window());
  doupdate();
}

void Screen::paint_picture_control(std::size_t selection) {
  WINDOW* window = session_.picture_window();
  picture_selection_ = selection;
  wmove(window, kControlLine, 0);
  wclrtoeol(window);
  if (selection >= table_.count()) return;
  const ControlEntry& entry = table_.at(selection);
  const int last = kPictureColumns - 1;
  std::string value = std::to_string(entry.value);
  if (const MenuEntry* item = find_menu_entry(entry, entry.value)) {
    value = item->has_label ? item->label : std::to_string(item->value);
  }
  put_format(window, kControlLine, 1, last, "%s: %s", entry.display_name.c_str(), value.c_str());
}

void Screen::paint_picture_frame() {
  WINDOW* window = session_.picture_window();
  const int last = kPictureColumns - 1;
  if (!have_picture_) {
    for (int row = 0; row < kPictureRows; ++row) {
      wmove(window, row, 0);
      wclrtoeol(window);
    }
    wmove(window, kMeterLine, 0);
    wclrtoeol(window);
    if (!picture_notice_.empty()) {
      put_text(window, kNoticeRow, 1, picture_notice_.c_str(), last);
    }
    return;
  }
  const int rows = std::min(picture_.rows, kPictureRows);
  const int columns = std::min(picture_.columns, kPictureColumns);
  for (int row = 0; row < rows; ++row) {
    wmove(window, row, 0);
    for (int col = 0; col < columns; ++col) {
      const std::size_t at =
          static_cast<std::size_t>(row) * static_cast<std::size_t>(picture_.columns) +
          static_cast<std::size_t>(col);
      const int level = shown_level(picture_.cells[at]);
      if (grey_levels_) {
        waddch(window, ' ' | COLOR_PAIR(1 + level));
      } else {
        waddch(window, static_cast<unsigned char>(kDensityRamp[level]));
      }
    }
  }
  char line[kHistogramCol + 1];
  std::snprintf(line, sizeof line, "Mean %d%%  Dark %d%%  Bright %d%%", meter_.mean_percent,
                meter_.dark_percent, meter_.bright_percent);
  wmove(window, kMeterLine, 0);
  wclrtoeol(window);
  put_text(window, kMeterLine, 1, line, kHistogramCol - 1);
  // The histogram: one character a bin, its height against the fullest bin's.
  std::uint32_t fullest = 1;
  for (const std::uint32_t count : meter_.histogram) fullest = std::max(fullest, count);
  std::string bars = "[";
  for (const std::uint32_t count : meter_.histogram) {
    const auto steps = static_cast<std::uint64_t>(kDensityLevels - 1);
    const std::uint64_t height = (count * steps + fullest - 1) / fullest;
    bars += kDensityRamp[height];
  }
  bars += ']';
  put_text(window, kMeterLine, kHistogramCol, bars.c_str(), last);
}

int Screen::shown_level(int luma) const {
  return luma * (grey_levels_ ? kGreyLevels : kDensityLevels) / 256;
}

std::size_t Screen::draw_picture(const LumaPicture& picture, const LumaMeter& meter) {
  WINDOW* window = session_.picture_window();
  if (window == nullptr) return 0;
  // Each changed cell costs its character, or its colour's escape sequence, and the cursor's
  // moves between runs of them; the meter line is a line's worth.
  std::size_t changed = 0;
  const bool same_size = have_picture_ && picture_.cells.size() == picture.cells.size();
  for (std::size_t at = 0; at < picture.cells.size(); ++at) {
    if (!same_size || shown_level(picture_.cells[at]) != shown_level(picture.cells[at])) ++changed;
  }
  const std::size_t guess = changed * (grey_levels_ ? kGreyCellBytes : kRampCellBytes) +
                            static_cast<std::size_t>(kPictureColumns);
  picture_.columns = picture.columns;
  picture_.rows = picture.rows;
  picture_.cells.assign(picture.cells.begin(), picture.cells.end());
  meter_ = meter;
  const bool was_notice = !picture_notice_.empty();
  picture_notice_.clear();
  have_picture_ = picture_.cells.size() >= static_cast<std::size_t>(std::max(picture_.columns, 0)) *
                                               static_cast<std::size_t>(std::max(picture_.rows, 0));
  if (was_notice) {
    for (int row = 0; row < kPictureRows; ++row) {
      wmove(window, row, 0);
      wclrtoeol(window);
    }
  }
  paint_picture_frame();
  // The cursor goes back to the control line, where a key's change ends.
  paint_picture_control(picture_selection_);
  wrefresh(window);
  return guess;
}

void Screen::show_picture_notice(const std::string& text) {
  WINDOW* window = session_.picture_window();
  if (window == nullptr) return;
  have_picture_ = false;
  picture_notice_ = text;
  paint_picture_frame();
  paint_picture_control(picture_selection_);
  wrefresh(window);
}

int Screen::output_descriptor() {
  return fileno(stdout);
}

bool Screen::output_busy() const {
  int queued = 0;
  for (;;) {
    if (sys_ops().ioctl(output_descriptor(), TIOCOUTQ, &queued) == 0) {
      return queued >= kOutputBacklog;
    }
    if (errno != EINTR) return false;
  }
}

}  // namespace camctl
