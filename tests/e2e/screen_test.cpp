// The interactive screen of the real binary, on a pseudo-terminal read through libvterm.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/run_program.h"
#include "e2e/terminal.h"

namespace {

using e2e::Key;
using e2e::Terminal;
using e2e::TerminalRun;

std::string scenario(const char* name) {
  return std::string(SCENARIO_DIR) + "/" + name;
}

// A row of the list window: border, blank, 46 columns of text, blank, border.
// The right text is right-aligned, the left one printed over it, as the program does.
std::string list_row(const std::string& left, const std::string& right = "") {
  std::string text = std::string(46 - right.size(), ' ') + right;
  text.replace(0, left.size(), left);
  return "| " + text + " |";
}
const std::string kBlankListRow = list_row("");

// A row of the detail panel: border, blank, 24 columns of text, border.
std::string detail_row(const std::string& text) {
  return "| " + text + std::string(24 - text.size(), ' ') + "|";
}
std::string number_line(const char* label, long value) {
  const std::string number = std::to_string(value);
  return detail_row(label + std::string(19 - number.size(), ' ') + number);
}
// The status area from column 20 to the screen's end, holding one message.
std::string status_area(const std::string& message) {
  return message + std::string(60 - message.size(), ' ');
}
const std::string kListTop = "+" + std::string(48, '-') + "+";
const std::string kDetailEdge = "+" + std::string(25, '-') + "+";

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = e2e::make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string settings_path() const { return dir_ + "/camera.txt"; }
  std::string log_path() const { return dir_ + "/device.log"; }
  std::string log() const { return e2e::read_file(log_path()); }
  // The program's own writes in the log, without what another program did.
  std::string logged_writes() const {
    std::string writes;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("write ")) writes += line + "\n";
    }
    return writes;
  }
  void write_settings(const std::string& text) const {
    std::ofstream(settings_path(), std::ios::binary) << text;
  }

  // Starts the program and waits until the whole first screen is drawn: the detail panel
  // is the last piece, and its bottom edge its last row.
  std::unique_ptr<Terminal> start(const char* scenario_name, TerminalRun run = {}) {
    if (run.scenario.empty()) run.scenario = scenario(scenario_name);
    run.log_path = log_path();
    if (run.args.empty()) run.args = {"-c", settings_path()};
    auto terminal = std::make_unique<Terminal>(run);
    EXPECT_TRUE(terminal->wait_for_text(12, 51, kDetailEdge)) << terminal->dump();
    return terminal;
  }

  std::string dir_;
};

struct Shown {
  int row;
  int col;
  std::string text;
};

// Waits until every text shows at its place, then checks each, so a failure names the row.
void expect_shown(Terminal& t, const std::vector<Shown>& texts) {
  const auto matches = [&](const Shown& s) {
    return t.text(s.row, s.col, static_cast<int>(s.text.size())) == s.text;
  };
  t.wait_until([&] { return std::all_of(texts.begin(), texts.end(), matches); });
  for (const Shown& s : texts) {
    EXPECT_EQ(t.text(s.row, s.col, static_cast<int>(s.text.size())), s.text)
        << "row " << s.row << "\n"
        << t.dump();
  }
}

// What the detail panel shows for one control, rows 5 to 11 of the screen.
void expect_detail(Terminal& t, const std::string& name, long value, long minimum, long maximum,
                   long step, long default_value, const std::string& option) {
  expect_shown(t, {{5, 51, detail_row(name)},
                   {6, 51, number_line("Val:", value)},
                   {7, 51, number_line("Min:", minimum)},
                   {8, 51, number_line("Max:", maximum)},
                   {9, 51, number_line("Stp:", step)},
                   {10, 51, number_line("Def:", default_value)},
                   {11, 51, detail_row(option)}});
}

// The selection bar: reverse video on exactly columns 2 to 47 of one list row, nowhere else.
void expect_bar_on(const Terminal& t, int screen_row) {
  for (int row = 0; row < 24; ++row) {
    for (int col = 0; col < 80; ++col) {
      const bool expected = row == screen_row && col >= 2 && col <= 47;
      ASSERT_EQ(t.reverse(row, col), expected) << "row " << row << " col " << col << "\n"
                                               << t.dump();
    }
  }
}

void wait_for_bar(Terminal& t, int screen_row) {
  t.wait_until([&] {
    for (int row = 5; row <= 22; ++row) {
      if (t.reverse(row, 2) != (row == screen_row) || t.reverse(row, 47) != (row == screen_row)) {
        return false;
      }
    }
    return true;
  });
  expect_bar_on(t, screen_row);
}

// ---- Layout ----

TEST_F(ScreenTest, LayoutHeaderShowsTheCaptureFormat) {
  auto t = start("screen-five.txt");
  EXPECT_EQ(t->row_text(0), " Camera control:" + std::string(64, ' ')) << t->dump();
  EXPECT_EQ(t->text(1, 0, 30), " V4L2:       /dev/video0      ");
  EXPECT_EQ(t->text(1, 30, 50),
            ("Config: " + settings_path()).append(42 - settings_path().size(), ' '));
  EXPECT_EQ(t->row_text(2), " Format:     YUYV" + std::string(63, ' '));
  EXPECT_EQ(t->row_text(3), " Resolution: 640x480" + std::string(60, ' '));
}

TEST_F(ScreenTest, LayoutFailedFormatRequestHidesAllFourHeaderLines) {
  auto t = start("screen-thirty.txt");
  EXPECT_EQ(t->text(0, 0, 20), " Camera control:    ") << t->dump();
  for (int row = 1; row <= 3; ++row) EXPECT_EQ(t->row_text(row), std::string(80, ' ')) << row;
  EXPECT_EQ(t->text(4, 0, 50), kListTop);
  EXPECT_EQ(t->text(5, 0, 50), list_row("  Control 00", "5"));
}

// The layout as it starts, and again after Ctrl-L over text that another program (the
// kernel's console messages, wall) wrote across it.
TEST_F(ScreenTest, LayoutHelpPanelAndBordersAlsoAfterARepaint) {
  for (const char* term : {"xterm", "linux"}) {
    SCOPED_TRACE(term);
    TerminalRun run;
    run.term = term;
    auto t = start("screen-five.txt", run);
    t->send("s");  // a message, which the repaint keeps
    const std::string saved = status_area("Config file " + settings_path() + " saved");
    ASSERT_TRUE(t->wait_for_text(0, 20, saved)) << t->dump();
    const auto expect_layout = [&] {
      const std::vector<std::string> help = {"Up/Down/Home/End  Navigate",
                                             "Left/Right          Adjust",
                                             "PgDn/PgUp      Jump Adjust",
                                             "R Reset All",
                                             "D Default",
                                             "N Minimum",
                                             "M Maximum",
                                             "L Load",
                                             "S Save",
                                             "Q Quit",
                                             "P Picture (P/Esc: back)"};
      for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(t->text(13 + i, 50, 30), " " + help[i] + std::string(29 - help[i].size(), ' '))
            << t->dump();
      }
      EXPECT_EQ(t->text(0, 20, 60), saved);
      EXPECT_EQ(t->text(2, 0, 17), " Format:     YUYV");
      EXPECT_EQ(t->row_text(4), kListTop + " " + kDetailEdge + "  ");
      EXPECT_EQ(t->text(12, 51, 27), kDetailEdge);
      EXPECT_EQ(t->text(23, 0, 50), kListTop);
      for (int row = 5; row <= 22; ++row) {
        EXPECT_EQ(t->text(row, 0, 1), "|") << row;
        EXPECT_EQ(t->text(row, 49, 1), "|") << row;
        EXPECT_EQ(t->text(row, 50, 1), " ") << row;
      }
      for (int row = 5; row <= 11; ++row) {
        EXPECT_EQ(t->text(row, 51, 1), "|") << row;
        EXPECT_EQ(t->text(row, 77, 1), "|") << row;
      }
      EXPECT_EQ(t->text(7, 0, 50), list_row("  Power Line Frequency", "50 Hz"));
      for (int row = 10; row <= 22; ++row) EXPECT_EQ(t->text(row, 0, 50), kBlankListRow) << row;
      expect_detail(*t, "Brightness", 50, 0, 100, 2, 50, "Opt:");
      expect_bar_on(*t, 5);
    };
    expect_layout();
    const std::string message = "usb 1-1: USB disconnect, device number 2";
    t->write_over("\033[7;3H" + message);
    t->write_over("\033[15;40H" + message);
    ASSERT_TRUE(t->wait_for_text(14, 39, message)) << t->dump();
    t->send("\x0c");
    ASSERT_TRUE(t->wait_for_text(14, 49, "| Left/Right")) << t->dump();
    t->drain();
    expect_layout();
    t->send("q");
    EXPECT_EQ(t->wait_exit(), 0);
  }
}

