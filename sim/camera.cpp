// The simulated camera: the scenario text format and the answers to each V4L2 request.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "sim/camera.h"

#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

// The simulation also plays newer kernels than the board's 5.10, whose headers lack this flag
// (it came with 5.17); its value is part of the kernel's fixed interface.
#ifndef V4L2_CTRL_FLAG_DYNAMIC_ARRAY
#define V4L2_CTRL_FLAG_DYNAMIC_ARRAY 0x0800
#endif

namespace camsim {
namespace {

struct ErrnoName {
  int value;
  const char* name;
};

constexpr ErrnoName kErrnoNames[] = {
    {EPERM, "EPERM"},   {ENOENT, "ENOENT"}, {EINTR, "EINTR"},   {EIO, "EIO"},
    {ENXIO, "ENXIO"},   {EBADF, "EBADF"},   {EAGAIN, "EAGAIN"}, {ENOMEM, "ENOMEM"},
    {EACCES, "EACCES"}, {EFAULT, "EFAULT"}, {EBUSY, "EBUSY"},   {ENODEV, "ENODEV"},
    {EISDIR, "EISDIR"}, {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"}, {ENOSPC, "ENOSPC"},
    {EPIPE, "EPIPE"},   {ERANGE, "ERANGE"}, {EILSEQ, "EILSEQ"}, {ETIMEDOUT, "ETIMEDOUT"},
};

// The control types whose value a plain G_CTRL/S_CTRL can carry, as the kernel decides.
bool is_int_type(std::uint32_t type) {
  switch (type) {
    case V4L2_CTRL_TYPE_INTEGER:
    case V4L2_CTRL_TYPE_BOOLEAN:
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_BUTTON:
    case V4L2_CTRL_TYPE_CTRL_CLASS:
    case V4L2_CTRL_TYPE_BITMASK:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
      return true;
    default:
      return false;
  }
}

bool is_compound(const Control& control) {
  return control.type >= V4L2_CTRL_COMPOUND_TYPES ||
         (control.flags & V4L2_CTRL_FLAG_DYNAMIC_ARRAY) != 0;
}

void copy_name(__u8* field, std::size_t size, const std::string& name) {
  std::memset(field, 0, size);
  // Drivers may fill the field to its last byte with no zero after it; so may we.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  std::memcpy(field, name.data(), std::min(size, name.size()));
}

// The kernel's rounding of an integer into its range and onto its step, with its 32-bit
// wrap-around arithmetic.
std::int32_t round_to_range(std::int32_t value, const Control& control) {
  const std::uint32_t step = control.step > 0 ? static_cast<std::uint32_t>(control.step) : 1U;
  const auto half = static_cast<std::int32_t>(step / 2);
  std::int32_t val = value;
  if (control.maximum >= 0 &&
      val >= static_cast<std::int32_t>(static_cast<std::uint32_t>(control.maximum) -
                                       static_cast<std::uint32_t>(half))) {
    val = control.maximum;
  } else {
    val = static_cast<std::int32_t>(static_cast<std::uint32_t>(val) +
                                    static_cast<std::uint32_t>(half));
  }
  val = std::clamp(val, control.minimum, control.maximum);
  std::uint32_t offset =
      static_cast<std::uint32_t>(val) - static_cast<std::uint32_t>(control.minimum);
  offset = step * (offset / step);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(control.minimum) + offset);
}

// ---- scenario text ----

struct Field {
  std::string key;
  std::string value;
};

bool split_fields(std::string_view line, std::string& kind, std::vector<Field>& fields,
                  std::string& error) {
  std::size_t pos = line.find(' ');
  kind = std::string(line.substr(0, pos));
  fields.clear();
  while (pos != std::string_view::npos && pos < line.size()) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size()) break;
    const std::size_t eq = line.find('=', pos);
    if (eq == std::string_view::npos) {
      error = "field without '='";
      return false;
    }
    Field field{std::string(line.substr(pos, eq - pos)), {}};
    pos = eq + 1;
    if (pos < line.size() && line[pos] == '"') {
      ++pos;
      bool closed = false;
      while (pos < line.size()) {
        const char c = line[pos++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c != '\\') {
          field.value.push_back(c);
          continue;
        }
        if (pos >= line.size()) break;
        const char e = line[pos++];
        if (e == 'x' && pos + 2 <= line.size()) {
          const std::string hex(line.substr(pos, 2));
          field.value.push_back(static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16)));
          pos += 2;
        } else {
          field.value.push_back(e);
        }
      }
      if (!closed) {
        error = "unterminated string";
        return false;
      }
    } else {
      const std::size_t end = line.find(' ', pos);
      field.value = std::string(line.substr(pos, end - pos));
      pos = end;
    }
    fields.push_back(std::move(field));
  }
  return true;
}

