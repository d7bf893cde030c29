// The settings file's text: what the writer puts out, how the reader takes it, and what a load
// does.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "controls/adjust.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "settings/settings.h"
#include "sim/in_process.h"
#include "support/settings_text.h"

namespace {

using camctl::SettingsPair;
using camctl::SettingsReader;
using settings_text::Pair;
using settings_text::read_file;
using settings_text::scan_with_libc;
using settings_text::write_file;

std::vector<Pair> read_text(std::string_view text) {
  SettingsReader reader(text);
  std::vector<Pair> pairs;
  SettingsPair pair;
  while (reader.next(pair)) {
    pairs.push_back({std::string(pair.key_text()), pair.value, pair.key_too_long});
  }
  return pairs;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "settings-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------------------
// The reader's scan rules, on plain text.

TEST(SettingsReader, LineEndsOfEveryKindAndNoFinalLineEnd) {
  const std::vector<Pair> expected{{"brightness", 60}, {"contrast", 40}};
  EXPECT_EQ(read_text("brightness=60\r\ncontrast=40\r\n"), expected);
  EXPECT_EQ(read_text("brightness=60\ncontrast=40\n"), expected);
  EXPECT_EQ(read_text("brightness=60\rcontrast=40\r"), expected);
  EXPECT_EQ(read_text("brightness=60\r\ncontrast=40"), expected);
  // Blank lines and the next line's leading blanks go with the line end.
  EXPECT_EQ(read_text("brightness=60\r\n\r\n\n \t contrast=40"), expected);
}

TEST(SettingsReader, KeysRunToTheEqualsSignWhateverTheyHold) {
  EXPECT_EQ(read_text("brightness = 60\r\n"), (std::vector<Pair>{{"brightness ", 60}}));
  // A line without "=" becomes the front of the next key.
  EXPECT_EQ(read_text("contrast=40\n# comment\nsaturation=20\nhue=3\n"),
            (std::vector<Pair>{{"contrast", 40}, {"# comment\nsaturation", 20}, {"hue", 3}}));
  // Blanks at the very start stay in the first key; after a pair they are swallowed.
  EXPECT_EQ(read_text(" brightness=60\r\n brightness=61\r\n"),
            (std::vector<Pair>{{" brightness", 60}, {"brightness", 61}}));
  // Zero bytes are key bytes like any other.
  EXPECT_EQ(read_text(std::string_view("bright\0ness=1", 13)),
            (std::vector<Pair>{{std::string("bright\0ness", 11), 1}}));
  // Text straight after a number starts the next key.
  EXPECT_EQ(read_text("a=1b=2"), (std::vector<Pair>{{"a", 1}, {"b", 2}}));
}

TEST(SettingsReader, NumbersTakeSignsAndLeadingWhiteSpace) {
  EXPECT_EQ(read_text("a=-5\nb=+7\nc=\r\n  9\nd=-0\ne=0000000000000000000000042\n"),
            (std::vector<Pair>{{"a", -5}, {"b", 7}, {"c", 9}, {"d", 0}, {"e", 42}}));
}

TEST(SettingsReader, NumbersBeyondThirtyTwoBitsTakeTheNearestValue) {
  EXPECT_EQ(
      read_text("a=2147483647\nb=-2147483648\nc=2147483648\nd=-2147483649\n"),
      (std::vector<Pair>{{"a", INT32_MAX}, {"b", INT32_MIN}, {"c", INT32_MAX}, {"d", INT32_MIN}}));
  EXPECT_EQ(read_text("a=4294967296\nb=-18446744073709551617\n"),
            (std::vector<Pair>{{"a", INT32_MAX}, {"b", INT32_MIN}}));
  // Hundreds of digits are read through, and reading goes on.
  const std::string digits(500, '9');
  EXPECT_EQ(read_text("a=" + digits + "\r\nb=-" + digits + "\r\nc=3\r\n"),
            (std::vector<Pair>{{"a", INT32_MAX}, {"b", INT32_MIN}, {"c", 3}}));
}

TEST(SettingsReader, StopsForGood) {
  // A value that is not a number.
  EXPECT_EQ(read_text("contrast=abc\nbrightness=60\n"), std::vector<Pair>{});
  EXPECT_EQ(read_text("a=1\nb=-\nc=3\n"), (std::vector<Pair>{{"a", 1}}));
  EXPECT_EQ(read_text("a=1\nb=+-3\nc=3\n"), (std::vector<Pair>{{"a", 1}}));
  EXPECT_EQ(read_text("a=1\nb="), (std::vector<Pair>{{"a", 1}}));
  // An empty key: a line that begins with "=".
  EXPECT_EQ(read_text("=5\nbrightness=60\n"), std::vector<Pair>{});
  EXPECT_EQ(read_text("a=1\n=5\nb=2\n"), (std::vector<Pair>{{"a", 1}}));
  // No "=" before the end.
  EXPECT_EQ(read_text("a=1\nbrightness 60\n"), (std::vector<Pair>{{"a", 1}}));
  EXPECT_EQ(read_text(""), std::vector<Pair>{});

  SettingsReader reader("a=x\nb=2\n");
  SettingsPair pair;
  EXPECT_FALSE(reader.next(pair));
  EXPECT_FALSE(reader.next(pair));
}

TEST(SettingsReader, LongKeysAreReadThroughAndNeverKept) {
  const std::string name32(32, 'k');
  EXPECT_EQ(read_text(name32 + "=1\n"), (std::vector<Pair>{{name32, 1}}));
  EXPECT_EQ(read_text(name32 + "x=1\nb=2\n"), (std::vector<Pair>{{name32, 1, true}, {"b", 2}}));
  const std::string huge(100000, 'k');
  EXPECT_EQ(read_text(huge + "=7\r\nb=2\r\n"), (std::vector<Pair>{{name32, 7, true}, {"b", 2}}));
  // A huge key that never meets "=" ends the reading.
  EXPECT_EQ(read_text("a=1\n" + huge), (std::vector<Pair>{{"a", 1}}));
}

TEST(SettingsReader, AgreesWithTheCLibraryScanOnGeneratedText) {
  // Text made of the bytes that matter to the scan, in every order. Numbers are kept to
  // nine digits: the C library's handling of overflow is not the reader's.
  constexpr std::string_view kAlphabet = "ab==  \r\n\n\t-+0123456789#";
  std::mt19937 random(20261208);
  int compared = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t length = random() % 60;
    for (std::size_t i = 0; i < length; ++i) text += kAlphabet[random() % kAlphabet.size()];
    if (text.find("0000000000") != std::string::npos) continue;
    bool long_number = false;
    std::size_t run = 0;
    for (const char ch : text) {
      run = (ch >= '0' && ch <= '9') ? run + 1 : 0;
      long_number = long_number || run > 9;
    }
    if (long_number) continue;
    ASSERT_EQ(read_text(text), scan_with_libc(text)) << testing::PrintToString(text);
    ++compared;
  }
  EXPECT_GT(compared, 10000);
}

// ---------------------------------------------------------------------------------------
// The writer's text.

camctl::ControlEntry entry(const char* name, std::int32_t value, std::int32_t default_value) {
  camctl::ControlEntry result;
  result.variable_name = name;
  result.value = value;
  result.default_value = default_value;
  return result;
}

TEST(SettingsWriter, OnlyEntriesAwayFromTheirDefaultsInTableOrder) {
  camctl::ControlTable table;
  table.entries = {entry("brightness", 60, 50), entry("contrast", 0, 0),
                   entry("saturation", -20, 0), entry("exposure_absolute", INT32_MIN, 250),
                   entry("gain", INT32_MAX, 0)};
  EXPECT_EQ(camctl::format_settings(table),
            "brightness=60\r\nsaturation=-20\r\nexposure_absolute=-2147483648\r\n"
            "gain=2147483647\r\n");
  for (camctl::ControlEntry& e : table.entries) e.value = e.default_value;
  EXPECT_EQ(camctl::format_settings(table), "");

  TempDir dir;
  const std::string path = dir.file("camera.txt");
  table.entries[0].value = 60;
  ASSERT_TRUE(camctl::save_settings(table, path.c_str()));
  EXPECT_EQ(read_file(path), "brightness=60\r\n");
  table.entries[0].value = 50;
  ASSERT_TRUE(camctl::save_settings(table, path.c_str()));
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(read_file(path), "");
}

// A save keeps the lines of the file it replaces that belong to no control of its camera: one
// file serves several cameras. A line of its own goes, whatever name and line end it has.
TEST(SettingsWriter, KeepsEveryLineThatNamesNoControlOfThisCamera) {
  camctl::ControlTable table;
  table.entries = {entry("brightness", 60, 50), entry("contrast", 0, 0),
                   entry("auto_exposure", 1, 3)};
  table.entries[2].id = 0x009a0901;
  table.inactive = {entry("exposure_time_absolute", 0, 0)};
  table.inactive[0].id = 0x009a0902;
  // Hidden with -i, and read-only: still this camera's.
  table.unlisted = {{0x00980913, "gain"}, {0x00980001, "user_controls"}};
  const std::string ours = "brightness=60\r\nauto_exposure=1\r\n";
  const struct {
    const char* name;
    const char* previous;
    const char* kept;  // after this camera's own lines
  } cases[] = {
      {"no file", "", ""},
      {"another camera's lines, in order, with CR LF", "zoom_absolute=3\nfocus_absolute=40\r\n",
       "zoom_absolute=3\r\nfocus_absolute=40\r\n"},
      {"our lines are replaced, never kept twice", "brightness=10\r\ncontrast=7\r\npan=1\r\n",
       "pan=1\r\n"},
      {"the other kernel's names of our controls",
       "exposure_auto=1\r\nexposure_absolute=300\r\ntilt=2\r\n", "tilt=2\r\n"},
      {"waiting, hidden and read-only controls are ours",
       "exposure_time_absolute=300\r\ngain=7\r\nuser_controls=0\r\n", ""},
      {"blanks before a key the reader would swallow", "pan=1\r\n  brightness=5\r\n", "pan=1\r\n"},
      {"lines that name nothing stay as they are",
       "a comment\r\nbrightness =5\r\n\r\n=9\r\nzoom_absolute=x",
       "a comment\r\nbrightness =5\r\n\r\n=9\r\nzoom_absolute=x\r\n"},
      // The reader takes pairs, not lines: so does the merge.
      {"a pair of ours behind another camera's, on one line", "foo=1 brightness=10\r\n",
       "foo=1\r\n"},
      {"another camera's pair behind ours, on one line", "brightness=10 other_cam=5\r\n",
       "other_cam=5\r\n"},
      {"ours between two others, on one line and at a line end",
       "foo=1\tbrightness=10 bar=2\nzoom=3 contrast=4\n  pan=5 tilt=6\rgain=1",
       "foo=1\tbar=2\r\nzoom=3\r\n  pan=5 tilt=6\r\n"},
      // Its key is the comment, a line end and brightness: no load ever applied it.
      {"a line without \"=\" is the front of the next pair's key",
       "# mine\nbrightness=10\nzoom=3\n", "# mine\r\nbrightness=10\r\nzoom=3\r\n"},
      {"a key of blanks alone at the very start", "  =5 zoom=3", "zoom=3\r\n"},
      {"a stop straight after a number", "zoom=3=5\nbrightness=1", "zoom=3=5\r\nbrightness=1\r\n"},
      {"ours straight after a number, before a key that begins with a digit",
       "zoom=1brightness=5 2pan=3", "zoom=1 2pan=3\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(camctl::merge_settings(table, c.previous), ours + c.kept);
  }
  for (camctl::ControlEntry& e : table.entries) e.value = e.default_value;
  EXPECT_EQ(camctl::merge_settings(table, "brightness=60\r\n"), "");

  // A node without a single control saves nothing, and leaves the file as it was.
  TempDir dir;
  const std::string path = dir.file("camera.txt");
  write_file(path, "brightness=60\n\r\n");
  EXPECT_FALSE(camctl::save_settings(camctl::ControlTable{}, path.c_str()));
  EXPECT_EQ(read_file(path), "brightness=60\n\r\n");
  EXPECT_FALSE(camctl::save_settings(camctl::ControlTable{}, dir.file("new.txt").c_str()));
  EXPECT_FALSE(std::filesystem::exists(dir.file("new.txt")));
}

// ---------------------------------------------------------------------------------------
// Loading into the table and the simulated camera.

constexpr const char* kDevice =
    "device driver=\"t\" card=\"Test\" bus_info=\"test:0\" version=0x1 capabilities=0x84200001 "
    "device_caps=0x04200001\n";

std::string control_line(std::uint32_t id, const std::string& name, std::int64_t min,
                         std::int64_t max, std::int64_t def, std::int64_t value = INT64_MIN) {
  return "control id=0x" +
         [&] {
           char hex[16];
           std::snprintf(hex, sizeof hex, "%08x", id);
           return std::string(hex);
         }() +
         " type=1 name=\"" + name + "\" minimum=" + std::to_string(min) +
         " maximum=" + std::to_string(max) + " step=1 default=" + std::to_string(def) +
         " flags=0x0 value=" + std::to_string(value == INT64_MIN ? def : value) + "\n";
}

// Brightness 0..100 (50), contrast, saturation, hue -100..100 (0), in that order.
const std::string kPictureControls = control_line(0x00980900, "Brightness", 0, 100, 50) +
                                     control_line(0x00980901, "Contrast", -100, 100, 0) +
                                     control_line(0x00980902, "Saturation", -100, 100, 0) +
                                     control_line(0x00980903, "Hue", -100, 100, 0);

class Load : public ::testing::Test {
 protected:
  void start(const std::string& controls, std::vector<std::string_view> ignore = {}) {
    sim_ =
        std::make_unique<camsim::InProcessCamera>(camsim::scenario_from_text(kDevice + controls));
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_TRUE(camctl::open_capture_device(device_, "/dev/video0", sink));
    table_ = {};
    camctl::build_control_table(device_, ignore, false, sink, table_);
    std::fclose(sink);
    sim_->camera().clear_write_log();
  }
  void TearDown() override {
    device_.close();
    sim_.reset();
  }
  bool load_text(std::string_view text) {
    write_file(path_, text);
    sim_->camera().clear_write_log();
    report_ = {};
    return camctl::load_settings(table_, device_, path_.c_str(), &report_);
  }
  std::int32_t value(const char* name) const {
    for (const auto& e : table_.entries) {
      if (e.variable_name == name) return e.value;
    }
    ADD_FAILURE() << "no entry " << name;
    return 0;
  }
  // The writes the camera saw, as "id=value" in order.
  std::vector<std::pair<std::uint32_t, std::int32_t>> writes() const {
    std::vector<std::pair<std::uint32_t, std::int32_t>> result;
    for (const camsim::Write& w : sim_->camera().write_log()) result.emplace_back(w.id, w.value);
    return result;
  }
  void reset() {
    camctl::reset_all_controls(table_, device_);
    sim_->camera().clear_write_log();
  }

  TempDir dir_;
  std::string path_ = dir_.file("camera.txt");
  std::unique_ptr<camsim::InProcessCamera> sim_;
  camctl::Camera device_;
  camctl::ControlTable table_;
  camctl::LoadReport report_;
};

using Writes = std::vector<std::pair<std::uint32_t, std::int32_t>>;

TEST_F(Load, CasesUsersFilesDependOn) {
  start(kPictureControls);
  EXPECT_TRUE(load_text("brightness=60\ncontrast=40\n"));
  EXPECT_EQ(writes(), (Writes{{0x00980900, 60}, {0x00980901, 40}}));
  EXPECT_EQ(value("brightness"), 60);
  EXPECT_EQ(value("contrast"), 40);
  reset();

  EXPECT_TRUE(load_text("brightness = 60\r\n"));
  EXPECT_EQ(writes(), Writes{});

  EXPECT_TRUE(load_text("contrast=40\r\n# my settings\r\nsaturation=20\r\nhue=3\r\n"));
  EXPECT_EQ(writes(), (Writes{{0x00980901, 40}, {0x00980903, 3}}));
  EXPECT_EQ(value("saturation"), 0);
  reset();

  EXPECT_TRUE(load_text("contrast=abc\r\nbrightness=60\r\n"));
  EXPECT_TRUE(load_text("=60\r\nbrightness=60\r\n"));
  EXPECT_EQ(writes(), Writes{});
  EXPECT_EQ(value("brightness"), 50);

  EXPECT_TRUE(load_text("brightness=60\r\nbrightness=70\r\n"));
  EXPECT_EQ(writes(), (Writes{{0x00980900, 60}, {0x00980900, 70}}));
  EXPECT_EQ(value("brightness"), 70);
  reset();

  EXPECT_TRUE(load_text(" brightness=60\r\n"));
  EXPECT_EQ(writes(), Writes{});
  EXPECT_TRUE(load_text("contrast=1\r\n brightness=60\r\n"));
  EXPECT_EQ(writes(), (Writes{{0x00980901, 1}, {0x00980900, 60}}));
}

TEST_F(Load, WritesOnlyWhatChangesAndSendsTheNumberUnchecked) {
  start(kPictureControls);
  EXPECT_TRUE(load_text("brightness=50\r\ncontrast=0\r\n"));
  EXPECT_EQ(writes(), Writes{});
  // Out of range: the camera gets the number as written and the table what the camera kept.
  EXPECT_TRUE(load_text("brightness=500\r\ncontrast=-99999999999999\r\n"));
  EXPECT_EQ(writes(), (Writes{{0x00980900, 500}, {0x00980901, INT32_MIN}}));
  EXPECT_EQ(value("brightness"), 100);
  EXPECT_EQ(value("contrast"), -100);
}

TEST_F(Load, RefusedWriteLeavesItsEntryAndLoadingGoesOn) {
  start(kPictureControls + "fail id=0x00980901 error=EBUSY\n");
  EXPECT_TRUE(load_text("contrast=40\r\nhue=3\r\n"));
  EXPECT_EQ(value("contrast"), 0);
  ASSERT_EQ(report_.unapplied.size(), 1U);
  EXPECT_EQ(report_.unapplied[0].name, "contrast");
  EXPECT_EQ(report_.unapplied[0].reason, camctl::UnappliedPair::Reason::refused);
  EXPECT_EQ(report_.unapplied[0].error, EBUSY);
  EXPECT_FALSE(report_.complete());
  EXPECT_EQ(value("hue"), 3);
  EXPECT_EQ(writes(), (Writes{{0x00980901, 40}, {0x00980903, 3}}));
}

TEST_F(Load, FilesThatCannotBeReadAreFailures) {
  start(kPictureControls);
  EXPECT_FALSE(camctl::load_settings(table_, device_, dir_.file("missing.txt").c_str()));
  EXPECT_FALSE(camctl::load_settings(table_, device_, dir_.file("").c_str()));
  const std::string locked = dir_.file("locked.txt");
  write_file(locked, "brightness=60\r\n");
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir_.file("").c_str(), 0755), 0);
  bool loaded = true;
  if (::geteuid() == 0) {
    // Root reads everything; an unprivileged user is refused.
    ASSERT_EQ(::seteuid(65534), 0);
    loaded = camctl::load_settings(table_, device_, locked.c_str());
    ASSERT_EQ(::seteuid(0), 0);
  } else {
    loaded = camctl::load_settings(table_, device_, locked.c_str());
  }
  EXPECT_FALSE(loaded);
  EXPECT_EQ(value("brightness"), 50);

  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A pipe nobody writes is empty, not a wait.
  EXPECT_TRUE(camctl::load_settings(table_, device_, fifo.c_str()));
  EXPECT_EQ(writes(), Writes{});
  // A pipe is read to its end, as -c <(...) hands one over; one that never ends is refused.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], "hue=9\r\n", 7), 7);
  ::close(ends[1]);
  EXPECT_TRUE(
      camctl::load_settings(table_, device_, ("/dev/fd/" + std::to_string(ends[0])).c_str()));
  ::close(ends[0]);
  EXPECT_EQ(writes(), (Writes{{0x00980903, 9}}));
  EXPECT_FALSE(camctl::load_settings(table_, device_, "/dev/zero"));
}

