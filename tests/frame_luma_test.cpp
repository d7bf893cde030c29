// The frame readers against small frames of known luminance, painted here from each format's
// memory layout, and the meter over their samples.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "device/frame_luma.h"

namespace {

using camctl::FrameLayout;
using camctl::FrameRead;
using camctl::FrameReader;
using camctl::LumaMeter;
using camctl::LumaPicture;
using Bytes = std::vector<std::uint8_t>;

struct Rgb {
  int r, g, b;
};

int rec601(const Rgb& c) {
  return static_cast<int>(std::lround(0.299 * c.r + 0.587 * c.g + 0.114 * c.b));
}

// The test frame: 16 x 8 pixels in 4 x 2 blocks of 4 x 4, each of one colour, read into one
// cell per block. Grey levels on the meter's edges and the three primaries, whose lumas tell
// the channels apart: red 76, green 150, blue 29.
constexpr int kWidth = 16, kHeight = 8, kColumns = 4, kRows = 2;
constexpr std::array<Rgb, static_cast<std::size_t>(kColumns)* kRows> kBlocks = {{
    {0, 0, 0},
    {255, 255, 255},
    {128, 128, 128},
    {5, 5, 5},
    {250, 250, 250},
    {255, 0, 0},
    {0, 255, 0},
    {0, 0, 255},
}};

Rgb colour_at(int x, int y) {
  return kBlocks[(y / 4) * kColumns + x / 4];
}

// Bytes the readers must never take for luma: chroma, padding, alpha.
constexpr std::uint8_t kChromaU = 0xaa, kChromaV = 0x55, kPadding = 0xee, kAlpha = 0xcc;

void put_le16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v & 0xff);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

// A value widened to `bits` with every bit below the top 8 set, which the reader must drop.
unsigned widened(int value, int bits) {
  return static_cast<unsigned>(value) << (bits - 8) | ((1U << (bits - 8)) - 1);
}

int channel(const Rgb& c, char name) {
  return name == 'R' ? c.r : name == 'G' ? c.g : c.b;
}

enum class Paint { packed_yuv, planar, grey16, rgb, rgb565, bayer8, bayer16, bayer10p };

struct FormatCase {
  const char* name;
  const char* order;  // packed_yuv: "YC" or "CY"; rgb: the bytes in memory; Bayer: the pattern
  std::uint32_t fourcc;
  Paint paint;
  int line;  // bytes of one 16-pixel line  // packed_yuv: "YC" or "CY"; rgb: the bytes in memory;
             // Bayer: the pattern
  int bits;  // grey16, bayer16
  int chroma_rows;  // planar: rows of chroma after the luma plane (at the same stride)
  int tolerance;    // the reader's integer weights or the format's own depth
};

// One frame of the format, lines `stride` bytes apart.
Bytes paint(const FormatCase& f, int stride) {
  Bytes frame(static_cast<std::size_t>(stride) * (kHeight + f.chroma_rows), kPadding);
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* line = frame.data() + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < kWidth; ++x) {
      const Rgb c = colour_at(x, y);
      const auto luma = static_cast<std::uint8_t>(rec601(c));
      // Bayer: the colour this site of the pattern sees.
      const auto site = [&] { return channel(c, f.order[(y % 2) * 2 + x % 2]); };
      switch (f.paint) {
        case Paint::packed_yuv: {
          const int y_byte = f.order[0] == 'Y' ? 0 : 1;
          line[2 * x + y_byte] = luma;
          line[2 * x + 1 - y_byte] = x % 2 == 0 ? kChromaU : kChromaV;
          break;
        }
        case Paint::planar:
          line[x] = luma;
          break;
        case Paint::grey16:
          put_le16(line + 2 * static_cast<std::size_t>(x), widened(luma, f.bits));
          break;
        case Paint::rgb: {
          const int size = static_cast<int>(std::string(f.order).size());
          for (int i = 0; i < size; ++i) {
            const char k = f.order[i];
            line[x * size + i] = static_cast<std::uint8_t>(k == 'X' ? kAlpha : channel(c, k));
          }
          break;
        }
        case Paint::rgb565:
          put_le16(line + 2 * static_cast<std::size_t>(x),
                   static_cast<unsigned>((c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3));
          break;
        case Paint::bayer8:
          line[x] = static_cast<std::uint8_t>(site());
          break;
        case Paint::bayer16:
          put_le16(line + 2 * static_cast<std::size_t>(x), widened(site(), f.bits));
          break;
        case Paint::bayer10p:
          // Groups of four: their high 8 bits in four bytes, then a byte of the low 2 bits.
          line[x / 4 * 5 + x % 4] = static_cast<std::uint8_t>(site());
          line[x / 4 * 5 + 4] = 0xff;
          break;
      }
    }
  }
  for (std::size_t i = static_cast<std::size_t>(stride) * kHeight; i < frame.size(); ++i) {
    frame[i] = i % 2 == 0 ? kChromaU : kChromaV;
  }
  return frame;
}

