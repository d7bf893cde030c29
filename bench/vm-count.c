/* Preloaded into a dynamically linked program: counts its Video4Linux2 and media-controller
 * requests, whether made through ioctl() or syscall(SYS_ioctl, ...), and appends "requests=N" to
 * $COUNT_OUT at exit. */
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static long count;

static void note(unsigned long request) {
  if (_IOC_TYPE(request) == 'V' || _IOC_TYPE(request) == '|') ++count;
}

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, ...);
  if (real == NULL) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  note(request);
  return real(fd, request, arg);
}

long syscall(long number, ...) {
  static long (*real)(long, ...);
  if (real == NULL) real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  if (number == SYS_ioctl) note((unsigned long)a[1]);
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

__attribute__((destructor)) static void report(void) {
  const char* path = getenv("COUNT_OUT");
  if (path == NULL) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[64];
  const int n = snprintf(line, sizeof line, "requests=%ld\n", count);
  if (write(fd, line, (size_t)n) < 0) count = 0;
  close(fd);
}