class Record {
 public:
  explicit Record(const std::vector<Field>& fields) : fields_(fields) {}
  const std::string* find(const char* key) const {
    for (const Field& f : fields_) {
      if (f.key == key) return &f.value;
    }
    return nullptr;
  }
  bool has(const char* key) const { return find(key) != nullptr; }
  std::string text(const char* key) const {
    const std::string* v = find(key);
    return v != nullptr ? *v : std::string();
  }
  std::int64_t number(const char* key) const {
    const std::string* v = find(key);
    return v != nullptr ? std::strtoll(v->c_str(), nullptr, 0) : 0;
  }
  std::uint32_t unsigned32(const char* key) const {
    const std::string* v = find(key);
    return v != nullptr ? static_cast<std::uint32_t>(std::strtoull(v->c_str(), nullptr, 0)) : 0;
  }
  std::int32_t signed32(const char* key) const { return static_cast<std::int32_t>(number(key)); }
  int error(const char* key) const {
    const std::string* v = find(key);
    return v != nullptr ? errno_from_name(*v) : 0;
  }

 private:
  const std::vector<Field>& fields_;
};

// What the captures showed of uvcvideo, which maps controls onto USB requests itself instead of
// using the control framework: booleans clamped, an event for every write that reached the
// camera, the members' events on every write of their auto control and before its own. An
// inactive member's write went to the camera under 5.10 and was refused under 6.1.
DriverRules rules_of(const std::string& driver, std::uint32_t version) {
  DriverRules rules;
  if (driver != "uvcvideo") return rules;
  rules.clamp_booleans = true;
  rules.event_every_write = true;
  rules.members_every_write = true;
  rules.inactive =
      version >= 0x060100 ? DriverRules::Inactive::refuse : DriverRules::Inactive::ignore;
  return rules;
}

// "rules inactive=store|ignore|refuse booleans=nonzero|clamp events=changes|writes
// members=changes|writes", each field optional.
bool parse_rules(const Record& r, DriverRules& rules) {
  auto choose = [&](const char* key, std::initializer_list<const char*> words, auto apply) {
    const std::string* v = r.find(key);
    if (v == nullptr) return true;
    int index = 0;
    for (const char* word : words) {
      if (*v == word) {
        apply(index);
        return true;
      }
      ++index;
    }
    return false;
  };
  return choose("inactive", {"store", "ignore", "refuse"},
                [&](int i) { rules.inactive = static_cast<DriverRules::Inactive>(i); }) &&
         choose("booleans", {"nonzero", "clamp"}, [&](int i) { rules.clamp_booleans = i == 1; }) &&
         choose("events", {"changes", "writes"},
                [&](int i) { rules.event_every_write = i == 1; }) &&
         choose("members", {"changes", "writes"},
                [&](int i) { rules.members_every_write = i == 1; });
}

// Calls record(kind, fields, line, line number) for each record line of the text, comments and
// blank lines left out; stops at the first line that cannot be split, or that record refuses
// (having said why in error).
template <typename Fn>
bool for_each_record(std::string_view text, std::string& error, Fn record) {
  std::string kind;
  std::vector<Field> fields;
  int line_number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    std::string why;
    if (!split_fields(line, kind, fields, why)) {
      error = "line " + std::to_string(line_number) + ": " + why;
      return false;
    }
    if (!record(kind, Record(fields), line, line_number)) return false;
  }
  return true;
}

}  // namespace

int errno_from_name(std::string_view name) {
  for (const ErrnoName& e : kErrnoNames) {
    if (name == e.name) return e.value;
  }
  return 0;
}

const char* errno_name(int error) {
  for (const ErrnoName& e : kErrnoNames) {
    if (error == e.value) return e.name;
  }
  return "E?";
}

