// Command-line parsing and the usage text.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "app/options.h"

#include <unistd.h>

namespace camctl {

void print_usage(const char* program, std::FILE* err) {
  std::fprintf(err, "Usage: %s [options]\n", program);
  std::fputs(
      "Available options are\n"
      " -c file               Path to config file\n"
      " -h                    Print this help screen and exit\n"
      " -i control_variable   Ignore control with defined name\n"
      " -l                    List available controls\n"
      " -L                    Load config file into the device and exit\n"
      " -S                    Save device settings to config file and exit\n"
      " -v device             V4L2 Video Capture device\n",
      err);
}

namespace {

void invalid_option(int option, char** argv, std::FILE* out, std::FILE* err) {
  std::fprintf(out, "ERROR: Invalid option '-%c'\n", option);
  std::fflush(out);
  print_usage(argv[0], err);
}

}  // namespace

bool parse_options(int argc, char** argv, RunOptions& options, std::FILE* out, std::FILE* err) {
  opterr = 1;  // getopt's own complaint about a bad option stays on
  optind = 0;  // a full rescan, so the parser can run more than once in one process
  int option = 0;
  while ((option = getopt(argc, argv, "c:hi:lv:LS")) != -1) {
    switch (option) {
      case 'c':
        options.settings_path = optarg;
        break;
      case 'v':
        options.device_path = optarg;
        break;
      case 'l':
      case 'L':
      case 'S': {
        const RunMode mode = option == 'l'   ? RunMode::list
                             : option == 'L' ? RunMode::load
                                             : RunMode::save;
        // One run does one of these; asking for two is asking for nothing clear.
        if (options.mode != RunMode::screen && options.mode != mode) {
          invalid_option(option, argv, out, err);
          return false;
        }
        options.mode = mode;
        break;
      }
      case 'i':
        if (options.ignore_names.size() < kMaxIgnoreNames) {
          options.ignore_names.emplace_back(optarg);
          std::fprintf(out, "INFO: Ignored control: %s\n", optarg);
        }
        break;
      case 'h':
        print_usage(argv[0], err);
        return false;
      default:
        invalid_option(optopt, argv, out, err);
        return false;
    }
  }
  return true;
}

}  // namespace camctl
