// Decodes a JPEG frame to a small grey image: the least pixels that still give each cell its own.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace camctl {

struct GreyImage {
  const std::uint8_t* pixels = nullptr;  // width x height, rows without padding
  std::uint32_t width = 0, height = 0;
};

enum class JpegDecode { ok, no_decoder, undecodable };

class JpegGreyDecoder {
 public:
  JpegGreyDecoder();
  ~JpegGreyDecoder();
  JpegGreyDecoder(const JpegGreyDecoder&) = delete;
  JpegGreyDecoder& operator=(const JpegGreyDecoder&) = delete;

  // Decodes `size` bytes at the smallest scale whose image is still at least columns x rows
  // (the full size when even that is smaller). A frame larger than max_width x max_height is
  // refused, which bounds the memory a broken header could ask for. The image stays valid until
  // the next decode.
  JpegDecode decode(const std::uint8_t* data, std::size_t size, std::uint32_t max_width,
                    std::uint32_t max_height, int columns, int rows, GreyImage& image);

 private:
  void* handle_ = nullptr;
  std::vector<std::uint8_t> pixels_;
};

}  // namespace camctl
