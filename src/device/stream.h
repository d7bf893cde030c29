// The capture node's picture while the picture view is open: the driver's own buffers, mapped
// once each, going round its queue, and the reader that turns the newest frame into cells.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/frame_luma.h"

namespace camctl {

class Device;

class Stream {
 public:
  // Why there is a picture, or none.
  enum class Status {
    off,
    streaming,
    busy,          // another program holds the capture buffers
    not_drawable,  // a format the readers do not know, or more than one plane
    no_picture,    // the node captures no frames this program can stream
    gone,          // the camera was unplugged
    failed,        // a request failed; error() says how
  };
  // pending: the newest frame is kept, not read, until the terminal can take it.
  enum class Frame { none, drawn, pending, skipped, broken, gone, failed };

  Stream() = default;
  ~Stream() { stop(); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Streams from the node in its current format and size, which it never changes, with as few
  // buffers as the driver allows.
  Status start(Device& device);
  // Ends the stream and frees the buffers, so another program can stream at once. Harmless
  // when nothing streams.
  void stop();
  bool streaming() const { return streaming_; }
  // The descriptor that turns readable when a frame is filled; -1 while nothing streams.
  int descriptor() const;
  // The node's format, once start() has read it.
  std::uint32_t pixelformat() const { return layout_.pixelformat; }
  std::uint32_t planes() const { return planes_; }
  int error() const { return error_; }

  // Takes every filled buffer and hands back all but the newest, the one kept before among
  // them. When `read` holds the newest is read into picture and meter and handed back too;
  // else it stays kept (at most one), so the driver fills the others meanwhile.
  Frame take_frame(bool read, int columns, int rows, LumaPicture& picture, LumaMeter& meter);
  // A frame is kept for when the terminal can take it.
  bool frame_pending() const { return pending_; }

 private:
  // One buffer's request; a multi-planar one points at its one plane.
  struct BufferRequest {
    v4l2_buffer buffer{};
    v4l2_plane plane{};
  };
  struct Mapping {
    void* address = nullptr;
    std::size_t length = 0;
  };
  Status fail(int error);
  Status start_buffers();
  void prepare(BufferRequest& request, std::uint32_t index) const;

  Device* device_ = nullptr;
  std::uint32_t type_ = 0;
  std::uint32_t planes_ = 1;
  bool have_buffers_ = false;
  bool streaming_ = false;
  int error_ = 0;
  FrameLayout layout_;
  std::unique_ptr<FrameReader> reader_;
  std::vector<Mapping> mappings_;
  bool pending_ = false;
  BufferRequest kept_;  // the frame kept while pending_
};

}  // namespace camctl
