// The command line: what the user asked this run to do.
#pragma once

#include <cstdio>
#include <string_view>
#include <vector>

namespace camctl {

inline constexpr std::size_t kMaxIgnoreNames = 49;

struct RunOptions {
  const char* settings_path = "/boot/camera.txt";
  const char* device_path = "/dev/video0";
  std::vector<std::string_view> ignore_names;  // at most kMaxIgnoreNames
  bool list_mode = false;
};

// Parses argv with getopt. Prints the "INFO: Ignored control" lines to out, and on -h or
// an invalid option the usage text to err; returns false when the run must end there.
bool parse_options(int argc, char** argv, RunOptions& options, std::FILE* out, std::FILE* err);

void print_usage(const char* program, std::FILE* err);

}  // namespace camctl
