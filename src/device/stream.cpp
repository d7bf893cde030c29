// Streaming from the capture node: the current format, memory-mapped buffers, the queue, and
// everything given back on the way out.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/stream.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>

#include "device/device.h"
#include "device/sys_ops.h"

namespace camctl {
namespace {

bool is_multiplanar(std::uint32_t type) {
  return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

}  // namespace

Stream::Status Stream::fail(int error) {
  error_ = error;
  stop();
  if (error == ENODEV) return Status::gone;
  if (error == EBUSY) return Status::busy;
  return Status::failed;
}

Stream::Status Stream::start(Device& device) {
  stop();
  device_ = &device;
  error_ = 0;
  layout_ = FrameLayout{};
  planes_ = 1;
  v4l2_capability cap{};
  if (const int error = device.query_capabilities(cap); error != 0) return fail(error);
  const std::uint32_t caps =
      (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
  if ((caps & V4L2_CAP_STREAMING) == 0) return Status::no_picture;
  if ((caps & V4L2_CAP_VIDEO_CAPTURE) != 0) {
    type_ = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  } else if ((caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) != 0) {
    type_ = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
  } else {
    return Status::no_picture;
  }
  // The format the camera has now: another program (or the board's own application) chose it,
  // and it must find it unchanged.
  v4l2_format format{};
  format.type = type_;
  if (const int error = device.get_capture_format(format); error != 0) return fail(error);
  if (is_multiplanar(type_)) {
    const v4l2_pix_format_mplane& pix = format.fmt.pix_mp;
    layout_ = FrameLayout{pix.pixelformat, pix.width, pix.height, pix.plane_fmt[0].bytesperline,
                          pix.plane_fmt[0].sizeimage};
    planes_ = pix.num_planes;
    // Planes in separate buffers would each need a mapping and a reader that joins them.
    if (planes_ != 1) return Status::not_drawable;
  } else {
    const v4l2_pix_format& pix = format.fmt.pix;
    layout_ = FrameLayout{pix.pixelformat, pix.width, pix.height, pix.bytesperline, pix.sizeimage};
  }
  reader_ = std::make_unique<FrameReader>(layout_);
  if (!reader_->supported()) {
    reader_.reset();
    return Status::not_drawable;
  }
  return start_buffers();
}

void Stream::prepare(BufferRequest& request, std::uint32_t index) const {
  request = BufferRequest{};
  request.buffer.type = type_;
  request.buffer.memory = V4L2_MEMORY_MMAP;
  request.buffer.index = index;
  if (is_multiplanar(type_)) {
    request.buffer.m.planes = &request.plane;
    request.buffer.length = 1;
  }
}

Stream::Status Stream::start_buffers() {
  // One buffer asked for: the driver raises the count to the fewest it can stream with.
  v4l2_requestbuffers buffers{};
  buffers.count = 1;
  buffers.type = type_;
  buffers.memory = V4L2_MEMORY_MMAP;
  if (const int error = device_->request_buffers(buffers); error != 0) return fail(error);
  have_buffers_ = true;
  if (buffers.count == 0) return fail(ENOMEM);
  for (std::uint32_t index = 0; index < buffers.count; ++index) {
    BufferRequest request;
    prepare(request, index);
    if (const int error = device_->query_buffer(request.buffer); error != 0) return fail(error);
    const bool planar = is_multiplanar(type_);
    const std::size_t length = planar ? request.plane.length : request.buffer.length;
    const auto offset =
        static_cast<off_t>(planar ? request.plane.m.mem_offset : request.buffer.m.offset);
    void* address = sys_ops().mmap(length, device_->descriptor(), offset);
    if (address == MAP_FAILED) return fail(errno);
    mappings_.push_back(Mapping{address, length});
  }
  for (std::uint32_t index = 0; index < buffers.count; ++index) {
    BufferRequest request;
    prepare(request, index);
    if (const int error = device_->queue_buffer(request.buffer); error != 0) return fail(error);
  }
  if (const int error = device_->stream_on(type_); error != 0) return fail(error);
  streaming_ = true;
  return Status::streaming;
}

void Stream::stop() {
  if (device_ == nullptr) return;
  // Each step is taken whatever the one before answered: on an unplugged camera they all fail,
  // and what the program holds is given back as far as it can be.
  if (streaming_) device_->stream_off(type_);
  streaming_ = false;
  pending_ = false;  // STREAMOFF took back the kept buffer with the rest
  for (const Mapping& mapping : mappings_) sys_ops().munmap(mapping.address, mapping.length);
  mappings_.clear();
  if (have_buffers_) {
    // Only unmapped buffers can be freed, so this comes last.
    v4l2_requestbuffers none{};
    none.type = type_;
    none.memory = V4L2_MEMORY_MMAP;
    device_->request_buffers(none);
    have_buffers_ = false;
  }
  reader_.reset();
}

int Stream::descriptor() const {
  return streaming_ ? device_->descriptor() : -1;
}

Stream::Frame Stream::take_frame(bool read, int columns, int rows, LumaPicture& picture,
                                 LumaMeter& meter) {
  if (!streaming_) return Frame::none;
  // Every filled buffer is taken: only the newest is worth drawing, and the older ones go
  // straight back to the driver, the one kept from before among them.
  BufferRequest newest;
  bool have = pending_;
  if (pending_) {
    newest = kept_;
    if (is_multiplanar(type_)) newest.buffer.m.planes = &newest.plane;
    pending_ = false;
  }
  for (;;) {
    BufferRequest request;
    prepare(request, 0);
    const int error = device_->dequeue_buffer(request.buffer);
    if (error == EAGAIN) break;
    if (error != 0) {
      error_ = error;
      return error == ENODEV ? Frame::gone : Frame::failed;
    }
    if (have) {
      BufferRequest back;
      prepare(back, newest.buffer.index);
      if (const int failed = device_->queue_buffer(back.buffer); failed != 0) {
        error_ = failed;
        return failed == ENODEV ? Frame::gone : Frame::failed;
      }
    }
    newest = request;
    if (is_multiplanar(type_)) newest.buffer.m.planes = &newest.plane;
    have = true;
  }
  if (!have) return Frame::none;
  if (!read) {
    kept_ = newest;
    if (is_multiplanar(type_)) kept_.buffer.m.planes = &kept_.plane;
    pending_ = true;
    return Frame::pending;
  }
  Frame frame = Frame::skipped;
  const std::uint32_t index = newest.buffer.index;
  if (index < mappings_.size() && (newest.buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
    const bool planar = is_multiplanar(type_);
    std::size_t used = planar ? newest.plane.bytesused : newest.buffer.bytesused;
    std::size_t offset = planar ? newest.plane.data_offset : 0;
    const Mapping& mapping = mappings_[index];
    used = std::min(used, mapping.length);
    offset = std::min(offset, used);
    const auto* bytes = static_cast<const std::uint8_t*>(mapping.address) + offset;
    const FrameRead result = reader_->read(bytes, used - offset, columns, rows, picture, meter);
    frame = result == FrameRead::ok ? Frame::drawn : Frame::broken;
  }
  BufferRequest back;
  prepare(back, index);
  if (const int error = device_->queue_buffer(back.buffer); error != 0) {
    error_ = error;
    return error == ENODEV ? Frame::gone : Frame::failed;
  }
  return frame;
}

}  // namespace camctl
