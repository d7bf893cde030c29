// The preloaded simulated camera's state, reached from the interposed C library calls.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/stat.h>

#include <cstddef>

#include "sim/router.h"

namespace camsim {

int preload_open(const char* path, int flags, unsigned mode, bool large_file);
int preload_ioctl(int fd, unsigned long request, void* arg);
int preload_close(int fd);

// fstat of a simulated node: its device number. 1 when fd is none, for the caller to pass on.
int preload_fstat(int fd, struct stat* info);

// A capture buffer of the simulated node behind fd, as mmap(2) at offset maps it; nullptr
// (errno EINVAL) when there is none. unmap: whether the address was a buffer's.
void* preload_map(int fd, std::size_t length, long offset);
bool preload_unmap(const void* address);

// Whether the descriptor is a simulated node's.
bool preload_owns(int fd);
// A wait on a set that holds a simulated node (callers check preload_owns first): the nodes
// answer for themselves, the others are waited on through waiter, and commands on the
// CAMSIM_CONTROL channel are applied while nothing is ready.
int preload_wait(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter);

}  // namespace camsim
