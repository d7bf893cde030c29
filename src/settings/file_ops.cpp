// The system calls in force for reading and storing the settings file: the kernel's, unless a test
// replaced them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "settings/file_ops.h"

#include <sys/file.h>
#include <unistd.h>

namespace camctl {
namespace {

ssize_t real_read(int fd, void* data, std::size_t size) {
  return ::read(fd, data, size);
}
ssize_t real_write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}
int real_fsync(int fd) {
  return ::fsync(fd);
}
int real_close(int fd) {
  return ::close(fd);
}
int real_flock(int fd, int operation) {
  return ::flock(fd, operation);
}
int real_nanosleep(const timespec* wait, timespec* left) {
  return ::nanosleep(wait, left);
}

SettingsFileOps& current() {
  static SettingsFileOps ops = real_settings_file_ops();
  return ops;
}

}  // namespace

SettingsFileOps real_settings_file_ops() {
  return SettingsFileOps{real_read, real_write, real_fsync, real_close, real_flock, real_nanosleep};
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
