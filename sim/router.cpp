// The simulated nodes hold real descriptors on /dev/null, so descriptor numbers and close
// behave as they do for a real device. A media graph's sysfs attributes are real descriptors
// too: a memory file with the attribute's text, and a scratch folder for a parent device.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "sim/router.h"

#include <fcntl.h>
#include <linux/media.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace camsim {
namespace {

template <typename T>
T* user_array(__u64 pointer) {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(pointer));
}

void copy_text(char* field, std::size_t size, const std::string& text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(size - 1, text.size()));
}

std::string uevent(std::uint32_t major, std::uint32_t minor, const std::string& devname) {
  return "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
         "\nDEVNAME=" + devname + "\n";
}

constexpr const char* kCharFolder = "/sys/dev/char/";
constexpr const char* kMediaBus = "/sys/bus/media/devices";

}  // namespace

Router::Router(Camera* camera, std::string path, SystemCalls system) : system_(system) {
  routes_.push_back(Route{std::move(path), camera, 0, 0, -1});
}

Router::Router(const MediaGraph* graph, const std::vector<std::string>& devnames,
               const std::vector<Camera*>& cameras, SystemCalls system)
    : graph_(graph), system_(system) {
  for (std::size_t i = 0; i < devnames.size() && i < cameras.size(); ++i) {
    Route route{"/dev/" + devnames[i], cameras[i], 0, 0, -1};
    for (const GraphInterface& intf : graph->interfaces) {
      if (intf.devname != devnames[i]) continue;
      route.major = intf.major;
      route.minor = intf.minor;
    }
    routes_.push_back(std::move(route));
  }
  routes_.push_back(Route{"/dev/" + graph->devname, nullptr, graph->major, graph->minor, -1});
}

Router::~Router() {
  if (!empty_folder_.empty()) ::rmdir(empty_folder_.c_str());
  if (folder_.empty()) return;
  ::rmdir((folder_ + "/" + graph_->devname).c_str());
  ::rmdir(folder_.c_str());
}

const Router::Route* Router::route_of(int fd) const {
  if (fd < 0) return nullptr;
  for (const Route& route : routes_) {
    if (route.fd == fd) return &route;
  }
  return nullptr;
}

Router::Route* Router::route_of(int fd) {
  return const_cast<Route*>(static_cast<const Router*>(this)->route_of(fd));
}

bool Router::routes_path(const char* path) const {
  if (path == nullptr) return false;
  for (const Route& route : routes_) {
    if (route.path == path) return true;
  }
  return graph_ != nullptr && (std::strncmp(path, kCharFolder, std::strlen(kCharFolder)) == 0 ||
                               std::strncmp(path, kMediaBus, std::strlen(kMediaBus)) == 0);
}

int Router::open(const char* path, int flags) {
  if (path == nullptr) return system_.open(path, flags);
  for (Route& route : routes_) {
    if (route.path != path) continue;
    if (route.camera != nullptr && route.camera->scenario().open_error != 0) {
      errno = route.camera->scenario().open_error;
      return -1;
    }
    const int fd = system_.open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) route.fd = fd;
    return fd;
  }
  if (routes_path(path)) return open_sysfs(path, flags);
  return system_.open(path, flags);
}

