// Saving the controls that are away from their defaults, and loading them back.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "controls/adjust.h"
#include "controls/control_aliases.h"
#include "controls/control_sync.h"
#include "controls/control_table.h"

namespace camctl {
namespace {

// The control a key names: the first in walk order whose variable name it is, listed or not.
// A file saved under a kernel that names a standard webcam control differently still names
// that control by the other kernel's name.
const ControlEntry* named_control(const ControlTable& table, std::string_view key) {
  const ControlEntry* found = nullptr;
  for (const auto* list : {&table.entries, &table.inactive}) {
    for (const ControlEntry& entry : *list) {
      if (entry.variable_name != key) continue;
      if (found == nullptr || entry.key() < found->key()) found = &entry;
      break;
    }
  }
  if (found != nullptr) return found;
  const std::uint32_t id = aliased_control_id(key);
  if (id == 0) return nullptr;
  for (const auto* list : {&table.entries, &table.inactive}) {
    for (const ControlEntry& entry : *list) {
      if (entry.id != id) continue;
      if (found == nullptr || entry.key() < found->key()) found = &entry;
      break;
    }
  }
  return found;
}

// One load: pairs in file order, and those waiting for their control to turn active.
class Loader {
 public:
  Loader(ControlTable& table, Camera& camera, LoadReport* report)
      : table_(table), camera_(camera), report_(report) {}

  void apply(const SettingsPair& pair) {
    const std::size_t ordinal = pairs_++;
    if (pair.key_too_long) return give_up(pair, ordinal, UnappliedPair::Reason::unknown, 0);
    const ControlEntry* control = named_control(table_, pair.key_text());
    if (control == nullptr) return give_up(pair, ordinal, UnappliedPair::Reason::unknown, 0);
    Pending pending{pair, control->key(), ordinal};
    if (std::find(written_.begin(), written_.end(), pending.key.node) != written_.end()) {
      // An earlier write of this load to the node may have turned the control active or
      // inactive (an auto control); the table learns of it from the device only now.
      TableChanges changes;
      recheck_control(table_, camera_, pending.key, changes);
    }
    if (!write(pending)) return;
    if (std::find(written_.begin(), written_.end(), pending.key.node) == written_.end()) {
      written_.push_back(pending.key.node);
    }
    wake_waiting();
  }

  // Pairs still waiting when the file ends were never applied. The report lists every pair
  // not applied in file order.
  void finish() {
    for (const Pending& pending : waiting_) {
      give_up(pending.pair, pending.ordinal, UnappliedPair::Reason::inactive, 0);
    }
    waiting_.clear();
    if (report_ == nullptr) return;
    std::vector<UnappliedPair> ordered;
    ordered.reserve(given_up_.size());
    std::stable_sort(given_up_.begin(), given_up_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [ordinal, pair] : given_up_) ordered.push_back(std::move(pair));
    report_->unapplied = std::move(ordered);
  }

 private:
  struct Pending {
    SettingsPair pair;
    ControlKey key;
    std::size_t ordinal;  // the pair's place in the file
  };

  // Writes the pair if its control is listed, or puts it to wait. True when the camera took
  // a new value, which may have turned other controls active.
  bool write(const Pending& pending) {
    ControlEntry* entry = find_listed(table_, pending.key);
    if (entry == nullptr) {
      // A value written to an inactive control is lost, or kept only by some drivers, once its
      // auto control lets go of it; so it waits for that.
      waiting_.push_back(pending);
      return false;
    }
    if (entry->value == pending.pair.value) return false;
    if (const int error = write_control_value(camera_, *entry, pending.pair.value); error != 0) {
      give_up(pending.pair, pending.ordinal, UnappliedPair::Reason::refused, error);
      return false;
    }
    return true;
  }

  // After a write, the waiting pairs whose controls it turned active are applied, in file
  // order; their writes may wake further pairs in turn.
  void wake_waiting() {
    bool progress = true;
    while (progress && !waiting_.empty()) {
      progress = false;
      TableChanges changes;
      std::vector<ControlKey> asked;
      for (const Pending& pending : waiting_) {
        if (std::find(asked.begin(), asked.end(), pending.key) != asked.end()) continue;
        asked.push_back(pending.key);
        recheck_control(table_, camera_, pending.key, changes);
      }
      if (!changes.rows) return;
      std::vector<Pending> ready;
      std::vector<Pending> still;
      for (const Pending& pending : waiting_) {
        (find_listed(table_, pending.key) != nullptr ? ready : still).push_back(pending);
      }
      waiting_ = std::move(still);
      for (const Pending& pending : ready) progress = write(pending) || progress;
    }
  }