TEST_F(ScreenTest, LayoutListAndDetailOfMenuControls) {
  auto t = start("screen-five.txt");
  EXPECT_EQ(t->text(5, 0, 50), list_row("  Brightness", "50")) << t->dump();
  // A label right-aligned to column 47; the name whole although the panel cuts it.
  EXPECT_EQ(t->text(6, 0, 50),
            list_row("+ White Balance Temperature, Auto", "Incandescent Tungsten Lamp"));
  EXPECT_EQ(t->text(6, 2, 46), "+ White Balance Temperature, AutoTungsten Lamp");
  EXPECT_EQ(t->text(7, 0, 50), list_row("  Power Line Frequency", "50 Hz"));
  // An integer menu shows the item's value, not its index.
  EXPECT_EQ(t->text(8, 0, 50), list_row("+ Exposure Bias", "1000"));
  // A value that matches no offered item shows the bare number.
  EXPECT_EQ(t->text(9, 0, 50), list_row("+ Scene Mode", "2"));
  for (int row = 10; row <= 22; ++row) EXPECT_EQ(t->text(row, 0, 50), kBlankListRow) << row;

  expect_detail(*t, "Brightness", 50, 0, 100, 2, 50, "Opt:");
  t->send_key(Key::down);
  // The label is cut where the panel's border begins.
  expect_detail(*t, "White Balance Temperatu", 1, 0, 1, 1, 0, "Opt: Incandescent Tungst");
  t->send_key(Key::down);
  expect_detail(*t, "Power Line Frequency", 1, 0, 3, 1, 1, "Opt:              50 Hz");
  t->send_key(Key::down);
  expect_detail(*t, "Exposure Bias", 3, 0, 4, 1, 2, "Opt:               1000");
  t->send_key(Key::down);
  expect_detail(*t, "Scene Mode", 2, 0, 3, 1, 0, "Opt:");
}

TEST_F(ScreenTest, LayoutTextThatCannotBeShownTakesOneColumnPerByte) {
  auto t = start("screen-refuse.txt");
  t->send_key(Key::down);
  expect_shown(*t, {{5, 51, detail_row("Temp??rature")}, {6, 0, list_row("  Temp??rature", "5")}});
}

// ---- Scrolling ----

TEST_F(ScreenTest, ScrollingFiveControlsLeaveTheRestOfTheListBlank) {
  auto t = start("screen-five.txt");
  t->send_key(Key::end);
  wait_for_bar(*t, 9);
  EXPECT_EQ(t->text(5, 0, 50), list_row("  Brightness", "50"));
  for (int row = 10; row <= 22; ++row) EXPECT_EQ(t->text(row, 0, 50), kBlankListRow) << row;
}

TEST_F(ScreenTest, ScrollingThirtyControlsKeepsTheSelectionOnTheLastRow) {
  auto t = start("screen-thirty.txt");
  const auto expect_window = [&](int first, int selected_row) {
    std::vector<Shown> rows;
    for (int i = 0; i < 18; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "  Control %02d", first + i);
      rows.push_back({5 + i, 0, list_row(name, "5")});
    }
    expect_shown(*t, rows);
    wait_for_bar(*t, selected_row);
  };
  for (int i = 0; i < 17; ++i) t->send_key(Key::down);
  expect_window(0, 22);
  EXPECT_EQ(t->text(5, 51, 27), detail_row("Control 17"));

  t->send_key(Key::down);
  expect_window(1, 22);
  EXPECT_EQ(t->text(5, 51, 27), detail_row("Control 18"));

  t->send_key(Key::end);
  expect_window(12, 22);
  EXPECT_EQ(t->text(5, 51, 27), detail_row("Control 29"));

  // Past the first screenful the selection always sits on the last row, going up as well.
  t->send_key(Key::up);
  expect_window(11, 22);

  t->send_key(Key::home);
  expect_window(0, 5);
}

// ---- Movement ----

TEST_F(ScreenTest, MovementStopsAtBothEndsWithTheBarOnOneRowOnly) {
  for (const char* term : {"xterm", "linux"}) {
    SCOPED_TRACE(term);
    TerminalRun run;
    run.term = term;
    auto t = start("screen-five.txt", run);
    expect_bar_on(*t, 5);
    t->send_key(Key::up);  // already at the first entry
    t->send_key(Key::down);
    wait_for_bar(*t, 6);
    t->send_key(Key::end);
    wait_for_bar(*t, 9);
    EXPECT_EQ(t->text(5, 51, 27), detail_row("Scene Mode"));
    t->send_key(Key::down);  // already at the last entry
    t->send_key(Key::up);
    wait_for_bar(*t, 8);
    t->send_key(Key::home);
    wait_for_bar(*t, 5);
    EXPECT_EQ(t->text(5, 51, 27), detail_row("Brightness"));
    t->send_key(Key::up);
    t->send_key(Key::up);
    t->send_key(Key::down);
    wait_for_bar(*t, 6);
  }
}

// ---- Keys ----

TEST_F(ScreenTest, KeysEveryAdjustKeyMovesTheMarkerAndTheValueLine) {
  struct Step {
    const char* name;
    std::optional<Key> key;  // or else the letter in name
    int value;
    const char* marker;
  };
  // Brightness: 0 to 100, step 2, default 50. Letters of either case act alike.
  const std::vector<Step> steps = {
      {"Right", Key::right, 52, "+"},
      {"Left", Key::left, 50, " "},
      {"Left", Key::left, 48, "-"},
      {"PgUp", Key::page_up, 68, "+"},
      {"PgDn", Key::page_down, 48, "-"},
      {"N", std::nullopt, 0, "-"},
      {"m", std::nullopt, 100, "+"},
      {"d", std::nullopt, 50, " "},
      {"M", std::nullopt, 100, "+"},
      {"n", std::nullopt, 0, "-"},
      {"PgDn at the minimum", Key::page_down, 0, "-"},
      {"Left at the minimum", Key::left, 0, "-"},
      {"D", std::nullopt, 50, " "},
  };
  for (const char* term : {"xterm", "linux"}) {
    SCOPED_TRACE(term);
    std::filesystem::remove(log_path());
    TerminalRun run;
    run.term = term;
    auto t = start("screen-five.txt", run);
    std::string expected_log;
    int previous = 50;
    for (const Step& step : steps) {
      SCOPED_TRACE(step.name);
      if (step.key) {
        t->send_key(*step.key);
      } else {
        t->send(step.name);
      }
      const std::string value = std::to_string(step.value);
      expect_shown(*t, {{5, 0, list_row(std::string(step.marker) + " Brightness", value)},
                        {6, 51, number_line("Val:", step.value)}});
      if (step.value != previous) {
        expected_log += "write id=0x00980900 value=" + value + " result=0 returned=" + value + "\n";
      }
      previous = step.value;
    }
    EXPECT_EQ(log(), expected_log);
  }
}

