// The settings file: key=value lines of the controls that are away from their defaults.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace camctl {

class Camera;
struct ControlTable;

// Writes every entry away from its default as "name=value\r\n", followed by the lines of the
// file it replaces that belong to no control of this camera, and replaces the file only once the
// new content is safely stored. Returns false on any failure, and for a camera without a single
// control, which has nothing to save.
bool save_settings(const ControlTable& table, const char* path);

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
// Returns false when the file cannot be opened or read. A refused write leaves its entry
// unchanged. report, when given, receives the pairs not applied.
bool load_settings(ControlTable& table, Camera& camera, const char* path,
                   LoadReport* report = nullptr);

// The lines save_settings writes for the table's own controls.
std::string format_settings(const ControlTable& table);

// True when key names one of the camera's controls, listed, waiting or hidden, under the
// running kernel's name or the other kernel's.
bool is_own_key(const ControlTable& table, std::string_view key);

// The whole file text save_settings writes over a file that held previous: the table's lines,
// then every line of previous whose key is not the camera's own, in order, ended with CR LF.
std::string merge_settings(const ControlTable& table, std::string_view previous);

// Replaces the file at path by content (see save_settings). Returns false on any failure.
bool write_settings_file(const char* path, std::string_view content);

// The longest key the reader keeps: a driver's control name field is 32 bytes, and a
// variable name is never longer than the name it comes from.
inline constexpr std::size_t kMaxSettingsKey = 32;

// One key=value pair as the reader takes it.
struct SettingsPair {
  char key[kMaxSettingsKey] = {};
  std::size_t key_length = 0;  // of the kept characters; all of them unless key_too_long
  bool key_too_long = false;   // such a key matches no entry
  std::int32_t value = 0;      // numbers beyond 32 bits are held at the nearest 32-bit value

  std::string_view key_text() const { return {key, key_length}; }
};

// Reads pairs from text or from a stream, with the settings file's scan rules. Its state is
// bounded whatever the input.
class SettingsReader {
 public:
  explicit SettingsReader(std::string_view text);
  explicit SettingsReader(std::FILE* stream);  // borrowed; not closed

  // The next pair; false once reading has stopped (end of input, empty key, no "=", no
  // number), and for good.
  bool next(SettingsPair& pair);

  // True when the stream reported a read error.
  bool read_failed() const;

 private:
  int get();

  std::string_view text_;
  std::size_t offset_ = 0;
  std::FILE* stream_ = nullptr;
  int lookahead_ = -2;  // a byte taken but not used, or -2 for none
  bool stopped_ = false;
};

}  // namespace camctl
