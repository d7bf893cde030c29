// The signal handler writes one byte and does nothing else; the key loop does the rest, in its
// own time and outside the handler.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/exit_signals.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace camctl {
namespace {

volatile sig_atomic_t g_wake_fd = -1;

void on_exit_signal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  // A full pipe already holds a signal for the loop; this one is not needed.
  [[maybe_unused]] const ssize_t written = ::write(g_wake_fd, &byte, 1);
  errno = saved;
}

}  // namespace

ExitSignals::ExitSignals() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_end_ = UniqueFd(ends[0]);
  write_end_ = UniqueFd(ends[1]);
  g_wake_fd = write_end_.get();
  struct sigaction action {};
  action.sa_handler = on_exit_signal;
  sigemptyset(&action.sa_mask);
  // Reads and writes go on where they were (a save ends whole before the screen does); the
  // wait itself returns, and finds the byte. The signal's own action is back after its first
  // delivery, so a second one ends a program stuck in a camera that does not answer.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (sigaction(kSignals[i], nullptr, &before_[i]) != 0) continue;
    // An ignored signal stays ignored: whoever started the program wanted it so.
    if (before_[i].sa_handler == SIG_IGN) continue;
    installed_[i] = sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

ExitSignals::~ExitSignals() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    if (installed_[i]) sigaction(kSignals[i], &before_[i], nullptr);
  }
  g_wake_fd = -1;
}

int ExitSignals::caught() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t n = read_end_.valid() ? ::read(read_end_.get(), bytes, sizeof bytes) : -1;
    if (n <= 0) break;
    if (caught_ == 0) caught_ = bytes[0];
  }
  return caught_;
}

void ExitSignals::end_by(int signal) {
  if (signal == SIGQUIT) {
    // The quit key asks to leave, not for a core dump of a program that was doing fine.
    rlimit core{};
    if (getrlimit(RLIMIT_CORE, &core) == 0) {
      core.rlim_cur = 0;
      setrlimit(RLIMIT_CORE, &core);
    }
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  // Each of the signals ends a process by default; should it not, the status says the same.
  _exit(128 + signal);
}

}  // namespace camctl