int Router::ioctl(int fd, unsigned long request, void* arg) {
  Route* route = route_of(fd);
  if (route == nullptr) return system_.ioctl(fd, request, arg);
  const int error =
      route->camera != nullptr ? route->camera->handle(request, arg) : media_ioctl(request, arg);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

int Router::close(int fd) {
  if (Route* route = route_of(fd)) {
    route->fd = -1;
    // The kernel drops a handle's subscriptions when it closes.
    if (route->camera != nullptr) route->camera->close_handle(0);
  }
  return system_.close(fd);
}

int Router::fstat(int fd, struct stat* info) const {
  const Route* route = route_of(fd);
  if (route == nullptr) return 1;
  std::memset(info, 0, sizeof *info);
  info->st_mode = S_IFCHR | 0660;
  info->st_rdev = makedev(route->major, route->minor);
  return 0;
}

std::vector<int> Router::node_fds() const {
  std::vector<int> fds;
  for (const Route& route : routes_) {
    if (route.fd >= 0) fds.push_back(route.fd);
  }
  return fds;
}

const std::string* Router::path_of(int fd) const {
  const Route* route = route_of(fd);
  return route != nullptr ? &route->path : nullptr;
}

Camera* Router::camera_of(int fd) const {
  const Route* route = route_of(fd);
  return route != nullptr ? route->camera : nullptr;
}

Camera* Router::camera_at(const std::string& path) const {
  for (const Route& route : routes_) {
    if (route.path == path) return route.camera;
  }
  return nullptr;
}

void* Router::map(int fd, std::size_t length, long offset) {
  Camera* camera = camera_of(fd);
  void* address = camera != nullptr ? camera->map(length, offset) : nullptr;
  if (address == nullptr) errno = EINVAL;
  return address;
}

bool Router::unmap(const void* address) {
  for (Route& route : routes_) {
    if (route.camera != nullptr && route.camera->unmap(address)) return true;
  }
  return false;
}

void Router::unplug_all() {
  for (Route& route : routes_) {
    if (route.camera != nullptr) route.camera->fail_everything(ENODEV);
  }
}

// The kernel fills each array only when the caller made room for all of it, and hands nothing
// back when one is short.
int Router::media_ioctl(unsigned long request, void* arg) {
  if (request == MEDIA_IOC_DEVICE_INFO) {
    ++media_counts_.device_info;
    auto* info = static_cast<media_device_info*>(arg);
    std::memset(info, 0, sizeof *info);
    copy_text(info->driver, sizeof info->driver, graph_->driver);
    copy_text(info->model, sizeof info->model, graph_->model);
    copy_text(info->bus_info, sizeof info->bus_info, graph_->bus_info);
    info->media_version = graph_->version;
    info->driver_version = graph_->version;
    return 0;
  }
  if (request != MEDIA_IOC_G_TOPOLOGY) {
    ++media_counts_.other;
    return ENOTTY;
  }
  ++media_counts_.topology;
  auto* t = static_cast<media_v2_topology*>(arg);
  const MediaGraph& g = *graph_;
  if ((t->ptr_entities != 0 && t->num_entities < g.entities.size()) ||
      (t->ptr_interfaces != 0 && t->num_interfaces < g.interfaces.size()) ||
      (t->ptr_pads != 0 && t->num_pads < g.pads.size()) ||
      (t->ptr_links != 0 && t->num_links < g.links.size())) {
    return ENOSPC;
  }
  if (auto* out = user_array<media_v2_entity>(t->ptr_entities)) {
    for (const GraphEntity& e : g.entities) {
      media_v2_entity item{};
      item.id = e.id;
      copy_text(item.name, sizeof item.name, e.name);
      item.function = e.function;
      item.flags = e.flags;
      *out++ = item;
    }
  }
  if (auto* out = user_array<media_v2_interface>(t->ptr_interfaces)) {
    for (const GraphInterface& i : g.interfaces) {
      media_v2_interface item{};
      item.id = i.id;
      item.intf_type = i.type;
      item.flags = i.flags;
      item.devnode.major = i.major;
      item.devnode.minor = i.minor;
      *out++ = item;
    }
  }
  if (auto* out = user_array<media_v2_pad>(t->ptr_pads)) {
    for (const GraphPad& p : g.pads) {
      media_v2_pad item{};
      item.id = p.id;
      item.entity_id = p.entity;
      item.flags = p.flags;
      item.index = p.index;
      *out++ = item;
    }
  }
  if (auto* out = user_array<media_v2_link>(t->ptr_links)) {
    for (const GraphLink& l : g.links) {
      media_v2_link item{};
      item.id = l.id;
      item.source_id = l.source;
      item.sink_id = l.sink;
      item.flags = l.flags;
      *out++ = item;
    }
  }
  t->topology_version = 1;
  t->num_entities = static_cast<__u32>(g.entities.size());
  t->num_interfaces = static_cast<__u32>(g.interfaces.size());
  t->num_pads = static_cast<__u32>(g.pads.size());
  t->num_links = static_cast<__u32>(g.links.size());
  return 0;
}

// /sys/dev/char/MAJ:MIN/{uevent,name}, the parent device's folder /sys/dev/char/MAJ:MIN/device
// with the media device's folder in it, and that one's uevent.
int Router::open_sysfs(const std::string& path, int flags) {
  if (path == kMediaBus) {
    const std::string folder = sysfs_folder(true);
    return folder.empty() ? -1 : system_.open(folder.c_str(), flags);
  }
  if (path == std::string(kMediaBus) + "/" + graph_->devname + "/uevent") {
    return sysfs_text(uevent(graph_->major, graph_->minor, graph_->devname));
  }
  const std::string rest = path.substr(std::min(path.size(), std::strlen(kCharFolder)));
  unsigned major = 0, minor = 0;
  int used = 0;
  if (std::sscanf(rest.c_str(), "%u:%u%n", &major, &minor, &used) == 2) {
    const std::string attribute = rest.substr(static_cast<std::size_t>(used));
    const GraphInterface* node = nullptr;
    for (const GraphInterface& intf : graph_->interfaces) {
      if (intf.major == major && intf.minor == minor) node = &intf;
    }
    const bool media = major == graph_->major && minor == graph_->minor;
    if (attribute == "/uevent" && (node != nullptr || media)) {
      return sysfs_text(uevent(major, minor, media ? graph_->devname : node->devname));
    }
    if (node != nullptr && attribute == "/name") {
      // A node's name is its entity's, which an interface link ties to it.
      for (const GraphLink& link : graph_->links) {
        if (link.source != node->id ||
            (link.flags & MEDIA_LNK_FL_LINK_TYPE) != MEDIA_LNK_FL_INTERFACE_LINK) {
          continue;
        }
        for (const GraphEntity& entity : graph_->entities) {
          if (entity.id == link.sink) return sysfs_text(entity.name + "\n");
        }
      }
    }
    if (node != nullptr && attribute == "/device") {
      const std::string folder = sysfs_folder(graph_->beside_nodes);
      if (folder.empty()) return -1;
      return system_.open(folder.c_str(), flags);
    }
    if (node != nullptr && attribute == "/device/" + graph_->devname + "/uevent") {
      return sysfs_text(uevent(graph_->major, graph_->minor, graph_->devname));
    }
  }
  errno = ENOENT;
  return -1;
}

int Router::sysfs_text(const std::string& text) {
  const int fd = ::memfd_create("camsim-sysfs", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    const int error = errno;
    system_.close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::string Router::sysfs_folder(bool with_media) {
  if (!with_media) {
    if (empty_folder_.empty()) {
      char pattern[] = "/tmp/camsim-sysfs-XXXXXX";
      if (::mkdtemp(pattern) != nullptr) empty_folder_ = pattern;
    }
    return empty_folder_;
  }
  if (!folder_.empty()) return folder_;
  char pattern[] = "/tmp/camsim-sysfs-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return {};
  const std::string media = std::string(pattern) + "/" + graph_->devname;
  if (::mkdir(media.c_str(), 0700) != 0) {
    ::rmdir(pattern);
    return {};
  }
  folder_ = pattern;
  return folder_;
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
  // The caller's set with the simulated nodes left out (a negative descriptor is skipped: the
  // /dev/null behind each would always be ready), then the side channel.
  std::vector<pollfd> others(fds, fds + count);
  for (pollfd& p : others) {
    if (owns(p.fd)) p.fd = -1;
  }
  if (side.fd >= 0) others.push_back(pollfd{side.fd, POLLIN, 0});
  for (;;) {
    int sim_ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
      const Route* route = route_of(fds[i].fd);
      if (route == nullptr) continue;
      const short events = route->camera != nullptr ? route->camera->poll_events(0) : 0;
      // POLLERR and POLLHUP are reported whether asked for or not.
      fds[i].revents = static_cast<short>(events & (fds[i].events | POLLERR | POLLHUP));
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
    // The command channel is read also when a node already answers: a node that keeps
    // answering (a fault of its event queue) must not keep the command that ends it waiting.
    const int n = waiter.wait(others.data(), others.size(), wait_ms);
    if (n < 0) {
      if (sim_ready != 0) break;  // what the nodes have to say stands
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
