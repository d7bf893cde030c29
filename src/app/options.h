// The command line: what the user asked this run to do.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>

#include "controls/run_options.h"

namespace camctl {

// Parses argv with getopt. Prints the "INFO: Ignored control" lines to out, and on -h or
// an invalid option the usage text to err; returns false when the run must end there.
bool parse_options(int argc, char** argv, RunOptions& options, std::FILE* out, std::FILE* err);

void print_usage(const char* program, std::FILE* err);

}  // namespace camctl
