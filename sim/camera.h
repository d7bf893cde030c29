// A simulated V4L2 capture device that answers requests the way the kernel's control framework
// does.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <linux/videodev2.h>
#include <poll.h>

#include <cerrno>
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
  // A volatile cluster member's automatic value: what G_CTRL reads while its auto control is
  // on, and what it keeps when the auto control is turned off.
  std::int32_t auto_value = 0;
  std::map<std::uint32_t, MenuItem> menu;  // by index
};

struct Format {
  std::uint32_t type = 0;
  int error = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t pixelformat = 0;
  std::uint32_t planes = 1;  // of a multi-planar format
};

// An auto cluster: while the master's value is not `manual` its members are INACTIVE (and
// VOLATILE too, reading the driver's automatic value, when `is_volatile`).
struct Cluster {
  std::uint32_t master = 0;
  std::int32_t manual = 0;
  std::vector<std::uint32_t> members;
  bool is_volatile = false;
};

// Another control whose flags or value a recorded write changed.
struct Changed {
  std::uint32_t id = 0;
  std::uint32_t flags = 0;
  std::int32_t value = 0;
  int value_error = 0;
};

// A control event a handle dequeued after a recorded write.
struct RecordedEvent {
  bool writer = false;  // the handle that wrote, else a second handle on the node
  std::uint32_t id = 0;
  std::uint32_t changes = 0;
  std::int32_t value = 0;
  std::uint32_t flags = 0;
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
  std::vector<Changed> changed;       // recorded only
  std::vector<RecordedEvent> events;  // recorded only, in the order they were dequeued
};

// Where a driver's control handling departs from the kernel's control framework. The device
// record gives the recorded driver's rules (uvcvideo's, by kernel version, as captured); a
// "rules" record after it may change each one.
struct DriverRules {
  // S_CTRL of a control whose auto control is on (a non-volatile cluster member):
  enum class Inactive {
    store,   // the framework keeps the value for when the control turns active
    ignore,  // the write reaches the device, which drops it; the event still carries it
    refuse,  // EACCES, before anything happens
  };
  Inactive inactive = Inactive::store;
  bool clamp_booleans = false;     // -1 becomes 0, not 1
  bool event_every_write = false;  // a write sends its event also when the value stayed
  // A master's write sends its members' events (flags and value, to every handle) each time and
  // before its own, not only when their flags change and after.
  bool members_every_write = false;
};

// Another program's write, made right after the program's handle made its Nth request (0:
// before its first), for changes that land in the middle of the program's start.
struct OtherWrite {
  long after = 0;
  std::uint32_t id = 0;
  std::int32_t value = 0;
};

struct Scenario {
  int open_error = 0;
  int querycap_error = 0;
  // A subdevice node: VIDIOC_QUERYCAP is unknown to it (ENOTTY), VIDIOC_SUBDEV_QUERYCAP answers.
  bool subdevice = false;
  std::uint32_t subdevice_capabilities = 0;
  std::string driver, card, bus_info;
  std::uint32_t version = 0;
  std::uint32_t capabilities = 0;
  std::uint32_t device_caps = 0;
  std::vector<Format> formats;
  std::vector<Control> controls;  // ascending id
  std::vector<Cluster> clusters;
  std::vector<Write> recorded_writes;  // the fixture's experiments, not applied
  long vanish_after = -1;              // after this many requests every request fails ENODEV
  std::vector<OtherWrite> other_writes;
  int events_error = 0;  // nonzero: the driver has no events, (UN)SUBSCRIBE fail
  DriverRules rules;
};

// Parses the fixture text format (see sim/README.md). On failure returns false and says why.
bool parse_scenario(std::string_view text, Scenario& scenario, std::string& error);
bool load_scenario_file(const char* path, Scenario& scenario, std::string& error);