TEST_F(ScreenTest, KeysAtTheMaximumRightWritesNothing) {
  auto t = start("screen-five.txt");
  t->send("M");
  ASSERT_TRUE(t->wait_for_text(6, 51, number_line("Val:", 100))) << t->dump();
  t->send_key(Key::right);  // at the maximum: nothing to write, nothing new to show
  t->send("s");             // its message shows both keys were taken
  ASSERT_TRUE(t->wait_for_text(0, 20, "Config file " + settings_path() + " saved")) << t->dump();
  EXPECT_EQ(t->text(5, 0, 50), list_row("+ Brightness", "100"));
  EXPECT_EQ(log(), "write id=0x00980900 value=100 result=0 returned=100\n");
}

TEST_F(ScreenTest, KeysAfterLoadTheDetailPanelShowsTheLoadedValue) {
  write_settings("brightness=60\r\nscene_mode=3\r\n");
  auto t = start("screen-five.txt");
  t->send("L");
  ASSERT_TRUE(t->wait_for_text(9, 0, list_row("+ Scene Mode", "Beach/Snow"))) << t->dump();
  ASSERT_TRUE(t->wait_for_text(6, 51, number_line("Val:", 60))) << t->dump();
  EXPECT_EQ(t->text(0, 20, 60), status_area("Config file " + settings_path() + " loaded"));
  EXPECT_EQ(t->text(5, 0, 50), list_row("+ Brightness", "60"));
  t->send_key(Key::left);
  ASSERT_TRUE(t->wait_for_text(6, 51, number_line("Val:", 58))) << t->dump();
  EXPECT_EQ(t->text(5, 0, 50), list_row("+ Brightness", "58"));
}

TEST_F(ScreenTest, KeysResetWritesEveryDefault) {
  auto t = start("screen-five.txt");
  t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(5, 0, list_row("+ Brightness", "52"))) << t->dump();
  t->send("r");
  ASSERT_TRUE(t->wait_for_text(9, 0, list_row("  Scene Mode", "None"))) << t->dump();
  EXPECT_EQ(t->text(5, 0, 50), list_row("  Brightness", "50"));
  EXPECT_EQ(t->text(6, 0, 50), list_row("  White Balance Temperature, Auto", "Off"));
  EXPECT_EQ(t->text(7, 0, 50), list_row("  Power Line Frequency", "50 Hz"));
  EXPECT_EQ(t->text(8, 0, 50), list_row("  Exposure Bias", "0"));
  ASSERT_TRUE(t->wait_for_text(6, 51, number_line("Val:", 50))) << t->dump();
  EXPECT_EQ(log(),
            "write id=0x00980900 value=52 result=0 returned=52\n"
            "write id=0x00980900 value=50 result=0 returned=50\n"
            "write id=0x0098090c value=0 result=0 returned=0\n"
            "write id=0x00980918 value=1 result=0 returned=1\n"
            "write id=0x009a0913 value=2 result=0 returned=2\n"
            "write id=0x009a091a value=0 result=0 returned=0\n");
  // The status area was never used.
  EXPECT_EQ(t->text(0, 17, 63), std::string(63, ' '));
}

TEST_F(ScreenTest, KeysSaveAndLoadReportTheirOutcome) {
  auto t = start("screen-five.txt");
  t->send("M");
  ASSERT_TRUE(t->wait_for_text(5, 0, list_row("+ Brightness", "100"))) << t->dump();
  t->send("S");
  const std::string saved = "Config file " + settings_path() + " saved";
  ASSERT_TRUE(t->wait_for_text(0, 20, saved)) << t->dump();
  EXPECT_EQ(e2e::read_file(settings_path()),
            "brightness=100\r\nwhite_balance_temperature_auto=1\r\nexposure_bias=3\r\n"
            "scene_mode=2\r\n");
  t->send("r");
  ASSERT_TRUE(t->wait_for_text(5, 0, list_row("  Brightness", "50"))) << t->dump();
  EXPECT_EQ(t->text(0, 20, static_cast<int>(saved.size())), saved);  // stays until the next message
  t->send("l");
  // The message is cut where the status area ends, at column 77.
  const std::string loaded =
      ("Config file " + settings_path() + " loaded, not applied: scene_mode").substr(0, 58);
  // The driver refuses the gap in the scene menu, so that entry keeps what it had, and the
  // message names it.
  expect_shown(*t,
               {{0, 20, status_area(loaded)},
                {5, 0, list_row("+ Brightness", "100")},
                {6, 0, list_row("+ White Balance Temperature, Auto", "Incandescent Tungsten Lamp")},
                {8, 0, list_row("+ Exposure Bias", "1000")},
                {9, 0, list_row("  Scene Mode", "None")}});
}

TEST_F(ScreenTest, KeysSaveAndLoadFailuresNameThePath) {
  const std::string missing = dir_ + "/no/such/dir/camera.txt";
  TerminalRun run;
  run.args = {"-c", missing};
  auto t = start("screen-five.txt", run);
  t->send("l");
  ASSERT_TRUE(t->wait_for_text(0, 20, "Cannot load " + missing)) << t->dump();
  t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(5, 0, list_row("+ Brightness", "52"))) << t->dump();
  t->send("s");
  // The reason follows, as far as the status area reaches.
  ASSERT_TRUE(t->wait_for_text(0, 20, "Cannot save " + missing + ": ")) << t->dump();
  // The table is as it was.
  EXPECT_EQ(t->text(5, 0, 50), list_row("+ Brightness", "52"));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// S replaces only this camera's lines of a file that several cameras share; a node without a
// single control has nothing to save and leaves the file alone.
TEST_F(ScreenTest, KeysSaveKeepsOtherCamerasLinesAndANodeWithoutControlsSavesNothing) {
  write_settings("zoom_absolute=3\r\nbrightness=7\r\n");
  auto t = start("screen-five.txt");
  t->send_key(Key::right);
  t->send("s");
  ASSERT_TRUE(t->wait_for_text(0, 20, "Config file " + settings_path() + " saved")) << t->dump();
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
  const std::string saved = e2e::read_file(settings_path());
  EXPECT_TRUE(saved.starts_with("brightness=52\r\n")) << saved;
  EXPECT_TRUE(saved.ends_with("\r\nzoom_absolute=3\r\n")) << saved;
  EXPECT_EQ(saved.find("brightness=7"), std::string::npos) << saved;

  t = start("screen-metadata.txt");
  t->send("s");
  ASSERT_TRUE(t->wait_for_text(0, 20, "Cannot save " + settings_path() + ": The device"))
      << t->dump();
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
  EXPECT_EQ(e2e::read_file(settings_path()), saved);
}

