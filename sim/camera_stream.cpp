// The simulated camera's streaming, as videobuf2 does it for a capture node: one queue per
// node owned by the handle that asked for buffers, memory-mapped buffers, and frames filled on
// demand with a test picture whose level follows the Brightness control.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/camera.h"

namespace camsim {
namespace {

// The fewest buffers the simulated driver streams with; a request for fewer gets these.
constexpr std::uint32_t kMinBuffers = 2;
constexpr std::uint32_t kMaxBuffers = 8;
// Where a buffer's mapping starts, as QUERYBUF reports it: a page per buffer index.
constexpr long kOffsetStep = 0x1000;

bool compressed(std::uint32_t pixelformat) {
  return pixelformat == V4L2_PIX_FMT_MJPEG || pixelformat == V4L2_PIX_FMT_JPEG ||
         pixelformat == V4L2_PIX_FMT_H264;
}

bool multiplanar(std::uint32_t type) {
  return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

}  // namespace

std::uint32_t bytes_per_line(std::uint32_t pixelformat, std::uint32_t width) {
  if (compressed(pixelformat)) return 0;
  return pixelformat == V4L2_PIX_FMT_GREY ? width : 2 * width;
}

std::uint32_t image_size(std::uint32_t pixelformat, std::uint32_t width, std::uint32_t height) {
  if (compressed(pixelformat)) return width * height / 2;
  return bytes_per_line(pixelformat, width) * height;
}

const Format* Camera::stream_format() const {
  for (const Format& format : scenario_.formats) {
    if (format.error == 0 && (format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE ||
                              format.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)) {
      return &format;
    }
  }
  return nullptr;
}

void Camera::free_buffers() {
  queue_ = Queue{};
}

int Camera::request_buffers(int handle, void* arg) {
  auto* request = static_cast<v4l2_requestbuffers*>(arg);
  const Format* format = stream_format();
  if (format == nullptr || request->type != format->type) return EINVAL;
  if (request->memory != V4L2_MEMORY_MMAP) return EINVAL;
  if (queue_.owner >= 0 && queue_.owner != handle) return EBUSY;
  if (request->count == 0) {
    // Mapped buffers cannot be freed: their memory is still the program's.
    for (const Buffer& buffer : queue_.buffers) {
      if (buffer.mapped) return EBUSY;
    }
    free_buffers();
    return 0;
  }
  if (queue_.streaming) return EBUSY;
  request->count = std::clamp(request->count, kMinBuffers, kMaxBuffers);
  request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
  free_buffers();
  queue_.owner = handle;
  queue_.type = format->type;
  const std::uint32_t size = image_size(format->pixelformat, format->width, format->height);
  queue_.buffers.resize(request->count);
  for (Buffer& buffer : queue_.buffers) buffer.memory.assign(std::max(size, 1U), 0);
  return 0;
}

int Camera::query_buffer(int handle, void* arg) {
  auto* b = static_cast<v4l2_buffer*>(arg);
  if (queue_.owner != handle || b->type != queue_.type) return EINVAL;
  if (b->index >= queue_.buffers.size()) return EINVAL;
  const Buffer& buffer = queue_.buffers[b->index];
  const auto length = static_cast<std::uint32_t>(buffer.memory.size());
  const auto offset = static_cast<std::uint32_t>(b->index * kOffsetStep);
  b->memory = V4L2_MEMORY_MMAP;
  b->flags =
      (buffer.mapped ? V4L2_BUF_FLAG_MAPPED : 0U) | (buffer.queued ? V4L2_BUF_FLAG_QUEUED : 0U);
  if (multiplanar(queue_.type)) {
    if (b->length < 1 || b->m.planes == nullptr) return EINVAL;
    b->length = 1;
    b->m.planes[0].length = length;
    b->m.planes[0].m.mem_offset = offset;
  } else {
    b->length = length;
    b->m.offset = offset;
  }
  return 0;
}

int Camera::queue_buffer(int handle, void* arg) {
  auto* b = static_cast<v4l2_buffer*>(arg);
  if (queue_.owner >= 0 && queue_.owner != handle) return EBUSY;
  if (queue_.owner != handle || b->type != queue_.type || b->memory != V4L2_MEMORY_MMAP) {
    return EINVAL;
  }
  if (b->index >= queue_.buffers.size()) return EINVAL;
  Buffer& buffer = queue_.buffers[b->index];
  const bool filled =
      std::find(queue_.filled.begin(), queue_.filled.end(), b->index) != queue_.filled.end();
  if (buffer.queued || filled) return EINVAL;
  buffer.queued = true;
  return 0;
}

int Camera::dequeue_buffer(int handle, void* arg) {
  auto* b = static_cast<v4l2_buffer*>(arg);
  if (queue_.owner >= 0 && queue_.owner != handle) return EBUSY;
  if (queue_.owner != handle || b->type != queue_.type) return EINVAL;
  if (!queue_.streaming) return EINVAL;
  if (queue_.filled.empty()) return EAGAIN;
  const std::uint32_t index = queue_.filled.front();
  queue_.filled.erase(queue_.filled.begin());
  const Buffer& buffer = queue_.buffers[index];
  b->index = index;
  b->memory = V4L2_MEMORY_MMAP;
  b->flags = buffer.mapped ? V4L2_BUF_FLAG_MAPPED : 0U;
  b->field = V4L2_FIELD_NONE;
  b->sequence = buffer.sequence;
  if (multiplanar(queue_.type)) {
    if (b->length < 1 || b->m.planes == nullptr) return EINVAL;
    b->m.planes[0].bytesused = buffer.bytesused;
    b->m.planes[0].data_offset = 0;
  } else {
    b->bytesused = buffer.bytesused;
  }
  return 0;
}

int Camera::stream_on(int handle, void* arg) {
  const auto type = static_cast<std::uint32_t>(*static_cast<const int*>(arg));
  if (queue_.owner >= 0 && queue_.owner != handle) return EBUSY;
  if (queue_.owner != handle || type != queue_.type || queue_.buffers.empty()) return EINVAL;
  queue_.streaming = true;
  return 0;
}

int Camera::stream_off(int handle, void* arg) {
  const auto type = static_cast<std::uint32_t>(*static_cast<const int*>(arg));
  if (queue_.owner >= 0 && queue_.owner != handle) return EBUSY;
  if (queue_.owner != handle || type != queue_.type) return EINVAL;
  // Every buffer comes back to the program, filled or not.
  queue_.streaming = false;
  queue_.filled.clear();
  for (Buffer& buffer : queue_.buffers) buffer.queued = false;
  return 0;
}

void* Camera::map(std::size_t length, long offset) {
  if (queue_.owner < 0 || offset < 0 || offset % kOffsetStep != 0) return nullptr;
  const auto index = static_cast<std::size_t>(offset / kOffsetStep);
  if (index >= queue_.buffers.size()) return nullptr;
  Buffer& buffer = queue_.buffers[index];
  if (length == 0 || length > buffer.memory.size()) return nullptr;
  buffer.mapped = true;
  return buffer.memory.data();
}

bool Camera::unmap(const void* address) {
  for (Buffer& buffer : queue_.buffers) {
    if (buffer.memory.data() != address) continue;
    buffer.mapped = false;
    return true;
  }
  return false;
}

bool Camera::deliver_frame() {
  if (fail_all_ != 0 || !queue_.streaming) return false;
  for (std::uint32_t index = 0; index < queue_.buffers.size(); ++index) {
    Buffer& buffer = queue_.buffers[index];
    if (!buffer.queued) continue;
    paint(buffer);
    buffer.queued = false;
    buffer.sequence = queue_.sequence++;
    queue_.filled.push_back(index);
    return true;
  }
  return false;
}

void Camera::paint(Buffer& buffer) const {
  const Format* format = stream_format();
  buffer.bytesused = static_cast<std::uint32_t>(buffer.memory.size());
  if (format == nullptr || compressed(format->pixelformat)) return;
  // A gradient from left to right over video levels, moved up or down by Brightness as far as
  // its value stands from its default, scaled to its range.
  int offset = 0;
  if (const Control* brightness = control(V4L2_CID_BRIGHTNESS)) {
    const long range = static_cast<long>(brightness->maximum) - brightness->minimum + 1;
    offset = static_cast<int>((static_cast<long>(brightness->value) - brightness->default_value) *
                              256 / std::max(range, 1L));
  }
  const std::uint32_t width = std::max(format->width, 1U);
  const std::uint32_t line = bytes_per_line(format->pixelformat, width);
  const bool grey = format->pixelformat == V4L2_PIX_FMT_GREY;
  for (std::uint32_t y = 0; y < format->height; ++y) {
    std::uint8_t* row = buffer.memory.data() + static_cast<std::size_t>(y) * line;
    for (std::uint32_t x = 0; x < width; ++x) {
      const int level = std::clamp(16 + static_cast<int>(x * 219 / width) + offset, 0, 255);
      if (grey) {
        row[x] = static_cast<std::uint8_t>(level);
      } else {
        // Packed 4:2:2 (YUYV): luma in even bytes, neutral chroma between.
        row[2 * static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(level);
        row[2 * static_cast<std::size_t>(x) + 1] = 128;
      }
    }
  }
}

int Camera::other_stream_on() {
  if (other_handle_ < 0) other_handle_ = open_handle();
  const Format* format = stream_format();
  if (format == nullptr) return EINVAL;
  v4l2_requestbuffers request{};
  request.count = kMinBuffers;
  request.type = format->type;
  request.memory = V4L2_MEMORY_MMAP;
  if (const int error = handle_on(other_handle_, VIDIOC_REQBUFS, &request); error != 0) {
    return error;
  }
  for (std::uint32_t index = 0; index < request.count; ++index) {
    v4l2_plane plane{};
    v4l2_buffer buffer{};
    buffer.type = format->type;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    buffer.length = 1;
    if (multiplanar(format->type)) buffer.m.planes = &plane;
    if (const int error = handle_on(other_handle_, VIDIOC_QBUF, &buffer); error != 0) return error;
  }
  int type = static_cast<int>(format->type);
  return handle_on(other_handle_, VIDIOC_STREAMON, &type);
}

int Camera::other_stream_off() {
  if (other_handle_ < 0 || queue_.owner != other_handle_) return EINVAL;
  int type = static_cast<int>(queue_.type);
  if (const int error = handle_on(other_handle_, VIDIOC_STREAMOFF, &type); error != 0) {
    return error;
  }
  v4l2_requestbuffers request{};
  request.type = queue_.type;
  request.memory = V4L2_MEMORY_MMAP;
  return handle_on(other_handle_, VIDIOC_REQBUFS, &request);
}

}  // namespace camsim