// A media device's graph as MEDIA_IOC_G_TOPOLOGY reports it, and the media node's own name.
struct GraphEntity {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t function = 0;
  std::uint32_t flags = 0;
};
struct GraphInterface {
  std::uint32_t id = 0;
  std::uint32_t type = 0;
  std::uint32_t flags = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::string devname;  // the node's name below /dev, as its uevent says
};
struct GraphPad {
  std::uint32_t id = 0;
  std::uint32_t entity = 0;
  std::uint32_t index = 0;
  std::uint32_t flags = 0;
};
struct GraphLink {
  std::uint32_t id = 0;
  std::uint32_t source = 0;
  std::uint32_t sink = 0;
  std::uint32_t flags = 0;
};
struct MediaGraph {
  std::string driver, model, bus_info;
  std::uint32_t version = 0;
  std::string devname;  // "media0"
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  // Where sysfs shows the media device: beside the nodes under their parent device (vimc and
  // most drivers), and always in /sys/bus/media/devices.
  bool beside_nodes = true;
  std::vector<GraphEntity> entities;
  std::vector<GraphInterface> interfaces;
  std::vector<GraphPad> pads;
  std::vector<GraphLink> links;
};

// One node of a media scenario, with its devname, its interface in the graph.
struct MediaNode {
  std::string devname;
  Scenario scenario;
};

// A whole media-controller camera: the graph, then a section per node ("node devname=...",
// followed by that node's records in the scenario format).
struct MediaScenario {
  MediaGraph graph;
  std::vector<MediaNode> nodes;
};

// True when the text holds a media graph (a "media" record) rather than one node.
bool is_media_scenario(std::string_view text);
bool parse_media_scenario(std::string_view text, MediaScenario& scenario, std::string& error);

// The line length and frame size the simulated driver gives a format: GREY one byte a pixel,
// every other two (as YUYV), a compressed one a quarter of that per frame.
std::uint32_t bytes_per_line(std::uint32_t pixelformat, std::uint32_t width);
std::uint32_t image_size(std::uint32_t pixelformat, std::uint32_t width, std::uint32_t height);

// errno value for a name such as "EINVAL", 0 when unknown.
int errno_from_name(std::string_view name);
const char* errno_name(int error);

// The requests the program's handle made.
struct RequestCounts {
  long querycap = 0, queryctrl = 0, g_ctrl = 0, s_ctrl = 0, querymenu = 0, g_fmt = 0, other = 0;
  long subscribe_event = 0, dqevent = 0;
  // Of the streaming requests, those that free the buffers (REQBUFS with count 0).
  long free_buffers = 0;
  long total() const {
    return querycap + queryctrl + g_ctrl + s_ctrl + querymenu + g_fmt + other + subscribe_event +
           dqevent;
  }
};

class Camera {
 public:
  explicit Camera(Scenario scenario);

  // Answers one ioctl on the program's handle (handle 0): 0 or the errno value the kernel
  // would give.
  int handle(unsigned long request, void* arg) { return handle_on(0, request, arg); }
  // Opens a further handle on the node, as another program would; returns its number.
  int open_handle();
  // Closing drops the handle's subscriptions and pending events; handle 0 stays usable (the
  // program may open the node again).
  void close_handle(int handle);
  int handle_on(int handle, unsigned long request, void* arg);
  // S_CTRL from another program's handle (opened on first use): 0 or the errno.
  int other_write(std::uint32_t id, std::int32_t value);
  // What poll(2) reports for the handle: POLLPRI while events are pending, POLLIN while it
  // streams and a filled buffer waits; after an unplug POLLERR | POLLHUP | POLLPRI, for good.
  short poll_events(int handle) const;
  // The driver fills the oldest queued buffer of the handle that streams with the test
  // picture, as a frame arrives. False when nothing streams or no buffer is queued.
  bool deliver_frame();
  // Another program takes the buffers and streams (0 or the errno of the request that failed),
  // or stops and frees them.
  int other_stream_on();
  int other_stream_off();
  // The mapping of a buffer of the handle that holds them (as mmap(2) at the buffer's offset
  // gives it), nullptr when there is none there; unmap(address) says whether it was one.
  void* map(std::size_t length, long offset);
  bool unmap(const void* address);
  // The handle that holds the buffers, -1 when none does.
  int buffer_owner() const { return queue_.owner; }
  // Events waiting on the handle.
  std::size_t pending_events(int handle) const;
  // Sets the automatic value a volatile cluster member reads while its auto control is on.
  bool set_auto_value(std::uint32_t id, std::int32_t value);

