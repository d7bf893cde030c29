// Boots a system-test VM with a case folder (tools/vm/run.sh) and reads back what it left.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace systest {

// What a guest left in its /out folder, and how the boot went.
struct GuestResult {
  bool delivered = false;       // the VM booted, ran the case and shipped /out
  std::string runner_messages;  // the runner's own output: why a VM did not start, if it did not
  std::map<std::string, std::string> files;  // the guest's /out, and its console.log

  // The text of a file from /out, or "<missing NAME>" when the guest wrote no such file.
  std::string file(const std::string& name) const;
};

// A case: the folder that becomes /case in the guest, with its run.sh and the files it uses.
class GuestCase {
 public:
  // arch is "x86_64" (Debian's 6.1 kernel) or "armhf" (the board's 5.10 armmp kernel).
  explicit GuestCase(std::string arch);
  ~GuestCase();
  GuestCase(const GuestCase&) = delete;
  GuestCase& operator=(const GuestCase&) = delete;

  // Copies a host file into the case folder under name, keeping it executable.
  void add_file(const std::filesystem::path& from, const std::string& name);
  void add_text(const std::string& name, const std::string& text);
  // The shell script the guest runs from /case after its base modules are loaded.
  void set_script(const std::string& body);

  GuestResult boot();
  // Boots the case with a fresh FAT disk, /dev/vda, the one the power cut uses.
  GuestResult boot_with_fat_disk(int limit_seconds);
  // Boots the case with a fresh FAT disk, kills the VM at a random moment up to max_delay_ms
  // after its first report line, and boots it again on the same disk (tools/vm/powercut.sh).
  GuestResult boot_and_cut_power(int max_delay_ms);
  // Boots the case under Debian's own systemd and udev (tools/vm/boot.sh): its root/ is laid over
  // the root filesystem and its *.deb installed with dpkg before systemd starts, its boot/ is
  // the FAT disk at /boot, and run.sh runs once the boot is done.
  GuestResult boot_systemd();

 private:
  GuestResult run(const std::string& runner, const std::string& extra_args);

  std::string arch_;
  std::filesystem::path dir_;
};

// A guest script's line that runs the case's camera_control with args: its standard output goes
// to /out/TAG.stdout, its standard error to /out/TAG.stderr (or, with stderr_apart false, into
// the same file), its exit status to /out/TAG.status.
std::string program_run(const std::string& tag, const std::string& args, bool stderr_apart = true);

// True when the user has explicitly opted out of the system tests (CAMCTL_SKIP_SYSTEM_TESTS=1).
bool system_tests_opted_out();

// A host file the build pointed at, or a clear reason why it is missing.
std::string require_file(const std::string& path, const std::string& what);

}  // namespace systest
