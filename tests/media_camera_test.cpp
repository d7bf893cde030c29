// A camera on a media-controller pipeline, against the simulated vimc graphs: which subdevices
// the capture node brings, in which order, and the joined table whose rows keep their nodes.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <linux/media.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "controls/adjust.h"
#include "controls/control_sync.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "settings/settings.h"
#include "sim/in_process.h"
#include "sim/router.h"

namespace {

using camsim::MediaScenario;

MediaScenario vimc(const char* name) {
  return camsim::media_scenario_from_file(std::string(FIXTURE_DIR) + "/" + name);
}

camsim::GraphLink* link_between(MediaScenario& s, std::uint32_t source_entity,
                                std::uint32_t sink_entity) {
  for (camsim::GraphLink& link : s.graph.links) {
    std::uint32_t from = 0, to = 0;
    for (const camsim::GraphPad& pad : s.graph.pads) {
      if (pad.id == link.source) from = pad.entity;
      if (pad.id == link.sink) to = pad.entity;
    }
    if (from == source_entity && to == sink_entity) return &link;
  }
  return nullptr;
}

std::uint32_t pad_of(const MediaScenario& s, std::uint32_t entity, bool sink) {
  for (const camsim::GraphPad& pad : s.graph.pads) {
    if (pad.entity == entity && ((pad.flags & MEDIA_PAD_FL_SINK) != 0) == sink) return pad.id;
  }
  return 0;
}

// vimc's entity ids, the same on both kernels.
constexpr std::uint32_t kDebayerA = 5, kDebayerB = 8, kInput = 19, kScaler = 21;

struct Pipeline {
  const char* name;
  const char* fixture;
  const char* node;
  void (*change)(MediaScenario&);  // the graph as the test wants it, or nullptr
  bool opens;
  const char* lines;  // the start-up lines after "INFO: Device is vimc on bus platform:vimc"
  long topology_reads;
};

class Pipelines : public ::testing::TestWithParam<Pipeline> {};

TEST_P(Pipelines, TheCaptureNodeBringsTheSubdevicesUpstreamInPipelineOrder) {
  const Pipeline& p = GetParam();
  MediaScenario scenario = vimc(p.fixture);
  if (p.change != nullptr) p.change(scenario);
  camsim::InProcessMedia sim(scenario);
  camctl::Camera camera;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  const bool opened =
      camctl::open_capture_device(camera, (std::string("/dev/") + p.node).c_str(), out);
  std::fclose(out);
  const std::string lines(text, size);
  std::free(text);
  EXPECT_EQ(opened, p.opens);
  EXPECT_EQ(lines, std::string("INFO: Device is vimc on bus platform:vimc\n") + p.lines);
  EXPECT_EQ(sim.router().media_counts().topology, p.topology_reads);
  if (!opened) {
    EXPECT_EQ(camera.size(), 0U);
    return;
  }
  // One node a subdevice line names, in that order, then the capture node, the one named.
  std::string nodes;
  for (std::size_t i = 0; i < camera.size(); ++i) {
    nodes += camera.node(i).path + (camera.node(i).subdevice ? " " : "");
  }
  std::string named;
  for (std::size_t at = lines.find(" on /dev/"); at != std::string::npos;
       at = lines.find(" on /dev/", at + 1)) {
    named += lines.substr(at + 4, lines.find('\n', at) - at - 4) + " ";
  }
  EXPECT_EQ(nodes, named + "/dev/" + p.node);
  EXPECT_EQ(camera.named().path, std::string("/dev/") + p.node);
}

const char* const kRgbLines61 =
    "INFO: Subdevice Sensor A on /dev/v4l-subdev0\n"
    "INFO: Subdevice Lens A on /dev/v4l-subdev6\n"
    "INFO: Subdevice Debayer A on /dev/v4l-subdev2\n"
    "INFO: Subdevice Scaler on /dev/v4l-subdev5\n";

INSTANTIATE_TEST_SUITE_P(
    Vimc, Pipelines,
    ::testing::Values(
        Pipeline{"raw_capture_0_61", "vimc-6.1.txt", "video0", nullptr, true,
                 "INFO: Subdevice Sensor A on /dev/v4l-subdev0\n"
                 "INFO: Subdevice Lens A on /dev/v4l-subdev6\n",
                 1},
        Pipeline{"raw_capture_1_61", "vimc-6.1.txt", "video1", nullptr, true,
                 "INFO: Subdevice Sensor B on /dev/v4l-subdev1\n"
                 "INFO: Subdevice Lens B on /dev/v4l-subdev7\n",
                 1},
        Pipeline{"rgb_capture_61", "vimc-6.1.txt", "video2", nullptr, true, kRgbLines61, 1},
        // 5.10 has no lens.
        Pipeline{"rgb_capture_510", "vimc-5.10-armhf.txt", "video2", nullptr, true,
                 "INFO: Subdevice Sensor A on /dev/v4l-subdev0\n"
                 "INFO: Subdevice Debayer A on /dev/v4l-subdev2\n"
                 "INFO: Subdevice Scaler on /dev/v4l-subdev5\n",
                 1},
        // A disabled link leads nowhere; once enabled, its branch follows the one before it.
        Pipeline{"second_debayer_enabled", "vimc-6.1.txt", "video2",
                 [](MediaScenario& s) { link_between(s, kDebayerB, kScaler)->flags |= 1; }, true,
                 "INFO: Subdevice Sensor A on /dev/v4l-subdev0\n"
                 "INFO: Subdevice Lens A on /dev/v4l-subdev6\n"
                 "INFO: Subdevice Debayer A on /dev/v4l-subdev2\n"
                 "INFO: Subdevice Sensor B on /dev/v4l-subdev1\n"
                 "INFO: Subdevice Lens B on /dev/v4l-subdev7\n"
                 "INFO: Subdevice Debayer B on /dev/v4l-subdev3\n"
                 "INFO: Subdevice Scaler on /dev/v4l-subdev5\n",
                 1},
        Pipeline{"input_enabled", "vimc-5.10-armhf.txt", "video2",
                 [](MediaScenario& s) { link_between(s, kInput, kScaler)->flags |= 1; }, true,
                 "INFO: Subdevice Sensor A on /dev/v4l-subdev0\n"
                 "INFO: Subdevice Debayer A on /dev/v4l-subdev2\n"
                 "INFO: Subdevice RGB/YUV Input on /dev/v4l-subdev4\n"
                 "INFO: Subdevice Scaler on /dev/v4l-subdev5\n",
                 1},
        // A media device that sysfs shows only on its bus is found there.
        Pipeline{"media_device_elsewhere", "vimc-6.1.txt", "video2",
                 [](MediaScenario& s) { s.graph.beside_nodes = false; }, true, kRgbLines61, 1},
        // A loop in the graph is walked once.
        Pipeline{"loop", "vimc-6.1.txt", "video2",
                 [](MediaScenario& s) {
                   s.graph.links.push_back(
                       {1, pad_of(s, kScaler, false), pad_of(s, kDebayerA, true), 1});
                 },
                 true, kRgbLines61, 1},
        // A graph larger than the room first offered is read again at its size.
        Pipeline{"large_graph", "vimc-6.1.txt", "video2",
                 [](MediaScenario& s) {
                   for (std::uint32_t i = 0; i < 70; ++i)
                     s.graph.entities.push_back({1000 + i, "x"});
                 },
                 true, kRgbLines61, 3},
        // A capture node that does not say it is media-controller centric is the whole camera,
        // and the graph is not asked.
        Pipeline{"without_io_mc", "vimc-6.1.txt", "video2",
                 [](MediaScenario& s) { s.nodes.back().scenario.device_caps &= ~V4L2_CAP_IO_MC; },
                 true, "", 0},
        Pipeline{"sensor_refuses_open", "vimc-6.1.txt", "video0",
                 [](MediaScenario& s) { s.nodes.front().scenario.open_error = EACCES; }, false,
                 "INFO: Subdevice Sensor A on /dev/v4l-subdev0\n"
                 "ERROR: Device open failed: Permission denied (13)\n",
                 1}),
    [](const ::testing::TestParamInfo<Pipeline>& param_info) {
      return std::string(param_info.param.name);
    });

// The capture node for RGB/YUV on 6.1: Sensor A, Lens A, Debayer A, Scaler, capture.
class JoinedTable : public ::testing::Test {
 protected:
  void SetUp() override { start(vimc("vimc-6.1.txt")); }
  void start(MediaScenario scenario) {
    sim_ = std::make_unique<camsim::InProcessMedia>(std::move(scenario));
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_TRUE(camctl::open_capture_device(camera_, "/dev/video2", sink));
    camctl::build_control_table(camera_, {}, false, sink, table_, true, true);
    std::fclose(sink);
  }
  camsim::Camera& node(const char* devname) { return *sim_->camera(devname); }
  std::string listed() const {
    std::string text;
    for (const auto& e : table_.entries) {
      text += camera_.node(e.node).path.substr(5) + ":" + e.variable_name + "=" +
              std::to_string(e.value) + " ";
    }
    return text;
  }
  std::size_t position(const std::string& name) const {
    for (std::size_t i = 0; i < table_.count(); ++i) {
      if (table_.at(i).variable_name == name) return i;
    }
    return table_.count();
  }
  std::string writes(const char* devname) {
    std::string text;
    for (const camsim::Write& w : node(devname).write_log()) {
      text += std::to_string(w.id) + "=" + std::to_string(w.value) + " ";
    }
    return text;
  }

