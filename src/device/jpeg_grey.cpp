// The JPEG decoder of MJPEG and JPEG frames, through libturbojpeg, to grey at a small scale.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/jpeg_grey.h"

#include <turbojpeg.h>

namespace camctl {

namespace {

// The scale of the fewest pixels that still has columns x rows of them. A decode at 1/8 only
// reads each 8x8 block's mean, far cheaper than a full decode.
tjscalingfactor pick_scale(int width, int height, int columns, int rows) {
  tjscalingfactor best{1, 1};
  int count = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&count);
  for (int i = 0; factors != nullptr && i < count; ++i) {
    const tjscalingfactor f = factors[i];
    if (f.num <= 0 || f.denom <= 0 || f.num > f.denom) continue;  // no enlarging
    if (TJSCALED(width, f) < columns || TJSCALED(height, f) < rows) continue;
    if (static_cast<long>(f.num) * best.denom < static_cast<long>(best.num) * f.denom) best = f;
  }
  return best;
}

}  // namespace

JpegGreyDecoder::JpegGreyDecoder() : handle_(tjInitDecompress()) {}

JpegGreyDecoder::~JpegGreyDecoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

JpegDecode JpegGreyDecoder::decode(const std::uint8_t* data, std::size_t size,
                                   std::uint32_t max_width, std::uint32_t max_height, int columns,
                                   int rows, GreyImage& image) {
  if (handle_ == nullptr) return JpegDecode::no_decoder;
  if (data == nullptr || size == 0) return JpegDecode::undecodable;
  const auto length = static_cast<unsigned long>(size);
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle_, data, length, &width, &height, &subsampling, &colorspace) != 0) {
    return JpegDecode::undecodable;
  }
  if (width <= 0 || height <= 0 || static_cast<std::uint32_t>(width) > max_width ||
      static_cast<std::uint32_t>(height) > max_height) {
    return JpegDecode::undecodable;
  }

  const tjscalingfactor scale = pick_scale(width, height, columns, rows);
  const int scaled_width = TJSCALED(width, scale);
  const int scaled_height = TJSCALED(height, scale);
  pixels_.resize(static_cast<std::size_t>(scaled_width) * static_cast<std::size_t>(scaled_height));
  // Grey output keeps only the Y component: no colour conversion, no chroma upsampling.
  if (tjDecompress2(handle_, data, length, pixels_.data(), scaled_width, scaled_width,
                    scaled_height, TJPF_GRAY, TJFLAG_FASTDCT) != 0 &&
      tjGetErrorCode(handle_) != TJERR_WARNING) {
    return JpegDecode::undecodable;
  }
  // A warning (a frame cut short, bytes after its end) still leaves a whole image: what the
  // camera did not send decodes as mid grey, which is the camera's fault to show.
  image.pixels = pixels_.data();
  image.width = static_cast<std::uint32_t>(scaled_width);
  image.height = static_cast<std::uint32_t>(scaled_height);
  return JpegDecode::ok;
}

}  // namespace camctl
