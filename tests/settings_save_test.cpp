// Storing the settings file: failures leave the previous file whole, and what the path is decides
// how.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
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
// Two more users, and a group both may share, for files that one user saves over another's.
constexpr uid_t kAlice = 65530;
constexpr uid_t kBob = 65531;
constexpr gid_t kCams = 65532;

const std::string kOld = "brightness=60\r\ncontrast=-5\r\n";

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
  // camera.txt holding text, as a save finds it.
  std::string settings(std::string_view text = kOld) const {
    write_file(file("camera.txt"), text);
    return file("camera.txt");
  }
  std::string folder(const std::string& name) const {
    if (::mkdir(file(name).c_str(), 0755) != 0) std::abort();
    return file(name);
  }
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

// Mounts made here vanish with the test process, whatever happens to the test.
bool private_mounts() {
  static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return ok;
}

// Saves as an unprivileged user (group of the same number, and the further groups given), or as
// this process is for user 0; root passes every permission check and would never see a closed
// directory.
bool save_as(uid_t saver, const std::vector<gid_t>& groups, const camctl::ControlTable& table,
             const std::string& path, camctl::SaveOutcome* outcome = nullptr) {
  if (saver == 0) return camctl::save_settings(table, path.c_str(), outcome);
  std::vector<gid_t> own(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const bool became = ::getgroups(static_cast<int>(own.size()), own.data()) >= 0 &&
                      ::setgroups(groups.size(), groups.data()) == 0 && ::setegid(saver) == 0 &&
                      ::seteuid(saver) == 0;
  const bool saved = became && camctl::save_settings(table, path.c_str(), outcome);
  if (::seteuid(0) != 0 || ::setegid(0) != 0 || ::setgroups(own.size(), own.data()) != 0) {
    std::abort();
  }
  EXPECT_TRUE(became) << "cannot become user " << saver;
  return saved;
}

// Saves a file in a folder of root's that takes no new names from the saver: as nobody, saving
// its own file, when run by root; otherwise with the folder closed for the save.
bool save_where_no_name_can_be_made(const camctl::ControlTable& table, const std::string& path,
                                    camctl::SaveOutcome* outcome = nullptr) {
  const std::string folder = fs::path(path).parent_path();
  if (::geteuid() != 0) {
    ::chmod(folder.c_str(), 0555);
    const bool saved = camctl::save_settings(table, path.c_str(), outcome);
    ::chmod(folder.c_str(), 0755);
    return saved;
  }
  if (fs::exists(path) && ::chown(path.c_str(), kNobody, kNobody) != 0) std::abort();
  return save_as(kNobody, {}, table, path, outcome);
}

// The file operations in force, as change leaves them, for the length of a scope.
class SettingsFileOpsGuard {
 public:
  explicit SettingsFileOpsGuard(void (*change)(camctl::SettingsFileOps&))
      : saved_(camctl::settings_file_ops()) {
    camctl::SettingsFileOps ops = saved_;
    change(ops);
    camctl::set_settings_file_ops(ops);
  }
  ~SettingsFileOpsGuard() { camctl::set_settings_file_ops(saved_); }

 private:
  camctl::SettingsFileOps saved_;
};

// ---------------------------------------------------------------------------------------
// What a power cut needs: the order of syncs, and what an earlier cut left behind.

namespace order {
std::vector<std::string> synced;  // what each fsync reached, by its path
int fsync(int fd) {
  std::error_code unknown;  // leaves the name empty
  synced.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(fd), unknown).filename());
  return ::fsync(fd);
}
}  // namespace order

