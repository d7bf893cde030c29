// The simulated node holds a real descriptor on /dev/null, so descriptor numbers and close
// behave as they do for a real device.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "sim/router.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace camsim {

int Router::open(const char* path, int flags) {
  if (path == nullptr || path_ != path) return system_.open(path, flags);
  if (camera_->scenario().open_error != 0) {
    errno = camera_->scenario().open_error;
    return -1;
  }
  const int fd = system_.open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd >= 0) sim_fd_ = fd;
  return fd;
}

int Router::ioctl(int fd, unsigned long request, void* arg) {
  if (!owns(fd)) return system_.ioctl(fd, request, arg);
  const int error = camera_->handle(request, arg);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

int Router::close(int fd) {
  if (owns(fd)) {
    sim_fd_ = -1;
    camera_->close_handle(0);  // the kernel drops a handle's subscriptions when it closes
  }
  return system_.close(fd);
}

bool Router::in_set(const pollfd* fds, nfds_t count) const {
  for (nfds_t i = 0; i < count; ++i) {
    if (owns(fds[i].fd)) return true;
  }
  return false;
}

int Router::poll(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter,
                 const SideChannel& side) {
  if (!in_set(fds, count)) return waiter.wait(fds, count, timeout_ms);
  ++node_waits_;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  // The caller's set with the simulated node left out (a negative descriptor is skipped: the
  // /dev/null behind it would always be ready), then the side channel.
  std::vector<pollfd> others(fds, fds + count);
  for (pollfd& p : others) {
    if (owns(p.fd)) p.fd = -1;
  }
  if (side.fd >= 0) others.push_back(pollfd{side.fd, POLLIN, 0});
  for (;;) {
    int sim_ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
      if (!owns(fds[i].fd)) continue;
      // POLLERR and POLLHUP are reported whether asked for or not.
      fds[i].revents =
          static_cast<short>(camera_->poll_events(0) & (fds[i].events | POLLERR | POLLHUP));
      if (fds[i].revents != 0) ++sim_ready;
    }
    int wait_ms = timeout_ms;
    if (sim_ready != 0) {
      wait_ms = 0;
    } else if (timeout_ms > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    for (pollfd& p : others) p.revents = 0;
    // The command channel is read also when the node already answers: a node that keeps
    // answering (a fault of its event queue) must not keep the command that ends it waiting.
    const int n = waiter.wait(others.data(), others.size(), wait_ms);
    if (n < 0) {
      if (sim_ready != 0) break;  // what the node has to say stands
      return n;
    }
    if (others.size() > count && others[count].revents != 0) {
      side.on_readable(side.context);
      continue;  // a command came: ask the node again
    }
    if (n > 0 || sim_ready != 0) break;
    if (timeout_ms >= 0) break;  // timed out
  }
  int ready = 0;
  for (nfds_t i = 0; i < count; ++i) {
    if (owns(fds[i].fd)) {
      if (fds[i].revents != 0) ++ready;
      continue;
    }
    fds[i].revents = others[i].revents;
    if (fds[i].revents != 0) ++ready;
  }
  return ready;
}

}  // namespace camsim
