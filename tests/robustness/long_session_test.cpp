// A long randomized session on the vivid camera: after every key the screen shows what the
// camera holds, and at the end the settings file holds exactly the camera's non-default values.
// ROBUSTNESS_KEYS sets the number of keys (default 600), ROBUSTNESS_SEED the seed.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "controls/control_table.h"
#include "device/camera.h"
#include "e2e/terminal.h"
#include "robust_util.h"
#include "settings/settings.h"
#include "sim/camera.h"
#include "sim/in_process.h"

namespace {

using e2e::Key;

long env_number(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

// The camera's values as the write log tells them, read on from where it was left.
class CameraMirror {
 public:
  CameraMirror(const camsim::Scenario& scenario, std::string log) : log_(std::move(log)) {
    for (const camsim::Control& c : scenario.controls) values_[c.id] = c.value;
  }
  void catch_up() {
    std::FILE* f = std::fopen(log_.c_str(), "r");
    if (f == nullptr) return;
    std::fseek(f, offset_, SEEK_SET);
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      const std::string text = line;
      if (text.empty() || text.back() != '\n') break;  // a line still being written
      offset_ += static_cast<long>(text.size());
      unsigned id = 0;
      int value = 0;
      int returned = 0;
      if (std::sscanf(line, "write id=%x value=%d result=0 returned=%d", &id, &value, &returned) ==
          3) {
        values_[id] = returned;
        ++taken_;
      } else if (text.rfind("write ", 0) == 0) {
        ++refused_;
      }
    }
    std::fclose(f);
  }
  std::int32_t value(std::uint32_t id) const { return values_.at(id); }
  long taken() const { return taken_; }
  long refused() const { return refused_; }

 private:
  std::string log_;
  long offset_ = 0;
  std::map<std::uint32_t, std::int32_t> values_;
  long taken_ = 0;
  long refused_ = 0;
};

enum class Action { move, adjust, reset, load, save, other };

struct RandomKey {
  const char* name;
  std::string bytes;
  Action action;
};

class LongSession : public robust::TempDirTest {};

TEST_F(LongSession, ScreenAndSettingsFollowTheCameraThroughRandomKeys) {
  const long keys = env_number("ROBUSTNESS_KEYS", 600);
  const auto seed = static_cast<std::uint32_t>(env_number("ROBUSTNESS_SEED", 20261208));
  // Two controls refuse every write, so refusals and their messages come up too.
  const std::string scenario_path = write_scenario(
      "vivid.txt", e2e::read_file(e2e::fixture_path("vivid-6.1-capture.txt")) +
                       "fail id=0x00980901 error=EBUSY\nfail id=0x00f0f000 error=EIO\n");
  const camsim::Scenario scenario = camsim::scenario_from_file(scenario_path);

  // The table the program builds, built here the same way, for names, defaults and menus.
  // The auto gain switch and its Gain are hidden (an ignore name hides every control whose
  // name begins it): rows joining and leaving have tests of their own, and here the list
  // must stay as this copy of it.
  const std::vector<std::string_view> hidden = {"gain_automatic"};
  camctl::ControlTable table;
  {
    camsim::InProcessCamera sim(scenario);
    camctl::Camera device;
    ASSERT_TRUE(camctl::open_capture_device(device, "/dev/video0", robust::null_output()));
    camctl::build_control_table(device, hidden, false, nullptr, table);
  }
  ASSERT_GT(table.count(), 18U) << "the list must scroll";

  const std::string settings = dir() + "/camera.txt";
  e2e::Terminal s(
      robust::program_run(scenario_path, log_path(), {"-c", settings, "-i", "gain_automatic"}));
  ASSERT_TRUE(s.settle()) << s.dump();
  CameraMirror camera(scenario, log_path());

  const std::string term = "xterm";
  const std::vector<RandomKey> pool = {
      {"Down", e2e::key_bytes(term, Key::down), Action::move},
      {"Down", e2e::key_bytes(term, Key::down), Action::move},
      {"Up", e2e::key_bytes(term, Key::up), Action::move},
      {"Up", e2e::key_bytes(term, Key::up), Action::move},
      {"Home", e2e::key_bytes(term, Key::home), Action::move},
      {"End", e2e::key_bytes(term, Key::end), Action::move},
      {"Left", e2e::key_bytes(term, Key::left), Action::adjust},
      {"Left", e2e::key_bytes(term, Key::left), Action::adjust},
      {"Right", e2e::key_bytes(term, Key::right), Action::adjust},
      {"Right", e2e::key_bytes(term, Key::right), Action::adjust},
      {"PgUp", e2e::key_bytes(term, Key::page_up), Action::adjust},
      {"PgDn", e2e::key_bytes(term, Key::page_down), Action::adjust},
      {"n", "n", Action::adjust},
      {"M", "M", Action::adjust},
      {"d", "d", Action::adjust},
      {"R", "R", Action::reset},
      {"l", "l", Action::load},
      {"S", "S", Action::save},
      {"x", "x", Action::other},
  };
  std::mt19937 random(seed);
  std::size_t selection = 0;
  long val_checks = 0;
  std::string history;
  for (long k = 0; k < keys; ++k) {
    const RandomKey& key = pool[random() % pool.size()];
    history += std::string(key.name) + " ";
    if (history.size() > 200) history.erase(0, history.size() - 200);
    s.send(key.bytes);
    ASSERT_TRUE(s.settle()) << "key " << k << " (" << key.name << "), seed " << seed << ", exited "
                            << s.exited() << " signal " << s.term_signal() << "\n"
                            << s.dump();
    camera.catch_up();
    if (key.action == Action::move) {
      if (key.name == std::string("Down") && selection + 1 < table.count()) ++selection;
      if (key.name == std::string("Up") && selection > 0) --selection;
      if (key.name == std::string("Home")) selection = 0;
      if (key.name == std::string("End")) selection = table.count() - 1;
    }
    const camctl::ControlEntry& entry = table.at(selection);
    const std::int32_t held = camera.value(entry.id);
    const std::string where = "key " + std::to_string(k) + " (" + key.name + "), seed " +
                              std::to_string(seed) + ", selection " + entry.display_name +
                              "\nlast keys: " + history + "\n" + s.dump();

    // The selection bar, and the selected row's value when it is a plain number.
    const int row = 5 + static_cast<int>(selection <= 17 ? selection : 17);
    ASSERT_TRUE(s.reverse(row, 2)) << where;
    if (!entry.has_menu) {
      const std::string number = std::to_string(held);
      ASSERT_EQ(
          s.text(row, 47 - static_cast<int>(number.size()), static_cast<int>(number.size()) + 1),
          " " + number)
          << where;
    }
    ASSERT_EQ(s.text(5, 53, 23), robust::pad(entry.display_name.substr(0, 23), 23)) << where;
    ASSERT_EQ(robust::val_line(s), held) << where;
    ++val_checks;
  }

  // A last save, then the file must hold exactly the camera's values away from their defaults.
  s.send("s");
  ASSERT_TRUE(s.settle());
  ASSERT_EQ(s.text(0, 20, 12 + static_cast<int>(settings.size())), "Config file " + settings)
      << s.dump();
  s.send("q");
  ASSERT_EQ(s.wait_exit(), 0) << "signal " << s.term_signal() << "\n" << s.dump();
  camera.catch_up();

  std::vector<std::pair<std::string, std::int32_t>> expected;
  for (const camctl::ControlEntry& e : table.entries) {
    const std::int32_t held = camera.value(e.id);
    if (held != e.default_value) expected.emplace_back(e.variable_name, held);
  }
  const std::string text = e2e::read_file(settings);
  camctl::SettingsReader reader(text);
  std::vector<std::pair<std::string, std::int32_t>> saved;
  camctl::SettingsPair pair;
  while (reader.next(pair)) saved.emplace_back(std::string(pair.key_text()), pair.value);
  EXPECT_EQ(saved, expected) << text;
  std::string rewritten;
  for (const auto& [name, value] : saved) rewritten += name + "=" + std::to_string(value) + "\r\n";
  EXPECT_EQ(rewritten, text) << "every line must parse, and nothing else be there";

  RecordProperty("keys", static_cast<int>(keys));
  RecordProperty("val_checks", static_cast<int>(val_checks));
  std::printf("session: %ld keys, seed %u, %ld Val lines checked, %ld writes taken, %ld refused\n",
              keys, seed, val_checks, camera.taken(), camera.refused());
  EXPECT_GT(camera.taken(), 0);
  EXPECT_GT(camera.refused(), 0);
}

}  // namespace
