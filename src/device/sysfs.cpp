// Sysfs attributes: every open goes through sys_ops, the reads stay on the descriptor it gave.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "device/sys_ops.h"
#include "device/unique_fd.h"

namespace camctl {
namespace {

// Attributes are a page at most; a uevent is a few lines.
constexpr std::size_t kMaxAttribute = 4096;

}  // namespace

std::string sysfs_node_folder(dev_t number) {
  return "/sys/dev/char/" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
}

int read_sysfs_text(const std::string& path, std::string& text) {
  text.clear();
  UniqueFd fd(sys_ops().open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  char buffer[512];
  while (text.size() < kMaxAttribute) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return 0;
}

int list_sysfs_folder(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  const int fd = sys_ops().open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* folder = ::fdopendir(fd);
  if (folder == nullptr) {
    const int error = errno;
    sys_ops().close(fd);
    return error;
  }
  // The folder owns the descriptor from here on and closes it.
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(folder);
  return 0;
}

std::string device_node_path(const std::string& node_folder) {
  std::string uevent;
  if (read_sysfs_text(node_folder + "/uevent", uevent) != 0) return {};
  std::string_view rest = uevent;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    // A name with a folder in it (dvb/adapter0/...) is a path below /dev all the same; one
    // that climbs out of /dev is no node of ours.
    if (line.starts_with("DEVNAME=") && line.size() > 8 &&
        line.find("..") == std::string_view::npos) {
      return "/dev/" + std::string(line.substr(8));
    }
  }
  return {};
}

}  // namespace camctl
