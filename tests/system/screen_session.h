// A recorded keypty session of the program in a guest, read back on the host: the key scripts
// keypty types and the screens at their marks.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <optional>
#include <string>

#include "recorded_screen.h"

namespace systest {

std::string trim(const std::string& text);

// The ctlprobe lines "ID VALUE" as a map.
std::map<std::string, std::string> probe_values(const std::string& text);

// The terminal stream of a keypty run and the offsets of its marks.
class Session {
 public:
  Session(std::string raw, const std::string& marks);

  // The screen as it stood at a mark.
  std::optional<RecordedScreen> at(const std::string& mark) const;
  std::string exit_status() const;

 private:
  std::string raw_;
  std::map<std::string, std::string> marks_;
};

// One control's row in the list window: its marker and what stands right-aligned after the name.
struct ListRow {
  char marker = '?';
  std::string shown;
  int row = -1;  // the screen row
};
std::optional<ListRow> list_row(const RecordedScreen& screen, const std::string& name);
// A line of the detail panel (1: the selected control's name), read from the panel's inside.
std::string detail(const RecordedScreen& screen, int panel_row);
// The number or label after one of the panel's labels ("Val", "Min", ... "Opt").
std::string detail_value(const RecordedScreen& screen, const std::string& label);
std::string status_area(const RecordedScreen& screen);
// A control's name as the panel's first line shows it: its 23 columns cut longer names.
std::string panel_name(const std::string& name);

// The steps keypty takes through one run of the program (tests/system/guest/keypty.c).
class KeyScript {
 public:
  KeyScript& key(const std::string& name, int times = 1);
  // Several keys typed gap_ms apart without waiting for the program.
  KeyScript& type(int gap_ms, const std::string& names);
  // Waits until the program reads keys from its screen (a slow camera's start takes long).
  KeyScript& screen();
  KeyScript& mark(const std::string& label);
  // Reads the given controls ("ID ID...") of the node into /out/file while the program runs.
  KeyScript& probe(const std::string& file, const std::string& ids,
                   const std::string& node = "/dev/video0");
  // Their flags, as the driver reports them to any handle.
  KeyScript& probe_flags(const std::string& file, const std::string& ids,
                         const std::string& node = "/dev/video0");
  // Another program writes "ID=VALUE ..." from a handle of its own on the node; the screen must
  // follow (without redraw, keypty does not wait for the program's answer).
  KeyScript& other_program_sets(const std::string& file, const std::string& pairs,
                                bool redraw = true, const std::string& node = "/dev/video0");
  // A shell command that changes the camera behind the program's back; with redraw, keypty
  // waits for the program's answer.
  KeyScript& camera_changes(const std::string& command, bool redraw = true);
  // The program's CPU time and context switches over two seconds, into /out/file (see
  // cpu_ticks_and_switches).
  KeyScript& watch_cpu(const std::string& file);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// What the program used over watch_cpu's span: clock ticks on the CPU and context switches,
// or -1 for each when the file does not hold two readings.
struct CpuUse {
  long ticks = -1;
  long switches = -1;
};
CpuUse cpu_use(const std::string& readings);

}  // namespace systest
