// The system calls the device layer makes, replaceable so tests can stand a simulated camera in.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace camctl {

struct SysOps {
  int (*open)(const char* path, int flags);
  int (*ioctl)(int fd, unsigned long request, void* arg);
  int (*close)(int fd);
  // The wait for keys and camera events together, so a simulated node can say it has events.
  int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
  // The node's device number (st_rdev) tells which interface of a media graph it is.
  int (*fstat)(int fd, struct stat* info);
  // A capture buffer shared with the driver, mapped read-only; MAP_FAILED on failure.
  void* (*mmap)(std::size_t length, int fd, off_t offset);
  int (*munmap)(void* address, std::size_t length);
};

// The calls straight to the kernel.
SysOps real_sys_ops();

// The calls in force for every device request of this process.
const SysOps& sys_ops();

// Replaces the calls in force; returns the ones replaced so a caller can put them back.
SysOps set_sys_ops(const SysOps& ops);

}  // namespace camctl