bool parse_scenario(std::string_view text, Scenario& scenario, std::string& error) {
  const bool parsed = for_each_record(
      text, error,
      [&](const std::string& kind, const Record& r, std::string_view, int line_number) {
        if (kind == "device") {
          scenario.querycap_error = r.error("error");
          scenario.driver = r.text("driver");
          scenario.card = r.text("card");
          scenario.bus_info = r.text("bus_info");
          scenario.version = r.unsigned32("version");
          scenario.capabilities = r.unsigned32("capabilities");
          scenario.device_caps = r.unsigned32("device_caps");
          scenario.rules = rules_of(scenario.driver, scenario.version);
        } else if (kind == "subdevice") {
          scenario.subdevice = true;
          scenario.querycap_error = ENOTTY;
          scenario.version = r.unsigned32("version");
          scenario.subdevice_capabilities = r.unsigned32("capabilities");
        } else if (kind == "rules") {
          if (!parse_rules(r, scenario.rules)) {
            error = "line " + std::to_string(line_number) + ": unknown rule value";
            return false;
          }
        } else if (kind == "open") {
          scenario.open_error = r.error("error");
        } else if (kind == "format") {
          Format f;
          f.type = r.unsigned32("type");
          f.error = r.error("error");
          f.width = r.unsigned32("width");
          f.height = r.unsigned32("height");
          f.pixelformat = r.unsigned32("pixelformat");
          f.planes = std::max(1U, r.unsigned32("planes"));
          scenario.formats.push_back(f);
        } else if (kind == "control") {
          Control c;
          c.id = r.unsigned32("id");
          c.type = r.unsigned32("type");
          c.name = r.text("name");
          c.minimum = r.signed32("minimum");
          c.maximum = r.signed32("maximum");
          c.step = r.signed32("step");
          c.default_value = r.signed32("default");
          c.flags = r.unsigned32("flags");
          c.value = r.signed32("value");
          c.value_error = r.error("value_error");
          scenario.controls.push_back(std::move(c));
        } else if (kind == "menu") {
          const std::uint32_t id = r.unsigned32("id");
          auto owner = std::find_if(scenario.controls.begin(), scenario.controls.end(),
                                    [id](const Control& c) { return c.id == id; });
          if (owner == scenario.controls.end()) {
            error = "line " + std::to_string(line_number) + ": menu item of an unknown control";
            return false;
          }
          MenuItem item;
          item.error = r.error("error");
          item.name = r.text("name");
          item.value = r.number("value");
          owner->menu[r.unsigned32("index")] = item;
        } else if (kind == "write") {
          Write w;
          w.id = r.unsigned32("id");
          w.value = r.signed32("value");
          const std::string result = r.text("result");
          w.result = result == "0" ? 0 : errno_from_name(result);
          w.returned = r.signed32("returned");
          w.has_readback = r.has("readback");
          w.readback = r.signed32("readback");
          w.readback_error = r.error("readback_error");
          scenario.recorded_writes.push_back(w);
        } else if (kind == "changed" || kind == "event") {
          if (scenario.recorded_writes.empty()) {
            error = "line " + std::to_string(line_number) + ": " + kind + " before any write";
            return false;
          }
          Write& w = scenario.recorded_writes.back();
          if (kind == "changed") {
            w.changed.push_back(Changed{r.unsigned32("id"), r.unsigned32("flags"),
                                        r.signed32("value"), r.error("value_error")});
          } else {
            const std::string handle = r.text("handle");
            if (handle != "writer" && handle != "other") {
              error = "line " + std::to_string(line_number) + ": event handle is writer or other";
              return false;
            }
            w.events.push_back(RecordedEvent{handle == "writer", r.unsigned32("id"),
                                             r.unsigned32("changes"), r.signed32("value"),
                                             r.unsigned32("flags")});
          }
        } else if (kind == "cluster") {
          Cluster cluster;
          cluster.master = r.unsigned32("master");
          cluster.manual = r.signed32("manual");
          cluster.is_volatile = r.number("volatile") != 0;
          const std::string list = r.text("members");
          for (std::size_t at = 0; at < list.size();) {
            const std::size_t comma = std::min(list.find(',', at), list.size());
            cluster.members.push_back(static_cast<std::uint32_t>(
                std::strtoul(list.substr(at, comma - at).c_str(), nullptr, 0)));
            at = comma + 1;
          }
          if (cluster.members.empty()) {
            error = "line " + std::to_string(line_number) + ": cluster without members";
            return false;
          }
          scenario.clusters.push_back(std::move(cluster));
        } else if (kind == "events") {
          scenario.events_error = r.error("error");
        } else if (kind == "fail") {
          const std::uint32_t id = r.unsigned32("id");
          for (Control& c : scenario.controls) {
            if (c.id == id) c.write_error = r.error("error");
          }
        } else if (kind == "vanish") {
          scenario.vanish_after = static_cast<long>(r.number("after"));
        } else if (kind == "other") {
          scenario.other_writes.push_back(OtherWrite{static_cast<long>(r.number("after")),
                                                     r.unsigned32("id"), r.signed32("value")});
        } else {
          error = "line " + std::to_string(line_number) + ": unknown record '" + kind + "'";
          return false;
        }
        return true;
      });
  if (!parsed) return false;
  std::stable_sort(scenario.controls.begin(), scenario.controls.end(),
                   [](const Control& a, const Control& b) { return a.id < b.id; });
  return true;
}

bool load_scenario_file(const char* path, Scenario& scenario, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::string("cannot read ") + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse_scenario(text.str(), scenario, error);
}

bool is_media_scenario(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.starts_with("media ")) return true;
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return false;
}

