// Preloaded into the unchanged program: CAMSIM_SCENARIO names the scenario file, CAMSIM_DEVICE
// the node it answers for (default /dev/video0), CAMSIM_LOG a file that receives one line per
// S_CTRL and a count of every request when the node is closed, CAMSIM_CONTROL a FIFO whose
// lines act on the camera as another program would ("set id=0x00980900 value=77", "unplug",
// "auto id=0x00980913 value=40") or fault its event queue ("dequeue error=EIO count=1"), read
// whenever the program waits on the node.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "sim/preload_state.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim/camera.h"
#include "sim/router.h"

namespace camsim {
namespace {

using OpenFn = int (*)(const char*, int, ...);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

OpenFn real_open_fn() {
  static auto fn = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
  return fn;
}
OpenFn real_open64_fn() {
  static auto fn = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open64"));
  return fn;
}
IoctlFn real_ioctl_fn() {
  static auto fn = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  return fn;
}
CloseFn real_close_fn() {
  static auto fn = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
  return fn;
}

int system_open(const char* path, int flags) {
  return real_open_fn()(path, flags, 0);
}
int system_ioctl(int fd, unsigned long request, void* arg) {
  return real_ioctl_fn()(fd, request, arg);
}
int system_close(int fd) {
  return real_close_fn()(fd);
}

struct State;
State* g_state = nullptr;  // set once the simulated node has been asked for

struct State {
  std::unique_ptr<Camera> camera;
  std::unique_ptr<Router> router;
  int log_fd = -1;
  std::size_t logged_writes = 0;
  int control_fd = -1;   // CAMSIM_CONTROL, opened with the node
  std::string commands;  // bytes read from it, not yet a whole line
};

State* state() {
  static State* s = [] {
    auto* st = new State;  // lives until the process ends, like the descriptors it serves
    const char* scenario_path = std::getenv("CAMSIM_SCENARIO");
    const char* device = std::getenv("CAMSIM_DEVICE");
    Scenario scenario;
    std::string error;
    if (scenario_path == nullptr || !load_scenario_file(scenario_path, scenario, error)) {
      std::fprintf(stderr, "camsim: no usable scenario (CAMSIM_SCENARIO): %s\n", error.c_str());
      std::_Exit(125);
    }
    st->camera = std::make_unique<Camera>(std::move(scenario));
    st->router =
        std::make_unique<Router>(st->camera.get(), device != nullptr ? device : "/dev/video0",
                                 SystemCalls{system_open, system_ioctl, system_close});
    if (const char* log = std::getenv("CAMSIM_LOG")) {
      st->log_fd = real_open_fn()(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    return st;
  }();
  return s;
}

void log_line(const char* line) {
  State* s = state();
  if (s->log_fd < 0) return;
  const std::size_t length = std::strlen(line);
  if (::write(s->log_fd, line, length) < 0) s->log_fd = -1;
}

void log_new_writes() {
  State* s = state();
  const auto& log = s->camera->write_log();
  for (; s->logged_writes < log.size(); ++s->logged_writes) {
    const Write& w = log[s->logged_writes];
    char line[160];
    if (w.result == 0) {
      std::snprintf(line, sizeof line,
                    "write id=0x%08" PRIx32 " value=%" PRId32 " result=0 returned=%" PRId32 "\n",
                    w.id, w.value, w.returned);
    } else {
      std::snprintf(line, sizeof line, "write id=0x%08" PRIx32 " value=%" PRId32 " result=%s\n",
                    w.id, w.value, errno_name(w.result));
    }
    log_line(line);
  }
}

// One line from the control channel, applied at once.
void run_command(const std::string& line) {
  State* s = state();
  unsigned long id = 0;
  long value = 0;
  char error[16] = {};
  int result = 0;
  if (std::sscanf(line.c_str(), "set id=%lx value=%ld", &id, &value) == 2) {
    result =
        s->camera->other_write(static_cast<std::uint32_t>(id), static_cast<std::int32_t>(value));
  } else if (std::sscanf(line.c_str(), "auto id=%lx value=%ld", &id, &value) == 2) {
    result =
        s->camera->set_auto_value(static_cast<std::uint32_t>(id), static_cast<std::int32_t>(value))
            ? 0
            : EINVAL;
  } else if (line == "unplug") {
    s->camera->fail_everything(ENODEV);
  } else if (std::sscanf(line.c_str(), "dequeue error=%15s count=%ld", error, &value) == 2 &&
             errno_from_name(error) != 0) {
    s->camera->fail_dequeues(errno_from_name(error), static_cast<int>(value));
  } else {
    result = EINVAL;
  }
  char text[200];
  std::snprintf(text, sizeof text, "command %.120s result=%s\n", line.c_str(),
                result == 0 ? "0" : errno_name(result));
  log_line(text);
}

void read_commands(void* /*context*/) {
  State* s = state();
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(s->control_fd, buffer, sizeof buffer);
    if (n <= 0) break;  // EAGAIN: all read (the FIFO is open for writing here too: no EOF)
    s->commands.append(buffer, static_cast<std::size_t>(n));
  }
  for (std::size_t end = s->commands.find('\n'); end != std::string::npos;
       end = s->commands.find('\n')) {
    std::string line = s->commands.substr(0, end);
    s->commands.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) run_command(line);
  }
}

bool is_device_path(const char* path) {
  const char* device = std::getenv("CAMSIM_DEVICE");
  return path != nullptr && std::strcmp(path, device != nullptr ? device : "/dev/video0") == 0;
}

}  // namespace

int preload_open(const char* path, int flags, unsigned mode, bool large_file) {
  if (!is_device_path(path)) {
    return large_file ? real_open64_fn()(path, flags, mode) : real_open_fn()(path, flags, mode);
  }
  g_state = state();
  const int fd = g_state->router->open(path, flags);
  const char* control = std::getenv("CAMSIM_CONTROL");
  if (fd >= 0 && control != nullptr && g_state->control_fd < 0) {
    // Open for writing too, so the channel never blocks the open and never reads end-of-file.
    g_state->control_fd = real_open_fn()(control, O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
  }
  return fd;
}

int preload_ioctl(int fd, unsigned long request, void* arg) {
  // Descriptors other than the simulated node's, the terminal's among them, go straight through.
  State* s = g_state;
  if (s == nullptr || !s->router->owns(fd)) return real_ioctl_fn()(fd, request, arg);
  const int result = s->router->ioctl(fd, request, arg);
  if (request == VIDIOC_S_CTRL) log_new_writes();
  return result;
}

int preload_close(int fd) {
  State* s = g_state;
  if (s == nullptr || !s->router->owns(fd)) return real_close_fn()(fd);
  const RequestCounts& c = s->camera->counts();
  char line[200];
  std::snprintf(line, sizeof line,
                "requests querycap=%ld queryctrl=%ld g_ctrl=%ld querymenu=%ld s_ctrl=%ld "
                "g_fmt=%ld other=%ld subscribe_event=%ld dqevent=%ld total=%ld\n",
                c.querycap, c.queryctrl, c.g_ctrl, c.querymenu, c.s_ctrl, c.g_fmt, c.other,
                c.subscribe_event, c.dqevent, c.total());
  log_line(line);
  std::snprintf(line, sizeof line, "waits node=%ld\n", s->router->node_waits());
  log_line(line);
  return s->router->close(fd);
}

int preload_node_fd() {
  State* s = g_state;
  if (s == nullptr) return -1;
  return s->router->node_fd();
}

int preload_wait(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter) {
  State* s = g_state;
  return s->router->poll(fds, count, timeout_ms, waiter,
                         SideChannel{s->control_fd, read_commands, nullptr});
}

}  // namespace camsim
