// The program linked statically with the simulated camera in process, so its memory can be
// measured as the board's static binary would use it: rss_probe SCENARIO [program options].
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <sys/resource.h>
#include <cstdio>

#include "app/run.h"
#include "sim/in_process.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SCENARIO [options]\n", argv[0]);
    return 2;
  }
  camsim::InProcessCamera sim(camsim::scenario_from_file(argv[1]));
  // What the simulated camera alone takes, before the program starts.
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr, "camera_kib=%ld\n", usage.ru_maxrss);
  argv[1] = argv[0];
  return camctl::run_camera_control(argc - 1, argv + 1);
}
