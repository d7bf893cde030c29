// A minimal program for checking the preloaded camera's waits: it subscribes to one control's
// events on /dev/video0, then waits with poll or select and prints what it was told, until the
// node is gone. Usage: camsim_probe ID poll|select
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The node's readiness: POLLPRI and the like, via the chosen call. A 10 s guard keeps a broken
// simulation from hanging the test that runs this.
short wait_for(int fd, bool use_select) {
  if (!use_select) {
    pollfd p{fd, POLLPRI, 0};
    const int n = poll(&p, 1, 10000);
    return n > 0 ? p.revents : 0;
  }
  fd_set except;
  FD_ZERO(&except);
  FD_SET(fd, &except);
  timeval guard{10, 0};
  const int n = select(fd + 1, nullptr, nullptr, &except, &guard);
  return n > 0 && FD_ISSET(fd, &except) ? POLLPRI : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const bool use_select = std::strcmp(argv[2], "select") == 0;
  const int fd = ::open("/dev/video0", O_RDWR);
  if (fd < 0) return 3;
  v4l2_event_subscription sub{};
  sub.type = V4L2_EVENT_CTRL;
  sub.id = static_cast<__u32>(std::strtoul(argv[1], nullptr, 0));
  if (ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &sub) != 0) return 4;
  for (int round = 0; round < 2; ++round) {
    const short revents = wait_for(fd, use_select);
    std::printf("revents=0x%x\n", static_cast<unsigned>(revents));
    v4l2_event ev{};
    while (ioctl(fd, VIDIOC_DQEVENT, &ev) == 0) {
      std::printf("event id=0x%08x changes=0x%x value=%d\n", ev.id, ev.u.ctrl.changes,
                  ev.u.ctrl.value);
    }
    std::printf("dqevent %s\n", errno == ENOENT ? "ENOENT" : errno == ENODEV ? "ENODEV" : "?");
    std::fflush(stdout);
  }
  ::close(fd);
  return 0;
}
