// The nodes' requests, each reported as an errno value.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/device.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

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
int Device::query_subdevice_capabilities(v4l2_subdev_capability& cap) {
  return request(VIDIOC_SUBDEV_QUERYCAP, &cap);
}
int Device::read_topology(media_v2_topology& topology) {
  return request(MEDIA_IOC_G_TOPOLOGY, &topology);
}
int Device::device_number(dev_t& number) const {
  if (!fd_.valid()) return EBADF;
  struct stat info {};
  if (sys_ops().fstat(fd_.get(), &info) != 0) return errno;
  if (!S_ISCHR(info.st_mode)) return ENODEV;
  number = info.st_rdev;
  return 0;
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
int Device::request_buffers(v4l2_requestbuffers& buffers) {
  return request(VIDIOC_REQBUFS, &buffers);
}
int Device::query_buffer(v4l2_buffer& buffer) {
  return request(VIDIOC_QUERYBUF, &buffer);
}
int Device::queue_buffer(v4l2_buffer& buffer) {
  return request(VIDIOC_QBUF, &buffer);
}
int Device::dequeue_buffer(v4l2_buffer& buffer) {
  return request(VIDIOC_DQBUF, &buffer);
}
int Device::stream_on(std::uint32_t type) {
  int value = static_cast<int>(type);
  return request(VIDIOC_STREAMON, &value);
}
int Device::stream_off(std::uint32_t type) {
  int value = static_cast<int>(type);
  return request(VIDIOC_STREAMOFF, &value);
}

}  // namespace camctl