TEST_F(ScreenTest, KeysRefusedWriteIsReportedAndLeavesTheValue) {
  auto t = start("screen-refuse.txt");
  t->send_key(Key::right);
  const std::string refused = "Cannot set Brightness: Device or resource busy";
  ASSERT_TRUE(t->wait_for_text(0, 20, refused)) << t->dump();
  EXPECT_EQ(t->text(5, 0, 50), list_row("  Brightness", "128"));
  EXPECT_EQ(t->text(6, 51, 27), number_line("Val:", 128));
  // A write that goes through leaves the message where it is.
  t->send_key(Key::down);
  t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(6, 0, list_row("+ Temp??rature", "6"))) << t->dump();
  EXPECT_EQ(t->text(0, 20, static_cast<int>(refused.size())), refused);
  // Reset refuses the same control; the area is blanked before the message.
  t->send("s");
  ASSERT_TRUE(t->wait_for_text(0, 20, "Config file")) << t->dump();
  t->send("r");
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area(refused))) << t->dump();
  ASSERT_TRUE(t->wait_for_text(6, 0, list_row("  Temp??rature", "5"))) << t->dump();
}

TEST_F(ScreenTest, KeysLongTextsAreCutAtTheLastColumn) {
  const std::string deep = dir_ + "/" + std::string(70, 'd');
  std::filesystem::create_directory(deep);
  const std::string path = deep + "/camera.txt";
  const std::string header = (" V4L2:       /dev/video0      Config: " + path).substr(0, 80);
  for (const char* term : {"xterm", "linux"}) {
    SCOPED_TRACE(term);
    TerminalRun run;
    run.args = {"-c", path};
    run.term = term;
    auto t = start("screen-five.txt", run);
    EXPECT_EQ(t->row_text(1), header);
    EXPECT_EQ(t->row_text(2), " Format:     YUYV" + std::string(63, ' '));
    t->send("s");
    const std::string message = "Config file " + path + " saved";
    ASSERT_TRUE(t->wait_for_text(0, 20, message.substr(0, 60))) << t->dump();
    EXPECT_EQ(t->row_text(1), header);
    t->send("q");
    EXPECT_EQ(t->wait_exit(), 0);
    EXPECT_TRUE(std::filesystem::exists(path));
    // Without a separate screen to return to, the last picture stays: leaving the screen
    // cleared nothing of it, not even after a message that filled the top row.
    if (std::string(term) == "linux") {
      EXPECT_EQ(t->text(0, 20, 60), message.substr(0, 60)) << t->dump();
      EXPECT_EQ(t->row_text(1), header);
    }
  }
}

TEST_F(ScreenTest, KeysOnAnEmptyTableOnlyCommandsAct) {
  auto t = start("screen-empty.txt");
  EXPECT_EQ(t->text(2, 0, 17), " Format:     MJPG");
  t->send_key(Key::end);
  t->send_key(Key::up);
  t->send_key(Key::right);
  t->send("nmdR");
  t->send("s");
  ASSERT_TRUE(t->wait_for_text(0, 20, "Config file " + settings_path() + " saved")) << t->dump();
  EXPECT_EQ(e2e::read_file(settings_path()), "");
  t->send("l");
  ASSERT_TRUE(t->wait_for_text(0, 20, "Config file " + settings_path() + " loaded")) << t->dump();
  for (int row = 5; row <= 22; ++row) EXPECT_EQ(t->text(row, 0, 50), kBlankListRow) << row;
  for (int row = 5; row <= 11; ++row) EXPECT_EQ(t->text(row, 51, 27), detail_row("")) << row;
  expect_bar_on(*t, -1);
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
  EXPECT_EQ(log().find("write"), std::string::npos) << log();
}

// ---- Following the camera ----

