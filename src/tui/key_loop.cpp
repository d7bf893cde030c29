// The key loop: each key becomes a selection move, a control change, a reset, a load or save
// of the settings file, or the end of the run, followed by the redraws that key calls for.
// Between keys it follows the camera: controls changed by the driver or by other programs.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "tui/key_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "controls/adjust.h"
#include "controls/control_sync.h"
#include "controls/control_table.h"
#include "controls/run_options.h"
#include "device/camera.h"
#include "device/frame_luma.h"
#include "device/stream.h"
#include "device/sys_ops.h"
#include "settings/settings.h"
#include "tui/exit_signals.h"
#include "tui/key_bindings.h"
#include "tui/output_pace.h"
#include "tui/screen.h"

namespace camctl {
namespace {

// Wakes in a row that brought no event before a camera node waits for the next key.
constexpr int kMaxFailedWakes = 2;

// The view's line while another program holds the capture buffers.
const std::string kBusyText = "The camera is streaming to another program";

// One camera node in the wait, and how far its events can be followed. A wake that brings no
// event, or a dequeue that fails, is said on the status line and the node stays in the wait:
// one such wake may be a passing fault. After a second one in a row it waits for the next key,
// or a node that keeps saying it has events and hands none over would keep the loop spinning;
// it is never dropped for good but when it is gone.
struct CameraWatch {
  Device& device;
  std::size_t node;  // its place in the camera
  const char* path;
  bool followed;         // the walk subscribed to its controls' events
  bool gone = false;     // unplugged: it will never answer again
  int failed_wakes = 0;  // wakes in a row that brought no event

  int wait_descriptor() const {
    return followed && !gone && failed_wakes < kMaxFailedWakes ? device.descriptor() : -1;
  }
  // A key was taken: a node that was waiting for one is waited on again.
  void rearm() { failed_wakes = 0; }
};

class KeyLoop {
 public:
  KeyLoop(ControlTable& table, Camera& camera, const RunOptions& options, Screen& screen)
      : table_(table), camera_(camera), options_(options), screen_(screen) {}

  // Acts on one key; false when the key ends the run.
  bool act(const KeyBinding& binding) {
    drawing_ = true;
    return act_on(binding);
  }
  // Takes in what one camera node reported, and says when it cannot be followed. While the
  // layout is not shown the table follows all the same, and is drawn when it comes back.
  void follow_camera(CameraWatch& camera, short revents, bool layout_shown);
  std::size_t selection() const { return selection_; }

  // The picture's descriptor while the view streams, else -1.
  int picture_descriptor() const { return stream_.descriptor(); }
  // A frame is ready (or the stream reported an error): the newest is drawn when the terminal
  // has taken the last one and the layout can be shown, else kept until it has.
  void take_frame(short revents, bool layout_shown);
  // Why a frame is kept: the line is still sending the last one (a timeout ends the wait when
  // it has), or a serial line's queue is still full (its room to write ends it).
  enum class Held { no, for_line, for_room };
  // The wait's timeout: 0 once the line has sent the last frame, while a newer one is kept for
  // it; -1 (no timeout) otherwise, the list screen always.
  int picture_timeout() const {
    return stream_.frame_pending() && held_ == Held::for_line
               ? wait_ms_until(pace_.ready_at(), PaceClock::now())
               : -1;
  }
  // The terminal, to wait for room in its queue while a frame is kept for it; else -1.
  int room_descriptor() const {
    return stream_.frame_pending() && held_ == Held::for_room ? screen_.output_descriptor() : -1;
  }
  // After each wake: a kept frame whose time has come is drawn.
  void draw_kept_frame(bool layout_shown) {
    if (stream_.frame_pending()) take_frame(0, layout_shown);
  }
  // Ends the stream, on every way out of the run.
  void end_picture() { stream_.stop(); }

