// Entry point of camera_control.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "app/run.h"

int main(int argc, char** argv) {
  return camctl::run_camera_control(argc, argv);
}
