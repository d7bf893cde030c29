// Routes open/ioctl/close of one device path to a simulated camera; shared by both seams.
#pragma once

#include <string>

#include "sim/camera.h"

namespace camsim {

struct SystemCalls {
  int (*open)(const char* path, int flags);
  int (*ioctl)(int fd, unsigned long request, void* arg);
  int (*close)(int fd);
};

class Router {
 public:
  Router(Camera* camera, std::string path, SystemCalls system) noexcept
      : camera_(camera), path_(std::move(path)), system_(system) {}

  int open(const char* path, int flags);
  int ioctl(int fd, unsigned long request, void* arg);
  int close(int fd);
  bool owns(int fd) const { return fd >= 0 && fd == sim_fd_; }

 private:
  Camera* camera_;
  std::string path_;
  SystemCalls system_;
  int sim_fd_ = -1;
};

}  // namespace camsim
