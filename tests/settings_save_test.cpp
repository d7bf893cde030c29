// Storing the settings file: failures leave the previous file whole, and what the path is decides
// how.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "controls/control_table.h"
#include "settings/file_ops.h"
#include "settings/settings.h"
#include "support/settings_text.h"

namespace {

using settings_text::read_file;
using settings_text::write_file;

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "settings-save-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);  // reachable for the unprivileged user some tests become
  }
  ~TempDir() {
    ::umount2(path_.c_str(), MNT_DETACH);
    fs::remove_all(path_);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Every name in the directory: a leftover temporary file shows here.
  std::set<std::string> names() const {
    std::set<std::string> result;
    for (const auto& item : fs::directory_iterator(path_)) result.insert(item.path().filename());
    return result;
  }

 private:
  std::string path_;
};

std::ptrdiff_t entries_in(const std::string& directory) {
  return std::distance(fs::directory_iterator(directory), fs::directory_iterator{});
}

struct stat stat_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

// Controls away from their defaults: enough text that a write fails part way under a
// small limit.
camctl::ControlTable table_of(int count) {
  camctl::ControlTable table;
  for (int i = 0; i < count; ++i) {
    camctl::ControlEntry entry;
    entry.variable_name = "control_number_" + std::to_string(i) + "_of_the_camera";
    entry.value = i * 1000 - 7;
    entry.default_value = 1;
    table.entries.push_back(entry);
  }
  return table;
}

const std::string kOld = "brightness=60\r\ncontrast=-5\r\n";

// Mounts made here vanish with the test process, whatever happens to the test.
bool private_mounts() {
  static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return ok;
}

// Makes this process an unprivileged user for the length of a scope; root passes every
// permission check and would never see a closed directory.
class AsNobody {
 public:
  AsNobody() { ok_ = ::setegid(kNobody) == 0 && ::seteuid(kNobody) == 0; }
  ~AsNobody() {
    if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

class SettingsFileOpsGuard {
 public:
  explicit SettingsFileOpsGuard(const camctl::SettingsFileOps& ops)
      : saved_(camctl::set_settings_file_ops(ops)) {}
  ~SettingsFileOpsGuard() { camctl::set_settings_file_ops(saved_); }

 private:
  camctl::SettingsFileOps saved_;
};

// ---------------------------------------------------------------------------------------
// What a power cut needs: the order of syncs, and what an earlier cut left behind.

namespace order {
std::vector<std::string> synced;  // what each fsync reached, by its path
int fsync(int fd) {
  char path[PATH_MAX] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
  synced.push_back(
      length > 0 ? fs::path(std::string(path, static_cast<std::size_t>(length))).filename().string()
                 : "?");
  return ::fsync(fd);
}
}  // namespace order

// On FAT a rename reaches the disk only with the renamed file's own inode: the file is synced
// under its new name after the rename, and its folder after that.
TEST(SaveSettings, TheRenamedFileIsSyncedUnderItsNameBeforeItsFolder) {
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);
  camctl::SettingsFileOps ops = camctl::real_settings_file_ops();
  ops.fsync = order::fsync;
  SettingsFileOpsGuard guard(ops);
  order::synced.clear();
  ASSERT_TRUE(camctl::save_settings(table_of(1), path.c_str()));
  ASSERT_EQ(order::synced.size(), 3U);
  EXPECT_TRUE(order::synced[0].starts_with(".camera.txt.") && order::synced[0].ends_with(".tmp"))
      << order::synced[0];
  EXPECT_EQ(order::synced[1], "camera.txt");
  EXPECT_EQ(order::synced[2], fs::path(dir.path()).filename().string());
}

TEST(SaveSettings, TemporariesLeftByAnEarlierCutAreRemovedAndNothingElse) {
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);
  const struct {
    const char* name;
    bool removed;
  } cases[] = {
      {".camera.txt.ab12cd34.tmp", true},
      {".camera.txt.00000000.tmp", true},
      {".camera.txt.AB12CD34.tmp", false},
      {".camera.txt.ab12cd3.tmp", false},
      {".camera.txt.ab12cd345.tmp", false},
      {".camera.txt.ab12-d34.tmp", false},
      {"camera.txt.ab12cd34.tmp", false},
      {".camera.txt~", false},
      {".other.txt.ab12cd34.tmp", false},
      {".camera.txt.ab12cd34.tmp.bak", false},
      {".camera.txt.ab12cd34.TMP", false},
      // An earlier release's temporary: it may share its clusters with a file by now.
      {".camera.txt.ab12cd34", false},
  };
  std::set<std::string> expected = {"camera.txt"};
  for (const auto& c : cases) {
    write_file(dir.file(c.name), "left over");
    if (!c.removed) expected.insert(c.name);
  }
  ASSERT_TRUE(camctl::save_settings(table_of(1), path.c_str()));
  EXPECT_EQ(dir.names(), expected);
}

