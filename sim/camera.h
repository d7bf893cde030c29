// A simulated V4L2 capture device that answers requests the way the kernel's control framework
// does.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

struct MenuItem {
  int error = 0;  // nonzero: QUERYMENU refuses this index (a gap)
  std::string name;
  std::int64_t value = 0;
};

struct Control {
  std::uint32_t id = 0;
  std::uint32_t type = 0;
  std::string name;  // raw bytes; more than 32 are cut, exactly 32 leave no zero byte
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;
  std::int32_t step = 0;
  std::int32_t default_value = 0;
  std::uint32_t flags = 0;
  std::int32_t value = 0;
  int value_error = 0;  // what the recorded driver answered to G_CTRL, if it refused
  int write_error = 0;  // injected: every S_CTRL of this control fails with it
  std::map<std::uint32_t, MenuItem> menu;  // by index
};

struct Format {
  std::uint32_t type = 0;
  int error = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t pixelformat = 0;
};

// One S_CTRL as a fixture recorded it, or as the simulation saw it.
struct Write {
  std::uint32_t id = 0;
  std::int32_t value = 0;
  int result = 0;  // 0 or errno
  std::int32_t returned = 0;
  bool has_readback = false;
  std::int32_t readback = 0;
  int readback_error = 0;
};

struct Scenario {
  int open_error = 0;
  int querycap_error = 0;
  std::string driver, card, bus_info;
  std::uint32_t version = 0;
  std::uint32_t capabilities = 0;
  std::uint32_t device_caps = 0;
  std::vector<Format> formats;
  std::vector<Control> controls;       // ascending id
  std::vector<Write> recorded_writes;  // the fixture's experiments, not applied
  long vanish_after = -1;              // after this many requests every request fails ENODEV
};

// Parses the fixture text format (see sim/README.md). On failure returns false and says why.
bool parse_scenario(std::string_view text, Scenario& scenario, std::string& error);
bool load_scenario_file(const char* path, Scenario& scenario, std::string& error);

// errno value for a name such as "EINVAL", 0 when unknown.
int errno_from_name(std::string_view name);
const char* errno_name(int error);

struct RequestCounts {
  long querycap = 0, queryctrl = 0, g_ctrl = 0, s_ctrl = 0, querymenu = 0, g_fmt = 0, other = 0;
  long total() const { return querycap + queryctrl + g_ctrl + s_ctrl + querymenu + g_fmt + other; }
};

class Camera {
 public:
  explicit Camera(Scenario scenario);

  // Answers one ioctl: 0 or the errno value the kernel would give.
  int handle(unsigned long request, void* arg);

  const Scenario& scenario() const { return scenario_; }
  const std::vector<Write>& write_log() const { return write_log_; }
  const RequestCounts& counts() const { return counts_; }
  // The control's stored value; nullptr for an unknown id.
  const Control* control(std::uint32_t id) const;
  Control* control(std::uint32_t id);
  // From now on every request fails with error (ENODEV: the device was unplugged).
  void fail_everything(int error) { fail_all_ = error; }
  void clear_write_log() { write_log_.clear(); }

 private:
  int query_control(void* arg);
  int get_control(void* arg);
  int set_control(void* arg);
  int query_menu(void* arg);
  int query_capabilities(void* arg);
  int get_format(void* arg);

  Scenario scenario_;
  std::vector<Write> write_log_;
  RequestCounts counts_;
  int fail_all_ = 0;
};

}  // namespace camsim
