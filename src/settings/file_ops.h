// The system calls that store the settings file, replaceable so tests can make them fail.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace camctl {

struct SettingsFileOps {
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
};

// The calls straight to the kernel.
SettingsFileOps real_settings_file_ops();

// The calls in force for every settings file write of this process.
const SettingsFileOps& settings_file_ops();

// Replaces the calls in force; returns the ones replaced so a caller can put them back.
SettingsFileOps set_settings_file_ops(const SettingsFileOps& ops);

}  // namespace camctl
