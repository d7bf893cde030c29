// Replays the control-walk fuzz target's seed inputs (the fixtures' answers and the inputs of
// every fault the fuzzer found) in every build, not only in clang's fuzzing build.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "robust_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(WalkCorpus, EverySeedPassesTheWalkChecks) {
  const std::filesystem::path corpus = WALK_CORPUS;
  int replayed = 0;
  for (const auto& file : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(file.path().string());
    const std::string bytes = e2e::read_file(file.path().string());
    // The target aborts, naming the broken rule, when the walk or a value change goes wrong.
    EXPECT_EQ(
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
        0);
    ++replayed;
  }
  EXPECT_GE(replayed, 16);
}

}  // namespace
