// The settings file: key=value lines of the controls that are away from their defaults.
#pragma once

namespace camctl {

class Device;
struct ControlTable;
struct WriteRefusal;

// Writes every entry away from its default as "name=value\r\n". Returns false on any failure.
bool save_settings(const ControlTable& table, const char* path);

// Applies the pairs of the file to the table and the device. Returns false when the file
// cannot be opened; a refused write is recorded in refusal and leaves its entry unchanged.
bool load_settings(ControlTable& table, Device& device, const char* path,
                   WriteRefusal* refusal = nullptr);

}  // namespace camctl