// ---------------------------------------------------------------------------------------
// Permissions, links, and what the path is.

TEST(SaveSettings, ANewFileGetsReadAndWriteForAllLessTheUmask) {
  TempDir dir;
  const camctl::ControlTable table = table_of(2);
  const mode_t saved = ::umask(022);
  EXPECT_TRUE(camctl::save_settings(table, dir.file("a.txt").c_str()));
  ::umask(077);
  EXPECT_TRUE(camctl::save_settings(table, dir.file("b.txt").c_str()));
  ::umask(0);
  EXPECT_TRUE(camctl::save_settings(table, dir.file("c.txt").c_str()));
  ::umask(saved);
  EXPECT_EQ(stat_of(dir.file("a.txt")).st_mode & 07777, 0644U);
  EXPECT_EQ(stat_of(dir.file("b.txt")).st_mode & 07777, 0600U);
  EXPECT_EQ(stat_of(dir.file("c.txt")).st_mode & 07777, 0666U);
  EXPECT_EQ(read_file(dir.file("a.txt")), camctl::format_settings(table));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"a.txt", "b.txt", "c.txt"}));
}

TEST(SaveSettings, AnExistingFileKeepsItsPermissionsAndOwner) {
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
  }
  const ino_t old_inode = stat_of(path).st_ino;

  ASSERT_TRUE(camctl::save_settings(table_of(3), path.c_str()));
  const struct stat info = stat_of(path);
  EXPECT_EQ(info.st_mode & 07777, 0604U);
  if (root) {
    EXPECT_EQ(info.st_uid, kNobody);
    EXPECT_EQ(info.st_gid, kNobody);
  }
  EXPECT_NE(info.st_ino, old_inode);  // a new file took the name: the old one was never cut
  EXPECT_EQ(read_file(path), camctl::merge_settings(table_of(3), kOld));
  EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
}

TEST(SaveSettings, SymbolicLinksAreFollowedAndKept) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("boot").c_str(), 0755), 0);
  const std::string real = dir.file("boot/real.txt");
  write_file(real, kOld);
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  // outer -> (absolute) camera.txt -> (relative) boot/real.txt
  ASSERT_EQ(::symlink("boot/real.txt", dir.file("camera.txt").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("camera.txt").c_str(), dir.file("outer").c_str()), 0);

  const camctl::ControlTable table = table_of(2);
  ASSERT_TRUE(camctl::save_settings(table, dir.file("outer").c_str()));
  EXPECT_TRUE(S_ISLNK(stat_of(dir.file("outer")).st_mode));
  EXPECT_TRUE(S_ISLNK(stat_of(dir.file("camera.txt")).st_mode));
  EXPECT_EQ(fs::read_symlink(dir.file("camera.txt")), "boot/real.txt");
  EXPECT_EQ(read_file(real), camctl::merge_settings(table, kOld));
  EXPECT_EQ(stat_of(real).st_mode & 07777, 0640U);
  EXPECT_EQ(fs::directory_iterator(dir.file("boot"))->path().filename(), "real.txt");

  // A link to a file not there yet makes the file.
  ASSERT_EQ(::symlink("boot/new.txt", dir.file("dangling").c_str()), 0);
  ASSERT_TRUE(camctl::save_settings(table, dir.file("dangling").c_str()));
  EXPECT_TRUE(S_ISLNK(stat_of(dir.file("dangling")).st_mode));
  EXPECT_EQ(read_file(dir.file("boot/new.txt")), camctl::format_settings(table));

  // A loop of links is a failure, and leaves nothing behind.
  ASSERT_EQ(::symlink("loop2", dir.file("loop1").c_str()), 0);
  ASSERT_EQ(::symlink("loop1", dir.file("loop2").c_str()), 0);
  EXPECT_FALSE(camctl::save_settings(table, dir.file("loop1").c_str()));
  EXPECT_EQ(dir.names(),
            (std::set<std::string>{"boot", "camera.txt", "outer", "dangling", "loop1", "loop2"}));
  EXPECT_EQ(entries_in(dir.file("boot")), 2);
}

