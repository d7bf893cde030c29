// Scratch directories, scenario and log files, and screen reading for the robustness tests.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "robust_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/camera.h"

namespace robust {

void TempDirTest::SetUp() {
  char pattern[] = "/tmp/camctl-robust-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
}

void TempDirTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempDirTest::write_scenario(const std::string& name, const std::string& text) const {
  const std::string path = dir_ + "/" + name;
  write_text(path, text);
  return path;
}

std::FILE* null_output() {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  return sink;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string pad(const std::string& text, std::size_t width) {
  return text.size() >= width ? text.substr(0, width)
                              : text + std::string(width - text.size(), ' ');
}

e2e::TerminalRun program_run(const std::string& scenario, const std::string& log,
                             const std::vector<std::string>& args) {
  e2e::TerminalRun run;
  run.args = args;
  run.scenario = scenario;
  run.log_path = log;
  return run;
}

ListRun run_list(const std::string& scenario) {
  char out_path[] = "/tmp/camctl-list-XXXXXX";
  const int out = mkstemp(out_path);
  ListRun result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out, STDOUT_FILENO);
    setenv("LD_PRELOAD", CAMSIM_PRELOAD, 1);
    setenv("CAMSIM_SCENARIO", scenario.c_str(), 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    execl(CAMERA_CONTROL_BINARY, CAMERA_CONTROL_BINARY, "-l", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(out);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = e2e::read_file(out_path);
  unlink(out_path);
  return result;
}

std::vector<LoggedWrite> logged_writes(const std::string& log) {
  std::vector<LoggedWrite> writes;
  std::istringstream in(e2e::read_file(log));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("write ", 0) != 0) continue;
    LoggedWrite w;
    unsigned id = 0;
    int value = 0;
    char result[32] = {};
    int returned = 0;
    const int got = std::sscanf(line.c_str(), "write id=%x value=%d result=%31s returned=%d", &id,
                                &value, result, &returned);
    if (got < 3) continue;
    w.id = id;
    w.value = value;
    w.result = result;
    w.returned = returned;
    writes.push_back(w);
  }
  return writes;
}

std::int32_t device_value(const std::string& scenario, const std::string& log, std::uint32_t id) {
  camsim::Scenario s;
  std::string error;
  if (!camsim::load_scenario_file(scenario.c_str(), s, error)) return INT32_MIN;
  std::int32_t value = INT32_MIN;
  for (const camsim::Control& c : s.controls) {
    if (c.id == id) value = c.value;
  }
  for (const LoggedWrite& w : logged_writes(log)) {
    if (w.id == id && w.result == "0") value = w.returned;
  }
  return value;
}

std::int32_t val_line(const e2e::Terminal& session) {
  const std::string line = session.text(6, 53, 23);
  if (line.rfind("Val:", 0) != 0) return INT32_MIN;
  char* end = nullptr;
  const long value = std::strtol(line.c_str() + 4, &end, 10);
  return end == line.c_str() + 4 ? INT32_MIN : static_cast<std::int32_t>(value);
}

}  // namespace robust