const FormatCase kFormats[] = {
    {"YUYV", "YC", V4L2_PIX_FMT_YUYV, Paint::packed_yuv, 32, 0, 0, 0},
    {"YVYU", "YC", V4L2_PIX_FMT_YVYU, Paint::packed_yuv, 32, 0, 0, 0},
    {"UYVY", "CY", V4L2_PIX_FMT_UYVY, Paint::packed_yuv, 32, 0, 0, 0},
    {"VYUY", "CY", V4L2_PIX_FMT_VYUY, Paint::packed_yuv, 32, 0, 0, 0},
    {"NV12", "", V4L2_PIX_FMT_NV12, Paint::planar, 16, 0, 4, 0},
    {"NV21", "", V4L2_PIX_FMT_NV21, Paint::planar, 16, 0, 4, 0},
    {"NV16", "", V4L2_PIX_FMT_NV16, Paint::planar, 16, 0, 8, 0},
    {"NV61", "", V4L2_PIX_FMT_NV61, Paint::planar, 16, 0, 8, 0},
    {"YU12", "", V4L2_PIX_FMT_YUV420, Paint::planar, 16, 0, 4, 0},
    {"YV12", "", V4L2_PIX_FMT_YVU420, Paint::planar, 16, 0, 4, 0},
    {"GREY", "", V4L2_PIX_FMT_GREY, Paint::planar, 16, 0, 0, 0},
    {"Y10", "", V4L2_PIX_FMT_Y10, Paint::grey16, 32, 10, 0, 0},
    {"Y12", "", V4L2_PIX_FMT_Y12, Paint::grey16, 32, 12, 0, 0},
    {"Y16", "", V4L2_PIX_FMT_Y16, Paint::grey16, 32, 16, 0, 0},
    {"RGB24", "RGB", V4L2_PIX_FMT_RGB24, Paint::rgb, 48, 0, 0, 1},
    {"BGR24", "BGR", V4L2_PIX_FMT_BGR24, Paint::rgb, 48, 0, 0, 1},
    {"BGR32", "BGRX", V4L2_PIX_FMT_BGR32, Paint::rgb, 64, 0, 0, 1},
    {"ABGR32", "BGRX", V4L2_PIX_FMT_ABGR32, Paint::rgb, 64, 0, 0, 1},
    {"XBGR32", "BGRX", V4L2_PIX_FMT_XBGR32, Paint::rgb, 64, 0, 0, 1},
    {"RGB32", "XRGB", V4L2_PIX_FMT_RGB32, Paint::rgb, 64, 0, 0, 1},
    {"ARGB32", "XRGB", V4L2_PIX_FMT_ARGB32, Paint::rgb, 64, 0, 0, 1},
    {"XRGB32", "XRGB", V4L2_PIX_FMT_XRGB32, Paint::rgb, 64, 0, 0, 1},
    {"RGBA32", "RGBX", V4L2_PIX_FMT_RGBA32, Paint::rgb, 64, 0, 0, 1},
    {"RGBX32", "RGBX", V4L2_PIX_FMT_RGBX32, Paint::rgb, 64, 0, 0, 1},
    {"BGRA32", "XBGR", V4L2_PIX_FMT_BGRA32, Paint::rgb, 64, 0, 0, 1},
    {"BGRX32", "XBGR", V4L2_PIX_FMT_BGRX32, Paint::rgb, 64, 0, 0, 1},
    // Five and six bits a channel: a level is off by up to 8 / 4 of 255.
    {"RGB565", "", V4L2_PIX_FMT_RGB565, Paint::rgb565, 32, 0, 0, 5},
    {"SBGGR8", "BGGR", V4L2_PIX_FMT_SBGGR8, Paint::bayer8, 16, 0, 0, 1},
    {"SGBRG8", "GBRG", V4L2_PIX_FMT_SGBRG8, Paint::bayer8, 16, 0, 0, 1},
    {"SGRBG8", "GRBG", V4L2_PIX_FMT_SGRBG8, Paint::bayer8, 16, 0, 0, 1},
    {"SRGGB8", "RGGB", V4L2_PIX_FMT_SRGGB8, Paint::bayer8, 16, 0, 0, 1},
    {"SBGGR10", "BGGR", V4L2_PIX_FMT_SBGGR10, Paint::bayer16, 32, 10, 0, 1},
    {"SGBRG10", "GBRG", V4L2_PIX_FMT_SGBRG10, Paint::bayer16, 32, 10, 0, 1},
    {"SGRBG10", "GRBG", V4L2_PIX_FMT_SGRBG10, Paint::bayer16, 32, 10, 0, 1},
    {"SRGGB10", "RGGB", V4L2_PIX_FMT_SRGGB10, Paint::bayer16, 32, 10, 0, 1},
    {"SBGGR12", "BGGR", V4L2_PIX_FMT_SBGGR12, Paint::bayer16, 32, 12, 0, 1},
    {"SGBRG12", "GBRG", V4L2_PIX_FMT_SGBRG12, Paint::bayer16, 32, 12, 0, 1},
    {"SGRBG12", "GRBG", V4L2_PIX_FMT_SGRBG12, Paint::bayer16, 32, 12, 0, 1},
    {"SRGGB12", "RGGB", V4L2_PIX_FMT_SRGGB12, Paint::bayer16, 32, 12, 0, 1},
    {"SBGGR16", "BGGR", V4L2_PIX_FMT_SBGGR16, Paint::bayer16, 32, 16, 0, 1},
    {"SGBRG16", "GBRG", V4L2_PIX_FMT_SGBRG16, Paint::bayer16, 32, 16, 0, 1},
    {"SGRBG16", "GRBG", V4L2_PIX_FMT_SGRBG16, Paint::bayer16, 32, 16, 0, 1},
    {"SRGGB16", "RGGB", V4L2_PIX_FMT_SRGGB16, Paint::bayer16, 32, 16, 0, 1},
    {"SBGGR10P", "BGGR", V4L2_PIX_FMT_SBGGR10P, Paint::bayer10p, 20, 0, 0, 1},
    {"SGBRG10P", "GBRG", V4L2_PIX_FMT_SGBRG10P, Paint::bayer10p, 20, 0, 0, 1},
    {"SGRBG10P", "GRBG", V4L2_PIX_FMT_SGRBG10P, Paint::bayer10p, 20, 0, 0, 1},
    {"SRGGB10P", "RGGB", V4L2_PIX_FMT_SRGGB10P, Paint::bayer10p, 20, 0, 0, 1},
};

