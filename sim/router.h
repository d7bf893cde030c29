// Routes open/ioctl/close/poll of one device path to a simulated camera; shared by both seams.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>

#include <string>

#include "sim/camera.h"

namespace camsim {

struct SystemCalls {
  int (*open)(const char* path, int flags);
  int (*ioctl)(int fd, unsigned long request, void* arg);
  int (*close)(int fd);
};

// The real wait a poll-like call makes (poll, or ppoll with the caller's signal mask).
class Waiter {
 public:
  virtual ~Waiter() = default;
  virtual int wait(pollfd* fds, nfds_t count, int timeout_ms) = 0;
};

// A descriptor waited on beside the caller's while the simulated node has nothing to say, and
// what to do when it becomes readable (another program acting on the camera).
struct SideChannel {
  int fd = -1;
  void (*on_readable)(void* context) = nullptr;
  void* context = nullptr;
};

class Router {
 public:
  Router(Camera* camera, std::string path, SystemCalls system) noexcept
      : camera_(camera), path_(std::move(path)), system_(system) {}

  int open(const char* path, int flags);
  int ioctl(int fd, unsigned long request, void* arg);
  int close(int fd);
  bool owns(int fd) const { return fd >= 0 && fd == sim_fd_; }
  // How often the program waited with the node in its set: a program that keeps waiting on
  // an unplugged node spins, and this count shows it.
  long node_waits() const { return node_waits_; }
  int node_fd() const { return sim_fd_; }
  // poll(2) with the simulated node answering for itself (POLLPRI for events, POLLERR|POLLHUP
  // once unplugged) and every other descriptor left to the system. Returns -1 with errno set
  // as poll does.
  int poll(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter, const SideChannel& side = {});
  // Whether the set holds the simulated node: otherwise the caller waits by itself.
  bool in_set(const pollfd* fds, nfds_t count) const;

 private:
  Camera* camera_;
  std::string path_;
  SystemCalls system_;
  int sim_fd_ = -1;
  long node_waits_ = 0;
};

}  // namespace camsim
