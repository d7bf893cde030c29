// Streams from a capture node as another program would (the board's own camera application),
// so the system tests can see the camera free, or held while camera_control runs.
// Usage: streamer DEVICE            prints "format FOURCC WIDTHxHEIGHT", streams one frame and
//                                   prints "frame BYTESUSED", then frees its buffers; exits 1
//                                   with "error REQUEST ERRNO" on a refusal
//        streamer -h FILE DEVICE    the same, but after the first frame it creates FILE and
//                                   holds the buffers, streaming, until SIGTERM
//        streamer -s NODE=FORMAT... DEVICE
//                                   first sets each node's format in the given order, as a
//                                   media-controller camera's own application sets up its
//                                   pipeline: a subdevice's pad 0 to the media bus code FORMAT
//                                   (hex) at its size, a video node to the fourcc FORMAT, at
//                                   FORMAT@WIDTHxHEIGHT's size when given, else at its own
//                                   size
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

static volatile sig_atomic_t stop;

static void on_term(int signal) {
  (void)signal;
  stop = 1;
}

static int fail(const char* request) {
  printf("error %s %d\n", request, errno);
  return 1;
}

// NODE=FORMAT of -s; 0 once set, else what fail() returns.
static int set_format(char* setting) {
  char* equals = strchr(setting, '=');
  if (equals == NULL) return fail("-s");
  *equals = '\0';
  const char* value = equals + 1;
  int fd = open(setting, O_RDWR);
  if (fd < 0) return fail("open");
  int result = 0;
  if (strstr(setting, "v4l-subdev") != NULL) {
    struct v4l2_subdev_format pad;
    memset(&pad, 0, sizeof pad);
    pad.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    if (ioctl(fd, VIDIOC_SUBDEV_G_FMT, &pad) != 0) {
      result = fail("SUBDEV_G_FMT");
    } else {
      pad.format.code = (unsigned)strtoul(value, NULL, 16);
      if (ioctl(fd, VIDIOC_SUBDEV_S_FMT, &pad) != 0) result = fail("SUBDEV_S_FMT");
    }
  } else {
    struct v4l2_format format;
    memset(&format, 0, sizeof format);
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (strlen(value) < 4 || ioctl(fd, VIDIOC_G_FMT, &format) != 0) {
      result = fail("G_FMT");
    } else {
      format.fmt.pix.pixelformat = v4l2_fourcc(value[0], value[1], value[2], value[3]);
      unsigned width = 0, height = 0;
      if (sscanf(value + 4, "@%ux%u", &width, &height) == 2) {
        format.fmt.pix.width = width;
        format.fmt.pix.height = height;
      }
      format.fmt.pix.bytesperline = 0;
      format.fmt.pix.sizeimage = 0;
      if (ioctl(fd, VIDIOC_S_FMT, &format) != 0) result = fail("S_FMT");
    }
  }
  close(fd);
  return result;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  const char* hold = NULL;
  int first = 1;
  if (argc >= 4 && strcmp(argv[1], "-h") == 0) {
    hold = argv[2];
    first = 3;
  }
  while (first + 2 < argc && strcmp(argv[first], "-s") == 0) {
    if (set_format(argv[first + 1]) != 0) return 1;
    first += 2;
  }
  if (first >= argc) {
    fprintf(stderr, "usage: streamer [-h FILE] [-s NODE=FORMAT]... DEVICE\n");
    return 2;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_term;
  sigaction(SIGTERM, &action, NULL);
  int fd = open(argv[first], O_RDWR);
  if (fd < 0) return fail("open");
  struct v4l2_format format;
  memset(&format, 0, sizeof format);
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (ioctl(fd, VIDIOC_G_FMT, &format) != 0) return fail("G_FMT");
  unsigned fourcc = format.fmt.pix.pixelformat;
  printf("format %c%c%c%c %ux%u\n", fourcc & 0xff, (fourcc >> 8) & 0xff, (fourcc >> 16) & 0xff,
         fourcc >> 24, format.fmt.pix.width, format.fmt.pix.height);
  struct v4l2_requestbuffers request;
  memset(&request, 0, sizeof request);
  request.count = 2;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (ioctl(fd, VIDIOC_REQBUFS, &request) != 0) return fail("REQBUFS");
  void* maps[8] = {0};
  size_t lengths[8] = {0};
  for (unsigned i = 0; i < request.count && i < 8; i++) {
    struct v4l2_buffer buffer;
    memset(&buffer, 0, sizeof buffer);
    buffer.type = request.type;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (ioctl(fd, VIDIOC_QUERYBUF, &buffer) != 0) return fail("QUERYBUF");
    maps[i] = mmap(NULL, buffer.length, PROT_READ, MAP_SHARED, fd, buffer.m.offset);
    if (maps[i] == MAP_FAILED) return fail("mmap");
    lengths[i] = buffer.length;
    if (ioctl(fd, VIDIOC_QBUF, &buffer) != 0) return fail("QBUF");
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (ioctl(fd, VIDIOC_STREAMON, &type) != 0) return fail("STREAMON");
  int frames = 0;
  while (!stop) {
    struct pollfd ready = {.fd = fd, .events = POLLIN};
    if (poll(&ready, 1, 10000) <= 0) {
      if (errno == EINTR) continue;
      return fail("poll");
    }
    struct v4l2_buffer buffer;
    memset(&buffer, 0, sizeof buffer);
    buffer.type = request.type;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (ioctl(fd, VIDIOC_DQBUF, &buffer) != 0) return fail("DQBUF");
    if (frames++ == 0) {
      printf("frame %u\n", buffer.bytesused);
      if (hold == NULL) break;
      close(open(hold, O_WRONLY | O_CREAT, 0644));
    }
    if (ioctl(fd, VIDIOC_QBUF, &buffer) != 0) return fail("QBUF");
  }
  if (ioctl(fd, VIDIOC_STREAMOFF, &type) != 0) return fail("STREAMOFF");
  for (unsigned i = 0; i < request.count && i < 8; i++) munmap(maps[i], lengths[i]);
  request.count = 0;
  if (ioctl(fd, VIDIOC_REQBUFS, &request) != 0) return fail("REQBUFS 0");
  close(fd);
  return 0;
}