// The kernel's vivid driver as recorded on 6.1: "Gain, Automatic" on row 11, with Gain
// inactive behind it; another program's writes arrive through the simulated camera's control
// channel, at the moment the test chooses.
class FollowTest : public ScreenTest {
 protected:
  std::unique_ptr<Terminal> start_vivid(TerminalRun run = {},
                                        const char* fixture = "vivid-6.1-capture.txt") {
    const std::string fifo = dir_ + "/control";
    // A test may start the camera anew.
    if (control_ >= 0) close(control_);
    std::filesystem::remove(fifo);
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    run.scenario = e2e::fixture_path(fixture);
    run.env.emplace_back("CAMSIM_CONTROL", fifo);
    auto t = start("", run);
    // Open for both ends: never blocks, and the program's side never sees an end.
    control_ = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(control_, 0);
    return t;
  }
  void TearDown() override {
    if (control_ >= 0) close(control_);
    ScreenTest::TearDown();
  }
  // What another program does to the camera, e.g. "set id=0x00980900 value=77", "unplug".
  void other_program(const std::string& command) const {
    const std::string line = command + "\n";
    ASSERT_EQ(write(control_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

  int control_ = -1;
};

const std::string kAutoGain = "0x00980912";

TEST_F(FollowTest, AutoGainOffBringsGainInAndOnTakesItOut) {
  auto t = start_vivid();
  for (int i = 0; i < 6; ++i) t->send_key(Key::down);
  t->send_key(Key::left);
  // Gain joins at its place in the walk, with the value the driver chose for it.
  expect_shown(*t, {{11, 0, list_row("- Gain, Automatic", "0")},
                    {12, 0, list_row("- Gain", "12")},
                    {13, 0, list_row("  Horizontal Flip", "0")}});
  wait_for_bar(*t, 11);
  t->send_key(Key::down);
  expect_shown(*t, {{5, 51, detail_row("Gain")}, {6, 51, number_line("Val:", 12)}});

  // With the selection on it: Gain leaves, and the selection goes on to the next control.
  other_program("set id=" + kAutoGain + " value=1");
  expect_shown(*t, {{11, 0, list_row("  Gain, Automatic", "1")},
                    {12, 0, list_row("  Horizontal Flip", "0")},
                    {5, 51, detail_row("Horizontal Flip")}});
  wait_for_bar(*t, 12);

  // With the selection below it: the selection stays on its control as rows move.
  other_program("set id=" + kAutoGain + " value=0");
  expect_shown(*t, {{12, 0, list_row("- Gain", "12")},
                    {13, 0, list_row("  Horizontal Flip", "0")},
                    {5, 51, detail_row("Horizontal Flip")}});
  wait_for_bar(*t, 13);
  other_program("set id=" + kAutoGain + " value=1");
  expect_shown(*t, {{12, 0, list_row("  Horizontal Flip", "0")},
                    {22, 0, list_row("  OSD Text Mode", "All")}});
  wait_for_bar(*t, 12);
  EXPECT_EQ(logged_writes(), "write id=" + kAutoGain + " value=0 result=0 returned=0\n");
}

TEST_F(FollowTest, AnotherProgramsWriteShowsInTheRowAndThePanel) {
  auto t = start_vivid();
  other_program("set id=0x00980900 value=77");
  expect_shown(*t, {{5, 0, list_row("- Brightness", "77")}, {6, 51, number_line("Val:", 77)}});
  wait_for_bar(*t, 5);
  other_program("set id=0x00980901 value=200");  // a row that is not selected
  expect_shown(*t, {{6, 0, list_row("+ Contrast", "200")}, {6, 51, number_line("Val:", 77)}});
  // The next step starts from what the camera holds, not from what it held at start.
  t->send_key(Key::right);
  expect_shown(*t, {{5, 0, list_row("- Brightness", "78")}, {6, 51, number_line("Val:", 78)}});
  EXPECT_EQ(logged_writes(), "write id=0x00980900 value=78 result=0 returned=78\n");
}

// Keys typed while the camera answers a write arrive together; each acts on the list the keys
// before it made. Left puts the webcam's exposure on manual, and the exposure time joins below
// it: Down goes there, not to the row that stood below before, and Right raises it.
TEST_F(FollowTest, KeysTypedAheadActOnTheRowsTheEarlierKeysBroughtIn) {
  TerminalRun run;
  run.scenario = e2e::fixture_path("uvc-webcam-5.10-armhf.txt");
  auto t = start("", run);
  for (int i = 0; i < 8; ++i) t->send_key(Key::down);
  wait_for_bar(*t, 13);
  t->send(e2e::key_bytes("xterm", Key::left) + e2e::key_bytes("xterm", Key::down) +
          e2e::key_bytes("xterm", Key::right) + e2e::key_bytes("xterm", Key::right));
  expect_shown(*t, {{13, 0, list_row("- Exposure, Auto", "Manual Mode")},
                    {14, 0, list_row("+ Exposure (Absolute)", "252")},
                    {15, 0, list_row("  Exposure, Auto Priority", "0")},
                    {5, 51, detail_row("Exposure (Absolute)")}});
  wait_for_bar(*t, 14);
  EXPECT_EQ(logged_writes(),
            "write id=0x009a0901 value=1 result=0 returned=1\n"
            "write id=0x009a0902 value=251 result=0 returned=251\n"
            "write id=0x009a0902 value=252 result=0 returned=252\n");
}

// R puts automatic exposure back on, which takes the exposure time over: 6.1's uvcvideo would
// refuse its write. The reset leaves it out, says nothing, and the selection moves on.
TEST_F(FollowTest, ResetHandsTheExposureTimeBackToAutomaticExposure) {
  TerminalRun run;
  run.scenario = e2e::fixture_path("uvc-webcam-6.1.txt");
  auto t = start("", run);
  for (int i = 0; i < 8; ++i) t->send_key(Key::down);
  t->send_key(Key::left);
  ASSERT_TRUE(t->wait_for_text(14, 0, list_row("  Exposure Time, Absolute", "250"))) << t->dump();
  t->send_key(Key::down);
  wait_for_bar(*t, 14);
  t->send("r");
  expect_shown(*t, {{13, 0, list_row("  Auto Exposure", "Aperture Priority Mode")},
                    {14, 0, list_row("  Exposure, Dynamic Framerate", "0")},
                    {5, 51, detail_row("Exposure, Dynamic Frame")}});  // cut at the panel's edge
  wait_for_bar(*t, 14);
  EXPECT_EQ(t->text(0, 17, 63), std::string(63, ' '));
  EXPECT_EQ(logged_writes().find("id=0x009a0902"), std::string::npos) << logged_writes();
}

TEST_F(FollowTest, LoadRestoresAManualValueSavedBeforeItsAutoControl) {
  write_settings("gain=200\r\ngain_automatic=0\r\n");
  auto t = start_vivid();
  t->send("l");
  expect_shown(*t, {{0, 20, status_area("Config file " + settings_path() + " loaded")},
                    {11, 0, list_row("- Gain, Automatic", "0")},
                    {12, 0, list_row("+ Gain", "200")},
                    {13, 0, list_row("  Horizontal Flip", "0")}});
  EXPECT_EQ(log(), "write id=" + kAutoGain +
                       " value=0 result=0 returned=0\n"
                       "write id=0x00980913 value=200 result=0 returned=200\n");
}

TEST_F(FollowTest, LoadNamesThePairsItCouldNotApply) {
  // A short path, so the names fit in the status area beside it.
  char short_dir[] = "/tmp/cXXXXXX";
  ASSERT_NE(mkdtemp(short_dir), nullptr);
  const std::string path = std::string(short_dir) + "/s";
  std::ofstream(path, std::ios::binary) << "gain=200\r\nno_such_control=1\r\nmenu=2\r\n";
  TerminalRun run;
  run.args = {"-c", path};
  auto t = start_vivid(run);
  t->send("l");
  // Gain stays inactive, the menu's index 2 is a gap; a key of another camera is no failure.
  const std::string expected = "Config file " + path + " loaded, not applied: gain,menu";
  expect_shown(*t, {{0, 20, status_area(expected)}});
  std::filesystem::remove_all(short_dir);
}

TEST_F(FollowTest, ChangesWhileTheTerminalIsTooSmallShowWhenItGrowsBack) {
  auto t = start_vivid();
  t->resize(10, 40);
  t->send("x");
  ASSERT_TRUE(t->wait_for_text(0, 0, "Terminal too small: 10x40, need at least")) << t->dump();
  other_program("set id=" + kAutoGain + " value=0");
  other_program("set id=0x00980900 value=77");
  t->resize(24, 80);
  t->send("x");
  expect_shown(*t, {{5, 0, list_row("- Brightness", "77")},
                    {12, 0, list_row("- Gain", "12")},
                    {6, 51, number_line("Val:", 77)}});
  wait_for_bar(*t, 5);
}

TEST_F(FollowTest, UnpluggedCameraIsReportedAndTheScreenStaysIdle) {
  auto t = start_vivid();
  other_program("unplug");
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area("Camera /dev/video0 disconnected"))) << t->dump();
  for (int i = 0; i < 10; ++i) t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area("Cannot set Brightness: No such device")))
      << t->dump();
  EXPECT_EQ(t->text(5, 0, 50), list_row("  Brightness", "128"));
  t->send("q");  // taken after the ten keys before it
  EXPECT_EQ(t->wait_exit(), 0);
  // The program stopped waiting on the device once it was gone: one wait before the unplug
  // woke it, and none for the ten keys after it. A loop on the device would count thousands.
  EXPECT_NE(log().find("waits node=1\n"), std::string::npos) << log();
}

// vimc as recorded on 6.1, from its RGB/YUV capture node: the sensor's rows, the lens's focus
// and the debayer's window size, each on its own subdevice node.
TEST_F(FollowTest, TheCaptureNodeOfAPipelineShowsAndChangesEverySubdevicesControls) {
  TerminalRun run;
  run.args = {"-c", settings_path(), "-v", "/dev/video2"};
  auto t = start_vivid(run, "vimc-6.1.txt");
  EXPECT_EQ(t->text(1, 0, 30), " V4L2:       /dev/video2      ");
  EXPECT_EQ(t->row_text(2), " Format:     RGB3" + std::string(63, ' '));
  expect_shown(*t, {{5, 0, list_row("  Brightness", "128")},
                    {12, 0, list_row("  Show Information", "All")},
                    {13, 0, list_row("  Focus, Absolute", "0")},
                    {14, 0, list_row("  Debayer Mean Window Size", "3")},
                    {15, 0, kBlankListRow}});
  t->send_key(Key::right);
  for (int i = 0; i < 9; ++i) t->send_key(Key::down);
  t->send_key(Key::right);
  expect_shown(*t, {{5, 0, list_row("+ Brightness", "129")},
                    {14, 0, list_row("+ Debayer Mean Window Size", "5")}});
  // Another program's changes on the sensor's and the lens's own nodes show at once.
  other_program("set path=/dev/v4l-subdev0 id=0x00980901 value=200");
  other_program("set path=/dev/v4l-subdev6 id=0x009a090a value=512");
  expect_shown(
      *t, {{6, 0, list_row("+ Contrast", "200")}, {13, 0, list_row("+ Focus, Absolute", "512")}});
  t->send("r");
  expect_shown(*t, {{5, 0, list_row("  Brightness", "128")},
                    {6, 0, list_row("  Contrast", "128")},
                    {13, 0, list_row("  Focus, Absolute", "0")},
                    {14, 0, list_row("  Debayer Mean Window Size", "3")}});
  const std::string writes = logged_writes();
  EXPECT_EQ(writes.substr(0, writes.find('\n', writes.find('\n') + 1) + 1),
            "write path=/dev/v4l-subdev0 id=0x00980900 value=129 result=0 returned=129\n"
            "write path=/dev/v4l-subdev2 id=0x00f0f001 value=5 result=0 returned=5\n");
  EXPECT_NE(writes.find("write path=/dev/v4l-subdev6 id=0x009a090a value=0 "), std::string::npos)
      << writes;
}