// On FAT a rename reaches the disk only with the renamed file's own inode: the file is synced
// under its new name after the rename, and its folder after that.
TEST(SaveSettings, TheRenamedFileIsSyncedUnderItsNameBeforeItsFolder) {
  TempDir dir;
  const std::string path = dir.settings();
  SettingsFileOpsGuard guard([](camctl::SettingsFileOps& ops) { ops.fsync = order::fsync; });
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
  const std::string path = dir.settings();
  const struct {
    const char* name;
    bool removed;
    bool others = false;  // another user's (where root can make one)
  } cases[] = {
      {".camera.txt.a1b2c3d4.tmp", true},
      {".camera.txt.z0y9x8w7.tmp", true},
      // Letters and digits, but not in turn: an earlier release's, or a backup made by hand.
      {".camera.txt.ab12cd34.tmp", false},
      {".camera.txt.20250101.tmp", false},
      {".camera.txt.A1B2C3D4.tmp", false},
      {".camera.txt.a1b2c3d.tmp", false},
      {".camera.txt.a1b2c3d4e.tmp", false},
      {".camera.txt.a1b2-3d4.tmp", false},
      {"camera.txt.a1b2c3d4.tmp", false},
      {".camera.txt~", false},
      {".other.txt.a1b2c3d4.tmp", false},
      {".camera.txt.a1b2c3d4.tmp.bak", false},
      {".camera.txt.a1b2c3d4.TMP", false},
      // An earlier release's temporary: it may share its clusters with a file by now.
      {".camera.txt.ab12cd34", false},
      {".camera.txt.e5f6g7h8.tmp", ::geteuid() != 0, true},
  };
  std::set<std::string> expected = {"camera.txt"};
  for (const auto& c : cases) {
    write_file(dir.file(c.name), "left over");
    ASSERT_TRUE(!c.others || ::geteuid() != 0 ||
                ::chown(dir.file(c.name).c_str(), kNobody, 0) == 0);
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

// A save keeps the file's owner, group and mode; where only root could keep the owner, it keeps
// the group, and where not even that, it writes the file in place.
TEST(SaveSettings, AnExistingFileKeepsItsPermissionsAndOwner) {
  const struct {
    const char* name;
    mode_t folder;  // root's
    uid_t owner;
    gid_t group;
    mode_t mode;
    uid_t saver;  // root, or another user in the group kCams
    bool replaced;
    uid_t owner_after;
  } cases[] = {
      {"root saves another user's file", 0755, kNobody, kNobody, 0604, 0, true, kNobody},
      {"a member of the file's group", 0777, kAlice, kCams, 0660, kBob, true, kBob},
      {"another user's file", 0777, kAlice, kAlice, 0666, kBob, false, kAlice},
      {"another user's file in a sticky folder", 01777, kAlice, kAlice, 0666, kBob, false, kAlice},
      {"a member of the group, in a sticky folder", 01777, kAlice, kCams, 0660, kBob, false,
       kAlice},
  };
  const bool root = ::geteuid() == 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!root && c.saver != 0) continue;  // needs other users, which only root can be
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), c.folder), 0);
    const std::string path = dir.settings();
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    ASSERT_TRUE(!root || ::chown(path.c_str(), c.owner, c.group) == 0);
    const ino_t old_inode = stat_of(path).st_ino;
    ASSERT_TRUE(save_as(c.saver, {kCams}, table_of(3), path));
    const struct stat info = stat_of(path);
    EXPECT_EQ(info.st_mode & 07777, c.mode);
    if (root) {
      EXPECT_EQ(info.st_uid, c.owner_after);
      EXPECT_EQ(info.st_gid, c.group);
    }
    // A new file took the name, or the old one was written in place.
    EXPECT_EQ(info.st_ino != old_inode, c.replaced);
    EXPECT_EQ(read_file(path), camctl::merge_settings(table_of(3), kOld));
    EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
  }
}

