// The symbols a preloaded simulated camera puts in front of the C library's. This file
// includes no system header that declares them, so their signatures cannot clash.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <cstdarg>

#include "sim/preload_state.h"

extern "C" {

int open(const char* path, int flags, ...) {
  unsigned mode = 0;
  if ((flags & 0100) != 0 || (flags & 020000000) != 0) {  // O_CREAT, O_TMPFILE
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, unsigned);
    va_end(args);
  }
  return camsim::preload_open(path, flags, mode, false);
}

int open64(const char* path, int flags, ...) {
  unsigned mode = 0;
  if ((flags & 0100) != 0 || (flags & 020000000) != 0) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, unsigned);
    va_end(args);
  }
  return camsim::preload_open(path, flags, mode, true);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return camsim::preload_ioctl(fd, request, arg);
}

int close(int fd) {
  return camsim::preload_close(fd);
}

}  // extern "C"
