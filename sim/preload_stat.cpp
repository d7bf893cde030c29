// fstat of a preloaded simulated node tells its device number, as a real node's does; every
// other descriptor goes to the C library. Built without large-file redirection, so both names
// a program may call are defined here as themselves.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

#include "sim/preload_state.h"

namespace {

template <typename Fn>
Fn next_symbol(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fstat(int fd, struct stat* info) {
  static const auto real = next_symbol<int (*)(int, struct stat*)>("fstat");
  const int owned = camsim::preload_fstat(fd, info);
  return owned == 1 ? real(fd, info) : owned;
}

int fstat64(int fd, struct stat64* info) {
  static const auto real = next_symbol<int (*)(int, struct stat64*)>("fstat64");
  struct stat plain {};
  if (camsim::preload_fstat(fd, &plain) == 1) return real(fd, info);
  std::memset(info, 0, sizeof *info);
  info->st_mode = plain.st_mode;
  info->st_rdev = plain.st_rdev;
  return 0;
}

}  // extern "C"