TEST(SaveSettings, SymbolicLinksAreFollowedAndKept) {
  TempDir dir;
  const std::string real = dir.folder("boot") + "/real.txt";
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

// Swaps the file for a link to another once the save has read it.
namespace swap {
std::string file;  // to become a link to "victim" beside it
ssize_t read(int fd, void* data, std::size_t size) {
  const ssize_t got = ::read(fd, data, size);
  if (got == 0 && !file.empty()) {
    ::unlink(file.c_str());
    if (::symlink("victim", file.c_str()) != 0) std::abort();
    file.clear();
  }
  return got;
}
}  // namespace swap

// The file replaced is the file read: never one a link swapped in since leads to, nor one a link
// leads to that the kernel would not follow for this user in a shared sticky folder.
TEST(SaveSettings, NoLinkTurnsASaveIntoAWriteOfAnotherFile) {
  TempDir dir;
  const std::string path = dir.settings(), victim = dir.file("victim");
  const std::string kept = "not a settings file\n";
  write_file(victim, kept);
  swap::file = path;
  camctl::SaveOutcome outcome;
  {
    SettingsFileOpsGuard guard([](camctl::SettingsFileOps& ops) { ops.read = swap::read; });
    EXPECT_FALSE(camctl::save_settings(table_of(2), path.c_str(), &outcome));
  }
  EXPECT_EQ(outcome.problem, camctl::SaveProblem::replaced);
  EXPECT_EQ(read_file(victim), kept);
  EXPECT_EQ(dir.names(), (std::set<std::string>{"camera.txt", "victim"}));
  if (::geteuid() != 0) GTEST_SKIP() << "links of other users need root";

  // In a sticky folder anyone may write, root follows only its own links and the folder owner's.
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  const struct {
    uid_t folder, link;
    bool followed;
  } cases[] = {{0, kNobody, false}, {kNobody, kNobody, true}, {kAlice, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.folder) + " " + std::to_string(c.link));
    ASSERT_EQ(::chown(dir.path().c_str(), c.folder, 0), 0);
    ASSERT_EQ(::lchown(path.c_str(), c.link, 0), 0);
    write_file(victim, kept);
    EXPECT_EQ(camctl::save_settings(table_of(2), path.c_str(), &outcome), c.followed);
    EXPECT_EQ(outcome.problem == camctl::SaveProblem::link_refused, !c.followed);
    EXPECT_EQ(read_file(victim) == kept, !c.followed);
  }
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
  const std::string closed = dir.folder("closed");
  const std::string path = closed + "/camera.txt";
  write_file(path, kOld);
  const ino_t old_inode = stat_of(path).st_ino;
  const camctl::ControlTable table = table_of(4);
  EXPECT_TRUE(save_where_no_name_can_be_made(table, path));
  EXPECT_FALSE(save_where_no_name_can_be_made(table, closed + "/other.txt"));
  EXPECT_EQ(read_file(path), camctl::merge_settings(table, kOld));
  EXPECT_EQ(stat_of(path).st_ino, old_inode);
  EXPECT_EQ(entries_in(closed), 1);
}

TEST(SaveSettings, AReadOnlyFileIsNotReplaced) {
  TempDir dir;
  const std::string path = dir.settings();
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  // Root may write anything; the unprivileged owner of the directory may not write the file,
  // though it could rename over it.
  const bool root = ::geteuid() == 0;
  ASSERT_TRUE(!root || ::chown(dir.path().c_str(), kNobody, kNobody) == 0);
  EXPECT_FALSE(save_as(root ? kNobody : 0, {}, table_of(2), path));
  EXPECT_EQ(read_file(path), kOld);
  EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
}

// ---------------------------------------------------------------------------------------
// Failures part way: the previous file stays, byte for byte, and no temporary is left.