bool parse_media_scenario(std::string_view text, MediaScenario& scenario, std::string& error) {
  int section_line = 0;
  std::string section;  // the records of the node being read
  const auto end_section = [&]() {
    if (scenario.nodes.empty()) return true;
    std::string why;
    if (!parse_scenario(section, scenario.nodes.back().scenario, why)) {
      error = "node " + scenario.nodes.back().devname + " (line " + std::to_string(section_line) +
              "): " + why;
      return false;
    }
    section.clear();
    return true;
  };
  const bool parsed = for_each_record(
      text, error,
      [&](const std::string& kind, const Record& r, std::string_view line, int line_number) {
        if (kind == "node") {
          if (!end_section()) return false;
          scenario.nodes.push_back(MediaNode{r.text("devname"), {}});
          section_line = line_number;
        } else if (!scenario.nodes.empty()) {
          section.append(line).push_back('\n');
        } else if (kind == "media") {
          MediaGraph& g = scenario.graph;
          g.driver = r.text("driver");
          g.model = r.text("model");
          g.bus_info = r.text("bus_info");
          g.version = r.unsigned32("version");
          g.devname = r.text("devname");
          g.major = r.unsigned32("major");
          g.minor = r.unsigned32("minor");
        } else if (kind == "entity") {
          scenario.graph.entities.push_back(GraphEntity{
              r.unsigned32("id"), r.text("name"), r.unsigned32("function"), r.unsigned32("flags")});
        } else if (kind == "interface") {
          scenario.graph.interfaces.push_back(
              GraphInterface{r.unsigned32("id"), r.unsigned32("type"), r.unsigned32("flags"),
                             r.unsigned32("major"), r.unsigned32("minor"), r.text("devname")});
        } else if (kind == "pad") {
          scenario.graph.pads.push_back(GraphPad{r.unsigned32("id"), r.unsigned32("entity"),
                                                 r.unsigned32("index"), r.unsigned32("flags")});
        } else if (kind == "link") {
          scenario.graph.links.push_back(GraphLink{r.unsigned32("id"), r.unsigned32("source"),
                                                   r.unsigned32("sink"), r.unsigned32("flags")});
        } else {
          error = "line " + std::to_string(line_number) + ": unknown graph record '" + kind + "'";
          return false;
        }
        return true;
      });
  if (!parsed) return false;
  if (!end_section()) return false;
  for (const MediaNode& node : scenario.nodes) {
    const auto& intfs = scenario.graph.interfaces;
    if (std::none_of(intfs.begin(), intfs.end(),
                     [&](const GraphInterface& i) { return i.devname == node.devname; })) {
      error = "node " + node.devname + " has no interface in the graph";
      return false;
    }
  }
  return true;
}

// ---- the device ----

Camera::Camera(Scenario scenario) : scenario_(std::move(scenario)) {
  handles_.emplace_back();
  handles_[0].open = true;
  for (Control& c : scenario_.controls) c.auto_value = c.value;
  // A volatile member read while its auto control is on gave the automatic value; the manual
  // value it keeps meanwhile is, after the driver's start, its default.
  for (const Cluster& cluster : scenario_.clusters) {
    if (!cluster.is_volatile || !is_auto(cluster)) continue;
    for (const std::uint32_t id : cluster.members) {
      if (Control* m = control(id)) m->value = m->default_value;
    }
  }
  for (const Cluster& cluster : scenario_.clusters) apply_cluster(cluster, false);
  make_other_writes();
}

void Camera::make_other_writes() {
  const long made = counts_.total();
  for (const OtherWrite& w : scenario_.other_writes) {
    if (w.after == made) other_write(w.id, w.value);
  }
}

const Control* Camera::control(std::uint32_t id) const {
  const auto& cs = scenario_.controls;
  auto it = std::lower_bound(cs.begin(), cs.end(), id,
                             [](const Control& c, std::uint32_t key) { return c.id < key; });
  return it != cs.end() && it->id == id ? &*it : nullptr;
}

Control* Camera::control(std::uint32_t id) {
  return const_cast<Control*>(static_cast<const Camera*>(this)->control(id));
}

int Camera::open_handle() {
  handles_.emplace_back();
  handles_.back().open = true;
  return static_cast<int>(handles_.size() - 1);
}

void Camera::close_handle(int handle) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= handles_.size()) return;
  Handle& h = handles_[static_cast<std::size_t>(handle)];
  h.subscriptions.clear();
  h.order.clear();
  h.open = handle == 0;
  // The kernel frees the buffers of a handle that closes without freeing them.
  if (queue_.owner == handle) free_buffers();
}

int Camera::other_write(std::uint32_t id, std::int32_t value) {
  if (other_handle_ < 0) other_handle_ = open_handle();
  v4l2_control c{id, value};
  return handle_on(other_handle_, VIDIOC_S_CTRL, &c);
}