void PrintTo(const FormatCase& f, std::ostream* os) {
  *os << f.name;
}

FrameLayout layout_of(std::uint32_t fourcc, int width, int height, int stride, std::size_t size) {
  return {fourcc, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
          static_cast<std::uint32_t>(stride), static_cast<std::uint32_t>(size)};
}

// Each format read with its lines packed and with odd padding after them.
class Formats : public ::testing::TestWithParam<std::tuple<FormatCase, int>> {
 protected:
  const FormatCase& format() const { return std::get<0>(GetParam()); }
  int stride() const { return format().line + std::get<1>(GetParam()); }
};

TEST_P(Formats, EachCellHasItsBlocksLumaAndTheMeterCountsThem) {
  const Bytes frame = paint(format(), stride());
  FrameReader reader(layout_of(format().fourcc, kWidth, kHeight, stride(), frame.size()));
  ASSERT_TRUE(reader.supported());
  LumaPicture picture;
  LumaMeter meter;
  ASSERT_EQ(reader.read(frame.data(), frame.size(), kColumns, kRows, picture, meter),
            FrameRead::ok);
  ASSERT_EQ(picture.columns, kColumns);
  ASSERT_EQ(picture.rows, kRows);
  ASSERT_EQ(picture.cells.size(), kBlocks.size());
  for (std::size_t i = 0; i < kBlocks.size(); ++i) {
    EXPECT_NEAR(picture.cells[i], rec601(kBlocks[i]), format().tolerance) << "block " << i;
  }
  // Black and 5 are dark, 250 and white bright; the mean of the lumas is 893 / 8 of 255.
  EXPECT_EQ(meter.dark_percent, 25);
  EXPECT_EQ(meter.bright_percent, 25);
  EXPECT_NEAR(meter.mean_percent, 44, format().tolerance == 0 ? 0 : 1);
  EXPECT_EQ(meter.histogram[0], 2U);
  EXPECT_EQ(meter.histogram[15], 2U);
}

