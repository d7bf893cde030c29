// Reads or writes controls straight on a V4L2 device, as a witness independent of camera_control
// and as "another program" that changes the camera while camera_control runs.
// Usage: ctlprobe DEVICE ID...            prints "ID VALUE" (VIDIOC_G_CTRL) or "ID error=ERRNO"
//        ctlprobe -f DEVICE ID...         prints "ID flags=0xFLAGS" (VIDIOC_QUERYCTRL)
//        ctlprobe -s DEVICE ID=VALUE...   VIDIOC_S_CTRL from its own handle, in the given order;
//                                         prints "ID VALUE" as the driver answered, exits 1 on
//                                         the first refusal
//        ctlprobe -w DEVICE               walks every control (VIDIOC_QUERYCTRL with NEXT_CTRL
//                                         and NEXT_COMPOUND), reads each (VIDIOC_G_CTRL) and
//                                         prints "ID flags=0xFLAGS value|error=ERRNO NAME"
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int get_values(int fd, char** ids, int count) {
  for (int i = 0; i < count; i++) {
    struct v4l2_control control;
    memset(&control, 0, sizeof control);
    control.id = (unsigned)strtoul(ids[i], NULL, 0);
    if (ioctl(fd, VIDIOC_G_CTRL, &control) == 0)
      printf("0x%08x %d\n", control.id, control.value);
    else
      printf("0x%08x error=%d\n", control.id, errno);
  }
  return 0;
}

static int get_flags(int fd, char** ids, int count) {
  for (int i = 0; i < count; i++) {
    struct v4l2_queryctrl query;
    memset(&query, 0, sizeof query);
    query.id = (unsigned)strtoul(ids[i], NULL, 0);
    if (ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0)
      printf("0x%08x flags=0x%x\n", query.id, query.flags);
    else
      printf("0x%08x error=%d\n", query.id, errno);
  }
  return 0;
}

static int set_values(int fd, char** pairs, int count) {
  for (int i = 0; i < count; i++) {
    char* equals = strchr(pairs[i], '=');
    if (equals == NULL) {
      fprintf(stderr, "ctlprobe: '%s' is no ID=VALUE pair\n", pairs[i]);
      return 2;
    }
    struct v4l2_control control;
    memset(&control, 0, sizeof control);
    control.id = (unsigned)strtoul(pairs[i], NULL, 0);
    control.value = (int)strtol(equals + 1, NULL, 0);
    if (ioctl(fd, VIDIOC_S_CTRL, &control) != 0) {
      printf("0x%08x error=%d\n", control.id, errno);
      return 1;
    }
    printf("0x%08x %d\n", control.id, control.value);
  }
  return 0;
}

static int walk(int fd) {
  struct v4l2_queryctrl query;
  memset(&query, 0, sizeof query);
  const unsigned next = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
  query.id = next;
  while (ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
    struct v4l2_control control;
    memset(&control, 0, sizeof control);
    control.id = query.id;
    if (ioctl(fd, VIDIOC_G_CTRL, &control) == 0)
      printf("0x%08x flags=0x%x value %.32s\n", query.id, query.flags, (const char*)query.name);
    else
      printf("0x%08x flags=0x%x error=%d %.32s\n", query.id, query.flags, errno,
             (const char*)query.name);
    query.id |= next;
  }
  return 0;
}

int main(int argc, char** argv) {
  char mode = 'g';
  int first = 1;
  if (argc > 1 && argv[1][0] == '-') {
    mode = argv[1][1];
    first = 2;
  }
  if (argc < first + (mode == 'w' ? 1 : 2) || !strchr("gfsw", mode)) {
    fprintf(stderr, "usage: ctlprobe [-f|-s] DEVICE ID[=VALUE]... | ctlprobe -w DEVICE\n");
    return 2;
  }
  int fd = open(argv[first], O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    fprintf(stderr, "ctlprobe: %s: %s\n", argv[first], strerror(errno));
    return 1;
  }
  char** rest = argv + first + 1;
  int count = argc - first - 1;
  int status = mode == 'w'   ? walk(fd)
               : mode == 's' ? set_values(fd, rest, count)
               : mode == 'f' ? get_flags(fd, rest, count)
                             : get_values(fd, rest, count);
  fflush(stdout);
  close(fd);
  return status;
}
