// Placeholder key loop until the screen exists: the run goes straight to shutdown.
#include "tui/key_loop.h"

#include <cstdlib>

namespace camctl {

int run_key_loop(ControlTable& /*table*/, Device& /*device*/, const RunOptions& /*options*/) {
  return EXIT_SUCCESS;
}

}  // namespace camctl
