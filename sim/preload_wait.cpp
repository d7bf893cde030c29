// The waits a preloaded simulated camera answers for: poll, ppoll, select and pselect. A set
// without the simulated node goes straight to the C library.
//
// Fortified headers would put inline wrappers in front of these names; this file defines them.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>

#include <cerrno>
#include <vector>

#include "sim/preload_state.h"

namespace {

// The C library's names for the calls the program's headers chose.
#if defined(__USE_TIME_BITS64) && defined(__TIMESIZE) && __TIMESIZE == 32
constexpr const char* kPpollName = "__ppoll64";
constexpr const char* kSelectName = "__select64";
constexpr const char* kPselectName = "__pselect64";
#else
constexpr const char* kPpollName = "ppoll";
constexpr const char* kSelectName = "select";
constexpr const char* kPselectName = "pselect";
#endif

using PollFn = int (*)(pollfd*, nfds_t, int);
using PpollFn = int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*);
using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
using PselectFn = int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);

template <typename Fn>
Fn next_symbol(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Waits through the C library's ppoll, so a caller's signal mask (ppoll, pselect) is honoured;
// a null mask keeps the caller's.
class MaskedWaiter : public camsim::Waiter {
 public:
  explicit MaskedWaiter(const sigset_t* mask) : mask_(mask) {}
  int wait(pollfd* fds, nfds_t count, int timeout_ms) override {
    static const auto real = next_symbol<PpollFn>(kPpollName);
    timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return real(fds, count, timeout_ms < 0 ? nullptr : &timeout, mask_);
  }

 private:
  const sigset_t* mask_;
};

int wait_with_node(pollfd* fds, nfds_t count, int timeout_ms, const sigset_t* mask) {
  MaskedWaiter waiter(mask);
  return camsim::preload_wait(fds, count, timeout_ms, waiter);
}

bool node_in(const pollfd* fds, nfds_t count) {
  for (nfds_t i = 0; i < count; ++i) {
    if (camsim::preload_owns(fds[i].fd)) return true;
  }
  return false;
}

int to_ms(const timespec* timeout) {
  if (timeout == nullptr) return -1;
  const long long ms = static_cast<long long>(timeout->tv_sec) * 1000 +
                       (static_cast<long long>(timeout->tv_nsec) + 999999) / 1000000;
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

bool in(const fd_set* set, int fd) {
  return set != nullptr && FD_ISSET(fd, set);
}

// select's sets as a poll set, with the kernel's own mapping of poll bits back to the three
// sets: readable includes hang-up and error, writable includes error, exceptional is POLLPRI.
int select_through_poll(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                        int timeout_ms, const sigset_t* mask) {
  std::vector<pollfd> fds;
  for (int fd = 0; fd < nfds; ++fd) {
    short events = 0;
    if (in(readfds, fd)) events |= POLLIN;
    if (in(writefds, fd)) events |= POLLOUT;
    if (in(exceptfds, fd)) events |= POLLPRI;
    if (events != 0) fds.push_back(pollfd{fd, events, 0});
  }
  const int n = wait_with_node(fds.data(), fds.size(), timeout_ms, mask);
  if (n < 0) return n;
  int ready = 0;
  for (const pollfd& p : fds) {
    if (in(readfds, p.fd)) {
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        ++ready;
      } else {
        FD_CLR(p.fd, readfds);
      }
    }
    if (in(writefds, p.fd)) {
      if ((p.revents & (POLLOUT | POLLERR)) != 0) {
        ++ready;
      } else {
        FD_CLR(p.fd, writefds);
      }
    }
    if (in(exceptfds, p.fd)) {
      if ((p.revents & POLLPRI) != 0) {
        ++ready;
      } else {
        FD_CLR(p.fd, exceptfds);
      }
    }
    if ((p.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
  }
  return ready;
}

bool node_selected(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds) {
  for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
    if ((in(readfds, fd) || in(writefds, fd) || in(exceptfds, fd)) && camsim::preload_owns(fd)) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" {

int poll(pollfd* fds, nfds_t count, int timeout_ms) {
  static const auto real = next_symbol<PollFn>("poll");
  if (!node_in(fds, count)) return real(fds, count, timeout_ms);
  return wait_with_node(fds, count, timeout_ms, nullptr);
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  static const auto real = next_symbol<PpollFn>(kPpollName);
  if (!node_in(fds, count)) return real(fds, count, timeout, mask);
  return wait_with_node(fds, count, to_ms(timeout), mask);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, timeval* timeout) {
  static const auto real = next_symbol<SelectFn>(kSelectName);
  if (!node_selected(nfds, readfds, writefds, exceptfds)) {
    return real(nfds, readfds, writefds, exceptfds, timeout);
  }
  int ms = -1;
  if (timeout != nullptr) {
    const timespec t{timeout->tv_sec, timeout->tv_usec * 1000};
    ms = to_ms(&t);
  }
  return select_through_poll(nfds, readfds, writefds, exceptfds, ms, nullptr);
}

int pselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timespec* timeout,
            const sigset_t* mask) {
  static const auto real = next_symbol<PselectFn>(kPselectName);
  if (!node_selected(nfds, readfds, writefds, exceptfds)) {
    return real(nfds, readfds, writefds, exceptfds, timeout, mask);
  }
  return select_through_poll(nfds, readfds, writefds, exceptfds, to_ms(timeout), mask);
}

}  // extern "C"
