// The signals that end the screen (hang-up, interrupt, quit, termination) reach the key loop's
// one wait as a byte on a pipe, so the terminal is restored before the program ends by them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>

#include <array>

#include "device/unique_fd.h"

namespace camctl {

class ExitSignals {
 public:
  // Catches SIGHUP, SIGINT, SIGQUIT and SIGTERM, each unless it is ignored (as nohup leaves a
  // hang-up), once: a second one of the same kind has its own effect at once. The handler only
  // writes the signal's number to the pipe.
  ExitSignals();
  // Puts back what each signal did before.
  ~ExitSignals();
  ExitSignals(const ExitSignals&) = delete;
  ExitSignals& operator=(const ExitSignals&) = delete;

  // The pipe's end to wait on for reading; -1 when no pipe could be made.
  int descriptor() const { return read_end_.get(); }
  // The first signal caught so far, or 0; takes in what the pipe holds.
  int caught();

  // Ends the process by the signal as if it had never been caught, so that a shell or script
  // sees the signal's own status; a quit leaves no core file, the program having seen to it.
  [[noreturn]] static void end_by(int signal);

 private:
  static constexpr std::array<int, 4> kSignals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

  UniqueFd read_end_;
  UniqueFd write_end_;
  std::array<struct sigaction, kSignals.size()> before_{};
  std::array<bool, kSignals.size()> installed_{};
  int caught_ = 0;
};

}  // namespace camctl