short Camera::poll_events(int handle) const {
  if (fail_all_ == ENODEV) return POLLERR | POLLHUP | POLLPRI;
  short events = 0;
  if (queue_.owner == handle && queue_.streaming && !queue_.filled.empty()) {
    events |= POLLIN | POLLRDNORM;
  }
  if (handle == 0 && failed_dequeues_ != 0) return static_cast<short>(events | POLLPRI);
  return static_cast<short>(events | (pending_events(handle) != 0 ? POLLPRI : 0));
}

std::size_t Camera::pending_events(int handle) const {
  if (handle < 0 || static_cast<std::size_t>(handle) >= handles_.size()) return 0;
  return handles_[static_cast<std::size_t>(handle)].order.size();
}

bool Camera::set_auto_value(std::uint32_t id, std::int32_t value) {
  Control* c = control(id);
  if (c == nullptr) return false;
  c->auto_value = value;
  return true;
}

const Cluster* Camera::cluster_of_member(std::uint32_t id) const {
  for (const Cluster& cluster : scenario_.clusters) {
    if (std::find(cluster.members.begin(), cluster.members.end(), id) != cluster.members.end()) {
      return &cluster;
    }
  }
  return nullptr;
}

bool Camera::is_auto(const Cluster& cluster) const {
  const Control* master = control(cluster.master);
  return master != nullptr && master->value != cluster.manual;
}

void Camera::apply_cluster(const Cluster& cluster, bool send) {
  const bool automatic = is_auto(cluster);
  const std::uint32_t mask =
      V4L2_CTRL_FLAG_INACTIVE | (cluster.is_volatile ? V4L2_CTRL_FLAG_VOLATILE : 0U);
  for (const std::uint32_t id : cluster.members) {
    Control* m = control(id);
    if (m == nullptr) continue;
    const std::uint32_t flags = automatic ? (m->flags | mask) : (m->flags & ~mask);
    if (flags == m->flags) continue;
    m->flags = flags;
    std::uint32_t changes = V4L2_EVENT_CTRL_CH_FLAGS;
    if (!automatic && cluster.is_volatile) {
      // Back to manual: the member keeps the value the automatic mode last chose.
      m->value = m->auto_value;
      changes |= V4L2_EVENT_CTRL_CH_VALUE;
    }
    // The driver changed this control, not the writer: every subscriber hears of it.
    if (send) send_event(*m, changes, -1, m->value);
  }
}

void Camera::announce_members(const Cluster& cluster) {
  for (const std::uint32_t id : cluster.members) {
    if (const Control* m = control(id)) {
      // A flags event reaches the writer too, whether the flags moved or not.
      send_event(*m, V4L2_EVENT_CTRL_CH_FLAGS | V4L2_EVENT_CTRL_CH_VALUE, -1, m->value);
    }
  }
}

void Camera::queue_event(Handle& h, Subscription& sub, const Control& control,
                         std::uint32_t changes, std::int32_t value) {
  v4l2_event ev{};
  ev.type = V4L2_EVENT_CTRL;
  ev.id = control.id;
  ev.u.ctrl.changes = changes;
  ev.u.ctrl.type = control.type;
  if (is_int_type(control.type) && !is_compound(control)) ev.u.ctrl.value = value;
  ev.u.ctrl.flags = control.flags;
  ev.u.ctrl.minimum = control.minimum;
  ev.u.ctrl.maximum = control.maximum;
  ev.u.ctrl.step = control.step;
  ev.u.ctrl.default_value = control.default_value;
  if (sub.has_pending) {
    // One event per control and handle: the newer one takes the older one's place at the end
    // of the queue and keeps what both said changed.
    ev.u.ctrl.changes |= sub.pending.u.ctrl.changes;
    h.order.erase(std::find(h.order.begin(), h.order.end(), control.id));
  }
  ev.sequence = h.sequence++;
  sub.pending = ev;
  sub.has_pending = true;
  h.order.push_back(control.id);
}

void Camera::send_event(const Control& control, std::uint32_t changes, int except,
                        std::int32_t value) {
  for (std::size_t i = 0; i < handles_.size(); ++i) {
    Handle& h = handles_[i];
    if (!h.open) continue;
    const auto sub = h.subscriptions.find(control.id);
    if (sub == h.subscriptions.end()) continue;
    if (static_cast<int>(i) == except &&
        (sub->second.flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK) == 0) {
      continue;
    }
    queue_event(h, sub->second, control, changes, value);
  }
}

