// The settings file: key=value lines of the controls that are away from their defaults.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace camctl {

class Camera;
struct ControlTable;

// The largest settings file a load reads and a save writes or replaces.
inline constexpr std::size_t kMaxSettingsFileSize = std::size_t{1} << 20;

// Why a save stored nothing, or stored the file without making sure it is on the disk.
enum class SaveProblem {
  none,
  system,              // a system call failed; error says why
  no_controls,         // the node has not a single control
  old_file_too_large,  // the file to be replaced is larger than a load reads
  new_file_too_large,  // the new file would be (size bytes)
  locked,              // another save of the same folder did not end within the wait
  link_refused,        // a link that another user owns, in a sticky folder anyone may write
  replaced,            // another program replaced the file while it was being saved
  not_restored,        // writing in place failed (error), and so did putting the old bytes back
};

struct SaveOutcome {
  enum class Status {
    saved,        // the new file is in place and on the disk
    not_durable,  // the new file is in place, but a sync after the replace failed (error)
    failed,       // nothing changed, except with not_restored
  };
  Status status = Status::failed;
  SaveProblem problem = SaveProblem::none;
  int error = 0;         // errno of the failed call
  std::size_t size = 0;  // of the new file, for new_file_too_large
};

// The reason of an outcome other than saved, as one line of text without an end.
std::string save_problem_text(const SaveOutcome& outcome);

// Writes every entry away from its default as "name=value\r\n", followed by the pairs of the
// file it replaces that name no control of this camera, and replaces the file only once the
// new content is safely stored. Saves of the same folder wait for each other. Returns true
// when the new file is in place (outcome says whether it is also on the disk); false on any
// failure, which leaves the file as it was, and for a camera without a single control, which
// has nothing to save.
bool save_settings(const ControlTable& table, const char* path, SaveOutcome* outcome = nullptr);

// A pair of the settings file that a load did not apply.
struct UnappliedPair {
  enum class Reason {
    refused,   // the camera refused the value; error says why
    inactive,  // its control stayed inactive to the end of the load
    unknown,   // the key names no control of this camera (a file may serve several cameras)
  };
  std::string name;  // the key as the file spells it
  Reason reason = Reason::unknown;
  int error = 0;
};

struct LoadReport {
  std::vector<UnappliedPair> unapplied;  // in file order

  // True when every pair that names a control of this camera was applied.
  bool complete() const;
};

// Applies the pairs of the file to the table and the camera, in file order; a pair whose
// control is inactive at its turn waits until the same load makes that control active.
// Returns false, applying nothing, when the file cannot be opened or read, or is larger than
// kMaxSettingsFileSize. A refused write leaves its entry unchanged. report, when given,
// receives the pairs not applied.
bool load_settings(ControlTable& table, Camera& camera, const char* path,
                   LoadReport* report = nullptr);

// The lines save_settings writes for the table's own controls.
std::string format_settings(const ControlTable& table);

// True when key names one of the camera's controls, listed, waiting or hidden, under the
// running kernel's name or the other kernel's.
bool is_own_key(const ControlTable& table, std::string_view key);

// The whole file text save_settings writes over a file that held previous: the table's lines,
// then every pair of previous, as the reader takes them, whose key names no control of this
// camera, in order, the blanks between pairs on one line kept, and then the text where reading
// stops, which no load reads. Line ends become CR LF.
std::string merge_settings(const ControlTable& table, std::string_view previous);

// The longest key the reader keeps: a driver's control name field is 32 bytes, and a
// variable name is never longer than the name it comes from.
inline constexpr std::size_t kMaxSettingsKey = 32;

// One key=value pair as the reader takes it.
struct SettingsPair {
  char key[kMaxSettingsKey] = {};
  std::size_t key_length = 0;  // of the kept characters; all of them unless key_too_long
  bool key_too_long = false;   // such a key matches no entry
  std::int32_t value = 0;      // numbers beyond 32 bits are held at the nearest 32-bit value
  // Where it stands in the text: the key from begin up to the "=" at equals, the number up to
  // end.
  std::size_t begin = 0;
  std::size_t equals = 0;
  std::size_t end = 0;

  std::string_view key_text() const { return {key, key_length}; }
};

// Reads pairs from text with the settings file's scan rules. Its state is bounded whatever the
// input.
class SettingsReader {
 public:
  explicit SettingsReader(std::string_view text);

  // The next pair; false once reading has stopped (end of input, empty key, no "=", no
  // number), and for good.
  bool next(SettingsPair& pair);

  // Where the next pair starts: behind the last pair read and the white space after it. Once
  // reading has stopped, what follows is the text no load applies.
  std::size_t position() const { return position_; }

 private:
  int get();

  std::string_view text_;
  std::size_t offset_ = 0;
  std::size_t position_ = 0;
  bool stopped_ = false;
};

}  // namespace camctl
