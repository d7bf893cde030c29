// The system calls that store the settings file, replaceable so tests can make them fail, or act
// between two of them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>

namespace camctl {

struct SettingsFileOps {
  ssize_t (*read)(int fd, void* data, std::size_t size);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*flock)(int fd, int operation);
  // The pause between two tries of a lock another save holds.
  int (*nanosleep)(const timespec* wait, timespec* left);
};

// The calls straight to the kernel.
SettingsFileOps real_settings_file_ops();

// The calls in force for every settings file read and write of this process.
const SettingsFileOps& settings_file_ops();

// Replaces the calls in force; returns the ones replaced so a caller can put them back.
SettingsFileOps set_settings_file_ops(const SettingsFileOps& ops);

}  // namespace camctl
