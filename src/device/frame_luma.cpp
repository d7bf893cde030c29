// The frame readers: one luminance sample per cell from each pixel format the view shows.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/frame_luma.h"

#include <linux/videodev2.h>

#include <algorithm>

#include "device/jpeg_grey.h"

namespace camctl {

namespace {

enum class Kind {
  none,
  packed_yuv,  // 4:2:2 in two bytes a pixel, Y in one of them
  luma8,       // one byte a pixel: grey, or the luma plane of a planar YUV frame
  luma16,      // little-endian 16 bits a pixel, the value in its low bits
  rgb,         // 3 or 4 bytes a pixel
  rgb565,
  bayer8,
  bayer16,   // little-endian 16 bits a pixel, the value in its low bits
  bayer10p,  // CSI-2: four pixels in five bytes, first their high 8 bits, then their low 2
  jpeg,
};

struct Format {
  std::uint32_t fourcc = 0;
  Kind kind = Kind::none;
  int luma_byte = 0;    // packed_yuv: the byte of Y in a pixel
  int shift = 0;        // luma16, bayer16: the right shift to 8 bits
  int red_place = 0;    // Bayer: red's place in the 2x2 cell (row * 2 + column); blue is opposite
  int pixel_bytes = 0;  // rgb
  int red = 0, green = 0, blue = 0;  // rgb: each one's byte within the pixel
};

constexpr Format yuv(std::uint32_t fourcc, int luma_byte) {
  return {.fourcc = fourcc, .kind = Kind::packed_yuv, .luma_byte = luma_byte};
}
constexpr Format grey(std::uint32_t fourcc, int shift = 0) {
  return {.fourcc = fourcc, .kind = shift == 0 ? Kind::luma8 : Kind::luma16, .shift = shift};
}
constexpr Format rgb(std::uint32_t fourcc, int pixel_bytes, int red, int green, int blue) {
  return {.fourcc = fourcc,
          .kind = Kind::rgb,
          .pixel_bytes = pixel_bytes,
          .red = red,
          .green = green,
          .blue = blue};
}
// Names the pattern by its first two lines' colours, as the fourccs do: "BGGR" is B G / G R.
enum BayerOrder { bggr = 3, gbrg = 2, grbg = 1, rggb = 0 };
constexpr Format bayer(std::uint32_t fourcc, Kind kind, BayerOrder order, int shift = 0) {
  return {.fourcc = fourcc, .kind = kind, .shift = shift, .red_place = order};
}

// The planar YUV formats' chroma planes follow the luma plane in the same buffer; only the
// luma plane is read, so its stride (bytesperline) and rows are all these formats need.
constexpr Format kFormats[] = {
    yuv(V4L2_PIX_FMT_YUYV, 0),
    yuv(V4L2_PIX_FMT_YVYU, 0),
    yuv(V4L2_PIX_FMT_UYVY, 1),
    yuv(V4L2_PIX_FMT_VYUY, 1),
    grey(V4L2_PIX_FMT_NV12),
    grey(V4L2_PIX_FMT_NV21),
    grey(V4L2_PIX_FMT_NV16),
    grey(V4L2_PIX_FMT_NV61),
    grey(V4L2_PIX_FMT_YUV420),
    grey(V4L2_PIX_FMT_YVU420),
    grey(V4L2_PIX_FMT_GREY),
    grey(V4L2_PIX_FMT_Y10, 2),
    grey(V4L2_PIX_FMT_Y12, 4),
    grey(V4L2_PIX_FMT_Y16, 8),
    rgb(V4L2_PIX_FMT_RGB24, 3, 0, 1, 2),
    rgb(V4L2_PIX_FMT_BGR24, 3, 2, 1, 0),
    // Bytes in memory: B G R A/X.
    rgb(V4L2_PIX_FMT_BGR32, 4, 2, 1, 0),
    rgb(V4L2_PIX_FMT_ABGR32, 4, 2, 1, 0),
    rgb(V4L2_PIX_FMT_XBGR32, 4, 2, 1, 0),
    // A/X R G B.
    rgb(V4L2_PIX_FMT_RGB32, 4, 1, 2, 3),
    rgb(V4L2_PIX_FMT_ARGB32, 4, 1, 2, 3),
    rgb(V4L2_PIX_FMT_XRGB32, 4, 1, 2, 3),
    // R G B A/X.
    rgb(V4L2_PIX_FMT_RGBA32, 4, 0, 1, 2),
    rgb(V4L2_PIX_FMT_RGBX32, 4, 0, 1, 2),
    // A/X B G R.
    rgb(V4L2_PIX_FMT_BGRA32, 4, 3, 2, 1),
    rgb(V4L2_PIX_FMT_BGRX32, 4, 3, 2, 1),
    {.fourcc = V4L2_PIX_FMT_RGB565, .kind = Kind::rgb565},
    bayer(V4L2_PIX_FMT_SBGGR8, Kind::bayer8, bggr),
    bayer(V4L2_PIX_FMT_SGBRG8, Kind::bayer8, gbrg),
    bayer(V4L2_PIX_FMT_SGRBG8, Kind::bayer8, grbg),
    bayer(V4L2_PIX_FMT_SRGGB8, Kind::bayer8, rggb),
    bayer(V4L2_PIX_FMT_SBGGR10, Kind::bayer16, bggr, 2),
    bayer(V4L2_PIX_FMT_SGBRG10, Kind::bayer16, gbrg, 2),
    bayer(V4L2_PIX_FMT_SGRBG10, Kind::bayer16, grbg, 2),
    bayer(V4L2_PIX_FMT_SRGGB10, Kind::bayer16, rggb, 2),
    bayer(V4L2_PIX_FMT_SBGGR12, Kind::bayer16, bggr, 4),
    bayer(V4L2_PIX_FMT_SGBRG12, Kind::bayer16, gbrg, 4),
    bayer(V4L2_PIX_FMT_SGRBG12, Kind::bayer16, grbg, 4),
    bayer(V4L2_PIX_FMT_SRGGB12, Kind::bayer16, rggb, 4),
    bayer(V4L2_PIX_FMT_SBGGR16, Kind::bayer16, bggr, 8),
    bayer(V4L2_PIX_FMT_SGBRG16, Kind::bayer16, gbrg, 8),
    bayer(V4L2_PIX_FMT_SGRBG16, Kind::bayer16, grbg, 8),
    bayer(V4L2_PIX_FMT_SRGGB16, Kind::bayer16, rggb, 8),
    bayer(V4L2_PIX_FMT_SBGGR10P, Kind::bayer10p, bggr),
    bayer(V4L2_PIX_FMT_SGBRG10P, Kind::bayer10p, gbrg),
    bayer(V4L2_PIX_FMT_SGRBG10P, Kind::bayer10p, grbg),
    bayer(V4L2_PIX_FMT_SRGGB10P, Kind::bayer10p, rggb),
    {.fourcc = V4L2_PIX_FMT_MJPEG, .kind = Kind::jpeg},
    {.fourcc = V4L2_PIX_FMT_JPEG, .kind = Kind::jpeg},
};

Format find_format(std::uint32_t fourcc) {
  for (const Format& f : kFormats) {
    if (f.fourcc == fourcc) return f;
  }
  return {};
}

// The bytes one line of `width` pixels takes, at the least.
std::uint64_t line_bytes(const Format& f, std::uint64_t width) {
  switch (f.kind) {
    case Kind::luma8:
    case Kind::bayer8:
      return width;
    case Kind::packed_yuv:
    case Kind::luma16:
    case Kind::rgb565:
    case Kind::bayer16:
      return width * 2;
    case Kind::rgb:
      return width * static_cast<std::uint64_t>(f.pixel_bytes);
    case Kind::bayer10p:
      return (width * 10 + 7) / 8;
    case Kind::none:
    case Kind::jpeg:
      break;
  }
  return 0;
}

// Rec. 601 luma weights in 1/256: 77 + 150 + 29 = 256, so white stays 255.
constexpr unsigned kRed = 77, kGreen = 150, kBlue = 29;

std::uint8_t luma_of(unsigned red, unsigned green, unsigned blue) {
  return static_cast<std::uint8_t>((kRed * red + kGreen * green + kBlue * blue + 128) >> 8);
}

unsigned le16(const std::uint8_t* p) {
  return p[0] | static_cast<unsigned>(p[1]) << 8;
}

// A wider sample scaled to 8 bits; bits above the format's depth (garbage from the sensor's
// bus) saturate instead of wrapping.
unsigned scaled16(const std::uint8_t* p, int shift) {
  return std::min(le16(p) >> shift, 255U);
}

// The luma of one 2x2 Bayer cell whose four values are given in row order: red and blue as
// they are, the two greens each with half of green's weight.
std::uint8_t bayer_luma(const std::array<unsigned, 4>& v, int red_place) {
  const unsigned red = v[red_place], blue = v[3 - red_place];
  const unsigned greens = v[0] + v[1] + v[2] + v[3] - red - blue;
  return static_cast<std::uint8_t>((kRed * red + kGreen / 2 * greens + kBlue * blue + 128) >> 8);
}

// The pixel (or, for Bayer, the 2x2 cell: step 2) at the centre of each cell, in units of step.
std::uint32_t centre(int cell, int cells, std::uint32_t extent, std::uint32_t step) {
  const std::uint64_t units = extent / step;
  return static_cast<std::uint32_t>((2 * static_cast<std::uint64_t>(cell) + 1) * units /
                                    (2 * static_cast<std::uint64_t>(cells))) *
         step;
}

// Fills cells (columns x rows) from an image of width x height pixels whose lines are `stride`
// bytes apart; luma(line, x) reads the sample whose top left pixel is x in that line.
template <typename Luma>
void sample(const std::uint8_t* image, std::uint64_t stride, std::uint32_t width,
            std::uint32_t height, std::uint32_t step, int columns, int rows,
            std::vector<std::uint8_t>& cells, std::vector<std::uint32_t>& xs, Luma luma) {
  xs.resize(static_cast<std::size_t>(columns));
  for (int c = 0; c < columns; ++c) xs[c] = centre(c, columns, width, step);
  auto* out = cells.data();
  for (int r = 0; r < rows; ++r) {
    const std::uint8_t* line = image + centre(r, rows, height, step) * stride;
    for (int c = 0; c < columns; ++c) *out++ = luma(line, xs[c]);
  }
}

int rounded_percent(std::uint64_t part, std::uint64_t whole) {
  return static_cast<int>((part * 200 + whole) / (2 * whole));
}

void meter_cells(const std::vector<std::uint8_t>& cells, LumaMeter& meter) {
  meter = LumaMeter{};
  if (cells.empty()) return;
  std::uint64_t sum = 0, dark = 0, bright = 0;
  for (const std::uint8_t v : cells) {
    sum += v;
    dark += v <= 5 ? 1 : 0;
    bright += v >= 250 ? 1 : 0;
    ++meter.histogram[v * kHistogramBins / 256];
  }
  const std::uint64_t n = cells.size();
  meter.mean_percent = rounded_percent(sum, n * 255);
  meter.dark_percent = rounded_percent(dark, n);
  meter.bright_percent = rounded_percent(bright, n);
}

// A JPEG's own header gives its size; a frame the driver says is larger than this is still
// decoded no larger, so a broken header cannot ask for more memory than such a camera would.
constexpr std::uint32_t kLargestJpegSide = 8192;

}  // namespace

std::string fourcc_text(std::uint32_t pixelformat) {
  std::string text(4, '?');
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<char>((pixelformat >> (8 * i)) & 0xff);
    if (c >= ' ' && c <= '~') text[i] = c;
  }
  return text;
}