  const Scenario& scenario() const { return scenario_; }
  const std::vector<Write>& write_log() const { return write_log_; }
  const RequestCounts& counts() const { return counts_; }
  // The control's stored value; nullptr for an unknown id.
  const Control* control(std::uint32_t id) const;
  Control* control(std::uint32_t id);
  // From now on every request fails with error (ENODEV: the device was unplugged).
  void fail_everything(int error) { fail_all_ = error; }
  // The next count dequeues of the program's handle (-1: every one, 0: none from now on) fail
  // with error, and poll reports POLLPRI until then; ENOENT makes each a wake without an event.
  void fail_dequeues(int error, int count) {
    dequeue_error_ = error;
    failed_dequeues_ = count;
  }
  bool unplugged() const { return fail_all_ == ENODEV; }
  void clear_write_log() { write_log_.clear(); }

 private:
  struct Subscription {
    std::uint32_t flags = 0;
    bool has_pending = false;
    v4l2_event pending{};  // the kernel keeps one event per control: newer ones merge in
  };
  struct Handle {
    bool open = false;
    std::map<std::uint32_t, Subscription> subscriptions;  // by control id
    std::vector<std::uint32_t> order;  // controls with a pending event, oldest first
    std::uint32_t sequence = 0;
  };

  struct Buffer {
    std::vector<std::uint8_t> memory;
    bool queued = false;
    bool mapped = false;
    std::uint32_t bytesused = 0;
    std::uint32_t sequence = 0;
  };
  // The node's one buffer queue, as videobuf2 keeps it: the handle that asked for the buffers
  // owns it until it frees them or closes.
  struct Queue {
    int owner = -1;
    std::uint32_t type = 0;
    bool streaming = false;
    std::vector<Buffer> buffers;
    std::vector<std::uint32_t> filled;  // oldest first
    std::uint32_t sequence = 0;
  };

  // The request itself, once counted.
  int answer(int handle, unsigned long request, void* arg);
  // The scenario's other writes due after the requests made so far.
  void make_other_writes();
  int query_control(void* arg);
  int get_control(void* arg);
  int set_control(int handle, void* arg);
  int subscribe(int handle, void* arg);
  int unsubscribe(int handle, void* arg);
  int dequeue(int handle, void* arg);
  // Queues a control event carrying value for every subscriber of the control, except the
  // handle `except` unless it asked for feedback (-1: no exception).
  void send_event(const Control& control, std::uint32_t changes, int except, std::int32_t value);
  void queue_event(Handle& h, Subscription& sub, const Control& control, std::uint32_t changes,
                   std::int32_t value);
  // The cluster that holds id as a member.
  const Cluster* cluster_of_member(std::uint32_t id) const;
  bool is_auto(const Cluster& cluster) const;
  // The members' flags (and volatile values) after the master's mode changed; sends events.
  void apply_cluster(const Cluster& cluster, bool send);
  // A member's event after its master was written, as drivers with members_every_write send it.
  void announce_members(const Cluster& cluster);
  int query_menu(void* arg);
  int query_capabilities(void* arg);
  int query_subdevice_capabilities(void* arg);
  int get_format(void* arg);
  // The capture format the node streams (its first single- or multi-planar one).
  const Format* stream_format() const;
  int request_buffers(int handle, void* arg);
  int query_buffer(int handle, void* arg);
  int queue_buffer(int handle, void* arg);
  int dequeue_buffer(int handle, void* arg);
  int stream_on(int handle, void* arg);
  int stream_off(int handle, void* arg);
  void free_buffers();
  // Draws the test picture into a buffer: a gradient whose level follows Brightness.
  void paint(Buffer& buffer) const;

  Scenario scenario_;
  std::vector<Handle> handles_;
  int other_handle_ = -1;
  std::vector<Write> write_log_;
  RequestCounts counts_;
  int fail_all_ = 0;
  int dequeue_error_ = 0;
  int failed_dequeues_ = 0;
  Queue queue_;
};

}  // namespace camsim
