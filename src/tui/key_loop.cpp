// The key loop: each key becomes a selection move, a control change, a reset, a load or save
// of the settings file, or the end of the run, followed by the redraws that key calls for.
#include "tui/key_loop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/options.h"
#include "controls/adjust.h"
#include "controls/control_table.h"
#include "settings/settings.h"
#include "tui/key_bindings.h"
#include "tui/screen.h"

namespace camctl {
namespace {

class KeyLoop {
 public:
  KeyLoop(ControlTable& table, Device& device, const RunOptions& options, Screen& screen)
      : table_(table), device_(device), options_(options), screen_(screen) {}

  // Acts on one key; false when the key ends the run.
  bool act(const KeyBinding& binding);
  std::size_t selection() const { return selection_; }

 private:
  void move_selection(Command command);
  void show_refusal(const WriteRefusal& refusal);
  void show_outcome(const char* success, const char* failure, bool ok);

  ControlTable& table_;
  Device& device_;
  const RunOptions& options_;
  Screen& screen_;
  std::size_t selection_ = 0;  // stays 0 in an empty table: there is nothing to point at
};

bool KeyLoop::act(const KeyBinding& binding) {
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
      const bool changed = adjust_control(table_, device_, selection_, binding.adjust, &refusal);
      if (refusal.error != 0) show_refusal(refusal);
      screen_.draw_control_list(selection_);
      if (changed) screen_.draw_detail_panel(selection_);
      return true;
    }
    case Command::reset_all: {
      WriteRefusal refusal;
      reset_all_controls(table_, device_, &refusal);
      if (refusal.error != 0) show_refusal(refusal);
      screen_.draw_control_list(selection_);
      screen_.draw_detail_panel(selection_);
      return true;
    }
    case Command::load:
      // The detail panel is left as it was: it catches up on the next key that redraws it.
      show_outcome("Config file %s loaded", "Cannot load %s",
                   load_settings(table_, device_, options_.settings_path));
      screen_.draw_control_list(selection_);
      return true;
    case Command::save:
      show_outcome("Config file %s saved", "Cannot save %s",
                   save_settings(table_, options_.settings_path));
      screen_.draw_control_list(selection_);
      return true;
    case Command::quit:
      return false;
    case Command::none:
      screen_.draw_control_list(selection_);
      return true;
  }
  return true;
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

void KeyLoop::show_refusal(const WriteRefusal& refusal) {
  const std::string text = "Cannot set " + table_.at(refusal.position).display_name + ": " +
                           std::strerror(refusal.error);
  screen_.show_status(text);
  screen_.refresh_main_screen();
}

void KeyLoop::show_outcome(const char* success, const char* failure, bool ok) {
  char text[4096];
  std::snprintf(text, sizeof text, ok ? success : failure, options_.settings_path);
  screen_.show_status(text);
  screen_.refresh_main_screen();
}

}  // namespace

int run_key_loop(ControlTable& table, Device& device, const RunOptions& options) {
  Screen screen(table, options);
  if (!screen.set_up_screen(device)) {
    std::printf("ERROR: Terminal too small: %dx%d, need at least 24x78\n", screen.terminal_rows(),
                screen.terminal_cols());
    return EXIT_FAILURE;
  }

  KeyLoop loop(table, device, options, screen);
  bool layout_shown = true;
  for (;;) {
    const int key = screen.read_key();
    // A terminal that can no longer be read ends the run as Q does; reading on would spin.
    if (key == ERR) break;
    const KeyBinding binding = find_key_binding(key);
    if (!screen.terminal_fits()) {
      // The layout cannot be shown, so no key may change the camera unseen; only Q acts.
      if (key == KEY_RESIZE) screen.show_size_notice();
      layout_shown = false;
      if (binding.command == Command::quit) break;
      continue;
    }
    if (key == KEY_RESIZE || !layout_shown) {
      screen.redraw_layout(loop.selection());
      layout_shown = true;
      if (key == KEY_RESIZE) continue;
    }
    screen.refresh_main_screen();
    if (!loop.act(binding)) break;
  }
  screen.close(loop.selection());
  return EXIT_SUCCESS;
}

}  // namespace camctl