struct FrameReader::State {
  Format format;
  std::vector<std::uint32_t> xs;    // each column's sample point, reused from frame to frame
  std::vector<std::uint8_t> cells;  // the next picture, swapped in only when it is whole
  std::unique_ptr<JpegGreyDecoder> jpeg;
};

FrameReader::FrameReader(const FrameLayout& layout)
    : layout_(layout), state_(std::make_unique<State>()) {
  state_->format = find_format(layout.pixelformat);
  if (state_->format.kind == Kind::jpeg) state_->jpeg = std::make_unique<JpegGreyDecoder>();
}

FrameReader::~FrameReader() = default;

bool FrameReader::supported() const {
  return state_->format.kind != Kind::none;
}

FrameRead FrameReader::read(const std::uint8_t* frame, std::size_t bytesused, int columns, int rows,
                            LumaPicture& picture, LumaMeter& meter) {
  const Format& f = state_->format;
  if (f.kind == Kind::none) return FrameRead::unsupported_format;
  if (columns < 1 || rows < 1) {
    picture = LumaPicture{};
    meter = LumaMeter{};
    return FrameRead::ok;
  }
  std::vector<std::uint8_t>& cells = state_->cells;
  cells.resize(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
  if (frame == nullptr) return FrameRead::short_frame;

  if (f.kind == Kind::jpeg) {
    if (bytesused == 0) return FrameRead::short_frame;
    const std::uint32_t max_width = layout_.width != 0 ? layout_.width : kLargestJpegSide;
    const std::uint32_t max_height = layout_.height != 0 ? layout_.height : kLargestJpegSide;
    GreyImage grey;
    switch (state_->jpeg->decode(frame, bytesused, std::min(max_width, kLargestJpegSide),
                                 std::min(max_height, kLargestJpegSide), columns, rows, grey)) {
      case JpegDecode::ok:
        break;
      case JpegDecode::no_decoder:
        return FrameRead::unsupported_format;
      case JpegDecode::undecodable:
        return FrameRead::undecodable;
    }
    sample(grey.pixels, grey.width, grey.width, grey.height, 1, columns, rows, cells, state_->xs,
           [](const std::uint8_t* line, std::uint32_t x) { return line[x]; });
  } else {
    // Every line the layout promises must be there, whole: a frame cut short is not shown in
    // part. Only the sampled bytes are then read.
    const std::uint32_t width = layout_.width, height = layout_.height;
    const std::uint64_t stride = layout_.bytesperline;
    const std::uint64_t line = line_bytes(f, width);
    const bool bayer =
        f.kind == Kind::bayer8 || f.kind == Kind::bayer16 || f.kind == Kind::bayer10p;
    const std::uint32_t least = bayer ? 2 : 1;
    if (width < least || height < least || stride < line ||
        bytesused < (height - 1) * stride + line) {
      return FrameRead::short_frame;
    }
    const std::uint64_t next = stride;  // the second line of a Bayer cell
    switch (f.kind) {
      case Kind::packed_yuv:
        sample(frame, stride, width, height, 1, columns, rows, cells, state_->xs,
               [y = f.luma_byte](const std::uint8_t* l, std::uint32_t x) { return l[2 * x + y]; });
        break;
      case Kind::luma8:
        sample(frame, stride, width, height, 1, columns, rows, cells, state_->xs,
               [](const std::uint8_t* l, std::uint32_t x) { return l[x]; });
        break;
      case Kind::luma16:
        sample(frame, stride, width, height, 1, columns, rows, cells, state_->xs,
               [shift = f.shift](const std::uint8_t* l, std::uint32_t x) {
                 return static_cast<std::uint8_t>(
                     scaled16(l + 2 * static_cast<std::size_t>(x), shift));
               });
        break;
      case Kind::rgb:
        sample(frame, stride, width, height, 1, columns, rows, cells, state_->xs,
               [&f](const std::uint8_t* l, std::uint32_t x) {
                 const std::uint8_t* p = l + static_cast<std::size_t>(x) * f.pixel_bytes;
                 return luma_of(p[f.red], p[f.green], p[f.blue]);
               });
        break;
      case Kind::rgb565:
        sample(frame, stride, width, height, 1, columns, rows, cells, state_->xs,
               [](const std::uint8_t* l, std::uint32_t x) {
                 const unsigned v = le16(l + 2 * static_cast<std::size_t>(x));
                 const unsigned r = v >> 11, g = (v >> 5) & 0x3f, b = v & 0x1f;
                 // Each widened to 8 bits by repeating its top bits, so full scale stays 255.
                 return luma_of(r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2);
               });
        break;
      case Kind::bayer8:
        sample(frame, stride, width, height, 2, columns, rows, cells, state_->xs,
               [&f, next](const std::uint8_t* l, std::uint32_t x) {
                 return bayer_luma({l[x], l[x + 1], l[next + x], l[next + x + 1]}, f.red_place);
               });
        break;
      case Kind::bayer16:
        sample(frame, stride, width, height, 2, columns, rows, cells, state_->xs,
               [&f, next](const std::uint8_t* l, std::uint32_t x) {
                 const int shift = f.shift;
                 const std::uint8_t* p = l + 2 * static_cast<std::size_t>(x);
                 return bayer_luma({scaled16(p, shift), scaled16(p + 2, shift),
                                    scaled16(p + next, shift), scaled16(p + next + 2, shift)},
                                   f.red_place);
               });
        break;
      case Kind::bayer10p:
        // x is even, so the cell's two pixels share one group of four: their high 8 bits
        // are bytes x % 4 and x % 4 + 1 of it. The low 2 bits are left out.
        sample(frame, stride, width, height, 2, columns, rows, cells, state_->xs,
               [&f, next](const std::uint8_t* l, std::uint32_t x) {
                 const std::uint8_t* p = l + static_cast<std::size_t>(x / 4) * 5 + x % 4;
                 return bayer_luma({p[0], p[1], p[next], p[next + 1]}, f.red_place);
               });
        break;
      case Kind::none:
      case Kind::jpeg:
        return FrameRead::unsupported_format;
    }
  }
  picture.columns = columns;
  picture.rows = rows;
  picture.cells.swap(cells);
  meter_cells(picture.cells, meter);
  return FrameRead::ok;
}

}  // namespace camctl