// An unbind of the driver takes every node of the pipeline away: one message, and no node is
// waited on again, so the ten keys after it cost no wait on a node.
TEST_F(FollowTest, AnUnbindOfThePipelineIsReportedAndTheScreenStaysIdle) {
  TerminalRun run;
  run.args = {"-c", settings_path(), "-v", "/dev/video0"};
  auto t = start_vivid(run, "vimc-5.10-armhf.txt");
  other_program("unplug");
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area("Camera /dev/video0 disconnected"))) << t->dump();
  for (int i = 0; i < 10; ++i) t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area("Cannot set Brightness: No such device")))
      << t->dump();
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
  EXPECT_NE(log().find("waits path=/dev/v4l-subdev0 node=1\n"), std::string::npos) << log();
}

TEST_F(ScreenTest, LayoutHeaderOfASubdeviceNamesItsEntity) {
  TerminalRun run;
  run.scenario = e2e::fixture_path("vimc-5.10-armhf.txt");
  run.args = {"-c", settings_path(), "-v", "/dev/v4l-subdev0"};
  auto t = start("", run);
  EXPECT_EQ(t->text(1, 0, 30), " V4L2:       /dev/v4l-subdev0 ") << t->dump();
  EXPECT_EQ(t->row_text(2), " Subdevice:  Sensor A" + std::string(59, ' '));
  EXPECT_EQ(t->row_text(3), std::string(80, ' '));
  expect_shown(*t, {{5, 0, list_row("  Brightness", "128")},
                    {12, 0, list_row("  Show Information", "All")}});
  t->send_key(Key::left);
  expect_shown(*t, {{5, 0, list_row("- Brightness", "127")}});
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
  EXPECT_EQ(logged_writes(),
            "write path=/dev/v4l-subdev0 id=0x00980900 value=127 result=0 returned=127\n");
}

// A camera whose events fail, or that wakes the program with none to hand over, is said on
// the status line and followed on: at once after a passing fault, after the next key while it
// lasts, and never by spinning on it.
TEST_F(FollowTest, EventFaultsAreSaidAndTheCameraIsFollowedOn) {
  const std::pair<const char*, const char*> faults[] = {
      {"EIO", "Input/output error"}, {"EINVAL", "Invalid argument"}, {"ENOENT", "none pending"}};
  for (const auto& [error, reason] : faults) {
    SCOPED_TRACE(error);
    std::filesystem::remove(log_path());
    auto t = start_vivid();
    const std::string said =
        status_area(std::string("Camera /dev/video0 events failed: ") + reason);
    other_program(std::string("dequeue error=") + error + " count=1");
    ASSERT_TRUE(t->wait_for_text(0, 20, said)) << t->dump();
    other_program("set id=0x00980900 value=77");
    expect_shown(*t, {{5, 0, list_row("- Brightness", "77")}, {6, 51, number_line("Val:", 77)}});

    // A fault that lasts: keys still act, and each one tries the camera again.
    other_program(std::string("dequeue error=") + error + " count=-1");
    other_program("set id=0x00980901 value=200");
    for (int i = 0; i < 10; ++i) t->send_key(Key::right);
    expect_shown(*t, {{0, 20, said}, {6, 51, number_line("Val:", 87)}});
    other_program(std::string("dequeue error=") + error + " count=0");
    t->send("x");
    expect_shown(*t, {{6, 0, list_row("+ Contrast", "200")}});
    t->send("q");
    EXPECT_EQ(t->wait_exit(), 0);
    // Twelve keys, each trying the failing node at most twice, and the waits before them: a
    // loop on the node would count thousands.
    const std::string text = log();
    const std::size_t at = text.find("waits node=");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LE(std::stol(text.substr(at + 11)), 40) << text;
  }
}

// ---- The picture view ----

// vivid as recorded on 6.1 (YUYV 640x360, Brightness 0 to 255 at 128), whose frames arrive
// when the test sends them. The simulated test picture is a gradient that Brightness lifts.
class PictureTest : public FollowTest {
 protected:
  static constexpr int kControlRow = 21;
  static constexpr int kMeterRow = 22;
  static constexpr int kNoticeRow = 10;

  // Opens the view and waits for the control line of the selected control.
  void open_view(Terminal& t, const std::string& control_line) {
    t.send("p");
    ASSERT_TRUE(t.wait_for_text(kControlRow, 1, control_line)) << t.dump();
  }
  // Sends a frame and waits until the meter shows one; returns its Mean.
  int frame_mean(Terminal& t) {
    const std::string before = t.row_text(kMeterRow);
    other_program("frame");
    int mean = -1;
    t.wait_until([&] {
      const std::string row = t.row_text(kMeterRow);
      // The whole line, up to the histogram's end: a frame may come in several reads.
      if (row == before || row.rfind(" Mean ", 0) != 0 || row.find(']') == std::string::npos) {
        return false;
      }
      mean = std::stoi(row.substr(6));
      return true;
    });
    return mean;
  }
  // The stream's requests in the log, in order.
  std::string stream_log() const {
    std::string lines;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("stream ") || line.starts_with("command stream")) lines += line + "\n";
    }
    return lines;
  }
};

const std::string kStreamed =
    "stream reqbufs count=1 result=0 buffers=2\nstream on result=0\n"
    "stream off result=0\nstream reqbufs count=0 result=0 buffers=0\n";

