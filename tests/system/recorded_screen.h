// Replays a recorded terminal stream through a terminal emulator (libvterm) and reads the screen.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

struct VTerm;
struct VTermScreen;

namespace systest {

class RecordedScreen {
 public:
  // The screen of a rows x cols xterm after it has received bytes.
  RecordedScreen(std::string_view bytes, int rows = 24, int cols = 80);
  ~RecordedScreen();
  RecordedScreen(const RecordedScreen&) = delete;
  RecordedScreen& operator=(const RecordedScreen&) = delete;

  // length cells from row, col; an empty cell reads as a blank.
  std::string text(int row, int col, int length) const;
  bool reverse(int row, int col) const;
  // Every row, for failure messages.
  std::string dump() const;

 private:
  VTerm* vt_ = nullptr;
  VTermScreen* screen_ = nullptr;
  int rows_;
  int cols_;
};

}  // namespace systest