int Camera::handle_on(int handle, unsigned long request, void* arg) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= handles_.size() ||
      !handles_[static_cast<std::size_t>(handle)].open) {
    return EBADF;
  }
  const bool program = handle == 0;
  if (program) {
    switch (request) {
      case VIDIOC_QUERYCAP:
      case VIDIOC_SUBDEV_QUERYCAP:
        ++counts_.querycap;
        break;
      case VIDIOC_QUERYCTRL:
        ++counts_.queryctrl;
        break;
      case VIDIOC_G_CTRL:
        ++counts_.g_ctrl;
        break;
      case VIDIOC_S_CTRL:
        ++counts_.s_ctrl;
        break;
      case VIDIOC_QUERYMENU:
        ++counts_.querymenu;
        break;
      case VIDIOC_G_FMT:
        ++counts_.g_fmt;
        break;
      case VIDIOC_SUBSCRIBE_EVENT:
        ++counts_.subscribe_event;
        break;
      case VIDIOC_DQEVENT:
        ++counts_.dqevent;
        break;
      case VIDIOC_REQBUFS:
        if (static_cast<const v4l2_requestbuffers*>(arg)->count == 0) ++counts_.free_buffers;
        ++counts_.other;
        break;
      default:
        ++counts_.other;
        break;
    }
    if (scenario_.vanish_after >= 0 && counts_.total() > scenario_.vanish_after) {
      fail_all_ = ENODEV;
    }
  }
  if (fail_all_ != 0) {
    if (program && request == VIDIOC_S_CTRL) {
      const auto* c = static_cast<const v4l2_control*>(arg);
      write_log_.push_back(Write{c->id, c->value, fail_all_, 0, false, 0, 0, {}, {}});
    }
    return fail_all_;
  }
  const int result = answer(handle, request, arg);
  if (program) make_other_writes();
  return result;
}

int Camera::answer(int handle, unsigned long request, void* arg) {
  switch (request) {
    case VIDIOC_QUERYCAP:
      return query_capabilities(arg);
    case VIDIOC_SUBDEV_QUERYCAP:
      return query_subdevice_capabilities(arg);
    case VIDIOC_QUERYCTRL:
      return query_control(arg);
    case VIDIOC_G_CTRL:
      return get_control(arg);
    case VIDIOC_S_CTRL:
      return set_control(handle, arg);
    case VIDIOC_QUERYMENU:
      return query_menu(arg);
    case VIDIOC_G_FMT:
      return get_format(arg);
    case VIDIOC_SUBSCRIBE_EVENT:
      return subscribe(handle, arg);
    case VIDIOC_UNSUBSCRIBE_EVENT:
      return unsubscribe(handle, arg);
    case VIDIOC_DQEVENT:
      return dequeue(handle, arg);
    case VIDIOC_REQBUFS:
      return request_buffers(handle, arg);
    case VIDIOC_QUERYBUF:
      return query_buffer(handle, arg);
    case VIDIOC_QBUF:
      return queue_buffer(handle, arg);
    case VIDIOC_DQBUF:
      return dequeue_buffer(handle, arg);
    case VIDIOC_STREAMON:
      return stream_on(handle, arg);
    case VIDIOC_STREAMOFF:
      return stream_off(handle, arg);
    default:
      return ENOTTY;
  }
}

int Camera::subscribe(int handle, void* arg) {
  if (scenario_.events_error != 0) return scenario_.events_error;
  const auto* request = static_cast<const v4l2_event_subscription*>(arg);
  if (request->type != V4L2_EVENT_CTRL) return EINVAL;
  const Control* c = control(request->id);
  if (c == nullptr) return EINVAL;
  Handle& h = handles_[static_cast<std::size_t>(handle)];
  // Subscribing again changes nothing, the flags included.
  if (h.subscriptions.count(c->id) != 0) return 0;
  Subscription& sub = h.subscriptions[c->id];
  sub.flags = request->flags;
  if ((request->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) != 0) {
    std::uint32_t changes = V4L2_EVENT_CTRL_CH_FLAGS;
    if ((c->flags & V4L2_CTRL_FLAG_WRITE_ONLY) == 0) changes |= V4L2_EVENT_CTRL_CH_VALUE;
    queue_event(h, sub, *c, changes, c->value);
  }
  return 0;
}

int Camera::unsubscribe(int handle, void* arg) {
  if (scenario_.events_error != 0) return scenario_.events_error;
  const auto* request = static_cast<const v4l2_event_subscription*>(arg);
  Handle& h = handles_[static_cast<std::size_t>(handle)];
  if (request->type == V4L2_EVENT_ALL) {
    h.subscriptions.clear();
    h.order.clear();
    return 0;
  }
  if (request->type != V4L2_EVENT_CTRL) return 0;
  h.subscriptions.erase(request->id);
  const auto pending = std::find(h.order.begin(), h.order.end(), request->id);
  if (pending != h.order.end()) h.order.erase(pending);
  return 0;
}

