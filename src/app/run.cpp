// The run: options, device, control table, then the listing, the screen, or a load or save of
// the settings file without the screen.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "app/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/options.h"
#include "controls/control_table.h"
#include "device/camera.h"
#include "settings/settings.h"
#include "tui/key_loop.h"

namespace camctl {
namespace {

// Exit status of a load that applied some pairs but not all that name a control.
constexpr int kExitNotApplied = 2;
// Exit status of a save whose new file is in place, but whose sync after the replace failed.
constexpr int kExitNotDurable = 2;

int load_without_screen(ControlTable& table, Camera& camera, const RunOptions& options) {
  LoadReport report;
  if (!load_settings(table, camera, options.settings_path, &report)) {
    std::printf("ERROR: Cannot load %s\n", options.settings_path);
    return EXIT_FAILURE;
  }
  for (const UnappliedPair& pair : report.unapplied) {
    switch (pair.reason) {
      case UnappliedPair::Reason::refused:
        std::printf("ERROR: Cannot set %s: %s\n", pair.name.c_str(), std::strerror(pair.error));
        break;
      case UnappliedPair::Reason::inactive:
        std::printf("ERROR: Not applied: %s (inactive)\n", pair.name.c_str());
        break;
      case UnappliedPair::Reason::unknown:
        std::printf("INFO: No control named %s\n", pair.name.c_str());
        break;
    }
  }
  std::printf("INFO: Config file %s loaded\n", options.settings_path);
  return report.complete() ? EXIT_SUCCESS : kExitNotApplied;
}

int save_without_screen(const ControlTable& table, const RunOptions& options) {
  SaveOutcome outcome;
  save_settings(table, options.settings_path, &outcome);
  switch (outcome.status) {
    case SaveOutcome::Status::saved:
      std::printf("INFO: Config file %s saved\n", options.settings_path);
      return EXIT_SUCCESS;
    case SaveOutcome::Status::not_durable:
      std::printf("ERROR: Config file %s is in place but may not be durable\n",
                  options.settings_path);
      std::printf("ERROR: %s\n", save_problem_text(outcome).c_str());
      return kExitNotDurable;
    case SaveOutcome::Status::failed:
      break;
  }
  std::printf("ERROR: Cannot save %s\n", options.settings_path);
  std::printf("ERROR: %s\n", save_problem_text(outcome).c_str());
  return EXIT_FAILURE;
}

}  // namespace

int run_camera_control(int argc, char** argv) {
  RunOptions options;
  if (!parse_options(argc, argv, options, stdout, stderr)) return EXIT_FAILURE;

  std::printf("INFO: Opening %s device\n", options.device_path);
  Camera camera;
  if (!open_capture_device(camera, options.device_path, stdout)) return EXIT_FAILURE;

  ControlTable table;
  const bool list_mode = options.mode == RunMode::list;
  // Only the screen shows menu items and follows the camera; a load or save deals in plain
  // numbers, once.
  const bool screen = options.mode == RunMode::screen;
  build_control_table(camera, options.ignore_names, list_mode, stdout, table, screen, screen);
  switch (options.mode) {
    case RunMode::list:
      return EXIT_SUCCESS;
    case RunMode::load:
      return load_without_screen(table, camera, options);
    case RunMode::save:
      return save_without_screen(table, options);
    case RunMode::screen:
      break;
  }
  // Everything printed so far must reach the terminal before curses takes it over.
  std::fflush(stdout);
  return run_key_loop(table, camera, options);
}

}  // namespace camctl
