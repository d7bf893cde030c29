// The simulated node holds a real descriptor on /dev/null, so descriptor numbers and close
// behave as they do for a real device.
#include "sim/router.h"

#include <fcntl.h>

#include <cerrno>

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
  if (owns(fd)) sim_fd_ = -1;
  return system_.close(fd);
}

}  // namespace camsim