int Camera::dequeue(int handle, void* arg) {
  if (scenario_.events_error != 0) return scenario_.events_error;
  if (handle == 0 && failed_dequeues_ != 0) {
    if (failed_dequeues_ > 0) --failed_dequeues_;
    return dequeue_error_;
  }
  Handle& h = handles_[static_cast<std::size_t>(handle)];
  if (h.order.empty()) return ENOENT;
  const std::uint32_t id = h.order.front();
  h.order.erase(h.order.begin());
  Subscription& sub = h.subscriptions[id];
  auto* out = static_cast<v4l2_event*>(arg);
  *out = sub.pending;
  out->pending = static_cast<__u32>(h.order.size());
  sub.has_pending = false;
  return 0;
}

int Camera::query_capabilities(void* arg) {
  if (scenario_.querycap_error != 0) return scenario_.querycap_error;
  auto* cap = static_cast<v4l2_capability*>(arg);
  std::memset(cap, 0, sizeof *cap);
  copy_name(cap->driver, sizeof cap->driver, scenario_.driver);
  copy_name(cap->card, sizeof cap->card, scenario_.card);
  copy_name(cap->bus_info, sizeof cap->bus_info, scenario_.bus_info);
  cap->version = scenario_.version;
  cap->capabilities = scenario_.capabilities;
  cap->device_caps = scenario_.device_caps;
  return 0;
}

int Camera::query_subdevice_capabilities(void* arg) {
  if (!scenario_.subdevice) return ENOTTY;
  auto* cap = static_cast<v4l2_subdev_capability*>(arg);
  std::memset(cap, 0, sizeof *cap);
  cap->version = scenario_.version;
  cap->capabilities = scenario_.subdevice_capabilities;
  return 0;
}

int Camera::query_control(void* arg) {
  auto* q = static_cast<v4l2_queryctrl*>(arg);
  const std::uint32_t next = q->id & (V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
  const std::uint32_t id = q->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
  const Control* found = nullptr;
  if (next == 0) {
    found = control(id);
  } else {
    // NEXT_CTRL alone skips compound controls, NEXT_COMPOUND alone yields only them.
    const bool want_plain = (next & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
    const bool want_compound = (next & V4L2_CTRL_FLAG_NEXT_COMPOUND) != 0;
    const auto& cs = scenario_.controls;
    auto it = std::upper_bound(cs.begin(), cs.end(), id,
                               [](std::uint32_t key, const Control& c) { return key < c.id; });
    for (; it != cs.end(); ++it) {
      if (is_compound(*it) ? want_compound : want_plain) {
        found = &*it;
        break;
      }
    }
  }
  if (found == nullptr) return EINVAL;
  std::memset(q, 0, sizeof *q);
  q->id = found->id;
  q->type = found->type;
  copy_name(q->name, sizeof q->name, found->name);
  q->minimum = found->minimum;
  q->maximum = found->maximum;
  q->step = found->step;
  q->default_value = found->default_value;
  q->flags = found->flags;
  return 0;
}

int Camera::get_control(void* arg) {
  auto* c = static_cast<v4l2_control*>(arg);
  const Control* found = control(c->id);
  if (found == nullptr || !is_int_type(found->type)) return EINVAL;
  if ((found->flags & V4L2_CTRL_FLAG_WRITE_ONLY) != 0) return EACCES;
  if (found->value_error != 0) return found->value_error;
  const Cluster* cluster = cluster_of_member(found->id);
  c->value = cluster != nullptr && cluster->is_volatile && is_auto(*cluster) ? found->auto_value
                                                                             : found->value;
  return 0;
}

int Camera::set_control(int handle, void* arg) {
  auto* c = static_cast<v4l2_control*>(arg);
  Write entry{c->id, c->value, 0, 0, false, 0, 0, {}, {}};
  const bool program = handle == 0;
  const DriverRules& rules = scenario_.rules;
  auto refuse = [&](int error) {
    entry.result = error;
    if (program) write_log_.push_back(entry);
    return error;
  };
  auto accept = [&](std::int32_t returned) {
    c->value = returned;
    entry.returned = returned;
    if (program) write_log_.push_back(entry);
    return 0;
  };
  Control* found = control(c->id);
  if (found == nullptr || !is_int_type(found->type)) return refuse(EINVAL);
  if ((found->flags & V4L2_CTRL_FLAG_READ_ONLY) != 0) return refuse(EACCES);
  if ((found->flags & V4L2_CTRL_FLAG_GRABBED) != 0) return refuse(EBUSY);
  if (found->write_error != 0) return refuse(found->write_error);
  const Cluster* member_of = cluster_of_member(found->id);
  const bool under_auto = member_of != nullptr && is_auto(*member_of);
  if (under_auto && !member_of->is_volatile && rules.inactive == DriverRules::Inactive::refuse) {
    return refuse(EACCES);
  }

  std::int32_t value = c->value;
  switch (found->type) {
    case V4L2_CTRL_TYPE_INTEGER:
      value = round_to_range(value, *found);
      break;
    case V4L2_CTRL_TYPE_BOOLEAN:
      value = rules.clamp_booleans ? std::clamp(value, 0, 1) : (value != 0 ? 1 : 0);
      break;
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU: {
      if (value < found->minimum || value > found->maximum) return refuse(ERANGE);
      const auto item = found->menu.find(static_cast<std::uint32_t>(value));
      if (item == found->menu.end() || item->second.error != 0) return refuse(EINVAL);
      break;
    }
    case V4L2_CTRL_TYPE_BITMASK:
      value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) &
                                        static_cast<std::uint32_t>(found->maximum));
      break;
    case V4L2_CTRL_TYPE_BUTTON:
      value = 0;
      break;
    default:
      break;
  }
  if (under_auto && member_of->is_volatile) {
    // The automatic mode owns the value: the write is accepted and ignored, and the manual value
    // kept meanwhile is what comes back.
    return accept(found->value);
  }
  if (under_auto && rules.inactive == DriverRules::Inactive::ignore) {
    // The device keeps its own value; the driver tells the other handles what was written.
    send_event(*found, V4L2_EVENT_CTRL_CH_VALUE, handle, value);
    return accept(value);
  }
  const std::int32_t old = found->value;
  if (found->type != V4L2_CTRL_TYPE_BUTTON) found->value = value;
  accept(value);
  const bool always = rules.event_every_write || found->type == V4L2_CTRL_TYPE_BUTTON ||
                      (found->flags & V4L2_CTRL_FLAG_EXECUTE_ON_WRITE) != 0;
  if (rules.members_every_write) {
    for (const Cluster& cluster : scenario_.clusters) {
      if (cluster.master != found->id) continue;
      apply_cluster(cluster, false);
      announce_members(cluster);
    }
  }
  if (value == old && !always) return 0;  // nothing changed: the kernel says nothing
  // The writer does not hear of its own change unless it asked to.
  send_event(*found, V4L2_EVENT_CTRL_CH_VALUE, handle, found->value);
  if (rules.members_every_write) return 0;
  // A master's new mode shows on its members (nothing happens when the mode stayed).
  for (const Cluster& cluster : scenario_.clusters) {
    if (cluster.master == found->id) apply_cluster(cluster, true);
  }
  return 0;
}

