// The capture device: open, capability check and the requests, each reported as an errno value.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/device.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "device/sys_ops.h"

namespace camctl {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) sys_ops().close(fd_);
  fd_ = fd;
}

int Device::open(const char* path) {
  const int fd = sys_ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  fd_.reset(fd);
  return 0;
}

// The only place that talks to the driver. A signal may interrupt a request before the
// driver acted on it, so EINTR alone is worth asking again.
int Device::request(unsigned long code, void* arg) {
  if (!fd_.valid()) return EBADF;
  for (;;) {
    if (sys_ops().ioctl(fd_.get(), code, arg) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int Device::query_capabilities(v4l2_capability& cap) {
  return request(VIDIOC_QUERYCAP, &cap);
}
int Device::query_control(v4l2_queryctrl& query) {
  return request(VIDIOC_QUERYCTRL, &query);
}
int Device::get_control(v4l2_control& control) {
  return request(VIDIOC_G_CTRL, &control);
}
int Device::set_control(v4l2_control& control) {
  return request(VIDIOC_S_CTRL, &control);
}
int Device::query_menu(v4l2_querymenu& item) {
  return request(VIDIOC_QUERYMENU, &item);
}
int Device::get_capture_format(v4l2_format& format) {
  return request(VIDIOC_G_FMT, &format);
}
int Device::subscribe_control_events(std::uint32_t id, std::uint32_t flags) {
  v4l2_event_subscription subscription{};
  subscription.type = V4L2_EVENT_CTRL;
  subscription.id = id;
  subscription.flags = flags;
  return request(VIDIOC_SUBSCRIBE_EVENT, &subscription);
}
int Device::dequeue_event(v4l2_event& event) {
  return request(VIDIOC_DQEVENT, &event);
}

namespace {

// The driver's fixed-size text fields need not end in a zero byte.
int bounded_length(const __u8* text, std::size_t size) {
  return static_cast<int>(strnlen(reinterpret_cast<const char*>(text), size));
}

}  // namespace

bool open_capture_device(Device& device, const char* path, std::FILE* out) {
  if (const int error = device.open(path); error != 0) {
    std::fprintf(out, "ERROR: Device open failed: %s (%d)\n", std::strerror(error), error);
    return false;
  }
  v4l2_capability cap{};
  if (const int error = device.query_capabilities(cap); error != 0) {
    std::fprintf(out, "ERROR: VIDIOC_QUERYCAP failed: %s (%d)\n", std::strerror(error), error);
    device.close();
    return false;
  }
  // The capabilities of the whole device decide, not those of this node: a multi-function
  // device may reach its capture side through this node all the same.
  if ((cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
    std::fprintf(out, "ERROR: %s is no video capture device\n", path);
    device.close();
    return false;
  }
  std::fprintf(out, "INFO: Device is %.*s on bus %.*s\n", bounded_length(cap.card, sizeof cap.card),
               reinterpret_cast<const char*>(cap.card),
               bounded_length(cap.bus_info, sizeof cap.bus_info),
               reinterpret_cast<const char*>(cap.bus_info));
  return true;
}

}  // namespace camctl
