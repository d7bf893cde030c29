// Runs the real camera_control binary with the simulated camera preloaded and captures what it
// prints.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct ProgramResult {
  int exit_status = -1;  // -1 when it did not exit normally
  int signal = 0;
  std::string out;
  std::string err;
};

struct ProgramRun {
  std::vector<std::string> args;  // after argv[0]
  std::string scenario;           // scenario file for the simulated camera; empty: none
  std::vector<std::pair<std::string, std::string>> env;  // extra environment
  std::string log_path;                                  // CAMSIM_LOG, if any
};

ProgramResult run_program(const ProgramRun& run);
// Starts the program with its output on the descriptors given, without waiting for it.
pid_t start_program(const ProgramRun& run, int out_fd, int err_fd);

// The command line that starts camera_control with args, for execvp: the binary itself, or,
// in a cross build, the binary under the emulator named by CAMCTL_TEST_EMULATOR (command words
// split at blanks, e.g. "qemu-arm -L /usr/arm-linux-gnueabihf").
std::vector<std::string> program_command(const std::vector<std::string>& args);
// The same for any program built for the board, such as the simulated camera's probe.
std::vector<std::string> emulated_command(const std::string& binary,
                                          const std::vector<std::string>& args);
// In the child, after its environment is set and just before exec: under an emulator, moves
// LD_PRELOAD to where the emulated program, not the emulator, receives it.
void hand_environment_to_program();

std::string fixture_path(const std::string& name);
std::string read_file(const std::string& path);
// A fresh private directory for one test's files, removed by the caller's own cleanup.
std::string make_temp_dir();

}  // namespace e2e