  std::unique_ptr<camsim::InProcessMedia> sim_;
  camctl::Camera camera_;
  camctl::ControlTable table_;
};

TEST_F(JoinedTable, RowsFollowThePipelineAndEachWriteGoesToItsNode) {
  EXPECT_EQ(listed(),
            "v4l-subdev0:brightness=128 v4l-subdev0:contrast=128 v4l-subdev0:saturation=128 "
            "v4l-subdev0:hue=0 v4l-subdev0:horizontal_flip=0 v4l-subdev0:vertical_flip=0 "
            "v4l-subdev0:test_pattern=0 v4l-subdev0:show_information=0 "
            "v4l-subdev6:focus_absolute=0 v4l-subdev2:debayer_mean_window_size=3 ");
  EXPECT_TRUE(
      camctl::adjust_control(table_, camera_, position("brightness"), camctl::AdjustKind::step_up));
  EXPECT_TRUE(camctl::adjust_control(table_, camera_, position("debayer_mean_window_size"),
                                     camctl::AdjustKind::step_up));
  EXPECT_TRUE(camctl::adjust_control(table_, camera_, position("focus_absolute"),
                                     camctl::AdjustKind::maximum));
  EXPECT_EQ(writes("v4l-subdev0"), std::to_string(0x00980900) + "=129 ");
  EXPECT_EQ(writes("v4l-subdev2"), std::to_string(0x00f0f001) + "=5 ");
  EXPECT_EQ(writes("v4l-subdev6"), std::to_string(0x009a090a) + "=1023 ");
  EXPECT_EQ(node("v4l-subdev0").control(0x00980900)->value, 129);

  // R writes every row's default to its own node.
  for (const char* devname : {"v4l-subdev0", "v4l-subdev2", "v4l-subdev6"}) {
    node(devname).clear_write_log();
  }
  camctl::reset_all_controls(table_, camera_);
  EXPECT_EQ(node("v4l-subdev0").write_log().size(), 8U);
  EXPECT_EQ(writes("v4l-subdev2"), std::to_string(0x00f0f001) + "=3 ");
  EXPECT_EQ(writes("v4l-subdev6"), std::to_string(0x009a090a) + "=0 ");
  EXPECT_EQ(node("v4l-subdev0").control(0x00980900)->value, 128);
}

TEST_F(JoinedTable, LoadAndSaveReachTheSensorTheLensAndTheDebayer) {
  const std::string path = ::testing::TempDir() + "/joined.txt";
  std::ofstream(path, std::ios::binary)
      << "contrast=40\r\nfocus_absolute=300\r\ndebayer_mean_window_size=7\r\nnothing=1\r\n";
  camctl::LoadReport report;
  ASSERT_TRUE(camctl::load_settings(table_, camera_, path.c_str(), &report));
  EXPECT_TRUE(report.complete());
  EXPECT_EQ(node("v4l-subdev0").control(0x00980901)->value, 40);
  EXPECT_EQ(node("v4l-subdev6").control(0x009a090a)->value, 300);
  EXPECT_EQ(node("v4l-subdev2").control(0x00f0f001)->value, 7);
  EXPECT_EQ(camctl::format_settings(table_),
            "contrast=40\r\nfocus_absolute=300\r\ndebayer_mean_window_size=7\r\n");
  std::remove(path.c_str());
}

TEST_F(JoinedTable, EventsOfEveryNodeReachTheirRows) {
  for (std::size_t i = 0; i < camera_.size(); ++i) {
    // The scaler and the capture node have no control to follow.
    const bool has_controls = camera_.node(i).entity != "Scaler" && i != camera_.size() - 1;
    EXPECT_EQ(table_.follows_events[i], has_controls) << i;
  }
  ASSERT_EQ(node("v4l-subdev0").other_write(0x00980901, 200), 0);
  ASSERT_EQ(node("v4l-subdev2").other_write(0x00f0f001, 9), 0);
  camctl::TableChanges changes;
  int dequeued = 0;
  // Node 0 is the sensor, node 2 the debayer: the lens sits between them.
  ASSERT_EQ(camctl::apply_pending_events(table_, camera_, 0, changes, dequeued), 0);
  ASSERT_EQ(camctl::apply_pending_events(table_, camera_, 2, changes, dequeued), 0);
  EXPECT_EQ(dequeued, 2);
  EXPECT_EQ(changes.values, (std::vector<camctl::ControlKey>{{0, 0x00980901}, {2, 0x00f0f001}}));
  EXPECT_EQ(table_.at(position("contrast")).value, 200);
  EXPECT_EQ(table_.at(position("debayer_mean_window_size")).value, 9);
}

// Two subdevices with the same controls on one path (the sensor and, once its link is enabled,
// the RGB/YUV input): their names are the same, and a load's pair goes to the first in the table.
TEST_F(JoinedTable, SharedNamesFollowTheRuleForDuplicates) {
  MediaScenario scenario = vimc("vimc-6.1.txt");
  link_between(scenario, kInput, kScaler)->flags |= 1;
  camera_.close();
  table_ = {};
  sim_.reset();
  start(std::move(scenario));
  ASSERT_EQ(std::count_if(table_.entries.begin(), table_.entries.end(),
                          [](const auto& e) { return e.variable_name == "brightness"; }),
            2);
  const std::string path = ::testing::TempDir() + "/shared.txt";
  std::ofstream(path, std::ios::binary) << "brightness=40\r\n";
  ASSERT_TRUE(camctl::load_settings(table_, camera_, path.c_str()));
  EXPECT_EQ(node("v4l-subdev0").control(0x00980900)->value, 40);
  EXPECT_EQ(node("v4l-subdev4").control(0x00980900)->value, 128);
  std::remove(path.c_str());
}

}  // namespace
