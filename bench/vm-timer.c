/* Runs a command RUNS times, output discarded, and prints the median and the spread of its wall
 * time in microseconds and the median of its peak resident set in KiB:
 * vm-timer RUNS COMMAND [ARG...] (built static, for the system-test VM). */
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int compare(const void* a, const void* b) {
  const long x = *(const long*)a, y = *(const long*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s RUNS COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  const int runs = atoi(argv[1]);
  long* us = calloc((size_t)runs, sizeof *us);
  long* rss_kib = calloc((size_t)runs, sizeof *rss_kib);
  int failed = 0;
  for (int i = 0; i < runs; ++i) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execv(argv[2], argv + 2);
      _exit(127);
    }
    int status = 0;
    struct rusage usage = {0};
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    us[i] = (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_nsec - start.tv_nsec) / 1000L;
    rss_kib[i] = usage.ru_maxrss;
  }
  qsort(us, (size_t)runs, sizeof *us, compare);
  qsort(rss_kib, (size_t)runs, sizeof *rss_kib, compare);
  printf("median_us=%ld min_us=%ld max_us=%ld rss_kib=%ld rss_max_kib=%ld runs=%d failed=%d\n",
         us[runs / 2], us[0], us[runs - 1], rss_kib[runs / 2], rss_kib[runs - 1], runs, failed);
  return failed == 0 ? 0 : 1;
}