TEST_F(Load, BadInputIsReadSafely) {
  const std::string name32 = "Abcdefghijklmnopqrstuvwxyz Abcde";  // fills the 32-byte field
  start(kPictureControls + control_line(0x00980910, name32, 0, 1000, 0));
  const std::string key32 = "abcdefghijklmnopqrstuvwxyz_abcde";

  EXPECT_TRUE(load_text(std::string(5000, 'x') + "=1\r\n" + key32 + "x=2\r\nbrightness=60\r\n"));
  EXPECT_EQ(writes(), (Writes{{0x00980900, 60}}));
  EXPECT_TRUE(load_text(key32 + "=3"));
  EXPECT_EQ(writes(), (Writes{{0x00980910, 3}}));

  EXPECT_TRUE(load_text("brightness=" + std::string(300, '7') + "\rcontrast=5"));
  EXPECT_EQ(writes(), (Writes{{0x00980900, INT32_MAX}, {0x00980901, 5}}));

  EXPECT_TRUE(load_text(std::string_view("hue\0=9\r\nsaturation=9\r\n", 22)));
  EXPECT_EQ(writes(), (Writes{{0x00980902, 9}}));

  // A file as large as a save writes, its last line a real one; a byte more is no settings
  // file, and nothing of it is applied.
  std::string big;
  while (big.size() < camctl::kMaxSettingsFileSize) big += "unknown_control=12345\r\n";
  big.resize(camctl::kMaxSettingsFileSize - 7);
  big += "\nhue=-7";
  EXPECT_TRUE(load_text(big));
  EXPECT_EQ(writes(), (Writes{{0x00980903, -7}}));
  EXPECT_FALSE(load_text(big + "\n"));
  EXPECT_EQ(writes(), Writes{});
  EXPECT_FALSE(load_text(std::string(10'000'000, 'k')));

  // Binary garbage with real pairs in it: the camera sees exactly the pairs the text reader
  // finds, up to where reading stops in the random tail.
  reset();
  std::mt19937 random(99);
  const char* const kNames[] = {"brightness", "hue", "contrast", "saturation"};
  std::string garbage;
  for (int i = 0; i < 20000; ++i) {
    for (int junk = static_cast<int>(random() % 40); junk > 0; --junk) {
      const char ch = static_cast<char>(random());
      if (ch != '=') garbage += ch;
    }
    garbage += "\n" + std::string(kNames[random() % 4]) + "=" +
               std::to_string(static_cast<int>(random() % 201) - 100) + "\r\n";
  }
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>(random());
  EXPECT_TRUE(load_text(garbage));
  Writes expected;
  camctl::ControlTable shadow = table_;
  SettingsReader reader(garbage);
  SettingsPair pair;
  while (reader.next(pair)) {
    for (auto& e : shadow.entries) {
      if (!pair.key_too_long && e.variable_name == pair.key_text()) {
        if (e.value != pair.value) expected.emplace_back(e.id, pair.value);
        e.value = pair.value;
        break;
      }
    }
  }
  EXPECT_GT(expected.size(), 100U);
  EXPECT_EQ(writes(), expected);
}

