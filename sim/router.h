// Routes open/ioctl/close/poll/fstat of the simulated nodes to their simulated cameras, and the
// media device and sysfs of a simulated media graph; shared by both seams.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>
#include <sys/stat.h>

#include <string>
#include <vector>

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

// A descriptor waited on beside the caller's while the simulated nodes have nothing to say, and
// what to do when it becomes readable (another program acting on the camera).
struct SideChannel {
  int fd = -1;
  void (*on_readable)(void* context) = nullptr;
  void* context = nullptr;
};

// The requests made on a simulated media device's node.
struct MediaCounts {
  long topology = 0, device_info = 0, other = 0;
  long total() const { return topology + device_info + other; }
};

class Router {
 public:
  // One simulated node at path.
  Router(Camera* camera, std::string path, SystemCalls system);
  // Every node of a media graph at /dev/DEVNAME (cameras[i] for graph_nodes[i]), the media
  // device's node, and the sysfs attributes the graph implies.
  Router(const MediaGraph* graph, const std::vector<std::string>& devnames,
         const std::vector<Camera*>& cameras, SystemCalls system);
  ~Router();
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;

  // Whether open(path) reaches the simulation (a node, or the graph's sysfs).
  bool routes_path(const char* path) const;
  int open(const char* path, int flags);
  int ioctl(int fd, unsigned long request, void* arg);
  int close(int fd);
  // A node's device number, as fstat(2) gives it; other descriptors go to the system's fstat.
  // Returns 1 when fd is no simulated node, else 0.
  int fstat(int fd, struct stat* info) const;
  bool owns(int fd) const { return route_of(fd) != nullptr; }
  // mmap(2) of a simulated node: the buffer at offset, or nullptr (errno EINVAL) when there is
  // none there. unmap says whether the address was a buffer's, leaving others to the system.
  void* map(int fd, std::size_t length, long offset);
  bool unmap(const void* address);
  // How often the program waited with a simulated node in its set: a program that keeps waiting
  // on an unplugged node spins, and this count shows it.
  long node_waits() const { return node_waits_; }
  // The descriptors of the nodes open now.
  std::vector<int> node_fds() const;
  // The node's path and camera by descriptor; nullptr for the media node and unknown ones.
  const std::string* path_of(int fd) const;
  Camera* camera_of(int fd) const;
  Camera* camera_at(const std::string& path) const;
  const MediaCounts& media_counts() const { return media_counts_; }
  // Every simulated node is gone from now on, as after an unbind of the driver.
  void unplug_all();
  // poll(2) with the simulated nodes answering for themselves (POLLPRI for events,
  // POLLERR|POLLHUP once unplugged) and every other descriptor left to the system. Returns -1
  // with errno set as poll does.
  int poll(pollfd* fds, nfds_t count, int timeout_ms, Waiter& waiter, const SideChannel& side = {});
  // Whether the set holds a simulated node: otherwise the caller waits by itself.
  bool in_set(const pollfd* fds, nfds_t count) const;

 private:
  struct Route {
    std::string path;
    Camera* camera = nullptr;  // nullptr: the media device's node
    std::uint32_t major = 0, minor = 0;
    int fd = -1;
  };
  const Route* route_of(int fd) const;
  Route* route_of(int fd);
  int media_ioctl(unsigned long request, void* arg);
  int open_sysfs(const std::string& path, int flags);
  int sysfs_text(const std::string& text);
  // A scratch folder that holds the media device's folder, or an empty one.
  std::string sysfs_folder(bool with_media);

  std::vector<Route> routes_;
  const MediaGraph* graph_ = nullptr;
  SystemCalls system_;
  long node_waits_ = 0;
  MediaCounts media_counts_;
  std::string folder_;  // the scratch folder that stands for a node's parent device in sysfs
  std::string empty_folder_;
};

}  // namespace camsim