// In the view the list's keys act on the selected control, whose line follows them, and the
// meter's Mean follows Brightness; P or Esc goes back to the list with the selection kept, the
// buffers freed so another program can stream at once. On a 256-colour terminal the cells are
// grey backgrounds, on `linux` and vt100 characters of a density ramp.
TEST_F(PictureTest, KeysInTheViewChangeTheControlAndTheMeterFollowsBrightness) {
  struct Console {
    const char* term;
    const char* close_key;
  };
  for (const Console& console :
       {Console{"xterm-256color", "p"}, Console{"linux", "\x1b"}, Console{"vt100", "P"}}) {
    SCOPED_TRACE(console.term);
    std::filesystem::remove(log_path());
    TerminalRun run;
    run.term = console.term;
    auto t = start_vivid(run);
    t->send_key(Key::down);
    open_view(*t, "Contrast: 128");
    t->send_key(Key::up);
    ASSERT_TRUE(t->wait_for_text(kControlRow, 1, "Brightness: 128 ")) << t->dump();
    const int mean = frame_mean(*t);
    EXPECT_GE(mean, 40) << t->dump();
    EXPECT_LE(mean, 60) << t->dump();
    EXPECT_NE(t->row_text(kMeterRow).find("Dark 0%  Bright 0%"), std::string::npos) << t->dump();
    // Dark on the left of the gradient, light on the right.
    if (std::string(console.term) == "xterm-256color") {
      EXPECT_EQ(t->text(1, 0, 78), std::string(78, ' '));
      EXPECT_LT(t->background(1, 0), t->background(1, 77)) << t->dump();
      EXPECT_GE(t->background(1, 0), 232);
    } else {
      EXPECT_EQ(t->text(1, 0, 1), " ") << t->dump();
      EXPECT_EQ(t->text(1, 77, 1), "@") << t->dump();
      EXPECT_EQ(t->background(1, 77), -1);
    }
    for (int i = 0; i < 40; ++i) t->send_key(Key::right);
    ASSERT_TRUE(t->wait_for_text(kControlRow, 1, "Brightness: 168 ")) << t->dump();
    EXPECT_GT(frame_mean(*t), mean + 10) << t->dump();
    t->send("m");
    ASSERT_TRUE(t->wait_for_text(kControlRow, 1, "Brightness: 255 ")) << t->dump();
    frame_mean(*t);
    EXPECT_EQ(t->row_text(kMeterRow).find("Bright 0%"), std::string::npos) << t->dump();

    t->send(console.close_key);
    expect_shown(*t, {{5, 0, list_row("+ Brightness", "255")},
                      {6, 51, number_line("Val:", 255)},
                      {kNoticeRow, 0, list_row("  Mute", "0")}});
    wait_for_bar(*t, 5);
    // Freed at once: another program streams straight after.
    other_program("stream other");
    EXPECT_TRUE(t->wait_until([&] { return stream_log().size() > kStreamed.size(); }));
    EXPECT_EQ(stream_log(), kStreamed + "command stream other result=0\n");
    t->send("q");
    EXPECT_EQ(t->wait_exit(), 0);
  }
}

// While another program streams, the view says so; the controls still change, and the line
// goes with the view. The buffers it holds are not the program's to free.
TEST_F(PictureTest, AnotherProgramStreamingIsSaidAndTheControlsStillChange) {
  auto t = start_vivid();
  other_program("stream other");
  open_view(*t, "Brightness: 128");
  ASSERT_TRUE(t->wait_for_text(kNoticeRow, 1, "The camera is streaming to another program"))
      << t->dump();
  t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(kControlRow, 1, "Brightness: 129 ")) << t->dump();
  t->send("\x1b");
  // The list comes back in several writes: its row over the notice's is waited for too.
  expect_shown(*t,
               {{5, 0, list_row("+ Brightness", "129")}, {kNoticeRow, 0, list_row("  Mute", "0")}});
  EXPECT_EQ(t->row_text(kNoticeRow).find("streaming"), std::string::npos) << t->dump();
  EXPECT_EQ(logged_writes(), "write id=0x00980900 value=129 result=0 returned=129\n");
  EXPECT_EQ(stream_log(),
            "command stream other result=0\nstream reqbufs count=1 result=EBUSY buffers=1\n");
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
}

// A camera the view cannot show a picture of says why, requests no buffers, and keeps its
// controls at hand.
TEST_F(PictureTest, WithoutAPictureTheViewSaysWhy) {
  struct Case {
    std::string scenario;
    std::vector<std::string> args;
    std::string notice;
    std::string control_line;
  };
  const Case cases[] = {
      {scenario("screen-undrawable.txt"),
       {},
       "The picture's format H264 cannot be drawn",
       "Brightness: 50"},
      {e2e::fixture_path("vimc-5.10-armhf.txt"),
       {"-v", "/dev/v4l-subdev0"},
       "A subdevice has no picture: open the camera's capture node",
       "Brightness: 128"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.notice);
    std::filesystem::remove(log_path());
    TerminalRun run;
    run.scenario = c.scenario;
    run.args = {"-c", settings_path()};
    run.args.insert(run.args.end(), c.args.begin(), c.args.end());
    auto t = start("", run);
    open_view(*t, c.control_line);
    ASSERT_TRUE(t->wait_for_text(kNoticeRow, 1, c.notice)) << t->dump();
    t->send_key(Key::left);
    ASSERT_TRUE(t->wait_for_text(kControlRow, 1, "Brightness: ")) << t->dump();
    t->send("p");
    ASSERT_TRUE(t->wait_for_text(5, 0, list_row("- Brightness").substr(0, 14))) << t->dump();
    t->send("q");
    EXPECT_EQ(t->wait_exit(), 0);
    EXPECT_EQ(stream_log(), "");
  }
}

// A line slower than the frames: while the terminal still sends a frame at its declared speed,
// frames offered go back to the driver at once but the newest, which is drawn when the line is
// free; a key in between is answered first. The pty's own 38400 baud and a 4800 baud line.
TEST_F(PictureTest, FramesWaitForTheLineAndKeysGoFirst) {
  struct Line {
    const char* term;
    speed_t speed;
  };
  for (const Line& line : {Line{"linux", B4800}, Line{"xterm-256color", 0}}) {
    SCOPED_TRACE(line.term);
    std::filesystem::remove(log_path());
    TerminalRun run;
    run.term = line.term;
    run.speed = line.speed;
    auto t = start_vivid(run);
    t->send_key(Key::down);
    open_view(*t, "Contrast: 128");
    const int first = frame_mean(*t);
    const std::string first_meter = t->row_text(kMeterRow);
    // The first frame takes the line seconds (1.7 KB at 480 bytes a second, 9 KB at 3840);
    // eight frames come meanwhile, the last one the brightest, each after the one before was
    // taken.
    constexpr int kOffered = 8;
    auto frame_results = [&] {
      std::string results;
      std::istringstream in(log());
      for (std::string entry; std::getline(in, entry);) {
        if (entry.starts_with("command frame ")) results += entry + "\n";
      }
      return results;
    };
    for (int i = 1; i <= kOffered; ++i) {
      other_program("set id=0x00980900 value=" + std::string(i % 2 == 0 ? "255" : "0"));
      other_program("frame");
      ASSERT_TRUE(t->wait_until([&] {
        const std::string results = frame_results();
        return std::count(results.begin(), results.end(), '\n') > i;
      })) << log();
    }
    t->send_key(Key::right);
    ASSERT_TRUE(t->wait_for_text(kControlRow, 1, "Contrast: 129 ")) << t->dump();
    EXPECT_EQ(t->row_text(kMeterRow), first_meter) << t->dump();
    // Only the line's deadline wakes the program now; the frame it draws is the newest.
    ASSERT_TRUE(t->wait_until([&] {
      return t->row_text(kMeterRow).find("Bright 0%") == std::string::npos;
    })) << t->dump();
    EXPECT_GT(std::stoi(t->row_text(kMeterRow).substr(6)), first + 20) << t->dump();
    // Every frame found a buffer queued: the one kept before went back as a newer came.
    std::string expected;
    for (int i = 0; i <= kOffered; ++i) expected += "command frame result=0\n";
    EXPECT_EQ(frame_results(), expected);
    t->send("q");
    EXPECT_EQ(t->wait_exit(), 0);
    const std::string stream = stream_log();
    EXPECT_EQ(stream.substr(stream.find("stream off")),
              "stream off result=0\nstream reqbufs count=0 result=0 buffers=0\n");
  }
}