// ---------------------------------------------------------------------------------------
// Save, reset, load.

TEST_F(Load, RoundTripAfterAReset) {
  start(kPictureControls);
  camctl::write_control_value(device_, table_.at(0), 61);
  camctl::write_control_value(device_, table_.at(2), -33);
  ASSERT_TRUE(camctl::save_settings(table_, path_.c_str()));
  EXPECT_EQ(read_file(path_), "brightness=61\r\nsaturation=-33\r\n");
  reset();
  ASSERT_TRUE(camctl::load_settings(table_, device_, path_.c_str()));
  EXPECT_EQ(value("brightness"), 61);
  EXPECT_EQ(value("contrast"), 0);
  EXPECT_EQ(value("saturation"), -33);
  EXPECT_EQ(writes(), (Writes{{0x00980900, 61}, {0x00980902, -33}}));
}

TEST_F(Load, AnEmptyVariableNameEndsTheLoadAtItsLine) {
  start(control_line(0x00980900, "Brightness", 0, 100, 50) +
        control_line(0x00980901, "+++", 0, 100, 50) +
        control_line(0x00980902, "Contrast", -100, 100, 0));
  ASSERT_EQ(table_.at(1).variable_name, "");
  for (std::size_t i = 0; i < 3; ++i) camctl::write_control_value(device_, table_.at(i), 7);
  ASSERT_TRUE(camctl::save_settings(table_, path_.c_str()));
  EXPECT_EQ(read_file(path_), "brightness=7\r\n=7\r\ncontrast=7\r\n");
  reset();
  ASSERT_TRUE(camctl::load_settings(table_, device_, path_.c_str()));
  EXPECT_EQ(table_.at(0).value, 7);
  EXPECT_EQ(table_.at(1).value, 50);
  EXPECT_EQ(table_.at(2).value, 0);
}