 private:
  bool act_on(const KeyBinding& binding);
  void move_selection(Command command);
  void show_refusal(const WriteRefusal& refusal);
  void show_message(const std::string& text);
  void show_load(bool ok, const LoadReport& report);
  void show_changes(const TableChanges& changes, ControlKey selected);
  ControlKey selected_key() const;
  void select_by_key(ControlKey key);
  void show_disconnected(const char* path);
  void open_picture();
  void close_picture();
  void show_stream_status(Stream::Status status);

  ControlTable& table_;
  Camera& camera_;
  const RunOptions& options_;
  Screen& screen_;
  std::size_t selection_ = 0;  // stays 0 in an empty table: there is nothing to point at
  bool drawing_ = true;        // the layout is on the screen
  Stream stream_;
  OutputPace pace_;
  Held held_ = Held::no;
  LumaPicture picture_;
  LumaMeter meter_;
};

bool KeyLoop::act_on(const KeyBinding& binding) {
  switch (binding.command) {
    case Command::select_next:
    case Command::select_previous:
    case Command::select_first:
    case Command::select_last:
      move_selection(binding.command);
      // Both windows are redrawn even when the selection stayed where it was.
      screen_.draw_detail_panel(selection_);
      screen_.draw_control_list(selection_);
      return true;
    case Command::adjust: {
      WriteRefusal refusal;
      const bool changed = adjust_control(table_, camera_, selection_, binding.adjust, &refusal);
      if (refusal.error != 0) show_refusal(refusal);
      screen_.draw_control_list(selection_);
      if (changed) screen_.draw_detail_panel(selection_);
      return true;
    }
    case Command::reset_all: {
      const ControlKey selected = selected_key();
      WriteRefusal refusal;
      reset_all_controls(table_, camera_, &refusal);
      if (refusal.error != 0) show_refusal(refusal);
      // Controls the reset handed back to their auto controls left the list.
      select_by_key(selected);
      screen_.draw_control_list(selection_);
      screen_.draw_detail_panel(selection_);
      return true;
    }
    case Command::load: {
      const ControlKey selected = selected_key();
      LoadReport report;
      const bool ok = load_settings(table_, camera_, options_.settings_path, &report);
      select_by_key(selected);
      show_load(ok, report);
      screen_.draw_control_list(selection_);
      // The panel shows what the load wrote to the selected control, or the control the
      // selection moved to when its own left the list.
      screen_.draw_detail_panel(selection_);
      return true;
    }
    case Command::save: {
      SaveOutcome outcome;
      save_settings(table_, options_.settings_path, &outcome);
      // The reason follows on the same line, cut where the status area ends: the screen has no
      // other place to say it.
      const std::string path = options_.settings_path;
      switch (outcome.status) {
        case SaveOutcome::Status::saved:
          show_message("Config file " + path + " saved");
          break;
        case SaveOutcome::Status::not_durable:
          show_message("Config file " + path +
                       " is in place but may not be durable: " + save_problem_text(outcome));
          break;
        case SaveOutcome::Status::failed:
          show_message("Cannot save " + path + ": " + save_problem_text(outcome));
          break;
      }
      screen_.draw_control_list(selection_);
      return true;
    }
    case Command::quit:
      return false;
    case Command::repaint:
      screen_.repaint(selection_);
      return true;
    case Command::none:
      screen_.draw_control_list(selection_);
      return true;
    case Command::toggle_picture:
      if (screen_.picture_open()) {
        close_picture();
      } else {
        open_picture();
      }
      return true;
    case Command::close_picture:
      if (screen_.picture_open()) close_picture();
      return true;
  }
  return true;
}

void KeyLoop::open_picture() {
  screen_.open_picture(selection_);
  CameraNode& named = camera_.named();
  if (named.subdevice) {
    // A subdevice's frames leave through the capture node at the end of its pipeline.
    screen_.show_picture_notice("A subdevice has no picture: open the camera's capture node");
    return;
  }
  pace_.start(screen_.output_descriptor());
  show_stream_status(stream_.start(named.device));
}

void KeyLoop::close_picture() {
  // What the view said about the stream (another program streaming) goes with it.
  stream_.stop();
  screen_.close_picture(selection_);
}

void KeyLoop::show_stream_status(Stream::Status status) {
  switch (status) {
    case Stream::Status::off:
    case Stream::Status::streaming:
      return;
    case Stream::Status::busy:
      return screen_.show_picture_notice(kBusyText);
    case Stream::Status::not_drawable: {
      std::string text = "The picture's format " + fourcc_text(stream_.pixelformat());
      if (stream_.planes() > 1) {
        text += " has " + std::to_string(stream_.planes()) + " planes and";
      }
      return screen_.show_picture_notice(text + " cannot be drawn");
    }
    case Stream::Status::no_picture:
      return screen_.show_picture_notice("The camera streams no picture to this program");
    case Stream::Status::gone:
      screen_.show_picture_notice("");
      return show_disconnected(options_.device_path);
    case Stream::Status::failed:
      return screen_.show_picture_notice(std::string("The picture cannot be streamed: ") +
                                         std::strerror(stream_.error()));
  }
}

void KeyLoop::take_frame(short revents, bool layout_shown) {
  // A pseudo-terminal's queue always looks empty (its bytes pass straight to the other side),
  // so the line's declared speed says when it has taken the last frame; a serial line's own
  // queue says so as well.
  // A frame kept while the layout cannot be shown waits for the next frame or key.
  held_ = Held::no;
  if (layout_shown && screen_.picture_open()) {
    if (!pace_.ready(PaceClock::now())) {
      held_ = Held::for_line;
    } else if (screen_.output_busy()) {
      held_ = Held::for_room;
    }
  }
  const bool draw = layout_shown && screen_.picture_open() && held_ == Held::no;
  const Stream::Frame frame =
      stream_.take_frame(draw, kPictureColumns, kPictureRows, picture_, meter_);
  switch (frame) {
    case Stream::Frame::drawn: {
      pace_.frame_begins();
      const std::size_t guess = screen_.draw_picture(picture_, meter_);
      return pace_.frame_sent(PaceClock::now(), guess);
    }
    case Stream::Frame::none:
      // Readiness with an error but no buffer to take: the stream has ended under the program,
      // and waiting on it again would spin.
      if ((revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return;
      stream_.stop();
      if (v4l2_format probe{.type = V4L2_BUF_TYPE_VIDEO_CAPTURE, .fmt = {}};
          camera_.named().device.get_capture_format(probe) == ENODEV) {
        screen_.show_picture_notice("");
        return show_disconnected(options_.device_path);
      }
      return screen_.show_picture_notice("The picture stopped");
    case Stream::Frame::pending:
    case Stream::Frame::skipped:
    case Stream::Frame::broken:
      return;
    case Stream::Frame::gone:
      stream_.stop();
      if (layout_shown) screen_.show_picture_notice("");
      return show_disconnected(options_.device_path);
    case Stream::Frame::failed:
      stream_.stop();
      return screen_.show_picture_notice(std::string("The picture stopped: ") +
                                         std::strerror(stream_.error()));
  }
}

void KeyLoop::move_selection(Command command) {
  const std::size_t count = table_.count();
  if (count == 0) return;
  switch (command) {
    case Command::select_next:
      if (selection_ + 1 < count) ++selection_;
      break;
    case Command::select_previous:
      if (selection_ > 0) --selection_;
      break;
    case Command::select_first:
      selection_ = 0;
      break;
    case Command::select_last:
      selection_ = count - 1;
      break;
    default:
      break;
  }
}

ControlKey KeyLoop::selected_key() const {
  return selection_ < table_.count() ? table_.at(selection_).key() : ControlKey{};
}

// The selection stays on its control. When that control left the list, it goes to the next
// listed one in walk order (keys rise in walk order), or to the last one at the end.
void KeyLoop::select_by_key(ControlKey key) {
  const std::size_t position = walk_position(table_.entries, key);
  const std::size_t count = table_.count();
  selection_ = position < count ? position : (count == 0 ? 0 : count - 1);
}

void KeyLoop::follow_camera(CameraWatch& camera, short revents, bool layout_shown) {
  drawing_ = layout_shown;
  // An unplugged camera reports an error for good; waiting on it again would spin.
  if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    camera.gone = true;
    return show_disconnected(camera.path);
  }
  if ((revents & POLLPRI) == 0) return;
  const ControlKey selected = selected_key();
  TableChanges changes;
  int dequeued = 0;
  const int error = apply_pending_events(table_, camera_, camera.node, changes, dequeued);
  show_changes(changes, selected);
  if (error == ENODEV) {
    camera.gone = true;
    return show_disconnected(camera.path);
  }
  if (error == 0 && dequeued > 0) {
    camera.failed_wakes = 0;
    return;
  }
  ++camera.failed_wakes;
  show_message(std::string("Camera ") + camera.path +
               " events failed: " + (error != 0 ? std::strerror(error) : "none pending"));
}

void KeyLoop::show_changes(const TableChanges& changes, ControlKey selected) {
  if (changes.empty()) return;
  if (changes.rows) select_by_key(selected);
  if (!drawing_) return;
  if (changes.rows) {
    screen_.draw_control_list(selection_);
    screen_.draw_detail_panel(selection_);
    return;
  }
  // Only the rows whose numbers changed are drawn again: a slow line pays for nothing else.
  for (const ControlKey key : changes.values) {
    screen_.draw_changed_entry(listed_position(table_, key), selection_);
  }
}

void KeyLoop::show_disconnected(const char* path) {
  show_message(std::string("Camera ") + path + " disconnected");
}

void KeyLoop::show_refusal(const WriteRefusal& refusal) {
  show_message("Cannot set " + table_.at(refusal.position).display_name + ": " +
               std::strerror(refusal.error));
}

void KeyLoop::show_message(const std::string& text) {
  if (!drawing_) return screen_.keep_status(text);
  screen_.show_status(text);
  screen_.refresh_main_screen();
}

void KeyLoop::show_load(bool ok, const LoadReport& report) {
  std::string text = std::string(ok ? "Config file " : "Cannot load ") + options_.settings_path;
  if (!ok) return show_message(text);
  text += " loaded";
  if (!report.complete()) {
    text += ", not applied: ";
    std::vector<std::string_view> named;
    for (const UnappliedPair& pair : report.unapplied) {
      if (pair.reason == UnappliedPair::Reason::unknown) continue;
      if (std::find(named.begin(), named.end(), pair.name) != named.end()) continue;
      if (!named.empty()) text += ',';
      text += pair.name;
      named.push_back(pair.name);
      if (text.size() > kStatusWidth) break;
    }
    // The list of names is cut where the status area ends.
    if (text.size() > kStatusWidth) text.resize(kStatusWidth);
  }
  show_message(text);
}

}  // namespace

int run_key_loop(ControlTable& table, Camera& camera, const RunOptions& options) {
  // Caught from before curses starts, so these stand in place of the library's own handlers:
  // the screen is ended here, outside any handler, however the run ends.
  ExitSignals signals;
  Screen screen(table, options);
  if (!screen.set_up_screen(camera)) {
    std::printf("ERROR: Terminal too small: %dx%d, need at least 24x78\n", screen.terminal_rows(),
                screen.terminal_cols());
    return EXIT_FAILURE;
  }

  KeyLoop loop(table, camera, options, screen);
  // Every node of the camera whose events the walk subscribed to is in the wait: the capture
  // node, and the sensor, lens and processing subdevices behind it. The camera is the one the
  // user named, whichever node reports it gone.
  std::vector<CameraWatch> nodes;
  for (std::size_t node = 0; node < camera.size(); ++node) {
    nodes.push_back({camera.device(node), node, options.device_path,
                     node < table.follows_events.size() && table.follows_events[node]});
  }
  constexpr std::size_t kPicture = 2;
  constexpr std::size_t kRoom = 3;
  constexpr std::size_t kFirstNode = 4;
  std::vector<pollfd> watched(kFirstNode + nodes.size());
  bool layout_shown = true;
  int idle_wakes = 0;
  for (;;) {
    // The one wait: keys, the signals that end the run, and the camera's events.
    watched[0] = {screen.key_descriptor(), POLLIN, 0};
    watched[1] = {signals.descriptor(), POLLIN, 0};
    // Frames only while the view streams: before its buffers exist, a wait for them would
    // make some drivers start reading frames of their own accord.
    watched[kPicture] = {loop.picture_descriptor(), POLLIN, 0};
    // A serial line's queue, only while a frame waits for room in it.
    watched[kRoom] = {loop.room_descriptor(), POLLOUT, 0};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      watched[kFirstNode + i] = {nodes[i].wait_descriptor(), POLLPRI, 0};
    }
    // Interrupted by a resize, the wait goes on to the key curses makes of it.
    // Nothing periodic: a timeout only while a frame is kept for a line still sending the last.
    if (sys_ops().poll(watched.data(), watched.size(), loop.picture_timeout()) < 0 &&
        errno != EINTR) {
      break;
    }
    if (watched[1].revents != 0 && signals.caught() != 0) break;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (watched[kFirstNode + i].revents == 0) continue;
      loop.follow_camera(nodes[i], watched[kFirstNode + i].revents,
                         layout_shown && screen.terminal_fits());
    }
    const bool keys_said_ready =
        (watched[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    bool quit = false;
    bool any_key = false;
    // Every key curses can hand over now, also those it keeps from an earlier read.
    for (int key = screen.read_key(); key != ERR && !quit; key = screen.read_key()) {
      // Keys typed while a slow camera answered act on the list the keys before them made:
      // what their writes changed on the camera (a control joining below its auto control) is
      // taken in first. Asking costs no request; the driver queued it during the write.
      for (CameraWatch& node : nodes) {
        if (!any_key || node.wait_descriptor() < 0) continue;
        pollfd ready{node.wait_descriptor(), POLLPRI, 0};
        if (sys_ops().poll(&ready, 1, 0) > 0) {
          loop.follow_camera(node, ready.revents, layout_shown && screen.terminal_fits());
        }
      }
      any_key = true;
      const KeyBinding binding = find_key_binding(key);
      if (!screen.terminal_fits()) {
        // The layout cannot be shown, so no key may change the camera unseen; only Q acts.
        if (key == KEY_RESIZE || binding.command == Command::repaint) screen.show_size_notice();
        layout_shown = false;
        quit = binding.command == Command::quit;
        continue;
      }
      if (key == KEY_RESIZE || !layout_shown) {
        screen.redraw_layout(loop.selection());
        layout_shown = true;
        if (key == KEY_RESIZE) continue;
      }
      screen.refresh_main_screen();
      quit = !loop.act(binding);
    }
    if (quit) break;
    if (any_key) {
      for (CameraWatch& node : nodes) node.rearm();
    }
    // After the keys: a slow line never holds a key back behind a frame.
    if (watched[kPicture].revents != 0 && loop.picture_descriptor() >= 0) {
      loop.take_frame(watched[kPicture].revents, layout_shown && screen.terminal_fits());
    } else {
      loop.draw_kept_frame(layout_shown && screen.terminal_fits());
    }
    // A terminal that says it is ready but gives no key has reached its end (end of input, a
    // hang-up); the run ends as with Q, as waiting on would spin.
    idle_wakes = keys_said_ready && !any_key ? idle_wakes + 1 : 0;
    if (idle_wakes >= 2) break;
  }
  // The buffers go back first: the camera is free for another program however the run ends.
  loop.end_picture();
  screen.close(loop.selection());
  // A hang-up ends the key reads and sends its signal at once; either may come first.
  if (const int signal = signals.caught(); signal != 0) ExitSignals::end_by(signal);
  return EXIT_SUCCESS;
}

}  // namespace camctl
