// The fault matrix: a camera that fails or vanishes, a terminal that hangs up, ends or keeps
// changing size, and settings files on full, read-only or shifting ground; the real program on
// a pseudo-terminal, or the settings code in process where the fault needs exact timing.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controls/control_table.h"
#include "device/camera.h"
#include "e2e/terminal.h"
#include "robust_util.h"
#include "settings/settings.h"
#include "sim/in_process.h"

namespace {

using e2e::Key;
using e2e::Terminal;

// ---- device faults ----

class DeviceFaults : public robust::TempDirTest {};

TEST_F(DeviceFaults, VanishedDeviceLeavesTheProgramUsableAndQExitsCleanly) {
  // The vivid node's walk takes 308 requests, its event subscriptions among them; every later
  // one fails ENODEV, the capture format's first.
  const std::string scenario =
      write_scenario("vanish.txt", e2e::read_file(e2e::fixture_path("vivid-6.1-capture.txt")) +
                                       "vanish after=308\n");
  const std::string settings = dir() + "/camera.txt";
  Terminal s(robust::program_run(scenario, log_path(), {"-c", settings}));
  ASSERT_TRUE(s.settle()) << s.dump();
  const std::int32_t start = robust::device_value(scenario, "", 0x00980900);  // Brightness
  ASSERT_EQ(robust::val_line(s), start) << s.dump();

  s.send_key(Key::right);
  ASSERT_TRUE(s.settle()) << s.dump();
  EXPECT_EQ(s.text(0, 20, 40), robust::pad("Cannot set Brightness: No such device", 40));
  EXPECT_EQ(robust::val_line(s), start) << "a refused write must not show";

  // Moving, resetting, saving and loading go on working on the table the program holds.
  s.send_key(Key::down);
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(s.text(5, 53, 8), "Contrast") << s.dump();
  s.send("r");
  ASSERT_TRUE(s.settle());
  s.send("s");
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(s.text(0, 20, 12), "Config file ") << s.dump();
  s.send("l");
  ASSERT_TRUE(s.settle());
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0) << s.dump();
  // Every write after the vanishing failed, and the screen showed none of them as taken.
  for (const robust::LoggedWrite& w : robust::logged_writes(log_path())) {
    EXPECT_EQ(w.result, "ENODEV");
  }
}

TEST_F(DeviceFaults, EveryRefusalOfAWriteIsShownAndLeavesTheValue) {
  const char* errors[] = {"EACCES", "EBUSY", "EINVAL", "ERANGE", "EIO", "EILSEQ"};
  const int codes[] = {EACCES, EBUSY, EINVAL, ERANGE, EIO, EILSEQ};
  std::string text = std::string(robust::kTestDevice) + robust::kTestFormat;
  for (int i = 0; i < 6; ++i) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "control id=0x%08x type=1 name=\"Refuse %s\" minimum=0 maximum=100 step=1 "
                  "default=50 flags=0x0 value=50\nfail id=0x%08x error=%s\n",
                  0x00980900 + i, errors[i], 0x00980900 + i, errors[i]);
    text += line;
  }
  Terminal s(robust::program_run(write_scenario("refuse.txt", text), log_path()));
  ASSERT_TRUE(s.settle()) << s.dump();
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(errors[i]);
    for (const Key key : {Key::right, Key::page_down}) {
      s.send_key(key);
      ASSERT_TRUE(s.settle());
      // Cut at the screen's last column, as a long message is.
      const std::string message =
          (std::string("Cannot set Refuse ") + errors[i] + ": " + std::strerror(codes[i]))
              .substr(0, 60);
      EXPECT_EQ(s.text(0, 20, static_cast<int>(message.size())), message) << s.dump();
      EXPECT_EQ(robust::val_line(s), 50);
      EXPECT_EQ(s.text(5 + i, 45, 3), " 50") << s.dump();
    }
    s.send("x");  // an unbound key leaves the message; the next refusal replaces it
    s.send_key(Key::down);
    ASSERT_TRUE(s.settle());
  }
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0);
  EXPECT_EQ(robust::logged_writes(log_path()).size(), 12U);
}

