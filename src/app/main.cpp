// Entry point of camera_control.
#include "app/run.h"

int main(int argc, char** argv) {
  return camctl::run_camera_control(argc, argv);
}
