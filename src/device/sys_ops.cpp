// The system calls in force for device requests: the kernel's, unless a test replaced them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/sys_ops.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace camctl {
namespace {

int real_open(const char* path, int flags) {
  return ::open(path, flags);
}
int real_ioctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}
int real_close(int fd) {
  return ::close(fd);
}
int real_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}
int real_fstat(int fd, struct stat* info) {
  return ::fstat(fd, info);
}
void* real_mmap(std::size_t length, int fd, off_t offset) {
  return ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, offset);
}
int real_munmap(void* address, std::size_t length) {
  return ::munmap(address, length);
}

SysOps& current() {
  static SysOps ops = real_sys_ops();
  return ops;
}

}  // namespace

SysOps real_sys_ops() {
  return SysOps{real_open, real_ioctl, real_close, real_poll, real_fstat, real_mmap, real_munmap};
}

const SysOps& sys_ops() {
  return current();
}

SysOps set_sys_ops(const SysOps& ops) {
  SysOps previous = current();
  current() = ops;
  return previous;
}

}  // namespace camctl
