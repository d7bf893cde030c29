// Shared pieces of the robustness tests: scratch directories, scenario files, the simulated
// camera's write log, and reading values off the screen.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/run_program.h"
#include "e2e/terminal.h"

namespace robust {

inline constexpr const char* kTestDevice =
    "device driver=\"t\" card=\"Test\" bus_info=\"test:0\" version=0x1 capabilities=0x84200001 "
    "device_caps=0x04200001\n";
inline constexpr const char* kTestFormat =
    "format type=1 width=640 height=480 pixelformat=0x56595559\n";

// A fresh directory per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& dir() const { return dir_; }
  std::string log_path() const { return dir_ + "/camsim.log"; }
  std::string write_scenario(const std::string& name, const std::string& text) const;

 private:
  std::string dir_;
};

// A stream that swallows what the device layer prints.
std::FILE* null_output();
void write_text(const std::string& path, const std::string& text);
std::vector<std::string> directory_entries(const std::string& path);  // sorted, no . and ..
std::string pad(const std::string& text, std::size_t width);

// The program on an 80x24 xterm with the simulated camera; log may be empty.
e2e::TerminalRun program_run(const std::string& scenario, const std::string& log,
                             const std::vector<std::string>& args = {});

struct ListRun {
  int status = -1;
  std::string out;
};
ListRun run_list(const std::string& scenario);

struct LoggedWrite {
  std::uint32_t id = 0;
  std::int32_t value = 0;
  std::string result;  // "0" or the errno name
  std::int32_t returned = 0;
};
std::vector<LoggedWrite> logged_writes(const std::string& log);

// The value the simulated camera holds for id: the scenario's, then every write it took.
std::int32_t device_value(const std::string& scenario, const std::string& log, std::uint32_t id);

// The number on the detail panel's "Val:" line; INT32_MIN when there is none.
std::int32_t val_line(const e2e::Terminal& session);

}  // namespace robust