int Camera::query_menu(void* arg) {
  auto* m = static_cast<v4l2_querymenu*>(arg);
  const Control* found = control(m->id);
  if (found == nullptr) return EINVAL;
  if (found->type != V4L2_CTRL_TYPE_MENU && found->type != V4L2_CTRL_TYPE_INTEGER_MENU) {
    return EINVAL;
  }
  const std::int64_t index = m->index;
  if (index < found->minimum || index > found->maximum) return EINVAL;
  const auto item = found->menu.find(m->index);
  if (item == found->menu.end()) return EINVAL;
  if (item->second.error != 0) return item->second.error;
  const std::uint32_t id = m->id;
  const std::uint32_t at = m->index;
  std::memset(m, 0, sizeof *m);
  m->id = id;
  m->index = at;
  if (found->type == V4L2_CTRL_TYPE_MENU) {
    copy_name(m->name, sizeof m->name, item->second.name);
  } else {
    m->value = item->second.value;
  }
  return 0;
}

int Camera::get_format(void* arg) {
  auto* f = static_cast<v4l2_format*>(arg);
  for (const Format& format : scenario_.formats) {
    if (format.type != f->type) continue;
    if (format.error != 0) return format.error;
    const std::uint32_t type = f->type;
    std::memset(f, 0, sizeof *f);
    f->type = type;
    const std::uint32_t line = bytes_per_line(format.pixelformat, format.width);
    const std::uint32_t size = image_size(format.pixelformat, format.width, format.height);
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
      f->fmt.pix_mp.width = format.width;
      f->fmt.pix_mp.height = format.height;
      f->fmt.pix_mp.pixelformat = format.pixelformat;
      f->fmt.pix_mp.num_planes = static_cast<std::uint8_t>(format.planes);
      for (std::uint32_t p = 0; p < format.planes && p < VIDEO_MAX_PLANES; ++p) {
        f->fmt.pix_mp.plane_fmt[p].bytesperline = line;
        f->fmt.pix_mp.plane_fmt[p].sizeimage = size;
      }
      return 0;
    }
    f->fmt.pix.width = format.width;
    f->fmt.pix.height = format.height;
    f->fmt.pix.pixelformat = format.pixelformat;
    f->fmt.pix.bytesperline = line;
    f->fmt.pix.sizeimage = size;
    return 0;
  }
  return EINVAL;
}

}  // namespace camsim
