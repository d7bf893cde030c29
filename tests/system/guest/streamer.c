// Streams from a capture node as another program would (the board's own camera application),
// so the system tests can see the camera free, or held while camera_control runs.
// Usage: streamer DEVICE            prints "format FOURCC WIDTHxHEIGHT", streams one frame and
//                                   prints "frame BYTESUSED", then frees its buffers; exits 1
//                                   with "error REQUEST ERRNO" on a refusal
//        streamer -h FILE DEVICE    the same, but after the first frame it creates FILE and
//                                   holds the buffers, streaming, until SIGTERM
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
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

int main(int argc, char** argv) {
  const char* hold = NULL;
  int first = 1;
  if (argc >= 4 && strcmp(argv[1], "-h") == 0) {
    hold = argv[2];
    first = 3;
  }
  if (first >= argc) {
    fprintf(stderr, "usage: streamer [-h FILE] DEVICE\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);
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