TEST_P(Formats, AFrameCutShortOrALineTooNarrowIsRefusedAndThePictureKept) {
  const Bytes frame = paint(format(), stride());
  // The last byte of the image: the luma plane's last line, without padding after it.
  const std::size_t image = static_cast<std::size_t>(stride()) * (kHeight - 1) + format().line;
  LumaPicture picture{1, 1, {42}};
  LumaMeter meter;
  meter.mean_percent = 7;

  FrameReader reader(layout_of(format().fourcc, kWidth, kHeight, stride(), frame.size()));
  const Bytes cut(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(image - 1));
  EXPECT_EQ(reader.read(cut.data(), cut.size(), kColumns, kRows, picture, meter),
            FrameRead::short_frame);
  EXPECT_EQ(picture.cells, Bytes{42});
  EXPECT_EQ(meter.mean_percent, 7);
  EXPECT_EQ(reader.read(nullptr, 0, kColumns, kRows, picture, meter), FrameRead::short_frame);

  // Exactly the image's bytes, in a buffer of that size, so a read past it is caught.
  const Bytes exact(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(image));
  EXPECT_EQ(reader.read(exact.data(), exact.size(), kColumns, kRows, picture, meter),
            FrameRead::ok);

  FrameReader narrow(layout_of(format().fourcc, kWidth, kHeight, format().line - 1, frame.size()));
  EXPECT_EQ(narrow.read(frame.data(), frame.size(), kColumns, kRows, picture, meter),
            FrameRead::short_frame);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, Formats,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::Values(0, 3)),
                         [](const auto& param_info) {
                           return std::string(std::get<0>(param_info.param).name) +
                                  (std::get<1>(param_info.param) == 0 ? "_packed" : "_padded");
                         });

// Where each cell samples: the pixel at its centre, columns and rows alike. A GREY frame whose
// pixel (x, y) holds x + 16 y tells which pixel each cell took.
struct Sampling {
  const char* name;
  int width, height, columns, rows;
  std::vector<int> xs, ys;
};

void PrintTo(const Sampling& s, std::ostream* os) {
  *os << s.name;
}

class SamplePoints : public ::testing::TestWithParam<Sampling> {};

