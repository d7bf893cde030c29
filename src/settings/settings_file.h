// The settings file as a save holds it from its read to its replacement, and the bounded read
// of a load.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "settings/settings.h"

namespace camctl {

// Reads the whole file at path, at most kMaxSettingsFileSize bytes, without hanging on a pipe
// that has no writer yet. Returns 0, or the errno value of the failure (EFBIG: larger).
int read_settings_file(const char* path, std::string& text);

// One save of the file at a path: reached through its links as the kernel would let a process
// follow them in a shared folder, its folder locked against other saves, its content read, and
// then replaced by new content, the file read and no other.
class SettingsFileSave {
 public:
  SettingsFileSave() = default;
  ~SettingsFileSave();
  SettingsFileSave(const SettingsFileSave&) = delete;
  SettingsFileSave& operator=(const SettingsFileSave&) = delete;

  // Finds, locks and reads the file. False, with the outcome set, when the save cannot go on.
  bool open(const char* path);
  // What the file holds now: empty for a file not there yet, a pipe or a device node.
  const std::string& previous() const { return previous_; }
  // Puts content in place of the file read; false, with the outcome set, on failure.
  bool replace(std::string_view content);
  const SaveOutcome& outcome() const { return outcome_; }

 private:
  enum class Kind { none, regular, special };

  bool fail(SaveProblem problem, int error = 0);
  bool lock_folder();
  bool identical_to_read(const struct stat& now) const;
  bool still_the_file_read() const;
  bool replace_by_rename(std::string_view content);
  bool rewrite_in_place(std::string_view content);
  bool write_special(std::string_view content);
  void remove_stale_temporaries() const;

  int folder_ = -1;   // the folder that holds the file (the one its links end in)
  std::string name_;  // the file's name in that folder
  Kind kind_ = Kind::none;
  struct stat read_ {};  // the file as it was read
  int old_fd_ = -1;      // the file read, held open until its replacement is on the disk
  bool locked_ = false;
  std::string previous_;
  SaveOutcome outcome_;
};

}  // namespace camctl
