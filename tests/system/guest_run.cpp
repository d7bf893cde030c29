// Runs tools/vm/run.sh for one case folder and collects the guest's results.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "guest_run.h"

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace systest {
namespace {

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path make_temp_dir(const std::string& tag) {
  std::string pattern = (fs::temp_directory_path() / ("camctl-system-" + tag + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

std::string GuestResult::file(const std::string& name) const {
  auto found = files.find(name);
  return found == files.end() ? "<missing " + name + ">" : found->second;
}

GuestCase::GuestCase(std::string arch) : arch_(std::move(arch)), dir_(make_temp_dir(arch_)) {
  fs::create_directories(dir_ / "case");
}

GuestCase::~GuestCase() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void GuestCase::add_file(const fs::path& from, const std::string& name) {
  fs::create_directories((dir_ / "case" / name).parent_path());
  fs::copy_file(from, dir_ / "case" / name, fs::copy_options::overwrite_existing);
  fs::permissions(dir_ / "case" / name, fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read |
                                            fs::perms::others_exec);
}

void GuestCase::add_text(const std::string& name, const std::string& text) {
  fs::create_directories((dir_ / "case" / name).parent_path());
  std::ofstream(dir_ / "case" / name, std::ios::binary) << text;
}

void GuestCase::set_script(const std::string& body) {
  add_text("run.sh", "set -u\n" + body);
}

GuestResult GuestCase::boot() {
  return run(VM_RUNNER, "");
}

GuestResult GuestCase::boot_with_fat_disk(int limit_seconds) {
  return run(VM_RUNNER, std::to_string(limit_seconds) + " fat");
}

GuestResult GuestCase::boot_and_cut_power(int max_delay_ms) {
  return run((fs::path(VM_RUNNER).parent_path() / "powercut.sh").string(),
             std::to_string(max_delay_ms));
}

GuestResult GuestCase::boot_systemd() {
  return run((fs::path(VM_RUNNER).parent_path() / "boot.sh").string(), "");
}

GuestResult GuestCase::run(const std::string& runner, const std::string& extra_args) {
  GuestResult result;
  fs::path out_dir = dir_ / "out";
  fs::path messages = dir_ / "runner.log";
  std::string command = "bash '" + runner + "' " + arch_ + " '" + (dir_ / "case").string() + "' '" +
                        out_dir.string() + "' " + extra_args + " >'" + messages.string() + "' 2>&1";
  int status = std::system(command.c_str());
  result.runner_messages = read_whole(messages);
  result.delivered = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (fs::is_directory(out_dir))
    for (const auto& entry : fs::recursive_directory_iterator(out_dir))
      if (entry.is_regular_file())
        result.files[fs::relative(entry.path(), out_dir).string()] = read_whole(entry.path());
  return result;
}

std::string program_run(const std::string& tag, const std::string& args, bool stderr_apart) {
  const std::string out = "/out/" + tag;
  return "./camera_control " + args + " >" + out + ".stdout " +
         (stderr_apart ? "2>" + out + ".stderr" : std::string("2>&1")) + "\necho $? >" + out +
         ".status\n";
}

bool system_tests_opted_out() {
  const char* value = std::getenv("CAMCTL_SKIP_SYSTEM_TESTS");
  return value != nullptr && std::string(value) == "1";
}

std::string require_file(const std::string& path, const std::string& what) {
  if (path.empty()) return "no " + what + " was configured";
  if (!fs::exists(path)) return what + " " + path + " does not exist";
  return {};
}

}  // namespace systest
