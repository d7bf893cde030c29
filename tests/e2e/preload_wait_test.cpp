// The preloaded simulated camera answers a program's own waits: poll and select on the node,
// woken by another program's commands on the control FIFO.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/run_program.h"

namespace {

constexpr const char* kBrightnessCamera =
    "device driver=\"t\" card=\"Test\" bus_info=\"test:0\" version=0x1 capabilities=0x84200001 "
    "device_caps=0x04200001\n"
    "control id=0x00980900 type=1 name=\"Brightness\" minimum=0 maximum=255 step=1 default=128 "
    "flags=0x20 value=128\n";

// The preloaded camera, in a small program of its own: commands on the CAMSIM_CONTROL FIFO
// reach it while it waits (poll or select), and an unplug wakes it for good.
class PreloadWait : public ::testing::TestWithParam<const char*> {};

TEST_P(PreloadWait, FifoCommandsWakeTheWaitingProgram) {
  char dir[] = "/tmp/camsim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/control";
  const std::string scenario = std::string(dir) + "/camera.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FILE* f = std::fopen(scenario.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(kBrightnessCamera, f);
  std::fclose(f);
  // Held open for both ends, so writes never block and lines wait in the FIFO for the reader.
  const int control = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(control, 0);
  const std::string set = "set id=0x00980900 value=77\n";
  ASSERT_EQ(write(control, set.data(), set.size()), static_cast<ssize_t>(set.size()));
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const std::string preload = CAMSIM_PRELOAD;
  const std::string probe = preload.substr(0, preload.rfind('/')) + "/camsim_probe";
  std::vector<std::string> words = e2e::emulated_command(probe, {"0x00980900", GetParam()});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("CAMSIM_SCENARIO", scenario.c_str(), 1);
    setenv("CAMSIM_CONTROL", fifo.c_str(), 1);
    unsetenv("CAMSIM_DEVICE");
    e2e::hand_environment_to_program();
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  FILE* from = fdopen(out[0], "r");
  ASSERT_NE(from, nullptr);
  auto line = [&] {
    char text[200] = "";
    if (std::fgets(text, sizeof text, from) == nullptr) return std::string("(end)");
    return std::string(text);
  };
  const bool select = std::string(GetParam()) == "select";
  EXPECT_EQ(line(), "revents=0x2\n");
  EXPECT_EQ(line(), "event id=0x00980900 changes=0x1 value=77\n");
  EXPECT_EQ(line(), "dqevent ENOENT\n");
  // Only once it has drained the first round, so the unplug cannot overtake the event.
  const std::string unplug = "unplug\n";
  ASSERT_EQ(write(control, unplug.data(), unplug.size()), static_cast<ssize_t>(unplug.size()));
  EXPECT_EQ(line(), select ? "revents=0x2\n" : "revents=0x1a\n");  // POLLPRI|POLLERR|POLLHUP
  EXPECT_EQ(line(), "dqevent ENODEV\n");
  std::fclose(from);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(control);
  unlink(fifo.c_str());
  unlink(scenario.c_str());
  rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Calls, PreloadWait, ::testing::Values("poll", "select"));

}  // namespace