TEST(SaveSettings, AWriteCutShortByTheFileSizeLimitKeepsThePreviousFile) {
  TempDir dir;
  const std::string path = dir.settings();
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
  const std::string path = dir.settings();  // takes the filesystem's one block
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
  const std::string ro = dir.folder("ro");
  write_file(ro + "/camera.txt", kOld);
  ASSERT_EQ(::mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(nullptr, ro.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
  EXPECT_FALSE(camctl::save_settings(table, (ro + "/camera.txt").c_str()));
  ::umount2(ro.c_str(), MNT_DETACH);
  EXPECT_EQ(read_file(ro + "/camera.txt"), kOld);

  // Bound from a full disk, a file of 4,085 bytes that the camera's line takes past the disk's
  // one page: the old bytes come back.
  const std::string full = dir.folder("full");
  ASSERT_EQ(::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k"), 0);
  const std::string other = std::string(4081, 'x') + "=1\r\n";
  write_file(full + "/camera.txt", other);
  ASSERT_EQ(::mount((full + "/camera.txt").c_str(), path.c_str(), nullptr, MS_BIND, nullptr), 0);
  EXPECT_FALSE(camctl::save_settings(table, path.c_str()));
  EXPECT_EQ(read_file(path), other);
  ::umount2(path.c_str(), MNT_DETACH);
  ::umount2(full.c_str(), MNT_DETACH);
}

// Failures no real filesystem here can be made to give on demand, each once.
namespace fail {
struct Plan {
  std::size_t write_budget = SIZE_MAX;  // bytes written before a write fails
  std::size_t chunk = SIZE_MAX;         // the most one write takes, each after an interruption
  int fsync_at = 0;                     // the fsync that fails, counting from 1; 0 for none
  int close_at = 0;                     // the same for the closes whose result counts
  bool stall = false;
};
Plan plan;
int fsyncs = 0;
int closes = 0;
bool interrupt_next = false;

ssize_t write(int fd, const void* data, std::size_t size) {
  if (plan.stall) return 0;
  if (interrupt_next) {
    interrupt_next = false;
    errno = EINTR;
    return -1;
  }
  interrupt_next = plan.chunk != SIZE_MAX;
  if (plan.write_budget == 0) {
    plan.write_budget = SIZE_MAX;
    errno = EIO;
    return -1;
  }
  const std::size_t n = std::min({size, plan.chunk, plan.write_budget});
  if (plan.write_budget != SIZE_MAX) plan.write_budget -= n;
  return ::write(fd, data, n);
}
int fsync(int fd) {
  if (++fsyncs == plan.fsync_at) {
    errno = EIO;
    return -1;
  }
  return ::fsync(fd);
}
int close(int fd) {
  ::close(fd);
  if (++closes == plan.close_at) {
    errno = EIO;
    return -1;
  }
  return 0;
}
void reset(const Plan& next = {}) {
  plan = next;
  fsyncs = closes = 0;
  interrupt_next = false;
}
}  // namespace fail

// Whatever fails before the new file is in place leaves the old one byte for byte; a failure
// after it says so. In place (a folder that takes no new names), the old bytes are put back.
TEST(SaveSettings, WriteSyncAndCloseFailuresAreReported) {
  TempDir dir;
  const camctl::ControlTable table = table_of(10);
  SettingsFileOpsGuard guard([](camctl::SettingsFileOps& ops) {
    ops.write = fail::write;
    ops.fsync = fail::fsync;
    ops.close = fail::close;
  });
  const std::string closed = dir.folder("closed");
  // In place, longer than what replaces it, which drops the blank lines: the cut comes last.
  const std::string longer = kOld + std::string(2000, '\n');
  const struct {
    const char* what;
    fail::Plan plan;
    bool in_place;
    bool in_place_after = false;  // the new file is there, not yet known to be on the disk
  } cases[] = {
      {"write fails part way", {.write_budget = 100}, false},
      {"the temporary's fsync fails", {.fsync_at = 1}, false},
      {"the temporary's close fails", {.close_at = 1}, false},
      {"write makes no progress", {.stall = true}, false},
      {"the renamed file's fsync fails", {.fsync_at = 2}, false, true},
      {"the folder's fsync fails", {.fsync_at = 3}, false, true},
      {"the renamed file's close fails", {.close_at = 2}, false, true},
      {"in place: write fails part way", {.write_budget = 100}, true},
      {"in place: the fsync of the new bytes fails", {.fsync_at = 1}, true},
      {"in place: the fsync after the cut fails", {.fsync_at = 2}, true},
      {"in place: the close fails", {.close_at = 1}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = c.in_place ? closed + "/camera.txt" : dir.file("camera.txt");
    const std::string old = c.in_place ? longer : kOld;
    write_file(path, old);
    fail::reset(c.plan);
    camctl::SaveOutcome outcome;
    const bool saved = c.in_place ? save_where_no_name_can_be_made(table, path, &outcome)
                                  : camctl::save_settings(table, path.c_str(), &outcome);
    fail::reset();
    EXPECT_EQ(saved, c.in_place_after);
    EXPECT_EQ(outcome.status, c.in_place_after ? camctl::SaveOutcome::Status::not_durable
                                               : camctl::SaveOutcome::Status::failed);
    EXPECT_EQ(outcome.error, EIO);
    EXPECT_EQ(read_file(path), c.in_place_after ? camctl::merge_settings(table, old) : old);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"camera.txt", "closed"}));
    EXPECT_EQ(entries_in(closed), c.in_place ? 1 : 0);
  }

  // Short writes and interruptions are carried on, not failures.
  const std::string path = dir.settings();
  fail::reset({.chunk = 7});
  EXPECT_TRUE(camctl::save_settings(table, path.c_str()));
  EXPECT_EQ(read_file(path), camctl::merge_settings(table, kOld));
  fail::reset();

  // In place, for a pipe, the same failures count.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  fail::reset({.write_budget = 10});
  EXPECT_FALSE(camctl::save_settings(table, fifo.c_str()));
  fail::reset({.close_at = 1});
  EXPECT_FALSE(camctl::save_settings(table, fifo.c_str()));
  fail::reset();
  ::close(reader);
}

// A file a load would refuse is neither written nor replaced: every save after it would fail.
TEST(SaveSettings, NoSaveWritesOrReplacesAFileLargerThanALoadReads) {
  TempDir dir;
  // As large as a load reads, in lines ended by LF alone, which a save ends with CR LF.
  std::string lines;
  while (lines.size() < camctl::kMaxSettingsFileSize) lines += "zoom_absolute=1\n";
  const struct {
    std::string old;
    camctl::SaveProblem problem;
  } cases[] = {{lines, camctl::SaveProblem::new_file_too_large},
               {lines + "x", camctl::SaveProblem::old_file_too_large}};
  for (const auto& c : cases) {
    const std::string path = dir.settings(c.old);
    camctl::SaveOutcome outcome;
    EXPECT_FALSE(camctl::save_settings(table_of(1), path.c_str(), &outcome));
    EXPECT_EQ(outcome.problem, c.problem);
    EXPECT_EQ(read_file(path), c.old);
    EXPECT_EQ(dir.names(), std::set<std::string>{"camera.txt"});
  }
}

// Lets the holder of the folder's lock go at the pause given, and adds up the pauses.
namespace lock {
int holder = -1;
int release_at = 0;
int pauses = 0;
long long paused_ns = 0;
int nanosleep(const timespec* wait, timespec*) {
  paused_ns += wait->tv_sec * 1'000'000'000LL + wait->tv_nsec;
  if (++pauses == release_at) ::flock(holder, LOCK_UN);
  return 0;
}
int no_locks(int, int) {
  errno = ENOLCK;
  return -1;
}
}  // namespace lock

// Two saves of one folder never interleave: the second waits for the first, a bounded time.
TEST(SaveSettings, ASaveWaitsForAnotherOfTheSameFolderAndNeverHangs) {
  TempDir dir;
  const std::string path = dir.settings();
  // Another save is writing its temporary, and holds the lock.
  const std::string running = ".camera.txt.a1b2c3d4.tmp";
  write_file(dir.file(running), "zoom=1\r\n");
  lock::holder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock::holder, LOCK_EX), 0);
  SettingsFileOpsGuard guard([](camctl::SettingsFileOps& ops) { ops.nanosleep = lock::nanosleep; });

  camctl::SaveOutcome outcome;
  EXPECT_FALSE(camctl::save_settings(table_of(2), path.c_str(), &outcome));
  EXPECT_EQ(outcome.problem, camctl::SaveProblem::locked);
  EXPECT_EQ(lock::paused_ns, 5'000'000'000LL);
  EXPECT_EQ(read_file(path), kOld);
  EXPECT_EQ(dir.names(), (std::set<std::string>{"camera.txt", running}));

  lock::pauses = 0;
  lock::release_at = 3;
  EXPECT_TRUE(camctl::save_settings(table_of(2), path.c_str()));
  EXPECT_EQ(lock::pauses, 3);
  EXPECT_EQ(read_file(path), camctl::merge_settings(table_of(2), kOld));
  ::close(lock::holder);

  // Where the folder cannot be locked at all, saves go on as they did before there were locks.
  SettingsFileOpsGuard no_locks([](camctl::SettingsFileOps& ops) { ops.flock = lock::no_locks; });
  EXPECT_TRUE(camctl::save_settings(table_of(3), path.c_str()));
  EXPECT_EQ(read_file(path), camctl::merge_settings(table_of(3), kOld));
}

}  // namespace
