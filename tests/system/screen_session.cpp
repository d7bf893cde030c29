// Key scripts for keypty and the screens of the sessions it recorded.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "screen_session.h"

#include <sstream>
#include <string_view>
#include <vector>

namespace systest {

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::map<std::string, std::string> probe_values(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string id, value;
  while (lines >> id >> value) values[id] = value;
  return values;
}

Session::Session(std::string raw, const std::string& marks) : raw_(std::move(raw)) {
  std::istringstream lines(marks);
  std::string label, offset;
  while (lines >> label >> offset) marks_[label] = offset;
}

std::optional<RecordedScreen> Session::at(const std::string& mark) const {
  auto found = marks_.find(mark);
  if (found == marks_.end()) return std::nullopt;
  std::size_t offset = std::stoul(found->second);
  if (offset > raw_.size()) return std::nullopt;
  return std::make_optional<RecordedScreen>(std::string_view(raw_).substr(0, offset));
}

std::string Session::exit_status() const {
  auto found = marks_.find("exit");
  return found == marks_.end() ? "<none>" : found->second;
}

std::optional<ListRow> list_row(const RecordedScreen& screen, const std::string& name) {
  for (int row = 5; row <= 22; ++row) {
    std::string text = screen.text(row, 2, 46);
    if (text.compare(2, name.size() + 1, name + " ") != 0) continue;
    return ListRow{text[0], trim(text.substr(2 + name.size())), row};
  }
  return std::nullopt;
}

std::string detail(const RecordedScreen& screen, int panel_row) {
  return trim(screen.text(4 + panel_row, 53, 23));
}

std::string detail_value(const RecordedScreen& screen, const std::string& label) {
  static const std::map<std::string, int> rows = {{"Val", 2}, {"Min", 3}, {"Max", 4},
                                                  {"Stp", 5}, {"Def", 6}, {"Opt", 7}};
  std::string line = detail(screen, rows.at(label));
  return line.rfind(label + ":", 0) == 0 ? trim(line.substr(4)) : "<no " + label + " line>";
}

std::string status_area(const RecordedScreen& screen) {
  return trim(screen.text(0, 20, 58));
}

std::string panel_name(const std::string& name) {
  return name.substr(0, 23);
}

KeyScript& KeyScript::key(const std::string& name, int times) {
  for (int i = 0; i < times; ++i) text_ += "key " + name + "\n";
  return *this;
}

KeyScript& KeyScript::type(int gap_ms, const std::string& names) {
  text_ += "type " + std::to_string(gap_ms) + " " + names + "\n";
  return *this;
}

KeyScript& KeyScript::screen() {
  text_ += "screen\n";
  return *this;
}

KeyScript& KeyScript::mark(const std::string& label) {
  text_ += "mark " + label + "\n";
  return *this;
}

KeyScript& KeyScript::probe(const std::string& file, const std::string& ids,
                            const std::string& node) {
  text_ += "run /case/ctlprobe " + node + " " + ids + " >/out/" + file + "\n";
  return *this;
}

KeyScript& KeyScript::probe_flags(const std::string& file, const std::string& ids,
                                  const std::string& node) {
  text_ += "run /case/ctlprobe -f " + node + " " + ids + " >/out/" + file + "\n";
  return *this;
}

KeyScript& KeyScript::other_program_sets(const std::string& file, const std::string& pairs,
                                         bool redraw, const std::string& node) {
  return camera_changes("/case/ctlprobe -s " + node + " " + pairs + " >/out/" + file, redraw);
}

KeyScript& KeyScript::camera_changes(const std::string& command, bool redraw) {
  text_ += std::string(redraw ? "change " : "run ") + command + "\n";
  return *this;
}

KeyScript& KeyScript::watch_cpu(const std::string& file) {
  const std::string read = "cat /proc/$p/stat /proc/$p/status >>/out/" + file;
  text_ += "run p=$(pidof camera_control); " + read + "; sleep 2; " + read + "\n";
  return *this;
}

CpuUse cpu_use(const std::string& readings) {
  // Each reading: /proc/PID/stat (utime and stime are its 14th and 15th fields, after the
  // command name in parentheses), then /proc/PID/status with its context switch counts.
  std::vector<long> ticks, switches;
  std::istringstream lines(readings);
  for (std::string line; std::getline(lines, line);) {
    std::size_t name_end = line.rfind(") ");
    if (name_end != std::string::npos && line.find('(') != std::string::npos) {
      std::istringstream fields(line.substr(name_end + 2));
      std::string field;
      long sum = 0;
      for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) sum += std::stol(field);
      ticks.push_back(sum);
      switches.push_back(0);
    } else if (!switches.empty() && line.find("ctxt_switches:") != std::string::npos) {
      switches.back() += std::stol(line.substr(line.find(':') + 1));
    }
  }
  if (ticks.size() != 2) return {};
  return {ticks[1] - ticks[0], switches[1] - switches[0]};
}

}  // namespace systest