TEST(SaveSettings, PipesAndDeviceNodesAreWrittenInPlace) {
  TempDir dir;
  const camctl::ControlTable table = table_of(3);
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Nobody reading: a failure at once, not a wait.
  EXPECT_FALSE(camctl::save_settings(table, fifo.c_str()));
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(camctl::save_settings(table, fifo.c_str()));
  char buffer[4096];
  const ssize_t got = ::read(reader, buffer, sizeof buffer);
  ::close(reader);
  ASSERT_GT(got, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)), camctl::format_settings(table));
  EXPECT_TRUE(S_ISFIFO(stat_of(fifo).st_mode));

  EXPECT_FALSE(camctl::save_settings(table, dir.path().c_str()));
  EXPECT_FALSE(camctl::save_settings(table, dir.file("missing/camera.txt").c_str()));

  // Our own copies of the null and full devices, so a fault here cannot harm the system's.
  const std::string null_node = dir.file("null");
  const std::string full_node = dir.file("full");
  if (::mknod(null_node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      ::mknod(full_node.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "cannot make device nodes here";
  }
  EXPECT_TRUE(camctl::save_settings(table, null_node.c_str()));
  EXPECT_FALSE(camctl::save_settings(table, full_node.c_str()));
  EXPECT_TRUE(S_ISCHR(stat_of(null_node).st_mode));
  EXPECT_TRUE(S_ISCHR(stat_of(full_node).st_mode));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"fifo", "null", "full"}));
}

TEST(SaveSettings, ADirectoryClosedToNewNamesGetsItsFileRewrittenInPlace) {
  TempDir dir;
  const std::string closed = dir.file("closed");
  ASSERT_EQ(::mkdir(closed.c_str(), 0755), 0);
  const std::string path = closed + "/camera.txt";
  write_file(path, kOld);
  const ino_t old_inode = stat_of(path).st_ino;
  const camctl::ControlTable table = table_of(4);
  bool saved = false;
  bool created = true;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    AsNobody nobody;
    ASSERT_TRUE(nobody.ok());
    saved = camctl::save_settings(table, path.c_str());
    created = camctl::save_settings(table, (closed + "/other.txt").c_str());
  } else {
    ASSERT_EQ(::chmod(closed.c_str(), 0555), 0);
    saved = camctl::save_settings(table, path.c_str());
    created = camctl::save_settings(table, (closed + "/other.txt").c_str());
    ::chmod(closed.c_str(), 0755);
  }
  EXPECT_TRUE(saved);
  EXPECT_FALSE(created);
  EXPECT_EQ(read_file(path), camctl::merge_settings(table, kOld));
  EXPECT_EQ(stat_of(path).st_ino, old_inode);
  EXPECT_EQ(entries_in(closed), 1);
}

TEST(SaveSettings, AReadOnlyFileIsNotReplaced) {
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  bool saved = true;
  if (::geteuid() == 0) {
    // Root may write anything; the unprivileged owner of the directory may not write the
    // file, though it could rename over it.
    ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
    AsNobody nobody;
    ASSERT_TRUE(nobody.ok());
    saved = camctl::save_settings(table_of(2), path.c_str());
  } else {
    saved = camctl::save_settings(table_of(2), path.c_str());
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(read_file(path), kOld);
  EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
}

// ---------------------------------------------------------------------------------------
// Failures part way: the previous file stays, byte for byte, and no temporary is left.

TEST(SaveSettings, AWriteCutShortByTheFileSizeLimitKeepsThePreviousFile) {
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);
  const camctl::ControlTable table = table_of(40);
  ASSERT_GT(camctl::format_settings(table).size(), 1000U);

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 512;  // the first write stores 512 bytes, the next one fails
  const sighandler_t old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool replaced = camctl::save_settings(table, path.c_str());
  const bool created = camctl::save_settings(table, dir.file("new.txt").c_str());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(replaced);
  EXPECT_FALSE(created);
  EXPECT_EQ(read_file(path), kOld);
  EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
  // The same save succeeds without the limit.
  EXPECT_TRUE(camctl::save_settings(table, path.c_str()));
  EXPECT_EQ(read_file(path), camctl::merge_settings(table, kOld));
}