TEST_F(Load, TwoControlsSharingAVariableName) {
  start(control_line(0x00980913, "Gain", 0, 100, 1) + control_line(0x00980914, "Gain!", 0, 100, 2));
  camctl::write_control_value(device_, table_.at(0), 10);
  camctl::write_control_value(device_, table_.at(1), 20);
  ASSERT_TRUE(camctl::save_settings(table_, path_.c_str()));
  EXPECT_EQ(read_file(path_), "gain=10\r\ngain=20\r\n");
  reset();
  ASSERT_TRUE(camctl::load_settings(table_, device_, path_.c_str()));
  EXPECT_EQ(table_.at(0).value, 20);
  EXPECT_EQ(table_.at(1).value, 2);
}

TEST_F(Load, AnIgnoredControlLeavesTheFileOnSave) {
  start(kPictureControls, {"brightness"});
  write_file(path_, "brightness=60\r\ncontrast=5\r\n");
  ASSERT_TRUE(camctl::load_settings(table_, device_, path_.c_str()));
  ASSERT_TRUE(camctl::save_settings(table_, path_.c_str()));
  EXPECT_EQ(read_file(path_), "contrast=5\r\n");
}

// ---------------------------------------------------------------------------------------
// Auto controls: a pair whose control is inactive at its turn waits until the same load makes
// that control active, whatever the order of the file.

