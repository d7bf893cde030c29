// Reads a captured frame's luminance at one sample point per terminal cell, and meters it.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace camctl {

struct FrameLayout {              // from VIDIOC_G_FMT (single-planar v4l2_pix_format)
  std::uint32_t pixelformat = 0;  // V4L2_PIX_FMT_*
  std::uint32_t width = 0, height = 0;
  std::uint32_t bytesperline = 0;  // of the first (or only) plane
  std::uint32_t sizeimage = 0;
};

struct LumaPicture {  // columns x rows cells, row-major, luminance 0..255 each
  int columns = 0, rows = 0;
  std::vector<std::uint8_t> cells;
};

inline constexpr int kHistogramBins = 16;

struct LumaMeter {
  int mean_percent = 0;    // mean luminance of the samples, 0..100, rounded
  int dark_percent = 0;    // share of samples at or below 2 % (luma <= 5), rounded
  int bright_percent = 0;  // share at or above 98 % (luma >= 250), rounded
  std::array<std::uint32_t, kHistogramBins> histogram{};  // sample counts, bin = luma * 16 / 256
};

enum class FrameRead { ok, unsupported_format, short_frame, undecodable };

// Names a fourcc as the driver's four characters ("YUYV", "BA81"), with unprintable bytes as '?'.
std::string fourcc_text(std::uint32_t pixelformat);

// One reader per streaming session: holds the JPEG decoder between frames.
class FrameReader {
 public:
  explicit FrameReader(const FrameLayout& layout);
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;
  bool supported() const;  // false: the view names the format and draws nothing
  // Samples `bytesused` bytes of one frame into columns x rows cells (columns, rows >= 1) and
  // meters the samples. Reads only the bytes of the sampled pixels (MJPEG: decodes at the smallest
  // scale). Never reads past `bytesused` or past what the layout says; a short or broken frame is
  // reported, never a crash.
  FrameRead read(const std::uint8_t* frame, std::size_t bytesused, int columns, int rows,
                 LumaPicture& picture, LumaMeter& meter);

 private:
  struct State;
  FrameLayout layout_;
  std::unique_ptr<State> state_;
};

}  // namespace camctl