  void give_up(const SettingsPair& pair, std::size_t ordinal, UnappliedPair::Reason reason,
               int error) {
    if (report_ == nullptr) return;
    given_up_.emplace_back(ordinal, UnappliedPair{std::string(pair.key_text()), reason, error});
  }

  ControlTable& table_;
  Camera& camera_;
  LoadReport* report_;
  std::vector<Pending> waiting_;
  std::vector<std::pair<std::size_t, UnappliedPair>> given_up_;
  std::size_t pairs_ = 0;
  std::vector<std::size_t> written_;  // the nodes that took a value of this load
};

// Opens the file for reading without hanging on a pipe that has no writer yet; a
// directory opens but is no settings file.
std::FILE* open_for_reading(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* stream = ::fdopen(fd, "r");
  if (stream == nullptr) ::close(fd);
  return stream;
}

// The file a save replaces may hold other cameras' lines, which the save keeps. A file that
// cannot be read, or is too large to be a settings file, is not replaced at all: what it holds
// would be lost. Pipes and device nodes have nothing to keep.
bool read_previous_settings(const char* path, std::string& text) {
  constexpr off_t kMaxPreviousSize = off_t{1} << 20;
  text.clear();
  struct stat info {};
  if (::stat(path, &info) != 0) return errno == ENOENT;
  if (!S_ISREG(info.st_mode)) return true;
  if (info.st_size > kMaxPreviousSize) return false;
  std::FILE* stream = open_for_reading(path);
  if (stream == nullptr) return errno == ENOENT;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0 &&
         static_cast<off_t>(text.size() + got) <= kMaxPreviousSize) {
    text.append(buffer, got);
  }
  const bool ok = got == 0 && std::ferror(stream) == 0;
  std::fclose(stream);
  return ok;
}

}  // namespace

bool LoadReport::complete() const {
  return std::all_of(unapplied.begin(), unapplied.end(), [](const UnappliedPair& pair) {
    return pair.reason == UnappliedPair::Reason::unknown;
  });
}

std::string format_settings(const ControlTable& table) {
  std::string text;
  for (const ControlEntry& entry : table.entries) {
    if (entry.value == entry.default_value) continue;
    text += entry.variable_name;
    text += '=';
    text += std::to_string(entry.value);
    text += "\r\n";
  }
  return text;
}

bool is_own_key(const ControlTable& table, std::string_view key) {
  const std::uint32_t aliased = aliased_control_id(key);
  const auto names = [&](std::uint32_t id, const std::string& name) {
    return name == key || (aliased != 0 && id == aliased);
  };
  for (const auto* list : {&table.entries, &table.inactive}) {
    for (const ControlEntry& entry : *list) {
      if (names(entry.id, entry.variable_name)) return true;
    }
  }
  return std::any_of(table.unlisted.begin(), table.unlisted.end(),
                     [&](const ControlName& c) { return names(c.id, c.variable_name); });
}

std::string merge_settings(const ControlTable& table, std::string_view previous) {
  std::string text = format_settings(table);
  while (!previous.empty()) {
    const std::size_t end = previous.find('\n');
    std::string_view line = previous.substr(0, end);
    previous.remove_prefix(end == std::string_view::npos ? previous.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      // The reader swallows white space before a key, except at the very start of the file: a
      // key that names one of ours behind blanks would otherwise come back and override it.
      std::string_view key = line.substr(0, equals);
      key.remove_prefix(std::min(key.find_first_not_of(" \t\r\v\f"), key.size()));
      if (is_own_key(table, key)) continue;
    }
    text += line;
    text += "\r\n";
  }
  return text;
}

bool save_settings(const ControlTable& table, const char* path) {
  // A node without a single control (the metadata node of a webcam) has nothing of a camera
  // to save, and writing would only cut the other cameras' lines out of a shared file.
  if (!table.has_controls()) return false;
  std::string previous;
  if (!read_previous_settings(path, previous)) return false;
  return write_settings_file(path, merge_settings(table, previous));
}

bool load_settings(ControlTable& table, Camera& camera, const char* path, LoadReport* report) {
  std::FILE* stream = open_for_reading(path);
  if (stream == nullptr) return false;
  SettingsReader reader(stream);
  Loader loader(table, camera, report);
  SettingsPair pair;
  while (reader.next(pair)) loader.apply(pair);
  loader.finish();
  // Pairs read before a read error stay applied; the error is still a failed load.
  const bool ok = !reader.read_failed();
  std::fclose(stream);
  return ok;
}

}  // namespace camctl
