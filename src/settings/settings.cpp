// Saving the controls that are away from their defaults, and loading them back.
#include "settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "controls/adjust.h"
#include "controls/control_table.h"

namespace camctl {
namespace {

void apply_pair(ControlTable& table, Device& device, const SettingsPair& pair,
                WriteRefusal* refusal) {
  if (pair.key_too_long) return;
  const std::string_view key = pair.key_text();
  for (std::size_t position = 0; position < table.count(); ++position) {
    ControlEntry& entry = table.at(position);
    if (entry.variable_name != key) continue;
    if (entry.value == pair.value) return;
    if (const int error = write_control_value(device, entry, pair.value);
        error != 0 && refusal != nullptr) {
      *refusal = WriteRefusal{position, error};
    }
    return;
  }
}

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

}  // namespace

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

bool save_settings(const ControlTable& table, const char* path) {
  return write_settings_file(path, format_settings(table));
}

bool load_settings(ControlTable& table, Device& device, const char* path, WriteRefusal* refusal) {
  std::FILE* stream = open_for_reading(path);
  if (stream == nullptr) return false;
  SettingsReader reader(stream);
  SettingsPair pair;
  while (reader.next(pair)) apply_pair(table, device, pair, refusal);
  // Pairs read before a read error stay applied; the error is still a failed load.
  const bool ok = !reader.read_failed();
  std::fclose(stream);
  return ok;
}

}  // namespace camctl