TEST(SaveSettings, AFullFilesystemKeepsThePreviousFile) {
  if (!private_mounts()) GTEST_SKIP() << "no private mounts here; the size limit test covers this";
  TempDir dir;
  ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=4k,mode=0755"), 0);
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);  // takes the filesystem's one block
  ASSERT_EQ(read_file(path), kOld);
  EXPECT_FALSE(camctl::save_settings(table_of(5), path.c_str()));
  EXPECT_EQ(read_file(path), kOld);
  EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
}

TEST(SaveSettings, AFileMountedOverThePathIsRewrittenInPlace) {
  if (!private_mounts()) GTEST_SKIP() << "no private mounts here";
  TempDir dir;
  const std::string outside = dir.file("outside.txt");
  const std::string path = dir.file("camera.txt");
  write_file(outside, kOld);
  write_file(path, "");
  ASSERT_EQ(::mount(outside.c_str(), path.c_str(), nullptr, MS_BIND, nullptr), 0);
  const camctl::ControlTable table = table_of(2);
  const bool saved = camctl::save_settings(table, path.c_str());
  ::umount2(path.c_str(), MNT_DETACH);
  EXPECT_TRUE(saved);
  EXPECT_EQ(read_file(outside), camctl::merge_settings(table, kOld));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"camera.txt", "outside.txt"}));

  // A read-only filesystem takes neither a new name nor an in-place write: a failure,
  // and the file as it was.
  const std::string ro = dir.file("ro");
  ASSERT_EQ(::mkdir(ro.c_str(), 0755), 0);
  write_file(ro + "/camera.txt", kOld);
  ASSERT_EQ(::mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(nullptr, ro.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  EXPECT_FALSE(camctl::save_settings(table, (ro + "/camera.txt").c_str()));
  ::umount2(ro.c_str(), MNT_DETACH);
  EXPECT_EQ(read_file(ro + "/camera.txt"), kOld);
}

// Failures no real filesystem here can be made to give on demand.
namespace fail {
int fsync_error = 0;
int close_error = 0;
std::size_t write_budget = SIZE_MAX;
std::size_t chunk = SIZE_MAX;
bool interrupt_next = false;
bool stall = false;

ssize_t write(int fd, const void* data, std::size_t size) {
  if (stall) return 0;
  if (interrupt_next) {
    interrupt_next = false;
    errno = EINTR;
    return -1;
  }
  interrupt_next = chunk != SIZE_MAX;
  if (write_budget == 0) {
    errno = EIO;
    return -1;
  }
  const std::size_t n = std::min({size, chunk, write_budget});
  if (write_budget != SIZE_MAX) write_budget -= n;
  return ::write(fd, data, n);
}
int fsync(int fd) {
  if (fsync_error != 0) {
    errno = fsync_error;
    return -1;
  }
  return ::fsync(fd);
}
int close(int fd) {
  ::close(fd);
  if (close_error != 0) {
    errno = close_error;
    return -1;
  }
  return 0;
}
void reset() {
  fsync_error = close_error = 0;
  write_budget = chunk = SIZE_MAX;
  interrupt_next = stall = false;
}
}  // namespace fail

TEST(SaveSettings, WriteSyncAndCloseFailuresAreReported) {
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, kOld);
  const camctl::ControlTable table = table_of(10);
  SettingsFileOpsGuard guard({fail::write, fail::fsync, fail::close});

  const auto fails_and_keeps = [&](const char* what) {
    EXPECT_FALSE(camctl::save_settings(table, path.c_str())) << what;
    EXPECT_EQ(read_file(path), kOld) << what;
    EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"}) << what;
    fail::reset();
  };
  fail::write_budget = 100;
  fails_and_keeps("write fails part way");
  fail::fsync_error = EIO;
  fails_and_keeps("fsync fails");
  fail::close_error = EIO;
  fails_and_keeps("close fails");
  fail::stall = true;
  fails_and_keeps("write makes no progress");

  // Short writes and interruptions are carried on, not failures.
  fail::chunk = 7;
  EXPECT_TRUE(camctl::save_settings(table, path.c_str()));
  EXPECT_EQ(read_file(path), camctl::merge_settings(table, kOld));
  fail::reset();

  // In place, for a pipe, the same failures count.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  fail::write_budget = 10;
  EXPECT_FALSE(camctl::save_settings(table, fifo.c_str()));
  fail::reset();
  fail::close_error = EIO;
  EXPECT_FALSE(camctl::save_settings(table, fifo.c_str()));
  fail::reset();
  ::close(reader);
}

}  // namespace