// Every way out of the run with the view open gives the buffers back first; an unplug in the
// view is today's disconnected message.
TEST_F(PictureTest, WaysOutOfTheViewFreeTheBuffers) {
  for (const int signal : {0, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(log_path());
    auto t = start_vivid();
    open_view(*t, "Brightness: 128");
    frame_mean(*t);
    if (signal == 0) {
      t->send("q");
    } else {
      kill(t->pid(), signal);
    }
    EXPECT_EQ(t->wait_exit(), signal == 0 ? 0 : -1) << t->dump();
    EXPECT_EQ(stream_log(), kStreamed);
  }
  std::filesystem::remove(log_path());
  auto t = start_vivid();
  open_view(*t, "Brightness: 128");
  other_program("unplug");
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area("Camera /dev/video0 disconnected"))) << t->dump();
  t->send_key(Key::right);
  ASSERT_TRUE(t->wait_for_text(0, 20, status_area("Cannot set Brightness: No such device")))
      << t->dump();
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0);
  EXPECT_NE(log().find("waits node="), std::string::npos);
}

// ---- Ways out ----

// Q, and the signals a terminal or a user sends: Ctrl-C, Ctrl-\\ (SIGQUIT), a hang-up of a
// terminal that is still there (kill -HUP), SIGTERM. Each leaves the terminal as it found it,
// and each signal ends the program as that signal would, for its shell to see.
TEST_F(ScreenTest, WaysOutQuitAndSignalsRestoreTheTerminal) {
  struct Way {
    const char* name;
    const char* keys;  // or else the signal is sent
    int signal;        // 0: exits with status 0
  };
  const Way ways[] = {{"Q", "Q", 0},
                      {"Ctrl-C", "\x03", SIGINT},
                      {"Ctrl-\\", "\x1c", SIGQUIT},
                      {"SIGHUP", nullptr, SIGHUP},
                      {"SIGTERM", nullptr, SIGTERM}};
  // Core files allowed as far as this machine lets: a quit must still leave none.
  rlimit core{};
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
  const rlimit before_test = core;
  core.rlim_cur = core.rlim_max;
  setrlimit(RLIMIT_CORE, &core);
  for (const Way& way : ways) {
    for (const char* term : {"xterm", "linux"}) {
      SCOPED_TRACE(std::string(way.name) + " on " + term);
      TerminalRun run;
      run.term = term;
      auto t = start("screen-five.txt", run);
      const termios before = t->initial_modes();
      EXPECT_EQ(t->modes().c_lflag & (ICANON | ECHO), 0u);
      if (way.keys != nullptr) {
        t->send(way.keys);
      } else {
        kill(t->pid(), way.signal);
      }
      EXPECT_EQ(t->wait_exit(), way.signal == 0 ? 0 : -1) << t->dump();
      EXPECT_EQ(t->term_signal(), way.signal);
      const termios after = t->modes();
      EXPECT_EQ(after.c_lflag, before.c_lflag);
      EXPECT_EQ(after.c_iflag, before.c_iflag);
      EXPECT_EQ(after.c_oflag, before.c_oflag);
      if (std::string(term) == "xterm") {
        // Back on the normal screen, where the start-up lines were printed.
        EXPECT_EQ(t->text(0, 0, 32), "INFO: Opening /dev/video0 device") << t->dump();
        EXPECT_EQ(t->text(4, 0, 16), std::string(16, ' '));
      }
      EXPECT_FALSE(t->dumped_core());
    }
  }
  setrlimit(RLIMIT_CORE, &before_test);
}

TEST_F(ScreenTest, WaysOutEndOfInputEndsTheRunAsQuitDoes) {
  auto t = std::make_unique<Terminal>(TerminalRun{
      {"-c", settings_path()}, scenario("screen-five.txt"), log_path(), "xterm", 24, 80, true});
  EXPECT_EQ(t->wait_exit(), 0) << t->dump();
  EXPECT_EQ(t->text(0, 0, 32), "INFO: Opening /dev/video0 device") << t->dump();
  EXPECT_EQ(t->modes().c_lflag, t->initial_modes().c_lflag);
}

TEST_F(ScreenTest, WaysOutTerminalTooSmall) {
  for (const auto& [rows, cols] : std::vector<std::pair<int, int>>{{23, 80}, {24, 77}, {10, 40}}) {
    TerminalRun run{{"-c", settings_path()},
                    scenario("screen-five.txt"),
                    log_path(),
                    "xterm",
                    rows,
                    cols,
                    false};
    Terminal t(run);
    EXPECT_EQ(t.wait_exit(), 1) << t.dump();
    const std::string error = "ERROR: Terminal too small: " + std::to_string(rows) + "x" +
                              std::to_string(cols) + ", need at least 24x78";
    bool shown = false;
    for (int row = 0; row < rows; ++row) {
      // Long lines wrap on a narrow terminal; join them back.
      std::string joined;
      for (int r = row; r < rows; ++r) joined += t.row_text(r);
      if (joined.rfind(error, 0) == 0) shown = true;
    }
    EXPECT_TRUE(shown) << t.dump();
    EXPECT_EQ(t.modes().c_lflag, t.initial_modes().c_lflag);
  }
  // Exactly 24x78 is enough.
  TerminalRun run;
  run.cols = 78;
  auto t = start("screen-five.txt", run);
  EXPECT_EQ(t->text(22, 51, 6), "Q Quit");
}

TEST_F(ScreenTest, WaysOutResizeToTenByFortyAndBack) {
  auto t = start("screen-five.txt");
  t->send_key(Key::down);
  wait_for_bar(*t, 6);
  // A resize that lands while the program is not waiting for a key is noticed with the next
  // key, so each resize is followed by a key without a binding, as a user would press one.
  t->resize(10, 40);
  t->send("x");
  ASSERT_TRUE(t->wait_for_text(0, 0, "Terminal too small: 10x40, need at least")) << t->dump();
  t->resize(24, 80);
  t->send("x");
  ASSERT_TRUE(t->wait_for_text(22, 51, "Q Quit")) << t->dump();
  ASSERT_TRUE(t->wait_for_text(12, 51, kDetailEdge)) << t->dump();
  EXPECT_EQ(t->text(2, 0, 17), " Format:     YUYV");
  EXPECT_EQ(t->text(4, 0, 50), kListTop);
  EXPECT_EQ(t->text(6, 0, 50),
            list_row("+ White Balance Temperature, Auto", "Incandescent Tungsten Lamp"));
  EXPECT_EQ(t->text(5, 51, 27), detail_row("White Balance Temperatu"));
  expect_bar_on(*t, 6);
  // And it goes on working.
  t->send("d");
  ASSERT_TRUE(t->wait_for_text(6, 0, list_row("  White Balance Temperature, Auto", "Off")))
      << t->dump();
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0) << t->dump();
  EXPECT_EQ(log().substr(0, log().find("requests")),
            "write id=0x0098090c value=0 result=0 returned=0\n");
}

TEST_F(ScreenTest, WaysOutQuitWhileTheTerminalIsTooSmall) {
  auto t = start("screen-five.txt");
  t->resize(12, 60);
  t->send("x");
  ASSERT_TRUE(t->wait_for_text(0, 0, "Terminal too small: 12x60, need at least 24x78"))
      << t->dump();
  t->send("q");
  EXPECT_EQ(t->wait_exit(), 0) << t->dump();
  EXPECT_EQ(t->modes().c_lflag, t->initial_modes().c_lflag);
}

}  // namespace
