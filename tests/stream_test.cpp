// Streaming from a simulated capture node: the requests made, the buffers given back, the
// newest frame read, and the ways a stream cannot start.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "device/stream.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <poll.h>

#include <cerrno>
#include <string>

#include "device/device.h"
#include "sim/in_process.h"

namespace {

using camctl::Stream;

std::string fixture(const char* name) {
  return std::string(FIXTURE_DIR) + "/" + name;
}

struct Node {
  const char* fixture;
  std::uint32_t pixelformat;
};

class StreamTest : public ::testing::TestWithParam<Node> {
 protected:
  StreamTest() : sim_(camsim::scenario_from_file(fixture(GetParam().fixture))) {
    EXPECT_EQ(device_.open("/dev/video0"), 0);
  }
  camsim::Camera& camera() { return sim_.camera(); }
  int mean_of_next_frame() {
    EXPECT_TRUE(camera().deliver_frame());
    camctl::LumaPicture picture;
    camctl::LumaMeter meter;
    EXPECT_EQ(stream_.take_frame(true, 78, 20, picture, meter), Stream::Frame::drawn);
    EXPECT_EQ(picture.cells.size(), 78u * 20u);
    return meter.mean_percent;
  }

  camsim::InProcessCamera sim_;
  camctl::Device device_;
  Stream stream_;
};

// The format as it stands, read once and never set; the driver's fewest buffers, each mapped
// and queued; frames drawn from the newest; and on stop every buffer unmapped and freed, so
// another program streams straight after.
TEST_P(StreamTest, StreamsTheCurrentFormatAndGivesEverythingBack) {
  const camsim::RequestCounts before = camera().counts();
  ASSERT_EQ(stream_.start(device_), Stream::Status::streaming);
  EXPECT_EQ(stream_.pixelformat(), GetParam().pixelformat);
  // QUERYCAP and G_FMT, then REQBUFS, a QUERYBUF and a QBUF for each of the two buffers the
  // driver raised the one asked for to, STREAMON.
  EXPECT_EQ(camera().counts().querycap - before.querycap, 1);
  EXPECT_EQ(camera().counts().g_fmt - before.g_fmt, 1);
  EXPECT_EQ(camera().counts().other - before.other, 6);
  EXPECT_EQ(camera().buffer_owner(), 0);
  EXPECT_EQ(stream_.descriptor(), device_.descriptor());

  // Nothing filled yet: nothing to draw, and no readiness.
  camctl::LumaPicture picture;
  camctl::LumaMeter meter;
  EXPECT_EQ(camera().poll_events(0) & POLLIN, 0);
  EXPECT_EQ(stream_.take_frame(true, 78, 20, picture, meter), Stream::Frame::none);

  // The test picture's gradient sits mid-way; Brightness lifts it.
  const int mean = mean_of_next_frame();
  EXPECT_GE(mean, 40);
  EXPECT_LE(mean, 60);
  ASSERT_EQ(camera().other_write(V4L2_CID_BRIGHTNESS, 200), 0);
  EXPECT_GT(mean_of_next_frame(), mean + 20);

  // Two frames waiting: the newer is read, and both buffers go back to be filled again.
  ASSERT_EQ(camera().other_write(V4L2_CID_BRIGHTNESS, 0), 0);
  ASSERT_TRUE(camera().deliver_frame());
  ASSERT_EQ(camera().other_write(V4L2_CID_BRIGHTNESS, 255), 0);
  ASSERT_TRUE(camera().deliver_frame());
  EXPECT_NE(camera().poll_events(0) & POLLIN, 0);
  EXPECT_EQ(stream_.take_frame(true, 78, 20, picture, meter), Stream::Frame::drawn);
  EXPECT_GT(meter.bright_percent, 0);
  EXPECT_EQ(camera().poll_events(0) & POLLIN, 0);
  // A terminal still busy with the last frame: the newest is kept for it, the one kept before
  // goes back to be filled, and once the terminal is free the newest of all is read.
  ASSERT_TRUE(camera().deliver_frame());
  EXPECT_EQ(stream_.take_frame(false, 78, 20, picture, meter), Stream::Frame::pending);
  ASSERT_TRUE(camera().deliver_frame());
  EXPECT_FALSE(camera().deliver_frame());  // one kept, one filled: none is queued
  EXPECT_EQ(stream_.take_frame(false, 78, 20, picture, meter), Stream::Frame::pending);
  EXPECT_TRUE(stream_.frame_pending());
  ASSERT_EQ(camera().other_write(V4L2_CID_BRIGHTNESS, 0), 0);
  ASSERT_TRUE(camera().deliver_frame());
  EXPECT_EQ(stream_.take_frame(true, 78, 20, picture, meter), Stream::Frame::drawn);
  EXPECT_EQ(meter.bright_percent, 0);
  EXPECT_FALSE(stream_.frame_pending());
  ASSERT_TRUE(camera().deliver_frame());
  ASSERT_TRUE(camera().deliver_frame());
  EXPECT_FALSE(camera().deliver_frame());  // both are filled, none is queued

  // The simulated driver refuses to free mapped buffers: freed means unmapped first.
  stream_.stop();
  EXPECT_FALSE(stream_.streaming());
  EXPECT_EQ(stream_.descriptor(), -1);
  EXPECT_EQ(camera().buffer_owner(), -1);
  EXPECT_EQ(camera().counts().free_buffers, 1);
  const long requests = camera().counts().total();
  stream_.stop();
  EXPECT_EQ(camera().counts().total(), requests);
  EXPECT_EQ(camera().other_stream_on(), 0);
  EXPECT_EQ(camera().other_stream_off(), 0);

  // Another program streaming: busy, and nothing of the other's is touched.
  ASSERT_EQ(camera().other_stream_on(), 0);
  EXPECT_EQ(stream_.start(device_), Stream::Status::busy);
  EXPECT_EQ(stream_.error(), EBUSY);
  EXPECT_NE(camera().buffer_owner(), 0);
  EXPECT_NE(camera().buffer_owner(), -1);
  EXPECT_EQ(camera().counts().free_buffers, 1);
  ASSERT_EQ(camera().other_stream_off(), 0);

  // Unplugged while streaming: the stream says the camera is gone.
  ASSERT_EQ(stream_.start(device_), Stream::Status::streaming);
  ASSERT_TRUE(camera().deliver_frame());
  camera().fail_everything(ENODEV);
  EXPECT_EQ(stream_.take_frame(true, 78, 20, picture, meter), Stream::Frame::gone);
}

INSTANTIATE_TEST_SUITE_P(Nodes, StreamTest,
                         ::testing::Values(Node{"vivid-6.1-capture.txt", V4L2_PIX_FMT_YUYV},
                                           Node{"vivid-6.1-mplane.txt", V4L2_PIX_FMT_YUYV},
                                           Node{"vivid-5.10-armhf-capture.txt",
                                                V4L2_PIX_FMT_YUYV}));

// Nodes that stream nothing the view can draw are told apart before any buffer is asked for.
TEST(StreamStartTest, WithoutAPictureNoBuffersAreAskedFor) {
  struct Case {
    const char* text;
    Stream::Status status;
  };
  const std::string device =
      "device driver=\"sim\" card=\"c\" bus_info=\"b\" version=0x050adf capabilities=0x84200001 ";
  const Case cases[] = {
      {"device_caps=0x04200001\nformat type=1 width=64 height=48 pixelformat=0x34363248\n",
       Stream::Status::not_drawable},
      // Multi-planar, its two planes in buffers of their own.
      {"device_caps=0x04201000\nformat type=9 width=64 height=48 pixelformat=0x3231564e "
       "planes=2\n",
       Stream::Status::not_drawable},
      // Capture without streaming I/O (read() only).
      {"device_caps=0x00200001\nformat type=1 width=64 height=48 pixelformat=0x56595559\n",
       Stream::Status::no_picture},
      {"device_caps=0x04200001\nformat type=1 error=EIO\n", Stream::Status::failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    camsim::InProcessCamera sim(camsim::scenario_from_text(device + c.text));
    camctl::Device node;
    ASSERT_EQ(node.open("/dev/video0"), 0);
    Stream stream;
    EXPECT_EQ(stream.start(node), c.status);
    EXPECT_FALSE(stream.streaming());
    EXPECT_EQ(sim.camera().counts().other, 0);
    EXPECT_EQ(sim.camera().buffer_owner(), -1);
  }
}

}  // namespace
