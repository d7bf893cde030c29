// The preloaded simulated camera's state, reached from the interposed C library calls.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/stat.h>

#include "sim/router.h"

namespace camsim {

int preload_open(const char* path, int flags, unsigned mode, bool large_file);
int preload_ioctl(int fd, unsigned long request, void* arg);
int preload_close(int fd);

// fstat of a simulated node: its device number. 1 when fd is none, for the caller to pass on.
int preload_fstat(int fd, struct stat* info);

// Whether the descriptor is a simulated node's.
bool preload_owns(int fd);
// A wait on a set that holds a simulated node (callers check preload_owns first): the nodes
// answer for themselves, the others are waited on through waiter, and commands on the
// CAMSIM_CONTROL channel are applied while nothing is ready.
int preload_wait(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter);

}  // namespace camsim
