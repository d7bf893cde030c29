// Paths of the guest programs: configured at build time, overridable from the environment.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "system_config.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace systest {
namespace {

std::string from_env_or(const char* variable, const char* configured) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : configured;
}

}  // namespace

std::string program_for(const std::string& arch) {
  if (arch == "armhf") return from_env_or("CAMCTL_ARMHF_BINARY", ARMHF_BINARY);
  return from_env_or("CAMCTL_X86_64_BINARY", CAMERA_CONTROL_BINARY);
}

std::string guest_helper(const std::string& arch, const std::string& name) {
  return std::string(GUEST_HELPER_DIR) + "/guest-" + arch + "/" + name;
}

std::string release_package(const std::string& deb_arch) {
  namespace fs = std::filesystem;
  if (!fs::is_directory(RELEASE_DIR)) return {};
  const std::string suffix = "_" + deb_arch + ".deb";
  for (const auto& entry : fs::directory_iterator(RELEASE_DIR)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("camera-control_", 0) == 0 && name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return entry.path().string();
  }
  return {};
}

std::string vimc_module(const std::string& arch) {
  return from_env_or("CAMCTL_VM_CACHE", "/var/cache/camera_control/vm") + "/vimc-" + arch +
         "/vimc.ko";
}

std::string armhf_dummy_module() {
  return from_env_or("CAMCTL_ARMHF_DUMMY_MODULE", ARMHF_DUMMY_MODULE);
}

std::string golden_listing(const std::string& name) {
  std::ifstream in(std::string(GOLDEN_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string terminfo_entry() {
  for (const char* path : {"/lib/terminfo/x/xterm", "/usr/share/terminfo/x/xterm"})
    if (std::filesystem::exists(path)) return path;
  return {};
}

}  // namespace systest
