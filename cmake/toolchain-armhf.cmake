# Cross toolchain for the board: 32-bit ARM hard-float Linux (arm-linux-gnueabihf), Linux 5.10 uapi.
#
# Needs the cache that tools/armhf/prepare-sysroot.sh fills (armhf ncursesw, the 5.10 kernel
# headers). Test programs run under qemu-arm, so ctest works in a cross build as it does natively.
#
#   cmake -S . -B build/armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CAMCTL_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${CAMCTL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CAMCTL_TRIPLET}-g++)

if(NOT CAMCTL_ARMHF_CACHE)
  if(DEFINED ENV{CAMCTL_ARMHF_CACHE})
    set(CAMCTL_ARMHF_CACHE "$ENV{CAMCTL_ARMHF_CACHE}")
  else()
    set(CAMCTL_ARMHF_CACHE /var/cache/camera_control/armhf)
  endif()
endif()
set(CAMCTL_ARMHF_CACHE "${CAMCTL_ARMHF_CACHE}" CACHE PATH "Cache of tools/armhf/prepare-sysroot.sh")
# The compiler checks re-read this file in their own projects and need the same cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CAMCTL_ARMHF_CACHE)

set(_armhf_overlay "${CAMCTL_ARMHF_CACHE}/sysroot")
set(_armhf_kernel_headers "${CAMCTL_ARMHF_CACHE}/kernel-headers/usr/include")
if(NOT EXISTS "${_armhf_kernel_headers}/linux/videodev2.h"
   OR NOT EXISTS "${_armhf_overlay}/usr/lib/${CAMCTL_TRIPLET}/pkgconfig/ncursesw.pc")
  message(FATAL_ERROR "The armhf cache ${CAMCTL_ARMHF_CACHE} is not ready: "
                      "run tools/armhf/prepare-sysroot.sh first.")
endif()

# The 5.10 uapi headers come before the cross compiler's own newer ones, so anything a 5.10
# kernel lacks fails to compile. The overlay's include directory holds only ncursesw.
set(_armhf_includes
    "-isystem ${_armhf_kernel_headers} -isystem ${_armhf_kernel_headers}/${CAMCTL_TRIPLET}"
    "-isystem ${_armhf_overlay}/usr/include")
string(JOIN " " _armhf_includes ${_armhf_includes})
set(CMAKE_C_FLAGS_INIT "${_armhf_includes}")
set(CMAKE_CXX_FLAGS_INIT "${_armhf_includes}")

set(CMAKE_FIND_ROOT_PATH "${_armhf_overlay}" /usr/${CAMCTL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must describe the armhf ncursesw, never the build machine's.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "${_armhf_overlay}/usr/lib/${CAMCTL_TRIPLET}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_armhf_overlay}")

# Test programs run under qemu-user. Programs that the tests start themselves (the end-to-end
# tests run camera_control with the simulated camera preloaded) learn the emulator command from
# CAMCTL_TEST_EMULATOR, because without binfmt_misc an armhf binary cannot be exec'd directly.
find_program(CAMCTL_QEMU_ARM qemu-arm REQUIRED)
set(_armhf_emulator "${CAMCTL_QEMU_ARM};-L;/usr/${CAMCTL_TRIPLET}")
string(REPLACE ";" " " _armhf_emulator_words "${_armhf_emulator}")
set(CMAKE_CROSSCOMPILING_EMULATOR "env;CAMCTL_TEST_EMULATOR=${_armhf_emulator_words};${_armhf_emulator}")

# GoogleTest for armhf is built from the sources that Debian's googletest package ships.
set(CAMCTL_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from its sources")

# After project(): prove that the 5.10 headers are the ones in use (not inside the checks' own
# projects, which read this file too).
get_property(_armhf_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _armhf_in_try_compile)
  set(CMAKE_PROJECT_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/armhf-checks.cmake")
endif()
