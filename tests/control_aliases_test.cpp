// The renamed-control table: lookups under both kernels' names, its rows, and a real 5.10 webcam.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "controls/control_aliases.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "controls/control_table.h"
#include "sim/in_process.h"

namespace {

using camctl::aliased_control_id;
using camctl::control_aliases;
using camctl::ControlAlias;

struct Lookup {
  std::string_view key;
  std::uint32_t id;  // 0: no alias
};

TEST(ControlAliases, EitherKernelsNameFindsTheControl) {
  const Lookup cases[] = {
      {"exposure_auto", V4L2_CID_EXPOSURE_AUTO},
      {"auto_exposure", V4L2_CID_EXPOSURE_AUTO},
      {"exposure_absolute", V4L2_CID_EXPOSURE_ABSOLUTE},
      {"exposure_time_absolute", V4L2_CID_EXPOSURE_ABSOLUTE},
      {"white_balance_temperature_auto", V4L2_CID_AUTO_WHITE_BALANCE},
      {"white_balance_component_auto", V4L2_CID_AUTO_WHITE_BALANCE},
      {"white_balance_automatic", V4L2_CID_AUTO_WHITE_BALANCE},
      {"focus_auto", V4L2_CID_FOCUS_AUTO},
      {"focus_automatic_continuous", V4L2_CID_FOCUS_AUTO},
      {"white_balance_red_component", V4L2_CID_RED_BALANCE},
      {"red_balance", V4L2_CID_RED_BALANCE},
      // Same variable name under both kernels ("Pan (Speed)" and "Pan, Speed"): no alias.
      {"pan_speed", 0},
      {"brightness", 0},
      {"white_balance_temperature", 0},
      // Only whole keys match, in the case the files are written in.
      {"exposure", 0},
      {"exposure_auto_", 0},
      {"Exposure_Auto", 0},
      {"focus_automatic", 0},
      {"", 0},
  };
  for (const Lookup& c : cases) {
    EXPECT_EQ(aliased_control_id(c.key), c.id) << c.key;
  }
}

TEST(ControlAliases, RowsAreDistinctWellFormedVariableNames) {
  const auto rows = control_aliases();
  ASSERT_GE(rows.size(), 8u);
  std::set<std::string> older;
  std::set<std::string> newer;
  for (const ControlAlias& row : rows) {
    SCOPED_TRACE(row.older_name);
    EXPECT_EQ(camctl::derive_variable_name(row.older_name), row.older_name);
    EXPECT_EQ(camctl::derive_variable_name(row.newer_name), row.newer_name);
    EXPECT_NE(std::string_view(row.older_name), std::string_view(row.newer_name));
    EXPECT_TRUE(older.insert(row.older_name).second) << "older name twice";
    newer.insert(row.newer_name);
    EXPECT_EQ(aliased_control_id(row.older_name), row.id);
    EXPECT_EQ(aliased_control_id(row.newer_name), row.id);
  }
  // A name that is old for one control and new for another would make a key ambiguous.
  for (const std::string& name : older) EXPECT_EQ(newer.count(name), 0u) << name;
}

// What uvcvideo reported for a webcam under each kernel: every control of it that the table
// knows carries that kernel's name in the table, so a file saved under one kernel finds its
// controls again under the other.
TEST(ControlAliases, NamesAreWhatTheCapturedWebcamReportsOnEachKernel) {
  for (const bool newer : {false, true}) {
    const char* fixture = newer ? "/uvc-webcam-6.1.txt" : "/uvc-webcam-5.10-armhf.txt";
    SCOPED_TRACE(fixture);
    const camsim::Scenario s = camsim::scenario_from_file(std::string(FIXTURE_DIR) + fixture);
    int known = 0;
    for (const auto& control : s.controls) {
      const std::string name = camctl::derive_variable_name(control.name);
      bool listed = false;
      for (const ControlAlias& row : control_aliases()) {
        if (row.id == control.id && name == (newer ? row.newer_name : row.older_name)) {
          listed = true;
        }
      }
      const bool renamed = aliased_control_id(name) != 0;
      if (renamed) ++known;
      EXPECT_EQ(listed, renamed) << name;
    }
    // auto white balance, auto exposure, exposure time, its dynamic frame rate, auto focus
    EXPECT_EQ(known, 5);
  }
}

}  // namespace
