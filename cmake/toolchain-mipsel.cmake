# Cross build for the controller's processor (32-bit little-endian MIPS Linux) with
# Debian's g++-mipsel-linux-gnu: one use of the generic toolchain-cross.cmake.
# Third-party headers and libraries come from the folder scripts/mipsel-sysroot.sh
# fills, the C and C++ run-time from the cross compiler's own /usr/mipsel-linux-gnu.
# Tests run under qemu-mipsel, so plain `ctest` works.
get_filename_component(_novex_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(NOVEX_CROSS_PREFIX mipsel-linux-gnu-)
set(CMAKE_SYSROOT "${_novex_root}/build-mipsel-sysroot")
set(NOVEX_CROSS_RUNTIME /usr/mipsel-linux-gnu)
if(NOT EXISTS "${CMAKE_SYSROOT}/.packages")
  message(FATAL_ERROR "No mipsel sysroot in ${CMAKE_SYSROOT}: run scripts/mipsel-sysroot.sh first")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-cross.cmake")
