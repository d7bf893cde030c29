// Storing the settings file so that a failure at any point leaves the previous file whole, and
// the file replaced is the one read.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "settings/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "settings/file_ops.h"

namespace camctl {
namespace {

// The kernel's own limit on symbolic links followed in one path lookup.
constexpr int kMaxLinkHops = 40;
constexpr int kMaxTempAttempts = 100;
constexpr std::size_t kLinkBufferSize = 4096;
// A save waits this long for another save of the same folder to end, trying again after each
// step. A save takes milliseconds, a few syncs on a slow card far less than this.
constexpr long kLockWaitMs = 5000;
constexpr long kLockStepMs = 10;
// A temporary is named ".NAME.RANDOM.tmp" beside the file: RANDOM is this many letters and
// digits in turn, which no name made by hand is likely to be.
constexpr std::size_t kTempRandomLength = 8;
constexpr std::string_view kTempLetters = "abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kTempDigits = "0123456789";
constexpr std::string_view kTempEnd = ".tmp";

std::string_view temp_characters(std::size_t position) {
  return position % 2 == 0 ? kTempLetters : kTempDigits;
}

// Temporary names differ between processes and between calls; exclusive creation settles
// the rare clash.
std::string temp_random() {
  static std::uint64_t counter = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t mix =
      (static_cast<std::uint64_t>(::getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
      (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ (++counter * 0x9e3779b97f4a7c15U);
  mix ^= mix >> 31;
  mix *= 0xbf58476d1ce4e5b9U;
  mix ^= mix >> 27;
  std::string random;
  for (std::size_t i = 0; i < kTempRandomLength; ++i) {
    const std::string_view set = temp_characters(i);
    random.push_back(set[static_cast<std::size_t>(mix % set.size())]);
    mix /= set.size();
  }
  return random;
}

// A name this program gives the temporaries of the file base. Earlier releases named theirs
// without ".tmp", or with any eight letters or digits, which a backup made by hand can match
// (".camera.txt.20250101.tmp"); those are left alone. Removing a temporary that such a release
// left after a cut could also free clusters a later file holds by now on FAT: fsck, not this
// program, can mend that.
bool is_own_temporary(std::string_view name, std::string_view base) {
  if (name.size() != 1 + base.size() + 1 + kTempRandomLength + kTempEnd.size() || name[0] != '.' ||
      name.substr(1, base.size()) != base || name[1 + base.size()] != '.' ||
      !name.ends_with(kTempEnd)) {
    return false;
  }
  const std::string_view random = name.substr(2 + base.size(), kTempRandomLength);
  for (std::size_t i = 0; i < random.size(); ++i) {
    if (temp_characters(i).find(random[i]) == std::string_view::npos) return false;
  }
  return true;
}

// Closes through the replaceable calls and marks the descriptor closed; never retried.
int close_fd(int& fd) {
  const int result = fd < 0 ? 0 : settings_file_ops().close(fd);
  fd = -1;
  return result;
}

bool write_all(int fd, std::string_view content) {
  const SettingsFileOps& ops = settings_file_ops();
  while (!content.empty()) {
    const ssize_t written = ops.write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {  // no progress and no error: give up rather than spin
      errno = EIO;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Reads to the end; 0, EFBIG past kMaxSettingsFileSize, or the errno value of a failed read.
int read_bounded(int fd, std::string& text) {
  text.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t got = settings_file_ops().read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    if (text.size() + static_cast<std::size_t>(got) > kMaxSettingsFileSize) return EFBIG;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// FAT, the filesystem of a board's /boot.
bool on_fat(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC;
}

// "a/b/name" as "a/b/" and "name"; a path without a slash lies in the current folder.
void split_path(std::string_view path, std::string& folder, std::string& name) {
  const std::size_t slash = path.rfind('/');
  folder.assign(slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1));
  name.assign(path.substr(folder.size()));
}

// A folder of the save, for reading where the user may, which locking, syncing and listing it
// need; one the user may only pass through still reaches its files.
int open_folder(int at, const std::string& path) {
  const char* where = path.empty() ? "." : path.c_str();
  int fd = ::openat(at, where, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::openat(at, where, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// The rule of fs.protected_symlinks, kept whatever the setting: in a sticky folder that anyone
// may write, a link is followed only by its owner or when the folder's owner owns it too.
// Otherwise another user could swap their own file for a link and turn root's save into a
// write of any file.
bool may_follow(const struct stat& folder, const struct stat& link) {
  if (link.st_uid == ::geteuid()) return true;
  if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return folder.st_uid == link.st_uid;
}

// Failures of creating a name in the folder that say the folder is closed to us, not that
// storing would fail anyway (a full disk would then also fail in place).
bool directory_refuses_names(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG;
}

// Gives the temporary the old file's owner, group and mode. Only root may give a file away; any
// other user who may write the file keeps its group, as a member of it, and becomes its owner.
// False when not even the group or the mode can be kept: only writing in place keeps them then.
bool keep_attributes(int fd, const struct stat& old) {
  struct stat temp {};
  if (::fstat(fd, &temp) != 0) return false;
  bool group_kept = temp.st_gid == old.st_gid;
  if (temp.st_uid != old.st_uid || !group_kept) {
    // Owner first: a change of owner clears the set-id bits the mode then puts back.
    group_kept = ::fchown(fd, old.st_uid, old.st_gid) == 0 || group_kept ||
                 ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
  }
  if (!group_kept || ::fstat(fd, &temp) != 0) return false;
  // Filesystems without modes of their own (FAT) give every file the same one already.
  return (temp.st_mode & 07777) == (old.st_mode & 07777) || ::fchmod(fd, old.st_mode & 07777) == 0;
}

}  // namespace

int read_settings_file(const char* path, std::string& text) {
  text.clear();
  // Non-blocking only for the open, so a pipe that has no writer yet reads as empty instead of
  // hanging.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (S_ISREG(info.st_mode) && info.st_size > static_cast<off_t>(kMaxSettingsFileSize)) {
    error = EFBIG;
  } else {
    error = read_bounded(fd, text);
  }
  ::close(fd);
  if (error != 0) text.clear();
  return error;
}

SettingsFileSave::~SettingsFileSave() {
  if (old_fd_ >= 0) ::close(old_fd_);
  if (folder_ >= 0) ::close(folder_);  // and with it the lock
}

bool SettingsFileSave::fail(SaveProblem problem, int error) {
  outcome_.status = SaveOutcome::Status::failed;
  outcome_.problem = problem;
  outcome_.error = error;
  return false;
}

bool SettingsFileSave::open(const char* path) {
  std::string folder;
  std::string name;
  split_path(path, folder, name);
  if (name.empty()) return fail(SaveProblem::system, *path == '\0' ? ENOENT : EISDIR);
  folder_ = open_folder(AT_FDCWD, folder);
  if (folder_ < 0) return fail(SaveProblem::system, errno);
  name_ = name;

  // The user's links stay; the file behind them is what gets replaced, so each link of the last
  // name is followed here, with the kernel's rule for links in shared folders. The folders on
  // the way are the kernel's to follow.
  struct stat info {};
  for (int hop = 0;; ++hop) {
    if (::fstatat(folder_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return fail(SaveProblem::system, errno);
      break;
    }
    if (!S_ISLNK(info.st_mode)) break;
    if (hop == kMaxLinkHops) return fail(SaveProblem::system, ELOOP);
    struct stat parent {};
    if (::fstat(folder_, &parent) != 0) return fail(SaveProblem::system, errno);
    if (!may_follow(parent, info)) return fail(SaveProblem::link_refused);
    char target[kLinkBufferSize];
    const ssize_t length = ::readlinkat(folder_, name_.c_str(), target, sizeof target);
    if (length < 0) return fail(SaveProblem::system, errno);
    if (static_cast<std::size_t>(length) >= sizeof target) {
      return fail(SaveProblem::system, ENAMETOOLONG);
    }
    split_path(std::string_view(target, static_cast<std::size_t>(length)), folder, name);
    if (name.empty()) return fail(SaveProblem::system, EISDIR);
    if (!folder.empty()) {
      const int next = open_folder(folder_, folder);  // an absolute folder ignores folder_
      if (next < 0) return fail(SaveProblem::system, errno);
      ::close(folder_);
      folder_ = next;
    }
    name_ = name;
  }
  if (!lock_folder()) return false;

  // Looked at again under the lock: a save that held it may have replaced the file.
  if (::fstatat(folder_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return fail(SaveProblem::system, errno);
    kind_ = Kind::none;
    return true;
  }
  if (S_ISLNK(info.st_mode)) return fail(SaveProblem::replaced);
  if (S_ISDIR(info.st_mode)) return fail(SaveProblem::system, EISDIR);
  read_ = info;
  if (!S_ISREG(info.st_mode)) {
    kind_ = Kind::special;  // a pipe or a device node: nothing to keep
    return true;
  }
  // Replacing needs only the folder's permission; a file its owner made read-only must still
  // refuse the save, as writing it would.
  if (::faccessat(folder_, name_.c_str(), W_OK, AT_EACCESS) != 0) {
    return fail(SaveProblem::system, errno);
  }
  // A file too large to be a settings file is not replaced at all: what it holds would be lost.
  if (info.st_size > static_cast<off_t>(kMaxSettingsFileSize)) {
    return fail(SaveProblem::old_file_too_large);
  }
  old_fd_ =
      ::openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (old_fd_ < 0) return fail(errno == ELOOP ? SaveProblem::replaced : SaveProblem::system, errno);
  if (::fstat(old_fd_, &read_) != 0) return fail(SaveProblem::system, errno);
  if (!S_ISREG(read_.st_mode) || read_.st_dev != info.st_dev || read_.st_ino != info.st_ino) {
    return fail(SaveProblem::replaced);
  }
  kind_ = Kind::regular;
  const int error = read_bounded(old_fd_, previous_);
  if (error == EFBIG) return fail(SaveProblem::old_file_too_large);
  if (error != 0) return fail(SaveProblem::system, error);
  return true;
}

bool SettingsFileSave::lock_folder() {
  // The folder, not the file: a rename puts a new file under the name, and a lock on the old
  // one would let the next save in at once. A folder's lock works on FAT as on ext4, and it
  // leaves no lock file on a board's /boot.
  const SettingsFileOps& ops = settings_file_ops();
  for (long waited = 0;; waited += kLockStepMs) {
    if (ops.flock(folder_, LOCK_EX | LOCK_NB) == 0) {
      locked_ = true;
      return true;
    }
    if (errno == EINTR) continue;
    // A folder that cannot be locked at all (one the user may only pass through, a filesystem
    // without locks) is saved to as before saves took locks.
    if (errno != EWOULDBLOCK) return true;
    if (waited >= kLockWaitMs) return fail(SaveProblem::locked);
    const timespec step{0, kLockStepMs * 1'000'000L};
    ops.nanosleep(&step, nullptr);
  }
}

bool SettingsFileSave::identical_to_read(const struct stat& now) const {
  return now.st_dev == read_.st_dev && now.st_ino == read_.st_ino;
}

// True while the folder's entry is the file that was read, or still no file where none was.
bool SettingsFileSave::still_the_file_read() const {
  struct stat now {};
  if (::fstatat(folder_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && kind_ == Kind::none;
  }
  return kind_ != Kind::none && identical_to_read(now);
}

bool SettingsFileSave::replace(std::string_view content) {
  // The next save's read would refuse a larger file, and with it every later save.
  if (content.size() > kMaxSettingsFileSize) {
    outcome_.size = content.size();
    return fail(SaveProblem::new_file_too_large);
  }
  if (kind_ == Kind::special) return write_special(content);
  return replace_by_rename(content);
}

bool SettingsFileSave::replace_by_rename(std::string_view content) {
  const bool existed = kind_ == Kind::regular;
  std::string temp;
  int fd = -1;
  // An existing file's mode is set below; until then the temporary is the owner's alone.
  const mode_t mode = existed ? S_IRUSR | S_IWUSR : 0666;
  for (int attempt = 0; attempt < kMaxTempAttempts && fd < 0; ++attempt) {
    temp = "." + name_ + "." + temp_random() + std::string(kTempEnd);
    fd = ::openat(folder_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    if (existed && directory_refuses_names(error)) return rewrite_in_place(content);
    return fail(SaveProblem::system, error);
  }
  // Before the rename, nothing has changed but the temporary, which goes.
  const auto drop_temporary = [&] {
    if (fd >= 0) ::close(fd);
    fd = -1;
    ::unlinkat(folder_, temp.c_str(), 0);
  };
  const auto give_up = [&](SaveProblem problem, int error) {
    drop_temporary();
    return fail(problem, error);
  };
  if (existed && !keep_attributes(fd, read_)) {
    drop_temporary();
    return rewrite_in_place(content);
  }
  const SettingsFileOps& ops = settings_file_ops();
  if (!write_all(fd, content)) return give_up(SaveProblem::system, errno);
  // On FAT, fsync writes a file's directory entry before the FAT that gives the file its
  // clusters, so a cut in between leaves an entry on clusters the FAT calls free; removing such a
  // temporary in a later save would free whatever holds those clusters by then. Syncing the
  // folder first writes the FAT while the entry on the disk still names no cluster.
  const bool fat = on_fat(fd);
  if (fat && ops.fsync(folder_) != 0) return give_up(SaveProblem::system, errno);
  if (ops.fsync(fd) != 0) return give_up(SaveProblem::system, errno);
  // Closed before the rename, so that an error only the close reports still leaves the old file.
  if (close_fd(fd) != 0) return give_up(SaveProblem::system, errno);
  if (!still_the_file_read()) return give_up(SaveProblem::replaced, 0);
  if (::renameat(folder_, temp.c_str(), folder_, name_.c_str()) != 0) {
    const int error = errno;
    drop_temporary();
    // A file mounted over the path (a container's bound-in file) cannot be replaced, nor may
    // another user's file in a sticky folder: both can only be rewritten.
    if (existed && (error == EBUSY || error == EPERM)) return rewrite_in_place(content);
    return fail(SaveProblem::system, error);
  }

  // The new file is in place: from here on a failure means it may not be on the disk yet, never
  // that the old one is still there.
  int error = 0;
  const auto count = [&error](int result) {
    if (result != 0 && error == 0) error = errno;
  };
  // On FAT (a board's /boot) a rename over a file only moves the new file into the old one's
  // directory entry in memory: where its data starts and its size reach the disk when that
  // file's own inode is written, which syncing the folder does not do. So the file is synced
  // under its new name. fsync writes the inode only while it is dirty; if the kernel's writeback
  // has just written it without waiting, its entry may still sit unwritten in the device's
  // buffers, so on FAT, whose /boot holds little else, a sync of the whole filesystem comes
  // first.
  fd = ::openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  count(fd < 0 ? -1 : 0);
  if (fd >= 0) {
    if (fat) count(::syncfs(fd));
    count(ops.fsync(fd));
    count(close_fd(fd));
  }
  // Held open across the rename, the replaced file keeps its clusters on FAT until the new
  // file's entry is on the disk: the kernel frees them at the last close, so no cut can find the
  // entry pointing at clusters already free.
  count(close_fd(old_fd_));
  if (locked_) remove_stale_temporaries();
  // Writes what the rename and the last close changed in the folder and the FAT: the temporary's
  // entry gone, the old clusters free. A filesystem that cannot sync a folder at all says EINVAL;
  // its renames are as durable as it makes them.
  if (ops.fsync(folder_) != 0 && errno != EINVAL) count(-1);
  outcome_.status = error == 0 ? SaveOutcome::Status::saved : SaveOutcome::Status::not_durable;
  outcome_.problem = error == 0 ? SaveProblem::none : SaveProblem::system;
  outcome_.error = error;
  return true;
}

// For a folder that takes no new names, a file mounted over the path, and another user's file
// whose owner or group a replacement could not keep. The old bytes are in memory: the new ones
// go over them from the start, the file is cut to its new length only once they are on the
// disk, and any failure before that writes the old bytes back.
bool SettingsFileSave::rewrite_in_place(std::string_view content) {
  int fd = ::openat(folder_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(errno == ELOOP ? SaveProblem::replaced : SaveProblem::system, errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !identical_to_read(info)) {
    ::close(fd);
    return fail(SaveProblem::replaced);
  }
  const SettingsFileOps& ops = settings_file_ops();
  bool ok = write_all(fd, content) && ops.fsync(fd) == 0;
  if (ok && content.size() < previous_.size()) {
    ok = ::ftruncate(fd, static_cast<off_t>(content.size())) == 0 && ops.fsync(fd) == 0;
  }
  if (!ok) {
    const int error = errno;
    const bool restored = ::lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, previous_) &&
                          ::ftruncate(fd, static_cast<off_t>(previous_.size())) == 0 &&
                          ops.fsync(fd) == 0;
    ::close(fd);
    return fail(restored ? SaveProblem::system : SaveProblem::not_restored, error);
  }
  const int closed = close_fd(fd);
  outcome_.status = closed == 0 ? SaveOutcome::Status::saved : SaveOutcome::Status::not_durable;
  outcome_.problem = closed == 0 ? SaveProblem::none : SaveProblem::system;
  outcome_.error = closed == 0 ? 0 : errno;
  return true;
}

// Pipes and device nodes are written where they are, and have nothing to sync.
bool SettingsFileSave::write_special(std::string_view content) {
  // Non-blocking only for the open, so a pipe nobody reads fails at once instead of hanging the
  // screen.
  int fd =
      ::openat(folder_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(SaveProblem::system, errno);
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(SaveProblem::system, error);
  }
  if (!identical_to_read(info)) {
    ::close(fd);
    return fail(SaveProblem::replaced);
  }
  int error = write_all(fd, content) ? 0 : errno;
  if (close_fd(fd) != 0 && error == 0) error = errno;
  if (error != 0) return fail(SaveProblem::system, error);
  outcome_.status = SaveOutcome::Status::saved;
  return true;
}

// Removes what earlier saves of the same file left behind, and nothing else: a regular file of
// the temporaries' exact pattern, owned by the saving user, no larger than a save writes. It
// runs only under the lock, so no other save is still writing one.
void SettingsFileSave::remove_stale_temporaries() const {
  const int fd = ::openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    ::close(fd);
    return;
  }
  while (const dirent* item = ::readdir(listing)) {
    if (!is_own_temporary(item->d_name, name_)) continue;
    struct stat info {};
    if (::fstatat(folder_, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        info.st_size <= static_cast<off_t>(kMaxSettingsFileSize)) {
      ::unlinkat(folder_, item->d_name, 0);
    }
  }
  ::closedir(listing);
}

}  // namespace camctl
