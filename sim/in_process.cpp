// The in-process seam: the device layer's system calls pass through the router.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "sim/in_process.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

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
int routed_fstat(int fd, struct stat* info) {
  const int owned = g_router->fstat(fd, info);
  return owned == 1 ? camctl::real_sys_ops().fstat(fd, info) : owned;
}

void* routed_mmap(std::size_t length, int fd, off_t offset) {
  if (!g_router->owns(fd)) return camctl::real_sys_ops().mmap(length, fd, offset);
  void* address = g_router->map(fd, length, static_cast<long>(offset));
  return address != nullptr ? address : MAP_FAILED;
}
int routed_munmap(void* address, std::size_t length) {
  return g_router->unmap(address) ? 0 : camctl::real_sys_ops().munmap(address, length);
}

SystemCalls system_calls() {
  const camctl::SysOps real = camctl::real_sys_ops();
  return SystemCalls{real.open, real.ioctl, real.close};
}

void route_through(std::unique_ptr<Router> router) {
  g_router = std::move(router);
  g_saved = camctl::set_sys_ops(camctl::SysOps{routed_open, routed_ioctl, routed_close, routed_poll,
                                               routed_fstat, routed_mmap, routed_munmap});
}

void stop_routing() {
  camctl::set_sys_ops(g_saved);
  g_router.reset();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read scenario %s\n", path.c_str());
    std::abort();
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

InProcessCamera::InProcessCamera(Scenario scenario, std::string path)
    : camera_(std::move(scenario)) {
  route_through(std::make_unique<Router>(&camera_, std::move(path), system_calls()));
}

InProcessCamera::~InProcessCamera() {
  stop_routing();
}

InProcessMedia::InProcessMedia(MediaScenario scenario) : scenario_(std::move(scenario)) {
  std::vector<std::string> devnames;
  std::vector<Camera*> cameras;
  for (MediaNode& node : scenario_.nodes) {
    cameras_.push_back(std::make_unique<Camera>(node.scenario));
    devnames.push_back(node.devname);
    cameras.push_back(cameras_.back().get());
  }
  route_through(std::make_unique<Router>(&scenario_.graph, devnames, cameras, system_calls()));
}

InProcessMedia::~InProcessMedia() {
  stop_routing();
}

Camera* InProcessMedia::camera(const std::string& devname) {
  return g_router->camera_at("/dev/" + devname);
}

Router& InProcessMedia::router() {
  return *g_router;
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

MediaScenario media_scenario_from_file(const std::string& path) {
  MediaScenario scenario;
  std::string error;
  if (!parse_media_scenario(read_file(path), scenario, error)) {
    std::fprintf(stderr, "bad media scenario %s: %s\n", path.c_str(), error.c_str());
    std::abort();
  }
  return scenario;
}

}  // namespace camsim