TEST_F(DeviceFaults, FailingFormatRequestHidesOnlyTheHeader) {
  const std::string text = std::string(robust::kTestDevice) + "format type=1 error=EBUSY\n" +
                           "control id=0x00980900 type=1 name=\"Brightness\" minimum=0 maximum=9 "
                           "step=1 default=5 flags=0x0 value=5\n";
  Terminal s(robust::program_run(write_scenario("fmt.txt", text), ""));
  ASSERT_TRUE(s.settle()) << s.dump();
  for (int row = 1; row <= 3; ++row) EXPECT_EQ(s.text(row, 0, 50), std::string(50, ' '));
  EXPECT_EQ(s.text(5, 4, 10), "Brightness") << s.dump();
  s.send_key(Key::right);
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(robust::val_line(s), 6);
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0);
}

TEST_F(DeviceFaults, WalkFailingHalfWayKeepsWhatItFound) {
  const std::string fixture = e2e::read_file(e2e::fixture_path("vivid-6.1-capture.txt"));
  const robust::ListRun full = robust::run_list(write_scenario("full.txt", fixture));
  ASSERT_EQ(full.status, 0);
  // Fail the walk after every few requests: each listing is a front part of the full one.
  for (int after : {1, 2, 3, 10, 37, 64, 100, 137}) {
    SCOPED_TRACE(after);
    const std::string scenario =
        write_scenario("half.txt", fixture + "vanish after=" + std::to_string(after) + "\n");
    const robust::ListRun part = robust::run_list(scenario);
    EXPECT_EQ(part.status, 0) << part.out;
    ASSERT_LE(part.out.size(), full.out.size());
    EXPECT_EQ(full.out.compare(0, part.out.size(), part.out), 0) << part.out;
  }
  // On the screen the walk's failure also fails the format request; the layout still stands.
  const std::string scenario = write_scenario("half.txt", fixture + "vanish after=60\n");
  Terminal s(robust::program_run(scenario, ""));
  ASSERT_TRUE(s.settle()) << s.dump();
  EXPECT_EQ(s.text(5, 4, 10), "Brightness") << s.dump();
  EXPECT_EQ(s.text(1, 1, 5), "     ") << "the capture format could not be read";
  s.send_key(Key::end);
  s.send_key(Key::right);
  ASSERT_TRUE(s.settle());
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0) << s.dump();
}

TEST_F(DeviceFaults, VanishingAtAnyPointOfTheStartLeavesAWorkingScreen) {
  // Every seventh request of the 309 that reach the first screen, and the one just after.
  const std::string fixture = e2e::read_file(e2e::fixture_path("vivid-6.1-capture.txt"));
  for (int after = 0; after <= 310; after += 7) {
    SCOPED_TRACE(after);
    const std::string scenario =
        write_scenario("vanish.txt", fixture + "vanish after=" + std::to_string(after) + "\n");
    Terminal s(robust::program_run(scenario, ""));
    if (after < 1) {
      // Not even the capability query is answered: the start-up error, no screen.
      EXPECT_EQ(s.wait_exit(), 1);
      continue;
    }
    ASSERT_TRUE(s.settle()) << s.dump();
    for (const char* keys : {"\033OC", "\033OB", "\033OF", "r", "\033[5~", "n", "d"}) {
      s.send(keys);
      ASSERT_TRUE(s.settle()) << keys << "\n" << s.dump();
    }
    s.send("q");
    EXPECT_EQ(s.wait_exit(), 0) << s.dump();
  }
}

// ---- terminal faults ----

class TerminalFaults : public robust::TempDirTest {};

