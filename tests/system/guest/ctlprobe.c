// Reads controls straight from a V4L2 device with VIDIOC_G_CTRL, as a witness independent of
// camera_control. Usage: ctlprobe DEVICE ID... ; prints "ID VALUE" or "ID error=ERRNO" per id.
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: ctlprobe DEVICE ID...\n");
    return 2;
  }
  int fd = open(argv[1], O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    fprintf(stderr, "ctlprobe: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  for (int i = 2; i < argc; i++) {
    struct v4l2_control control;
    memset(&control, 0, sizeof control);
    control.id = (unsigned)strtoul(argv[i], NULL, 0);
    if (ioctl(fd, VIDIOC_G_CTRL, &control) == 0)
      printf("0x%08x %d\n", control.id, control.value);
    else
      printf("0x%08x error=%d\n", control.id, errno);
  }
  close(fd);
  return 0;
}
