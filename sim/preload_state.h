// The preloaded simulated camera's state, reached from the interposed C library calls.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>

#include "sim/router.h"

namespace camsim {

int preload_open(const char* path, int flags, unsigned mode, bool large_file);
int preload_ioctl(int fd, unsigned long request, void* arg);
int preload_close(int fd);

// The simulated node's descriptor, -1 while it is not open.
int preload_node_fd();
// A wait on a set that holds the simulated node (callers check preload_node_fd first): the node
// answers for itself, the others are waited on through waiter, and commands on the
// CAMSIM_CONTROL channel are applied while nothing is ready.
int preload_wait(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter);

}  // namespace camsim
