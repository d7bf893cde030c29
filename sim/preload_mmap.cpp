// mmap and munmap of a preloaded simulated node's capture buffers; every other mapping goes to
// the C library. This file includes no system header that declares them, so their signatures
// cannot clash.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <dlfcn.h>

#include <cerrno>
#include <cstddef>

#include "sim/preload_state.h"

namespace {

template <typename Fn>
Fn next_symbol(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// MAP_FAILED, without the header that would declare mmap.
void* const kMapFailed = reinterpret_cast<void*>(-1L);  // NOLINT(performance-no-int-to-ptr)

}  // namespace

extern "C" {

void* mmap(void* address, std::size_t length, int protection, int flags, int fd, long offset) {
  static const auto real = next_symbol<void* (*)(void*, std::size_t, int, int, int, long)>("mmap");
  if (!camsim::preload_owns(fd)) return real(address, length, protection, flags, fd, offset);
  void* buffer = camsim::preload_map(fd, length, offset);
  return buffer != nullptr ? buffer : kMapFailed;
}

void* mmap64(void* address, std::size_t length, int protection, int flags, int fd,
             long long offset) {
  static const auto real =
      next_symbol<void* (*)(void*, std::size_t, int, int, int, long long)>("mmap64");
  if (!camsim::preload_owns(fd)) return real(address, length, protection, flags, fd, offset);
  void* buffer = camsim::preload_map(fd, length, static_cast<long>(offset));
  return buffer != nullptr ? buffer : kMapFailed;
}

int munmap(void* address, std::size_t length) {
  static const auto real = next_symbol<int (*)(void*, std::size_t)>("munmap");
  return camsim::preload_unmap(address) ? 0 : real(address, length);
}

}  // extern "C"
