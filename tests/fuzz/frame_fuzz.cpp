// Fuzz target for the frame readers: any format, any layout, any bytes. A read stays inside the
// frame's bytes (the address checks catch a read past them) and a picture it calls whole is.
// Input: format index (1 byte), width, height, bytesperline (16 bits each, little-endian),
// columns, rows (1 byte each), then the frame.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <linux/videodev2.h>

#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "device/frame_luma.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Every format read, and one that is not.
constexpr std::uint32_t kFourccs[] = {
    V4L2_PIX_FMT_YUYV,    V4L2_PIX_FMT_UYVY,    V4L2_PIX_FMT_YVYU,     V4L2_PIX_FMT_VYUY,
    V4L2_PIX_FMT_NV12,    V4L2_PIX_FMT_NV21,    V4L2_PIX_FMT_NV16,     V4L2_PIX_FMT_NV61,
    V4L2_PIX_FMT_YUV420,  V4L2_PIX_FMT_YVU420,  V4L2_PIX_FMT_GREY,     V4L2_PIX_FMT_Y10,
    V4L2_PIX_FMT_Y12,     V4L2_PIX_FMT_Y16,     V4L2_PIX_FMT_RGB24,    V4L2_PIX_FMT_BGR24,
    V4L2_PIX_FMT_RGB32,   V4L2_PIX_FMT_BGR32,   V4L2_PIX_FMT_XRGB32,   V4L2_PIX_FMT_XBGR32,
    V4L2_PIX_FMT_ARGB32,  V4L2_PIX_FMT_ABGR32,  V4L2_PIX_FMT_RGBA32,   V4L2_PIX_FMT_RGBX32,
    V4L2_PIX_FMT_BGRA32,  V4L2_PIX_FMT_BGRX32,  V4L2_PIX_FMT_RGB565,   V4L2_PIX_FMT_SBGGR8,
    V4L2_PIX_FMT_SGBRG8,  V4L2_PIX_FMT_SGRBG8,  V4L2_PIX_FMT_SRGGB8,   V4L2_PIX_FMT_SBGGR10,
    V4L2_PIX_FMT_SGBRG12, V4L2_PIX_FMT_SGRBG16, V4L2_PIX_FMT_SRGGB10P, V4L2_PIX_FMT_SBGGR10P,
    V4L2_PIX_FMT_MJPEG,   V4L2_PIX_FMT_JPEG,    V4L2_PIX_FMT_H264,
};
constexpr std::size_t kHeader = 9;

unsigned le16(const std::uint8_t* p) {
  return p[0] | static_cast<unsigned>(p[1]) << 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  camctl::FrameLayout layout;
  layout.pixelformat = kFourccs[data[0] % std::size(kFourccs)];
  layout.width = le16(data + 1);
  layout.height = le16(data + 3);
  layout.bytesperline = le16(data + 5);
  layout.sizeimage = static_cast<std::uint32_t>(size - kHeader);
  const int columns = data[7], rows = data[8];
  // The frame in a buffer of its own size, so a read one byte past it is caught.
  const std::vector<std::uint8_t> frame(data + kHeader, data + size);

  camctl::FrameReader reader(layout);
  camctl::LumaPicture picture;
  camctl::LumaMeter meter;
  // Twice: the second read reuses what the first left in the reader.
  for (int round = 0; round < 2; ++round) {
    const camctl::FrameRead result =
        reader.read(frame.data(), frame.size(), columns, rows, picture, meter);
    check(reader.supported() || result == camctl::FrameRead::unsupported_format);
    if (result != camctl::FrameRead::ok || columns < 1 || rows < 1) continue;
    check(picture.columns == columns && picture.rows == rows);
    check(picture.cells.size() == static_cast<std::size_t>(columns) * rows);
    const std::uint64_t counted =
        std::accumulate(meter.histogram.begin(), meter.histogram.end(), std::uint64_t{0});
    check(counted == picture.cells.size());
    check(meter.mean_percent >= 0 && meter.mean_percent <= 100);
    check(meter.dark_percent >= 0 && meter.bright_percent >= 0 &&
          meter.dark_percent + meter.bright_percent <= 101);
  }
  return 0;
}
