// Reading the kernel's sysfs attributes of device nodes, through the calls in force (sys_ops), so
// that a simulated camera can answer for its nodes.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace camctl {

// The folder of a character device's node in sysfs: "/sys/dev/char/81:3".
std::string sysfs_node_folder(dev_t number);

// Reads a small attribute file whole; 0 or the errno value.
int read_sysfs_text(const std::string& path, std::string& text);

// The names in a folder, without "." and ".."; 0 or the errno value.
int list_sysfs_folder(const std::string& path, std::vector<std::string>& names);

// The node's path under /dev, from the DEVNAME of its uevent attribute; "" when unknown.
std::string device_node_path(const std::string& node_folder);

}  // namespace camctl
