// Preloaded into the unchanged program: CAMSIM_SCENARIO names the scenario file, CAMSIM_DEVICE
// the node it answers for (default /dev/video0; a media scenario answers for every node of its
// graph at /dev/DEVNAME, the media device and their sysfs), CAMSIM_LOG a file that receives one
// line per S_CTRL and a count of every request when a node is closed, CAMSIM_CONTROL a FIFO
// whose lines act on the camera as another program would ("set id=0x00980900 value=77", on a
// media graph's node "set path=/dev/v4l-subdev0 id=... value=...", "unplug",
// "auto id=0x00980913 value=40", "stream other" to take the buffers and stream, "stream other
// off" to free them), fault its event queue ("dequeue error=EIO count=1") or bring the next
// frame ("frame"), read whenever the program waits on a node. The log also has a line per
// REQBUFS, STREAMON and STREAMOFF of the program.
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
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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
  std::unique_ptr<Camera> camera;  // the one node, unless the scenario is a media graph
  MediaScenario media;
  std::vector<std::unique_ptr<Camera>> nodes;
  std::unique_ptr<Router> router;
  int log_fd = -1;
  int control_fd = -1;   // CAMSIM_CONTROL, opened with the node
  std::string commands;  // bytes read from it, not yet a whole line
};

State* state() {
  static State* s = [] {
    auto* st = new State;  // lives until the process ends, like the descriptors it serves
    const char* scenario_path = std::getenv("CAMSIM_SCENARIO");
    const char* device = std::getenv("CAMSIM_DEVICE");
    std::string text, error;
    bool read = false;
    if (scenario_path != nullptr) {
      std::ifstream in(scenario_path, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      text = content.str();
      read = static_cast<bool>(in);
      if (!read) error = std::string("cannot read ") + scenario_path;
    }
    const SystemCalls calls{system_open, system_ioctl, system_close};
    if (read && is_media_scenario(text)) {
      read = parse_media_scenario(text, st->media, error);
      std::vector<std::string> devnames;
      std::vector<Camera*> cameras;
      for (MediaNode& node : st->media.nodes) {
        st->nodes.push_back(std::make_unique<Camera>(node.scenario));
        devnames.push_back(node.devname);
        cameras.push_back(st->nodes.back().get());
      }
      st->router = std::make_unique<Router>(&st->media.graph, devnames, cameras, calls);
    } else if (read) {
      Scenario scenario;
      read = parse_scenario(text, scenario, error);
      st->camera = std::make_unique<Camera>(std::move(scenario));
      st->router = std::make_unique<Router>(st->camera.get(),
                                            device != nullptr ? device : "/dev/video0", calls);
    }
    if (!read) {
      std::fprintf(stderr, "camsim: no usable scenario (CAMSIM_SCENARIO): %s\n", error.c_str());
      std::_Exit(125);
    }
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

// Each node's writes are logged as they happen; with several nodes each line names its node.
void log_new_writes(int fd) {
  State* s = state();
  Camera* camera = s->router->camera_of(fd);
  if (camera == nullptr) return;
  const auto& log = camera->write_log();
  // The count of lines already logged is kept per camera: the single camera's, or one per node.
  static std::vector<std::pair<const Camera*, std::size_t>> logged;
  std::size_t* done = nullptr;
  for (auto& [c, n] : logged) {
    if (c == camera) done = &n;
  }
  if (done == nullptr) {
    logged.emplace_back(camera, 0);
    done = &logged.back().second;
  }
  const std::string prefix = s->camera != nullptr ? "" : "path=" + *s->router->path_of(fd) + " ";
  for (; *done < log.size(); ++*done) {
    const Write& w = log[*done];
    char line[240];
    if (w.result == 0) {
      std::snprintf(line, sizeof line,
                    "write %sid=0x%08" PRIx32 " value=%" PRId32 " result=0 returned=%" PRId32 "\n",
                    prefix.c_str(), w.id, w.value, w.returned);
    } else {
      std::snprintf(line, sizeof line, "write %sid=0x%08" PRIx32 " value=%" PRId32 " result=%s\n",
                    prefix.c_str(), w.id, w.value, errno_name(w.result));
    }
    log_line(line);
  }
}

// The program's requests that start and end streaming, so a test can tell the buffers were
// given back, and in which order.
void log_stream_request(unsigned long request, const void* arg, unsigned asked, int error) {
  char line[120];
  const char* result = error == 0 ? "0" : errno_name(error);
  if (request == VIDIOC_REQBUFS) {
    // What the program asked for, and what the driver made of it.
    std::snprintf(line, sizeof line, "stream reqbufs count=%u result=%s buffers=%u\n", asked,
                  result, static_cast<const v4l2_requestbuffers*>(arg)->count);
  } else {
    std::snprintf(line, sizeof line, "stream %s result=%s\n",
                  request == VIDIOC_STREAMON ? "on" : "off", result);
  }
  log_line(line);
}

// One line from the control channel, applied at once.
void run_command(const std::string& line) {
  State* s = state();
  unsigned long id = 0;
  long value = 0;
  char error[16] = {};
  int result = 0;
  char path[128] = {};
  Camera* camera = s->camera.get();
  std::string rest = line;
  // "set path=/dev/v4l-subdev0 id=..." names the node of a media graph.
  if (std::sscanf(line.c_str(), "%*s path=%127s", path) == 1) {
    camera = s->router->camera_at(path);
    const std::size_t at = rest.find(" path=");
    rest.erase(at, rest.find(' ', at + 1) - at);
  }
  if (camera == nullptr && line != "unplug") {
    result = ENODEV;
  } else if (std::sscanf(rest.c_str(), "set id=%lx value=%ld", &id, &value) == 2) {
    result = camera->other_write(static_cast<std::uint32_t>(id), static_cast<std::int32_t>(value));
  } else if (std::sscanf(rest.c_str(), "auto id=%lx value=%ld", &id, &value) == 2) {
    result =
        camera->set_auto_value(static_cast<std::uint32_t>(id), static_cast<std::int32_t>(value))
            ? 0
            : EINVAL;
  } else if (rest == "frame") {
    result = camera->deliver_frame() ? 0 : EAGAIN;
  } else if (rest == "stream other") {
    result = camera->other_stream_on();
  } else if (rest == "stream other off") {
    result = camera->other_stream_off();
  } else if (line == "unplug") {
    s->router->unplug_all();
  } else if (std::sscanf(rest.c_str(), "dequeue error=%15s count=%ld", error, &value) == 2 &&
             errno_from_name(error) != 0) {
    camera->fail_dequeues(errno_from_name(error), static_cast<int>(value));
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

// Only device nodes and sysfs can be the simulation's: every other open goes straight through
// without the scenario being read.
bool may_be_routed(const char* path) {
  return path != nullptr &&
         (std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/sys/", 5) == 0);
}

}  // namespace

int preload_open(const char* path, int flags, unsigned mode, bool large_file) {
  if (!may_be_routed(path) || !state()->router->routes_path(path)) {
    return large_file ? real_open64_fn()(path, flags, mode) : real_open_fn()(path, flags, mode);
  }
  g_state = state();
  const int fd = g_state->router->open(path, flags);
  const char* control = std::getenv("CAMSIM_CONTROL");
  if (fd >= 0 && g_state->router->owns(fd) && control != nullptr && g_state->control_fd < 0) {
    // Open for writing too, so the channel never blocks the open and never reads end-of-file.
    g_state->control_fd = real_open_fn()(control, O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
  }
  return fd;
}

int preload_ioctl(int fd, unsigned long request, void* arg) {
  // Descriptors other than the simulated nodes', the terminal's among them, go straight through.
  State* s = g_state;
  if (s == nullptr || !s->router->owns(fd)) return real_ioctl_fn()(fd, request, arg);
  const unsigned asked =
      request == VIDIOC_REQBUFS ? static_cast<const v4l2_requestbuffers*>(arg)->count : 0;
  const int result = s->router->ioctl(fd, request, arg);
  if (request == VIDIOC_S_CTRL) log_new_writes(fd);
  if (request == VIDIOC_REQBUFS || request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF) {
    log_stream_request(request, arg, asked, result == 0 ? 0 : errno);
  }
  return result;
}

int preload_close(int fd) {
  State* s = g_state;
  if (s == nullptr || !s->router->owns(fd)) return real_close_fn()(fd);
  char line[240];
  // A single node's line keeps its old shape; a media graph's lines name their node.
  const std::string prefix = s->camera != nullptr ? "" : "path=" + *s->router->path_of(fd) + " ";
  if (const Camera* camera = s->router->camera_of(fd)) {
    const RequestCounts& c = camera->counts();
    std::snprintf(line, sizeof line,
                  "requests %squerycap=%ld queryctrl=%ld g_ctrl=%ld querymenu=%ld s_ctrl=%ld "
                  "g_fmt=%ld other=%ld subscribe_event=%ld dqevent=%ld total=%ld\n",
                  prefix.c_str(), c.querycap, c.queryctrl, c.g_ctrl, c.querymenu, c.s_ctrl, c.g_fmt,
                  c.other, c.subscribe_event, c.dqevent, c.total());
  } else {
    const MediaCounts& c = s->router->media_counts();
    std::snprintf(line, sizeof line,
                  "requests %stopology=%ld device_info=%ld other=%ld total=%ld\n", prefix.c_str(),
                  c.topology, c.device_info, c.other, c.total());
  }
  log_line(line);
  std::snprintf(line, sizeof line, "waits %snode=%ld\n", prefix.c_str(), s->router->node_waits());
  log_line(line);
  return s->router->close(fd);
}

int preload_fstat(int fd, struct stat* info) {
  State* s = g_state;
  if (s == nullptr) return 1;
  return s->router->fstat(fd, info);
}

void* preload_map(int fd, std::size_t length, long offset) {
  return g_state->router->map(fd, length, offset);
}

bool preload_unmap(const void* address) {
  State* s = g_state;
  return s != nullptr && s->router->unmap(address);
}

bool preload_owns(int fd) {
  State* s = g_state;
  return s != nullptr && s->router->owns(fd);
}

int preload_wait(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter) {
  State* s = g_state;
  return s->router->poll(fds, count, timeout_ms, waiter,
                         SideChannel{s->control_fd, read_commands, nullptr});
}

}  // namespace camsim
