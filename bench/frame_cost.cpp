// Measures the CPU time the frame readers take per frame, beside a plain copy of the same frame.
//
// Usage: frame_cost [SECONDS]   (CPU seconds spent on each figure, default 1)
// Prints key=value lines, for a 640x480 YUYV frame and a 640x480 MJPEG frame read into 78x20
// cells: the frame's bytes, the nanoseconds of CPU time per read and per memcpy of those bytes.
// A few frames of a textured scene take turns, as a camera's buffers do, so no figure is of one
// frame kept in the cache.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <linux/videodev2.h>
#include <time.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/frame_luma.h"

namespace {

constexpr int kWidth = 640, kHeight = 480, kColumns = 78, kRows = 20, kFrames = 4;
using Bytes = std::vector<std::uint8_t>;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Calls f(i) for i = 0, 1, ... until `seconds` of CPU time have gone; nanoseconds per call.
template <typename F>
double ns_per_call(double seconds, F f) {
  long calls = 0;
  const double start = cpu_seconds();
  double now = start;
  while (now - start < seconds) {
    for (int i = 0; i < 16; ++i) f(calls++);
    now = cpu_seconds();
  }
  return (now - start) * 1e9 / static_cast<double>(calls);
}

// A scene with something of everything a camera sends: a gradient, edges and sensor noise.
std::uint8_t scene(int x, int y, int frame, std::uint32_t& noise) {
  noise = noise * 1664525U + 1013904223U;
  const int edge = ((x / 40 + y / 40 + frame) % 2) * 60;
  const int value = (x + y) * 160 / (kWidth + kHeight) + edge + static_cast<int>(noise >> 28);
  return static_cast<std::uint8_t>(value > 255 ? 255 : value);
}

Bytes yuyv_frame(int frame) {
  Bytes f(static_cast<std::size_t>(kWidth) * kHeight * 2);
  std::uint32_t noise = 12345U + static_cast<std::uint32_t>(frame);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = &f[(static_cast<std::size_t>(y) * kWidth + x) * 2];
      p[0] = scene(x, y, frame, noise);
      p[1] = static_cast<std::uint8_t>(x % 2 == 0 ? 120 : 136);
    }
  }
  return f;
}

// 4:2:2 at quality 80, as webcams send it.
Bytes mjpeg_frame(int frame) {
  Bytes rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
  std::uint32_t noise = 54321U + static_cast<std::uint32_t>(frame);
  for (std::size_t i = 0; i < rgb.size(); i += 3) {
    const int x = static_cast<int>(i / 3 % kWidth), y = static_cast<int>(i / 3 / kWidth);
    const std::uint8_t v = scene(x, y, frame, noise);
    rgb[i] = v;
    rgb[i + 1] = static_cast<std::uint8_t>(v / 2 + 64);
    rgb[i + 2] = static_cast<std::uint8_t>(255 - v);
  }
  tjhandle encoder = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  Bytes jpeg;
  if (encoder != nullptr && tjCompress2(encoder, rgb.data(), kWidth, kWidth * 3, kHeight, TJPF_RGB,
                                        &out, &size, TJSAMP_422, 80, 0) == 0) {
    jpeg.assign(out, out + size);
  }
  tjFree(out);
  if (encoder != nullptr) tjDestroy(encoder);
  return jpeg;
}

// One format's figures; false if a frame would not read.
bool measure(const char* name, std::uint32_t fourcc, const std::vector<Bytes>& frames,
             double seconds) {
  camctl::FrameLayout layout;
  layout.pixelformat = fourcc;
  layout.width = kWidth;
  layout.height = kHeight;
  layout.bytesperline = fourcc == V4L2_PIX_FMT_YUYV ? kWidth * 2 : 0;
  layout.sizeimage = kWidth * kHeight * 2;
  camctl::FrameReader reader(layout);
  camctl::LumaPicture picture;
  camctl::LumaMeter meter;
  std::size_t bytes = 0;
  for (const Bytes& f : frames) {
    if (reader.read(f.data(), f.size(), kColumns, kRows, picture, meter) != camctl::FrameRead::ok) {
      std::fprintf(stderr, "frame_cost: a %s frame did not read\n", name);
      return false;
    }
    bytes += f.size();
  }
  Bytes copy(layout.sizeimage);
  const double read_ns = ns_per_call(seconds, [&](long i) {
    const Bytes& f = frames[i % kFrames];
    reader.read(f.data(), f.size(), kColumns, kRows, picture, meter);
  });
  const double copy_ns = ns_per_call(seconds, [&](long i) {
    const Bytes& f = frames[i % kFrames];
    std::memcpy(copy.data(), f.data(), f.size());
    // The copy must happen: the compiler may not know that nothing reads it.
    asm volatile("" : : "r"(copy.data()) : "memory");
  });
  std::printf("%s_bytes=%zu\n%s_read_ns=%.0f\n%s_copy_ns=%.0f\n", name, bytes / frames.size(), name,
              read_ns, name, copy_ns);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: frame_cost [SECONDS]\n");
    return 2;
  }
  std::vector<Bytes> yuyv, mjpeg;
  for (int i = 0; i < kFrames; ++i) {
    yuyv.push_back(yuyv_frame(i));
    mjpeg.push_back(mjpeg_frame(i));
    if (mjpeg.back().empty()) {
      std::fprintf(stderr, "frame_cost: the MJPEG frame was not made\n");
      return 1;
    }
  }
  std::printf("columns=%d\nrows=%d\n", kColumns, kRows);
  return measure("yuyv", V4L2_PIX_FMT_YUYV, yuyv, seconds) &&
                 measure("mjpeg", V4L2_PIX_FMT_MJPEG, mjpeg, seconds)
             ? 0
             : 1;
}
