// One open node of the camera (a capture node, a subdevice, a media device) and the requests the
// program makes on it.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "device/unique_fd.h"

namespace camctl {

// Every request returns 0 on success or the errno value of its failure; none prints.
class Device {
 public:
  // Opens the node read-write and non-blocking.
  int open(const char* path);
  void close() { fd_.reset(); }
  bool is_open() const { return fd_.valid(); }

  int query_capabilities(v4l2_capability& cap);
  // A subdevice node answers this instead of VIDIOC_QUERYCAP.
  int query_subdevice_capabilities(v4l2_subdev_capability& cap);
  // The whole graph of a media device's node: entities, interfaces, pads and links.
  int read_topology(media_v2_topology& topology);
  // The node's device number (major and minor), which names its interface in a media graph.
  int device_number(dev_t& number) const;
  int query_control(v4l2_queryctrl& query);
  int get_control(v4l2_control& control);
  // On success the driver leaves the value it actually stored in control.value.
  int set_control(v4l2_control& control);
  int query_menu(v4l2_querymenu& item);
  int get_capture_format(v4l2_format& format);
  // Asks for V4L2_EVENT_CTRL events of one control: changes of its value, flags or range made
  // by the driver, by any other open handle and, with V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK in
  // flags, by this handle's own writes.
  int subscribe_control_events(std::uint32_t id, std::uint32_t flags);
  // The oldest pending event; ENOENT when none is pending.
  int dequeue_event(v4l2_event& event);
  // Capture buffers: their count (0 frees them), where each lies, and the queue they go round.
  int request_buffers(v4l2_requestbuffers& request);
  int query_buffer(v4l2_buffer& buffer);
  int queue_buffer(v4l2_buffer& buffer);
  // The oldest filled buffer; EAGAIN when none is filled yet.
  int dequeue_buffer(v4l2_buffer& buffer);
  int stream_on(std::uint32_t type);
  int stream_off(std::uint32_t type);
  // The descriptor to wait on for POLLPRI (events pending) or POLLERR (the device is gone).
  int descriptor() const { return fd_.get(); }

 private:
  int request(unsigned long code, void* arg);

  UniqueFd fd_;
};

}  // namespace camctl
