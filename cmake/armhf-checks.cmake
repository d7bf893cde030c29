# Configure-time proof that an armhf build compiles against the Linux 5.10 uapi headers.
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
include(CheckCXXSourceCompiles)
check_cxx_source_compiles(
  [=[
#include <linux/version.h>
#include <linux/videodev2.h>
static_assert(LINUX_VERSION_CODE >= KERNEL_VERSION(5, 10, 0) &&
              LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0), "not the 5.10 uapi headers");
static_assert(sizeof(void*) == 4, "not a 32-bit target");
int main() { return 0; }
]=]
  CAMCTL_HAS_LINUX_5_10_HEADERS)
if(NOT CAMCTL_HAS_LINUX_5_10_HEADERS)
  message(FATAL_ERROR "The armhf build does not see the Linux 5.10 uapi headers")
endif()
