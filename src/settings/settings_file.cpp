// Storing the settings file so that a failure at any point leaves the previous file whole.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/file_ops.h"
#include "settings/settings.h"

namespace camctl {
namespace {

// The kernel's own limit on symbolic links followed in one path lookup.
constexpr int kMaxLinkHops = 40;
constexpr int kMaxTempAttempts = 100;
constexpr std::size_t kLinkBufferSize = 4096;
// A temporary is named ".NAME.RANDOM.tmp" beside the file: RANDOM has this many of these
// characters.
constexpr std::size_t kTempRandomLength = 8;
constexpr std::string_view kTempDigits = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kTempEnd = ".tmp";

// The path of the file a chain of symbolic links ends at, which need not exist yet: the
// user's link stays, the file behind it is what gets replaced.
bool resolve_links(const char* path, std::string& resolved) {
  resolved = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info {};
    if (::lstat(resolved.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    char target[kLinkBufferSize];
    const ssize_t length = ::readlink(resolved.c_str(), target, sizeof target);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
    const std::string_view link(target, static_cast<std::size_t>(length));
    if (link.starts_with('/')) {
      resolved.assign(link);
    } else {
      const std::size_t slash = resolved.rfind('/');
      resolved.erase(slash == std::string::npos ? 0 : slash + 1);
      resolved.append(link);
    }
  }
  return false;
}

// Temporary names differ between processes and between calls; exclusive creation settles
// the rare clash.
std::string temp_suffix() {
  static std::uint64_t counter = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t mix =
      (static_cast<std::uint64_t>(::getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
      (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ (++counter * 0x9e3779b97f4a7c15U);
  mix ^= mix >> 31;
  mix *= 0xbf58476d1ce4e5b9U;
  mix ^= mix >> 27;
  std::string suffix;
  for (std::size_t i = 0; i < kTempRandomLength; ++i) {
    suffix.push_back(kTempDigits[static_cast<std::size_t>(mix % kTempDigits.size())]);
    mix /= kTempDigits.size();
  }
  return suffix;
}

bool write_all(int fd, std::string_view content) {
  const SettingsFileOps& ops = settings_file_ops();
  while (!content.empty()) {
    const ssize_t written = ops.write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;  // no progress and no error: give up rather than spin
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void sync_directory(const std::string& directory) {
  // Some filesystems refuse to sync a directory; that alone makes no save fail.
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  settings_file_ops().fsync(fd);
  ::close(fd);
}

// FAT, the filesystem of a board's /boot.
bool on_fat(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC;
}

// Writes, syncs and closes; the descriptor is closed whatever fails. On FAT, fsync writes a
// file's directory entry before the FAT that gives the file its clusters, so a cut in between
// leaves an entry on clusters the FAT calls free; removing such a temporary in a later save
// would free whatever holds those clusters by then. With folder given, a file on FAT has its
// folder synced first, which writes the FAT while the entry on the disk still names no cluster.
bool finish_file(int fd, std::string_view content, bool sync, const std::string* folder = nullptr) {
  const SettingsFileOps& ops = settings_file_ops();
  bool ok = write_all(fd, content);
  if (ok && sync && folder != nullptr && on_fat(fd)) sync_directory(*folder);
  if (ok && sync && ops.fsync(fd) != 0) ok = false;
  if (ops.close(fd) != 0) ok = false;
  return ok;
}

// Cuts the file to empty and writes it again: for what must not be replaced (device
// nodes, pipes) and for a file whose directory takes no new names.
bool rewrite_in_place(const std::string& path, std::string_view content) {
  // Non-blocking only for the open, so a pipe nobody reads fails at once instead of
  // hanging the screen.
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    settings_file_ops().close(fd);
    return false;
  }
  // Syncing is for files; devices and pipes refuse it.
  return finish_file(fd, content, S_ISREG(info.st_mode));
}

// Failures of creating a name in the directory that say the directory is closed to us,
// not that storing would fail anyway (a full disk would then also cut the old file).
bool directory_refuses_names(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG;
}

// The renamed file, synced under its new name. On FAT (a board's /boot) a rename over a file
// only moves the new file into the old one's directory entry in memory: where its data starts
// and its size reach the disk when that file's own inode is written, which syncing the folder
// does not do. Syncing the folder writes the removed temporary entry and the freed clusters, so
// without this a cut leaves the entry pointing at clusters the FAT calls free.
bool sync_renamed_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  bool ok = true;
  // fsync writes the inode only while it is dirty; if the kernel's writeback has just written
  // it without waiting, its entry may still sit unwritten in the device's buffers. On FAT, whose
  // /boot holds little else, a sync of the whole filesystem writes those too.
  if (on_fat(fd) && ::syncfs(fd) != 0) ok = false;
  if (settings_file_ops().fsync(fd) != 0) ok = false;
  ::close(fd);
  return ok;
}

// A temporary of this file (see replace_file) that a crash or a power cut left behind. Only
// names of this release's pattern: earlier releases named theirs without ".tmp" and synced them
// in an order that a cut could leave with an entry on clusters the FAT calls free, or that a
// later file has taken since. Removing such a temporary would free those clusters under the
// file that holds them now; fsck, not this program, can mend it.
bool is_own_temporary(std::string_view name, std::string_view base) {
  if (name.size() != 1 + base.size() + 1 + kTempRandomLength + kTempEnd.size() || name[0] != '.' ||
      name.substr(1, base.size()) != base || name[1 + base.size()] != '.' ||
      !name.ends_with(kTempEnd)) {
    return false;
  }
  return name.substr(2 + base.size(), kTempRandomLength).find_first_not_of(kTempDigits) ==
         std::string_view::npos;
}

// Removes the temporaries that earlier saves of the same file left behind, and nothing else.
void remove_stale_temporaries(const std::string& directory, const std::string& base) {
  DIR* folder = ::opendir(directory.empty() ? "." : directory.c_str());
  if (folder == nullptr) return;
  while (const dirent* item = ::readdir(folder)) {
    if (is_own_temporary(item->d_name, base)) ::unlink((directory + item->d_name).c_str());
  }
  ::closedir(folder);
}

bool replace_file(const std::string& path, const struct stat* old_info, std::string_view content) {
  const std::size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = path.substr(directory.size());
  if (base.empty()) return false;

  std::string temp;
  int fd = -1;
  // An existing file's mode is set below; until then the temporary is the owner's alone.
  const mode_t mode = old_info != nullptr ? S_IRUSR | S_IWUSR : 0666;
  for (int attempt = 0; attempt < kMaxTempAttempts && fd < 0; ++attempt) {
    temp = directory + "." + base + "." + temp_suffix() + std::string(kTempEnd);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    if (old_info != nullptr && directory_refuses_names(errno))
      return rewrite_in_place(path, content);
    return false;
  }

  if (old_info != nullptr) {
    // Owner first: a change of owner clears the set-id bits the mode then puts back.
    // Filesystems without owners or modes (FAT) refuse these, which costs nothing.
    if (old_info->st_uid != ::geteuid() || old_info->st_gid != ::getegid()) {
      [[maybe_unused]] const int owned = ::fchown(fd, old_info->st_uid, old_info->st_gid);
    }
    [[maybe_unused]] const int moded = ::fchmod(fd, old_info->st_mode & 07777);
  }

  if (!finish_file(fd, content, true, &directory)) {
    ::unlink(temp.c_str());
    return false;
  }
  // Held open across the rename, the replaced file keeps its clusters on FAT until the new
  // file's entry is on the disk: the kernel frees them at the last close, so no cut can find
  // the entry pointing at clusters already free.
  const int replaced =
      old_info != nullptr ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    if (replaced >= 0) ::close(replaced);
    ::unlink(temp.c_str());
    // A file mounted over the path (a container's bound-in file) cannot be replaced, only
    // rewritten.
    if (old_info != nullptr && error == EBUSY) return rewrite_in_place(path, content);
    return false;
  }
  const bool stored = sync_renamed_file(path);
  if (replaced >= 0) ::close(replaced);
  remove_stale_temporaries(directory, base);
  // Writes what the rename and the last close changed in the folder and the FAT: the
  // temporary's entry gone, the old clusters free.
  sync_directory(directory);
  return stored;
}

}  // namespace

bool write_settings_file(const char* path, std::string_view content) {
  std::string target;
  if (!resolve_links(path, target)) return false;
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0) {
    if (errno != ENOENT) return false;
    return replace_file(target, nullptr, content);
  }
  if (!S_ISREG(info.st_mode)) return rewrite_in_place(target, content);
  // Replacing needs only the directory's permission; a file its owner made read-only must
  // still refuse the save, as writing it would.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
  return replace_file(target, &info, content);
}

}  // namespace camctl
