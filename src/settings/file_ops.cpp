// The system calls in force for storing the settings file: the kernel's, unless a test replaced
// them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "settings/file_ops.h"

#include <unistd.h>

namespace camctl {
namespace {

ssize_t real_write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}
int real_fsync(int fd) {
  return ::fsync(fd);
}
int real_close(int fd) {
  return ::close(fd);
}

SettingsFileOps& current() {
  static SettingsFileOps ops = real_settings_file_ops();
  return ops;
}

}  // namespace

SettingsFileOps real_settings_file_ops() {
  return SettingsFileOps{real_write, real_fsync, real_close};
}

const SettingsFileOps& settings_file_ops() {
  return current();
}

SettingsFileOps set_settings_file_ops(const SettingsFileOps& ops) {
  SettingsFileOps previous = current();
  current() = ops;
  return previous;
}

}  // namespace camctl
