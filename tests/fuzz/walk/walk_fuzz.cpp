// Fuzzes the device opening, the control walk and value changes against a camera whose every
// answer is read from the fuzz input, and checks what the table may hold afterwards.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "controls/adjust.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "device/sys_ops.h"
#include "walk_input.h"

namespace {

using walkfuzz::InputCamera;

InputCamera* g_camera = nullptr;

int fake_open(const char* path, int flags) {
  return g_camera->open(path, flags);
}
int fake_ioctl(int fd, unsigned long request, void* arg) {
  return g_camera->ioctl(fd, request, arg);
}
int fake_close(int fd) {
  return g_camera->close(fd);
}
// The camera is one node in no media graph: a media-controller driver's capture node finds none.
int fake_fstat(int, struct stat*) {
  errno = ENODEV;
  return -1;
}

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "walk fuzz: %s\n", what);
  std::abort();
}

bool is_key_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

void check_table(const camctl::ControlTable& table, const InputCamera& camera,
                 const std::vector<std::string_view>& ignore) {
  constexpr std::uint32_t kSkipFlags =
      V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE;
  std::uint32_t previous_id = 0;
  for (std::size_t i = 0; i < table.count(); ++i) {
    const camctl::ControlEntry& e = table.at(i);
    if (i > 0 && e.id <= previous_id) fault("table ids do not rise");
    previous_id = e.id;
    const walkfuzz::Answered* answered = camera.answered(e.id);
    if (answered == nullptr) fault("table holds a control the camera never reported");
    if ((answered->flags & kSkipFlags) != 0) fault("table holds a control the user cannot change");
    if (!answered->has_value || answered->value != e.value)
      fault("entry value is not the read one");
    if (e.display_name.size() > 32) fault("display name longer than the driver's field");
    if (e.display_name.find('\0') != std::string::npos) fault("display name holds a zero byte");
    const std::string& key = e.variable_name;
    for (const char c : key) {
      if (!is_key_byte(c)) fault("variable name holds a byte outside [a-z0-9_]");
    }
    // Leading separators make one leading "_"; trailing ones vanish.
    if (!key.empty() && key.back() == '_') fault("variable name ends in _");
    if (key == "_") fault("variable name of a lone _");
    for (const std::string_view name : ignore) {
      if (name.starts_with(key)) fault("table holds an ignored control");
    }
    if (key.find("__") != std::string::npos) fault("variable name with a double _");
    if (e.has_menu != !e.menu_entries.empty()) fault("has_menu disagrees with the items");
    if (e.menu_entries.size() > static_cast<std::size_t>(camctl::kMaxMenuQueries)) {
      fault("more menu items than the walk may ask for");
    }
    std::int64_t previous_index = std::int64_t{e.minimum} - 1;
    for (const camctl::MenuEntry& item : e.menu_entries) {
      const std::int64_t index = item.index;
      if (index <= previous_index) fault("menu indexes do not rise");
      if (index < e.minimum || index > e.maximum) fault("menu index outside the range");
      previous_index = index;
      if (item.label.size() > 32) fault("menu label longer than the driver's field");
    }
  }
}

// After a change, the entry holds what the camera took, or what it held before a refusal.
void check_write(const camctl::ControlEntry& entry, std::int32_t before, const InputCamera& camera,
                 std::size_t writes_before) {
  const auto& writes = camera.writes();
  if (writes.size() == writes_before) {
    if (entry.value != before) fault("value changed without a write");
    return;
  }
  const walkfuzz::WriteAnswer& last = writes.back();
  if (last.id != entry.id) fault("write went to another control");
  if (last.error != 0 && entry.value != before) fault("refused write changed the entry");
  if (last.error == 0 && entry.value != last.returned) fault("entry differs from what was taken");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  InputCamera camera(data, size);
  g_camera = &camera;
  const camctl::SysOps saved = camctl::set_sys_ops(
      {fake_open, fake_ioctl, fake_close, nullptr, fake_fstat, nullptr, nullptr});

  const std::uint8_t mode = camera.take_byte();
  const bool list_mode = (mode & 1) != 0;
  std::vector<std::string_view> ignore;
  if ((mode & 2) != 0) ignore.push_back("brightness");
  if ((mode & 4) != 0) ignore.push_back("");  // hides the controls whose key is empty

  {
    camctl::Camera device;
    if (camctl::open_capture_device(device, "/dev/video0", sink)) {
      camctl::ControlTable table;
      build_control_table(device, ignore, list_mode, sink, table);
      if (camera.queryctrl_after_stop() != 0) fault("the walk asked on after a non-rising id");
      if (list_mode && table.count() != 0) fault("list mode filled the table");
      check_table(table, camera, ignore);

      // A few changes, as keys would make them, then a reset.
      for (int key = 0; key < 8 && table.count() > 0 && !camera.exhausted(); ++key) {
        const std::size_t position = camera.take_byte() % table.count();
        const auto kind = static_cast<camctl::AdjustKind>(camera.take_byte() % 7);
        camctl::ControlEntry& entry = table.at(position);
        const std::int32_t before = entry.value;
        const std::size_t writes_before = camera.writes().size();
        camctl::WriteRefusal refusal;
        const bool changed = camctl::adjust_control(table, device, position, kind, &refusal);
        check_write(entry, before, camera, writes_before);
        if (changed != (entry.value != before)) fault("changed flag disagrees with the value");
        if (refusal.error != 0 && refusal.position != position) fault("refusal names another");
      }
      if (table.count() > 0) {
        std::vector<std::uint32_t> listed;
        for (const camctl::ControlEntry& e : table.entries) listed.push_back(e.id);
        const std::size_t writes_before = camera.writes().size();
        camctl::reset_all_controls(table, device);
        std::map<std::uint32_t, int> reset_writes;
        for (std::size_t w = writes_before; w < camera.writes().size(); ++w) {
          const std::uint32_t id = camera.writes()[w].id;
          if (std::find(listed.begin(), listed.end(), id) == listed.end()) {
            fault("reset wrote a control that was not listed");
          }
          if (++reset_writes[id] > 1) fault("reset wrote a control twice");
        }
        // A control the reset found gone inactive is left alone, and so is a menu whose
        // default the driver does not offer; every other listed control gets one write.
        for (const camctl::ControlEntry& e : table.entries) {
          const bool gap_default =
              e.has_menu && camctl::find_menu_entry(e, e.default_value) == nullptr;
          if (reset_writes[e.id] != (gap_default ? 0 : 1)) {
            fault("reset did not write every offered default once");
          }
        }
      }
      if (device.is_open() && camera.open_descriptors() != 1) fault("descriptor count");
    }
  }
  if (camera.open_descriptors() != 0) fault("the device was left open");

  camctl::set_sys_ops(saved);
  g_camera = nullptr;
  return 0;
}