TEST_F(TerminalFaults, HangUpEndsTheRunAtOnce) {
  const std::string scenario = e2e::fixture_path("uvc-webcam-5.10-armhf.txt");
  {
    // As a login session ends: the program leaves the screen, then ends by the hang-up, as a
    // shell would see any program it ends end.
    Terminal s(robust::program_run(scenario, ""));
    ASSERT_TRUE(s.settle());
    s.hang_up();
    const int status = s.wait_exit(std::chrono::seconds(10));
    EXPECT_EQ(s.term_signal(), SIGHUP) << "status " << status;
  }
  {
    // Under nohup the key read fails instead, which ends the run as Q does.
    e2e::TerminalRun run = robust::program_run(scenario, "");
    run.ignore_hangup = true;
    Terminal s(run);
    ASSERT_TRUE(s.settle());
    s.send_key(Key::right);
    ASSERT_TRUE(s.settle());
    s.hang_up();
    EXPECT_EQ(s.wait_exit(std::chrono::seconds(10)), 0) << "signal " << s.term_signal();
  }
}

TEST_F(TerminalFaults, EndOfInputEndsTheRunAsQDoes) {
  e2e::TerminalRun run =
      robust::program_run(e2e::fixture_path("uvc-webcam-5.10-armhf.txt"), log_path());
  run.input_from_null = true;
  Terminal s(run);
  EXPECT_EQ(s.wait_exit(std::chrono::seconds(10)), 0) << s.dump();
  EXPECT_TRUE(robust::logged_writes(log_path()).empty());
}

TEST_F(TerminalFaults, ResizeStormNeverCrashesAndTheLayoutComesBack) {
  Terminal s(robust::program_run(e2e::fixture_path("vivid-6.1-capture.txt"), log_path()));
  ASSERT_TRUE(s.settle()) << s.dump();
  const int sizes[][2] = {{10, 40}, {24, 80}, {1, 1},   {60, 200}, {23, 78}, {24, 77},
                          {5, 300}, {24, 78}, {300, 5}, {2, 2},    {50, 120}};
  unsigned pick = 7;
  for (int i = 0; i < 300; ++i) {
    pick = pick * 1103515245U + 12345U;
    const auto& size = sizes[(pick >> 16) % (sizeof sizes / sizeof sizes[0])];
    s.resize(size[0], size[1]);
    if (i % 7 == 0) s.send_key(Key::down);
    if (i % 50 == 0) {
      ASSERT_TRUE(s.settle()) << "size " << size[0] << "x" << size[1];
    }
  }
  s.resize(24, 80);
  ASSERT_TRUE(s.settle());
  s.send_key(Key::home);
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(s.text(13, 51, 26), "Up/Down/Home/End  Navigate") << s.dump();
  EXPECT_EQ(s.text(5, 53, 10), "Brightness") << s.dump();
  EXPECT_TRUE(s.reverse(5, 2));
  s.send_key(Key::right);
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(robust::val_line(s), robust::device_value(e2e::fixture_path("vivid-6.1-capture.txt"),
                                                      log_path(), 0x00980900));
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0) << s.dump();
}

// ---- file faults ----

class FileFaults : public robust::TempDirTest {
 protected:
  // A small filesystem of its own; false (and the test skipped) where mounting is not allowed.
  bool mount_small(const std::string& where, const char* options) {
    mkdir(where.c_str(), 0755);
    if (mount("tmpfs", where.c_str(), "tmpfs", 0, options) != 0) return false;
    mounts_.push_back(where);
    return true;
  }
  void TearDown() override {
    for (const std::string& m : mounts_) umount2(m.c_str(), MNT_DETACH);
    robust::TempDirTest::TearDown();
  }

  // Brightness away from its default, so a save has something to write.
  void change_and_save(Terminal& s) {
    s.send_key(Key::page_up);
    ASSERT_TRUE(s.settle());
    s.send("s");
    ASSERT_TRUE(s.settle());
  }

  std::vector<std::string> mounts_;
};