TEST_P(SamplePoints, EachCellTakesThePixelAtItsCentre) {
  const Sampling& s = GetParam();
  Bytes frame(static_cast<std::size_t>(s.width * s.height));
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x) {
      frame[y * s.width + x] = static_cast<std::uint8_t>(x + 16 * y);
    }
  }
  FrameReader reader(layout_of(V4L2_PIX_FMT_GREY, s.width, s.height, s.width, frame.size()));
  LumaPicture picture;
  LumaMeter meter;
  ASSERT_EQ(reader.read(frame.data(), frame.size(), s.columns, s.rows, picture, meter),
            FrameRead::ok);
  std::vector<int> expected, got(picture.cells.begin(), picture.cells.end());
  for (const int y : s.ys) {
    for (const int x : s.xs) expected.push_back(x + 16 * y);
  }
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Grids, SamplePoints,
                         ::testing::Values(
                             // 10 / 3 columns: centres at 1.67, 5 and 8.33.
                             Sampling{"fewer_cells", 10, 6, 3, 2, {1, 5, 8}, {1, 4}},
                             Sampling{"one_cell", 16, 15, 1, 1, {8}, {7}},
                             Sampling{"as_many_cells", 4, 2, 4, 2, {0, 1, 2, 3}, {0, 1}},
                             // More cells than pixels: each pixel fills the cells over it.
                             Sampling{"more_cells", 2, 1, 5, 2, {0, 0, 1, 1, 1}, {0, 0}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The meter over GREY frames of one line: rounding and the edges of dark and bright.
struct MeterCase {
  const char* name;
  std::vector<std::pair<std::uint8_t, int>> runs;  // the line: so many samples of each luma
  int mean, dark, bright;
  std::vector<std::pair<int, std::uint32_t>> bins;  // the bins that are not empty
};

void PrintTo(const MeterCase& m, std::ostream* os) {
  *os << m.name;
}

class Meter : public ::testing::TestWithParam<MeterCase> {};

TEST_P(Meter, MeanDarkBrightAndHistogram) {
  const MeterCase& m = GetParam();
  Bytes lumas;
  for (const auto& [luma, count] : m.runs) lumas.insert(lumas.end(), count, luma);
  const int n = static_cast<int>(lumas.size());
  FrameReader reader(layout_of(V4L2_PIX_FMT_GREY, n, 1, n, lumas.size()));
  LumaPicture picture;
  LumaMeter meter;
  ASSERT_EQ(reader.read(lumas.data(), lumas.size(), n, 1, picture, meter), FrameRead::ok);
  EXPECT_EQ(meter.mean_percent, m.mean);
  EXPECT_EQ(meter.dark_percent, m.dark);
  EXPECT_EQ(meter.bright_percent, m.bright);
  std::array<std::uint32_t, camctl::kHistogramBins> bins{};
  for (const auto& [bin, count] : m.bins) bins[bin] = count;
  EXPECT_EQ(meter.histogram, bins);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, Meter,
    ::testing::Values(
        MeterCase{"black", {{0, 2}}, 0, 100, 0, {{0, 2}}},
        MeterCase{"white", {{255, 1}}, 100, 0, 100, {{15, 1}}},
        // 5 is still dark, 6 is not; 250 is bright, 249 is not.
        MeterCase{"edges", {{5, 1}, {6, 1}, {249, 1}, {250, 1}}, 50, 25, 25, {{0, 2}, {15, 2}}},
        // 1 of 3 is 33.3 %, 2 of 3 is 66.7 %.
        MeterCase{"thirds", {{0, 2}, {255, 1}}, 33, 67, 33, {{0, 2}, {15, 1}}},
        // A mean of 51 / 40 is exactly 0.5 % of 255, 50 / 40 just under; 39 of 40 is 97.5 %.
        MeterCase{"half_up", {{0, 39}, {51, 1}}, 1, 98, 0, {{0, 39}, {3, 1}}},
        MeterCase{"just_under_half", {{0, 39}, {50, 1}}, 0, 98, 0, {{0, 39}, {3, 1}}},
        // Each bin holds 16 levels: 15 closes bin 0, 16 opens bin 1. The mean is 701 / 7.
        MeterCase{"bins",
                  {{15, 1}, {16, 1}, {31, 1}, {32, 1}, {128, 1}, {239, 1}, {240, 1}},
                  39,
                  0,
                  0,
                  {{0, 1}, {1, 2}, {2, 1}, {8, 1}, {14, 1}, {15, 1}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A Bayer cell begins on an even pixel, even where the cell's centre falls on an odd one: 6 x 2
// pixels are three cells, red, green and blue, each whole in its 2 x 2 RGGB pixels.
TEST(Reader, BayerCellsBeginOnTheirPatternsFirstPixel) {
  const Bytes frame = {255, 0, 0,   255, 0, 0,     // R G, R G, R G
                       0,   0, 255, 0,   0, 255};  // G B, G B, G B
  FrameReader reader(layout_of(V4L2_PIX_FMT_SRGGB8, 6, 2, 6, frame.size()));
  LumaPicture picture;
  LumaMeter meter;
  ASSERT_EQ(reader.read(frame.data(), frame.size(), 3, 1, picture, meter), FrameRead::ok);
  ASSERT_EQ(picture.cells.size(), 3U);
  EXPECT_NEAR(picture.cells[0], rec601({255, 0, 0}), 1);
  EXPECT_NEAR(picture.cells[1], rec601({0, 255, 0}), 1);
  EXPECT_NEAR(picture.cells[2], rec601({0, 0, 255}), 1);
}

TEST(Reader, NamesFourccsAndRefusesFormatsItCannotRead) {
  EXPECT_EQ(camctl::fourcc_text(V4L2_PIX_FMT_YUYV), "YUYV");
  EXPECT_EQ(camctl::fourcc_text(V4L2_PIX_FMT_SBGGR8), "BA81");
  EXPECT_EQ(camctl::fourcc_text(V4L2_PIX_FMT_Y16), "Y16 ");
  EXPECT_EQ(camctl::fourcc_text(0), "????");
  EXPECT_EQ(camctl::fourcc_text(v4l2_fourcc('A', 0x7f, 'B', 0x80)), "A?B?");

  FrameReader h264(layout_of(V4L2_PIX_FMT_H264, 16, 8, 0, 1000));
  EXPECT_FALSE(h264.supported());
  const Bytes frame(1000);
  LumaPicture picture;
  LumaMeter meter;
  EXPECT_EQ(h264.read(frame.data(), frame.size(), 4, 2, picture, meter),
            FrameRead::unsupported_format);

  // A layout with no pixels, and a Bayer frame without a whole 2x2 cell.
  FrameReader empty(layout_of(V4L2_PIX_FMT_GREY, 0, 0, 0, 0));
  EXPECT_EQ(empty.read(frame.data(), frame.size(), 4, 2, picture, meter), FrameRead::short_frame);
  FrameReader thin(layout_of(V4L2_PIX_FMT_SRGGB8, 16, 1, 16, 16));
  EXPECT_EQ(thin.read(frame.data(), frame.size(), 4, 2, picture, meter), FrameRead::short_frame);
}

// --- MJPEG ---------------------------------------------------------------------------------

Bytes encode_jpeg(const Bytes& pixels, int width, int height, int pixel_format, int subsampling) {
  tjhandle encoder = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int pitch = width * tjPixelSize[pixel_format];
  const int status = tjCompress2(encoder, pixels.data(), width, pitch, height, pixel_format, &out,
                                 &size, subsampling, 95, 0);
  Bytes jpeg;
  if (status == 0) jpeg.assign(out, out + size);
  tjFree(out);
  tjDestroy(encoder);
  return jpeg;
}

// Webcams send MJPEG without Huffman tables, leaving the standard ones implied.
Bytes without_huffman_tables(const Bytes& jpeg) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xff && jpeg[at + 1] != 0xda) {
    const std::size_t length = 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
    if (jpeg[at + 1] != 0xc4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + length);
    at += length;
  }
  out.insert(out.end(), jpeg.begin() + at, jpeg.end());
  return out;
}

// The test frame's blocks scaled up to 64 x 32, in 16 x 16 blocks that the 8 x 8 DCT blocks tile.
Bytes blocks_rgb(int scale) {
  const int w = kWidth * scale, h = kHeight * scale;
  Bytes rgb(static_cast<std::size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const Rgb c = colour_at(x / scale, y / scale);
      std::uint8_t* p = &rgb[static_cast<std::size_t>(y * w + x) * 3];
      p[0] = static_cast<std::uint8_t>(c.r);
      p[1] = static_cast<std::uint8_t>(c.g);
      p[2] = static_cast<std::uint8_t>(c.b);
    }
  }
  return rgb;
}

struct JpegCase {
  const char* name;
  std::uint32_t fourcc;
  int subsampling;
  bool strip_tables;
};

void PrintTo(const JpegCase& j, std::ostream* os) {
  *os << j.name;
}

class Jpeg : public ::testing::TestWithParam<JpegCase> {};

TEST_P(Jpeg, EachCellHasItsBlocksLuma) {
  const JpegCase& j = GetParam();
  Bytes jpeg = encode_jpeg(blocks_rgb(4), 64, 32, TJPF_RGB, j.subsampling);
  ASSERT_FALSE(jpeg.empty());
  if (j.strip_tables) {
    jpeg = without_huffman_tables(jpeg);
    ASSERT_EQ(std::string(jpeg.begin(), jpeg.end()).find("\xff\xc4"), std::string::npos);
  }
  FrameReader reader(layout_of(j.fourcc, 64, 32, 0, 4096));
  ASSERT_TRUE(reader.supported());
  LumaPicture picture;
  LumaMeter meter;
  // Twice, as frame after frame: the decoder is kept.
  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(reader.read(jpeg.data(), jpeg.size(), kColumns, kRows, picture, meter),
              FrameRead::ok);
    ASSERT_EQ(picture.cells.size(), kBlocks.size());
    for (std::size_t i = 0; i < kBlocks.size(); ++i) {
      // JPEG's own luma is Rec. 601 too; what the encoder loses is a few levels.
      EXPECT_NEAR(picture.cells[i], rec601(kBlocks[i]), 3) << "block " << i;
    }
    EXPECT_EQ(meter.dark_percent, 25);
    EXPECT_EQ(meter.bright_percent, 25);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Jpeg,
    ::testing::Values(JpegCase{"mjpeg_422", V4L2_PIX_FMT_MJPEG, TJSAMP_422, false},
                      JpegCase{"mjpeg_420_no_tables", V4L2_PIX_FMT_MJPEG, TJSAMP_420, true},
                      JpegCase{"jpeg_444", V4L2_PIX_FMT_JPEG, TJSAMP_444, false},
                      JpegCase{"jpeg_grey", V4L2_PIX_FMT_JPEG, TJSAMP_GRAY, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A 64 x 64 grey JPEG whose every 8 x 8 block is black on its left half and white on its right.
// Decoded at 1/8 each block is one pixel of its mean, mid grey; at 1/4 it is two pixels, dark
// then light. So the cells tell the scale: the smallest that still gives each cell its pixel.
struct ScaleCase {
  const char* name;
  int columns, rows;
  bool halves_apart;  // the cells see each block's halves (1/4), not its mean (1/8)
};

void PrintTo(const ScaleCase& s, std::ostream* os) {
  *os << s.name;
}

class JpegScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(JpegScale, TheSmallestScaleThatCoversTheCells) {
  const ScaleCase& s = GetParam();
  Bytes stripes(std::size_t{64} * 64);
  for (std::size_t i = 0; i < stripes.size(); ++i) stripes[i] = i % 8 < 4 ? 0 : 255;
  const Bytes jpeg = encode_jpeg(stripes, 64, 64, TJPF_GRAY, TJSAMP_GRAY);
  ASSERT_FALSE(jpeg.empty());
  FrameReader reader(layout_of(V4L2_PIX_FMT_MJPEG, 64, 64, 0, 4096));
  LumaPicture picture;
  LumaMeter meter;
  ASSERT_EQ(reader.read(jpeg.data(), jpeg.size(), s.columns, s.rows, picture, meter),
            FrameRead::ok);
  for (int c = 0; c < s.columns; ++c) {
    const int v = picture.cells[c];
    if (!s.halves_apart) {
      EXPECT_NEAR(v, 128, 8) << "column " << c;
    } else if (c % 2 == 0) {
      EXPECT_LT(v, 64) << "column " << c;
    } else {
      EXPECT_GT(v, 192) << "column " << c;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cells, JpegScale,
                         ::testing::Values(ScaleCase{"eighth", 8, 8, false},
                                           ScaleCase{"eighth_fewer_cells", 4, 2, false},
                                           ScaleCase{"quarter", 16, 8, true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(JpegFrames, BrokenEmptyOrOversizedFramesAreReportedAndThePictureKept) {
  const Bytes jpeg = encode_jpeg(blocks_rgb(4), 64, 32, TJPF_RGB, TJSAMP_422);
  ASSERT_FALSE(jpeg.empty());
  LumaPicture picture{1, 1, {42}};
  LumaMeter meter;
  FrameReader reader(layout_of(V4L2_PIX_FMT_MJPEG, 64, 32, 0, 4096));

  EXPECT_EQ(reader.read(jpeg.data(), 0, kColumns, kRows, picture, meter), FrameRead::short_frame);
  const Bytes noise(4096, 0x5a);
  EXPECT_EQ(reader.read(noise.data(), noise.size(), kColumns, kRows, picture, meter),
            FrameRead::undecodable);
  // Its header alone: no image data follows.
  const Bytes header(jpeg.begin(), jpeg.begin() + 20);
  EXPECT_EQ(reader.read(header.data(), header.size(), kColumns, kRows, picture, meter),
            FrameRead::undecodable);
  EXPECT_EQ(picture.cells, Bytes{42});

  // Larger than the camera said its frames are.
  FrameReader small(layout_of(V4L2_PIX_FMT_MJPEG, 32, 32, 0, 2048));
  EXPECT_EQ(small.read(jpeg.data(), jpeg.size(), kColumns, kRows, picture, meter),
            FrameRead::undecodable);

  // Cut halfway through its image data: what is there is still shown (the rest mid grey), from
  // a buffer no larger than the cut.
  const std::size_t scan = std::string(jpeg.begin(), jpeg.end()).find("\xff\xda");
  ASSERT_NE(scan, std::string::npos);
  const Bytes cut(jpeg.begin(),
                  jpeg.begin() + static_cast<std::ptrdiff_t>(scan + (jpeg.size() - scan) / 2));
  EXPECT_EQ(reader.read(cut.data(), cut.size(), kColumns, kRows, picture, meter), FrameRead::ok);
  EXPECT_EQ(picture.cells.size(), kBlocks.size());
  EXPECT_NEAR(picture.cells[0], 0, 3);
}

}  // namespace
