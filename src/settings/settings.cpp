// Saving the controls that are away from their defaults, and loading them back.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "settings/settings.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "controls/adjust.h"
#include "controls/control_aliases.h"
#include "controls/control_sync.h"
#include "controls/control_table.h"
#include "settings/settings_file.h"

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

bool is_line_end(char ch) {
  return ch == '\n' || ch == '\r';
}

// Appends text with every line end (CR LF, LF or CR alone) as CR LF.
void append_with_crlf(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
}

bool has_line_end(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// The blanks that begin the line of the text's end, where that line starts inside text.
std::string_view indentation(std::string_view text) {
  const std::size_t last = text.find_last_of("\r\n");
  return last == std::string_view::npos ? std::string_view() : text.substr(last + 1);
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
  SettingsReader reader(previous);
  SettingsPair pair;
  bool kept_any = false;
  std::string_view kept_gap;   // the white space after the last pair kept
  bool dropped_since = false;  // a pair of ours came after it
  bool line_ended_since = false;
  std::string_view last_gap;  // the white space after the last pair read, kept or not
  // The white space between the last pair kept and what follows it: as it was when nothing came
  // between; a line end where the pairs dropped in between ended a line; otherwise the blanks
  // that stood after the kept pair on its line, or else those before what follows, which may
  // begin with a digit that would join the kept pair's number.
  const auto join = [&] {
    if (!kept_any) return;
    if (dropped_since && line_ended_since) {
      text += "\r\n";
      text += indentation(last_gap);
    } else {
      append_with_crlf(text, kept_gap.empty() ? last_gap : kept_gap);
    }
  };
  while (reader.next(pair)) {
    const std::string_view gap = previous.substr(pair.end, reader.position() - pair.end);
    // The reader swallows white space before a key, except at the very start of the file: a
    // key that names one of ours behind blanks would come back behind our lines and override
    // ours. A key of blanks alone names nothing, and would end the next load there.
    std::string_view key = previous.substr(pair.begin, pair.equals - pair.begin);
    key.remove_prefix(std::min(key.find_first_not_of(" \t\n\v\f\r"), key.size()));
    if (key.empty() || is_own_key(table, key)) {
      dropped_since = true;
      line_ended_since = line_ended_since || has_line_end(gap);
      last_gap = gap;
      continue;
    }
    join();
    append_with_crlf(text, previous.substr(pair.begin, pair.end - pair.begin));
    kept_any = true;
    kept_gap = last_gap = gap;
    dropped_since = false;
    line_ended_since = has_line_end(gap);
  }
  // Where reading stops, the rest is kept as it stands: no load reads it, and it stops the next
  // load just the same.
  const std::string_view rest = previous.substr(std::min(reader.position(), previous.size()));
  if (rest.empty()) {
    if (kept_any) text += "\r\n";
    return text;
  }
  join();
  append_with_crlf(text, rest);
  if (!is_line_end(text.back())) text += "\r\n";
  return text;
}

bool save_settings(const ControlTable& table, const char* path, SaveOutcome* outcome) {
  SaveOutcome unused;
  SaveOutcome& result = outcome != nullptr ? *outcome : unused;
  // A node without a single control (the metadata node of a webcam) has nothing of a camera
  // to save, and writing would only cut the other cameras' lines out of a shared file.
  if (!table.has_controls()) {
    result = {SaveOutcome::Status::failed, SaveProblem::no_controls, 0, 0};
    return false;
  }
  SettingsFileSave save;
  const bool ok = save.open(path) && save.replace(merge_settings(table, save.previous()));
  result = save.outcome();
  return ok;
}

bool load_settings(ControlTable& table, Camera& camera, const char* path, LoadReport* report) {
  // Read whole before anything is applied: a file that cannot be read to its end, or is larger
  // than a save writes (/dev/zero), changes nothing.
  std::string text;
  if (read_settings_file(path, text) != 0) return false;
  SettingsReader reader(text);
  Loader loader(table, camera, report);
  SettingsPair pair;
  while (reader.next(pair)) loader.apply(pair);
  loader.finish();
  return true;
}

std::string save_problem_text(const SaveOutcome& outcome) {
  switch (outcome.problem) {
    case SaveProblem::none:
      return {};
    case SaveProblem::system:
      return std::strerror(outcome.error);
    case SaveProblem::no_controls:
      return "The device has no controls";
    case SaveProblem::old_file_too_large:
      return "The file is larger than 1 MiB";
    case SaveProblem::new_file_too_large:
      return "The new file would be " + std::to_string(outcome.size) + " bytes, over 1 MiB";
    case SaveProblem::locked:
      return "Another save of the folder did not end within 5 s";
    case SaveProblem::link_refused:
      return "A link in a sticky folder, owned by another user";
    case SaveProblem::replaced:
      return "The file was replaced during the save";
    case SaveProblem::not_restored:
      return std::string("Writing in place failed (") + std::strerror(outcome.error) +
             ") and the old content could not be put back";
  }
  return {};
}

}  // namespace camctl
