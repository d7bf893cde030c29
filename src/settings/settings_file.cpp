// Storing the settings file so that a failure at any point leaves the previous file whole.
#include <fcntl.h>
#include <sys/stat.h>
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
  constexpr std::string_view kDigits = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 8; ++i) {
    suffix.push_back(kDigits[static_cast<std::size_t>(mix % kDigits.size())]);
    mix /= kDigits.size();
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

// Writes, syncs and closes; the descriptor is closed whatever fails.
bool finish_file(int fd, std::string_view content, bool sync) {
  const SettingsFileOps& ops = settings_file_ops();
  bool ok = write_all(fd, content);
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

void sync_directory(const std::string& directory) {
  // The rename is done; a directory that cannot be synced (some filesystems refuse) does
  // not make the saved file any less saved.
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
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
    temp = directory + "." + base + "." + temp_suffix();
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

  if (!finish_file(fd, content, true)) {
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    // A file mounted over the path (a container's bound-in file) cannot be replaced, only
    // rewritten.
    if (old_info != nullptr && error == EBUSY) return rewrite_in_place(path, content);
    return false;
  }
  sync_directory(directory);
  return true;
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