TEST_F(FileFaults, FullDiskDuringSaveKeepsTheOldFile) {
  const std::string disk = dir() + "/disk";
  if (!mount_small(disk, "size=16k")) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string settings = disk + "/camera.txt";
  const std::string old = "contrast=40\r\nsaturation=20\r\n";
  robust::write_text(settings, old);
  // Fill the rest of the disk.
  {
    std::FILE* filler = std::fopen((disk + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::string block(1024, 'x');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
  }
  Terminal s(robust::program_run(e2e::fixture_path("vivid-6.1-capture.txt"), "", {"-c", settings}));
  ASSERT_TRUE(s.settle());
  change_and_save(s);
  // The reason follows, as far as the status area reaches.
  const std::string shown = ("Cannot save " + settings + ": No space left on device").substr(0, 59);
  EXPECT_EQ(s.text(0, 20, static_cast<int>(shown.size())), shown) << s.dump();
  EXPECT_EQ(e2e::read_file(settings), old);
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0);
  // No temporary file was left behind on the full disk.
  EXPECT_EQ(robust::directory_entries(disk), (std::vector<std::string>{"camera.txt", "filler"}));
}

TEST_F(FileFaults, ReadOnlyDirectoryRefusesTheSave) {
  const std::string ro = dir() + "/ro";
  const std::string old = "brightness=7\r\n";
  if (geteuid() == 0) {
    // The superuser writes through permissions; only a read-only filesystem stops it.
    if (!mount_small(ro, "size=16k")) GTEST_SKIP() << "cannot mount a small tmpfs here";
    robust::write_text(ro + "/camera.txt", old);
    ASSERT_EQ(mount("tmpfs", ro.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=16k"), 0);
  } else {
    mkdir(ro.c_str(), 0755);
    robust::write_text(ro + "/camera.txt", old);
    chmod((ro + "/camera.txt").c_str(), 0444);
    chmod(ro.c_str(), 0555);
  }
  const std::string settings = ro + "/camera.txt";
  Terminal s(robust::program_run(e2e::fixture_path("vivid-6.1-capture.txt"), "", {"-c", settings}));
  ASSERT_TRUE(s.settle());
  change_and_save(s);
  EXPECT_EQ(s.text(0, 20, 12 + static_cast<int>(settings.size())), "Cannot save " + settings)
      << s.dump();
  EXPECT_EQ(e2e::read_file(settings), old);
  // Loading from there still works.
  s.send("l");
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(s.text(0, 20, 12 + static_cast<int>(settings.size())), "Config file " + settings)
      << s.dump();
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0);
  if (geteuid() != 0) chmod(ro.c_str(), 0755);
}

TEST_F(FileFaults, DirectoryAsSettingsPathFailsBothWays) {
  const std::string path = dir() + "/settings.d";
  mkdir(path.c_str(), 0755);
  Terminal s(
      robust::program_run(e2e::fixture_path("vivid-6.1-capture.txt"), log_path(), {"-c", path}));
  ASSERT_TRUE(s.settle());
  change_and_save(s);
  EXPECT_EQ(s.text(0, 20, 12 + static_cast<int>(path.size())), "Cannot save " + path) << s.dump();
  const std::size_t writes = robust::logged_writes(log_path()).size();
  s.send("l");
  ASSERT_TRUE(s.settle());
  EXPECT_EQ(s.text(0, 20, 12 + static_cast<int>(path.size())), "Cannot load " + path) << s.dump();
  EXPECT_EQ(robust::logged_writes(log_path()).size(), writes) << "a failed load writes nothing";
  s.send("q");
  EXPECT_EQ(s.wait_exit(), 0);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(robust::directory_entries(path).empty());
}

// A camera's fixture with one control's value changed, as a scenario of the test's own.
std::string with_value(const std::string& fixture, const std::string& name, int value) {
  std::string text = e2e::read_file(e2e::fixture_path(fixture));
  const std::size_t line = text.find("name=\"" + name + "\"");
  const std::size_t at = text.find(" value=", line);
  text.replace(at, text.find('\n', at) - at, " value=" + std::to_string(value));
  return text;
}

// Two saves at once into one file, from two cameras that share no key of the two set: every
// round keeps both cameras' lines and a third camera's. CAMCTL_SAVE_RACE_ROUNDS sets the rounds.
TEST_F(FileFaults, TwoSavesAtOnceKeepBothCamerasLines) {
  const char* wanted = std::getenv("CAMCTL_SAVE_RACE_ROUNDS");
  const int rounds = wanted != nullptr && *wanted != '\0' ? std::atoi(wanted) : 20;
  const std::string cameras[] = {
      write_scenario("vivid.txt", with_value("vivid-6.1-capture.txt", "Volume", 100)),
      write_scenario("webcam.txt", with_value("uvc-webcam-6.1.txt", "Sharpness", 9))};
  const std::string settings = dir() + "/camera.txt";
  const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int kept = 0;
  for (int round = 0; round < rounds; ++round) {
    robust::write_text(settings, "zoom_absolute=3\r\n");
    pid_t saves[2];
    for (int i = 0; i < 2; ++i) {
      saves[i] = e2e::start_program({{"-S", "-c", settings}, cameras[i], {}, ""}, quiet, quiet);
    }
    for (const pid_t save : saves) {
      int status = -1;
      waitpid(save, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    const std::string text = e2e::read_file(settings);
    const auto has = [&text](const char* line) { return text.find(line) != std::string::npos; };
    const bool both = has("volume=100\r\n") && has("sharpness=9\r\n");
    EXPECT_TRUE(both && has("zoom_absolute=3\r\n")) << "round " << round << ": " << text;
    kept += both;
  }
  close(quiet);
  std::printf("two saves at once: both lines kept in %d of %d rounds\n", kept, rounds);
  EXPECT_EQ(kept, rounds);
}

TEST_F(FileFaults, SettingsFileRewrittenWhileBeingRead) {
  // Loads run while another thread rewrites the file in place, cutting it and writing it anew
  // with other values: whatever a load sees, the table holds only what the camera took.
  camsim::InProcessCamera sim(
      camsim::scenario_from_file(e2e::fixture_path("vivid-6.1-capture.txt")));
  camctl::Camera device;
  ASSERT_TRUE(camctl::open_capture_device(device, "/dev/video0", robust::null_output()));
  camctl::ControlTable table;
  camctl::build_control_table(device, {}, false, nullptr, table);
  ASSERT_GT(table.count(), 10U);

  const std::string path = dir() + "/camera.txt";
  std::vector<std::string> versions;
  for (int v = 0; v < 4; ++v) {
    std::string text;
    for (std::size_t i = 0; i < table.count(); i += 1 + static_cast<std::size_t>(v)) {
      text += table.at(i).variable_name + "=" +
              std::to_string((static_cast<int>(i) * 37 + v * 11) % 300 - 50) + "\r\n";
    }
    versions.push_back(text);
  }
  robust::write_text(path, versions[0]);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::size_t n = 0; !stop; ++n) {
      const std::string& text = versions[n % versions.size()];
      std::FILE* f = std::fopen(path.c_str(), "r+");
      if (f == nullptr) continue;
      ftruncate(fileno(f), 0);
      // Written in small pieces, so a reader meets every length of it.
      for (std::size_t at = 0; at < text.size(); at += 7) {
        std::fwrite(text.data() + at, 1, std::min<std::size_t>(7, text.size() - at), f);
        std::fflush(f);
      }
      std::fclose(f);
    }
  });
  int loaded = 0;
  for (int round = 0; round < 300; ++round) {
    if (camctl::load_settings(table, device, path.c_str())) ++loaded;
    for (std::size_t i = 0; i < table.count(); ++i) {
      const camsim::Control* held = sim.camera().control(table.at(i).id);
      ASSERT_NE(held, nullptr);
      ASSERT_EQ(table.at(i).value, held->value) << table.at(i).display_name << " round " << round;
    }
  }
  stop = true;
  writer.join();
  EXPECT_EQ(loaded, 300) << "the file was there all along; a load may stop early, not fail";
}

}  // namespace