// Gain (volatile, automatic value 12) under "Gain, Automatic"; "Focus (absolute)" walked
// before its own auto control, as uvcvideo lists them; Contrast always refused.
const std::string kClusterControls =
    control_line(0x00980901, "Contrast", -100, 100, 0) + "fail id=0x00980901 error=EBUSY\n" +
    "control id=0x00980912 type=2 name=\"Gain, Automatic\" minimum=0 maximum=1 step=1 default=1 "
    "flags=0x8 value=1\n"
    "control id=0x00980913 type=1 name=\"Gain\" minimum=0 maximum=255 step=1 default=100 "
    "flags=0x90 value=12\n"
    "cluster master=0x00980912 manual=0 members=0x00980913 volatile=1\n"
    "control id=0x009a090a type=1 name=\"Focus (absolute)\" minimum=0 maximum=1023 step=5 "
    "default=0 flags=0x10 value=0\n"
    "control id=0x009a090c type=2 name=\"Focus, Auto\" minimum=0 maximum=1 step=1 default=1 "
    "flags=0x0 value=1\n"
    "cluster master=0x009a090c manual=0 members=0x009a090a volatile=0\n";

std::string unapplied_text(const camctl::LoadReport& report) {
  std::string text;
  for (const camctl::UnappliedPair& pair : report.unapplied) {
    const char* reason = pair.reason == camctl::UnappliedPair::Reason::refused    ? "refused"
                         : pair.reason == camctl::UnappliedPair::Reason::inactive ? "inactive"
                                                                                  : "unknown";
    text += pair.name + ":" + reason + " ";
  }
  return text;
}

