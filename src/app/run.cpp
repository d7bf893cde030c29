// The run: options, device, control table, then the listing or the interactive screen.
#include "app/run.h"

#include <cstdio>
#include <cstdlib>

#include "app/options.h"
#include "controls/control_table.h"
#include "device/device.h"
#include "tui/key_loop.h"

namespace camctl {

int run_camera_control(int argc, char** argv) {
  RunOptions options;
  if (!parse_options(argc, argv, options, stdout, stderr)) return EXIT_FAILURE;

  std::printf("INFO: Opening %s device\n", options.device_path);
  Device device;
  if (!open_capture_device(device, options.device_path, stdout)) return EXIT_FAILURE;

  ControlTable table;
  build_control_table(device, options.ignore_names, options.list_mode, stdout, table);
  if (options.list_mode) return EXIT_SUCCESS;

  // Everything printed so far must reach the terminal before curses takes it over.
  std::fflush(stdout);
  return run_key_loop(table, device, options);
}

}  // namespace camctl
