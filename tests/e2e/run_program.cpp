// Child process plumbing for the end-to-end tests.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "e2e/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace e2e {

std::vector<std::string> program_command(const std::vector<std::string>& args) {
  return emulated_command(CAMERA_CONTROL_BINARY, args);
}

std::vector<std::string> emulated_command(const std::string& binary,
                                          const std::vector<std::string>& args) {
  std::vector<std::string> command;
  const char* emulator = std::getenv("CAMCTL_TEST_EMULATOR");
  std::istringstream words(emulator != nullptr ? emulator : "");
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(binary);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

// The preload belongs to the emulated program, not to the emulator, whose own loader would
// refuse a foreign library: qemu-user hands the settings in QEMU_SET_ENV to its guest.
void hand_environment_to_program() {
  const char* emulator = std::getenv("CAMCTL_TEST_EMULATOR");
  const char* preload = std::getenv("LD_PRELOAD");
  if (emulator == nullptr || *emulator == '\0' || preload == nullptr) return;
  std::string settings = std::string("LD_PRELOAD=") + preload;
  if (const char* earlier = std::getenv("QEMU_SET_ENV"); earlier != nullptr) {
    settings = std::string(earlier) + "," + settings;
  }
  setenv("QEMU_SET_ENV", settings.c_str(), 1);
  unsetenv("LD_PRELOAD");
}

std::string fixture_path(const std::string& name) {
  return std::string(FIXTURE_DIR) + "/" + name;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/camctl-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

pid_t start_program(const ProgramRun& run, int out_fd, int err_fd) {
  std::vector<std::string> argv_text = program_command(run.args);
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    if (!run.scenario.empty()) {
      // A sanitized program wants its runtime first among the libraries; the simulated
      // camera's only interposes, and must come before the C library, so the order is fine.
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
      setenv("LD_PRELOAD", CAMSIM_PRELOAD, 1);
      setenv("CAMSIM_SCENARIO", run.scenario.c_str(), 1);
    }
    if (!run.log_path.empty()) setenv("CAMSIM_LOG", run.log_path.c_str(), 1);
    for (const auto& [key, value] : run.env) setenv(key.c_str(), value.c_str(), 1);
    hand_environment_to_program();
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

ProgramResult run_program(const ProgramRun& run) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) std::abort();
  const pid_t pid = start_program(run, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  ProgramResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_pipes = 2;
  char buffer[4096];
  while (open_pipes > 0) {
    if (poll(fds, 2, 30000) <= 0) break;  // a hung child fails the test below, not the suite
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (open_pipes > 0) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace e2e