TEST_F(Load, AutoControlsComeBackInAnyOrder) {
  struct Case {
    const char* file;
    Writes writes;          // what the camera saw, in order
    const char* listed;     // the listed controls afterwards, "name=value ..."
    const char* unapplied;  // name:reason ...
  };
  const Case cases[] = {
      // The manual value first: it waits for its auto control, then follows it at once.
      {"gain=200\r\ngain_automatic=0\r\n",
       {{0x00980912, 0}, {0x00980913, 200}},
       "contrast=0 gain_automatic=0 gain=200 focus_auto=1 ",
       ""},
      {"gain_automatic=0\r\ngain=200\r\n",
       {{0x00980912, 0}, {0x00980913, 200}},
       "contrast=0 gain_automatic=0 gain=200 focus_auto=1 ",
       ""},
      // Walk order of a webcam: the focus before its auto control.
      {"focus_absolute=300\r\nfocus_auto=0\r\n",
       {{0x009a090c, 0}, {0x009a090a, 300}},
       "contrast=0 gain_automatic=1 focus_absolute=300 focus_auto=0 ",
       ""},
      // A repeated key applies again, in file order, also while waiting.
      {"gain=30\r\ngain=40\r\ngain_automatic=0\r\n",
       {{0x00980912, 0}, {0x00980913, 30}, {0x00980913, 40}},
       "contrast=0 gain_automatic=0 gain=40 focus_auto=1 ",
       ""},
      // The auto control stays on: the manual value is never written, and said so.
      {"gain=200\r\nbrightness=5\r\ncontrast=4\r\n",
       {{0x00980901, 4}},
       "contrast=0 gain_automatic=1 focus_auto=1 ",
       "gain:inactive brightness:unknown contrast:refused "},
      // Turned on again by the same file before the waiting pair's control ever came up.
      {"gain=200\r\ngain_automatic=1\r\n",
       {},
       "contrast=0 gain_automatic=1 focus_auto=1 ",
       "gain:inactive "},
      // On, off, on: the manual value is applied while its control is active, then it leaves.
      {"gain=200\r\ngain_automatic=0\r\ngain_automatic=1\r\n",
       {{0x00980912, 0}, {0x00980913, 200}, {0x00980912, 1}},
       nullptr,  // Gain leaves the list when the camera's event says so
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    start(kClusterControls);
    EXPECT_TRUE(load_text(c.file));
    EXPECT_EQ(writes(), c.writes);
    std::string listed;
    for (const auto& e : table_.entries)
      listed += e.variable_name + "=" + std::to_string(e.value) + " ";
    if (c.listed != nullptr) {
      EXPECT_EQ(listed, c.listed);
    }
    EXPECT_EQ(unapplied_text(report_), c.unapplied);
    EXPECT_EQ(report_.complete(),
              std::string(c.unapplied).find("i") == std::string::npos &&
                  std::string(c.unapplied).find("refused") == std::string::npos);
    for (const auto& e : table_.entries) {
      ASSERT_EQ(sim_->camera().control(e.id)->value, e.value) << e.variable_name;
    }
    TearDown();
  }
}

// A file saved under one kernel's names for the standard webcam controls loads under the
// other's: keyed by control id, whichever name the camera gives the control now.
TEST_F(Load, RenamedWebcamControlsLoadUnderEitherName) {
  const std::string older =
      "control id=0x009a0901 type=3 name=\"Exposure, Auto\" minimum=0 "
      "maximum=3 step=1 default=3 flags=0x0 value=3\n"
      "menu id=0x009a0901 index=1 name=\"Manual Mode\"\n"
      "menu id=0x009a0901 index=3 name=\"Aperture Priority Mode\"\n" +
      control_line(0x009a0902, "Exposure (Absolute)", 3, 2047, 250);
  std::string newer = older;
  newer.replace(newer.find("Exposure, Auto"), 14, "Auto Exposure");
  newer.replace(newer.find("Exposure (Absolute)"), 19, "Exposure Time, Absolute");
  const struct {
    const std::string* controls;
    const char* file;
  } cases[] = {
      {&newer, "exposure_auto=1\r\nexposure_absolute=300\r\n"},
      {&older, "auto_exposure=1\r\nexposure_time_absolute=300\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    start(*c.controls);
    EXPECT_TRUE(load_text(c.file));
    EXPECT_EQ(writes(), (Writes{{0x009a0901, 1}, {0x009a0902, 300}}));
    EXPECT_EQ(unapplied_text(report_), "");
    // Saved again under this camera's own names.
    ASSERT_TRUE(camctl::save_settings(table_, path_.c_str()));
    EXPECT_EQ(read_file(path_),
              table_.at(0).variable_name + "=1\r\n" + table_.at(1).variable_name + "=300\r\n");
    TearDown();
  }
}

// Any table of controls with names of their own comes back whole from its file.
TEST_F(Load, RoundTripOfGeneratedTables) {
  std::mt19937 random(4242);
  const char* const kWords[] = {"Gain", "Zoom", "Focus", "Pan", "Tilt", "Iris", "White", "Sharp"};
  for (int round = 0; round < 60; ++round) {
    std::string controls;
    const int count = 1 + static_cast<int>(random() % 24);
    for (int i = 0; i < count; ++i) {
      const std::string name = std::string(kWords[random() % 8]) + " " + std::to_string(i) +
                               (random() % 2 ? " Level" : "");
      std::int64_t low = static_cast<std::int32_t>(random());
      std::int64_t high = static_cast<std::int32_t>(random());
      if (random() % 4 == 0) low = INT32_MIN;
      if (random() % 4 == 0) high = INT32_MAX;
      if (low > high) std::swap(low, high);
      const auto pick = [&] {
        return low + static_cast<std::int64_t>(random() % (high - low + 1));
      };
      controls += control_line(0x00980900 + static_cast<std::uint32_t>(i), name, low, high, pick());
    }
    start(controls);
    std::vector<std::int32_t> saved;
    for (auto& e : table_.entries) {
      if (random() % 3 != 0) {
        const std::int64_t span = std::int64_t{e.maximum} - e.minimum + 1;
        camctl::write_control_value(
            device_, e,
            static_cast<std::int32_t>(e.minimum + static_cast<std::int64_t>(random() % span)));
      }
      saved.push_back(e.value);
    }
    // The file still holds the last round's camera, whose lines this camera's save keeps.
    const std::string previous = read_file(path_);
    ASSERT_TRUE(camctl::save_settings(table_, path_.c_str()));
    ASSERT_EQ(read_file(path_), camctl::merge_settings(table_, previous));
    reset();
    ASSERT_TRUE(camctl::load_settings(table_, device_, path_.c_str()));
    for (std::size_t i = 0; i < table_.count(); ++i) {
      ASSERT_EQ(table_.at(i).value, saved[i])
          << "round " << round << " " << table_.at(i).variable_name;
      ASSERT_EQ(sim_->camera().control(table_.at(i).id)->value, saved[i]);
    }
    TearDown();
  }
}

// Whatever the file a save replaces holds, loading the saved file gives the table's values, and
// every pair of another camera comes through, in order: mixed line ends, CR alone, blank lines,
// pairs sharing lines, comment lines, either kernel's names, and text where reading stops.
TEST_F(Load, ASaveOverAnyFileLoadsBackTheTableAndKeepsEveryOtherPair) {
  // Two plain controls, and two that Linux 5.10 and 6.1 name differently.
  const std::tuple<std::uint32_t, const char*, const char*> kControls[] = {
      {0x00980900, "Brightness", "Brightness"},
      {0x00980901, "Contrast", "Contrast"},
      {0x0098090e, "White Balance Red Component", "Red Balance"},
      {0x009a0902, "Exposure (Absolute)", "Exposure Time, Absolute"}};
  const std::vector<std::string> kKeys = {
      "brightness", "contrast",     "white_balance_red_component", "red_balance",
      "pan",        "brightness ",  "exposure_absolute",           "exposure_time_absolute",
      "zoom",       "# mine\nzoom", std::string(40, 'k')};
  const char* const kGaps[] = {" ", "\t", "\r\n", "\n", "\r", "\r\n\r\n", "\n  "};
  const char* const kStops[] = {"", "", "=9\r\nbrightness=1", "zoom=x\n", "words"};
  std::mt19937 random(2026);
  for (int round = 0; round < 300; ++round) {
    std::string controls;
    for (const auto& [id, older, newer] : kControls) {
      if (id < 0x00980902 || random() % 2 == 0) {
        controls += control_line(id, round % 2 == 0 ? older : newer, -100, 100, 0);
      }
    }
    start(controls);
    std::vector<std::int32_t> values;
    for (camctl::ControlEntry& e : table_.entries) {
      if (random() % 2 == 0) camctl::write_control_value(device_, e, int(random() % 201) - 100);
      values.push_back(e.value);
    }
    std::string old = random() % 4 == 0 ? "  " : "";
    for (int pairs = int(random() % 12); pairs > 0; --pairs) {
      old += kKeys[random() % kKeys.size()] + "=" + std::to_string(int(random() % 2001) - 1000) +
             kGaps[random() % 7];
    }
    old += kStops[random() % 5];
    const std::string saved = camctl::merge_settings(table_, old);
    ASSERT_EQ(settings_text::merge_fault(table_, old, saved), "") << testing::PrintToString(old);
    reset();
    ASSERT_TRUE(load_text(saved));
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(table_.at(i).value, values[i]) << testing::PrintToString(saved);
    }
    TearDown();
  }
}

}  // namespace
