// The settings file reader and writer.
#include "settings/settings.h"

namespace camctl {

bool save_settings(const ControlTable& /*table*/, const char* /*path*/) { return false; }

bool load_settings(ControlTable& /*table*/, Device& /*device*/, const char* /*path*/,
                   WriteRefusal* /*refusal*/) {
  return false;
}

}  // namespace camctl
