// The in-process seam: the device layer's system calls pass through the router.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "sim/in_process.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "device/sys_ops.h"
#include "sim/router.h"

namespace camsim {
namespace {

std::unique_ptr<Router> g_router;
camctl::SysOps g_saved{};

class SystemWaiter : public Waiter {
 public:
  explicit SystemWaiter(int (*poll)(pollfd*, nfds_t, int)) : poll_(poll) {}
  int wait(pollfd* fds, nfds_t count, int timeout_ms) override {
    return poll_(fds, count, timeout_ms);
  }

 private:
  int (*poll_)(pollfd*, nfds_t, int);
};

int routed_open(const char* path, int flags) {
  return g_router->open(path, flags);
}
int routed_ioctl(int fd, unsigned long request, void* arg) {
  return g_router->ioctl(fd, request, arg);
}
int routed_close(int fd) {
  return g_router->close(fd);
}
int routed_poll(pollfd* fds, nfds_t count, int timeout_ms) {
  SystemWaiter waiter(camctl::real_sys_ops().poll);
  return g_router->poll(fds, count, timeout_ms, waiter);
}

}  // namespace

InProcessCamera::InProcessCamera(Scenario scenario, std::string path)
    : camera_(std::move(scenario)) {
  const camctl::SysOps real = camctl::real_sys_ops();
  g_router = std::make_unique<Router>(&camera_, std::move(path),
                                      SystemCalls{real.open, real.ioctl, real.close});
  g_saved =
      camctl::set_sys_ops(camctl::SysOps{routed_open, routed_ioctl, routed_close, routed_poll});
}

InProcessCamera::~InProcessCamera() {
  camctl::set_sys_ops(g_saved);
  g_router.reset();
}

Scenario scenario_from_text(const std::string& text) {
  Scenario scenario;
  std::string error;
  if (!parse_scenario(text, scenario, error)) {
    std::fprintf(stderr, "bad scenario: %s\n", error.c_str());
    std::abort();
  }
  return scenario;
}

Scenario scenario_from_file(const std::string& path) {
  Scenario scenario;
  std::string error;
  if (!load_scenario_file(path.c_str(), scenario, error)) {
    std::fprintf(stderr, "bad scenario %s: %s\n", path.c_str(), error.c_str());
    std::abort();
  }
  return scenario;
}

}  // namespace camsim
