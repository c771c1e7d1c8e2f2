# Cross build for the controller: 32-bit little-endian MIPS Linux, with Debian's
# g++-mipsel-linux-gnu. Third-party headers and libraries come from the folder that
# scripts/mipsel-sysroot.sh fills; the C and C++ runtimes from the cross compiler's
# own /usr/mipsel-linux-gnu. Tests run under qemu-mipsel, so plain `ctest` works.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# Taken from the toolchain file's own place rather than the project's, so that
# try_compile projects (which re-read this file) agree with the main one.
get_filename_component(_novex_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(NOVEX_MIPSEL_SYSROOT "${_novex_root}/build-mipsel-sysroot")
set(NOVEX_MIPSEL_RUNTIME /usr/mipsel-linux-gnu)
set(_novex_libdir "${NOVEX_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
if(NOT EXISTS "${NOVEX_MIPSEL_SYSROOT}/.packages")
  message(FATAL_ERROR "No mipsel sysroot in ${NOVEX_MIPSEL_SYSROOT}: "
                      "run scripts/mipsel-sysroot.sh first")
endif()

# Only the sysroot and the cross runtime are searched for libraries and headers;
# the host's amd64 ones must never be picked up. Programs (nm, qemu) come from the host.
set(CMAKE_FIND_ROOT_PATH "${NOVEX_MIPSEL_SYSROOT}" "${NOVEX_MIPSEL_RUNTIME}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# libvimohost.so needs libjsoncpp.so.25 and the linker has to find it when it
# links the programs that use libvimohost; the sysroot is not the compiler's own.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_novex_libdir}")
endforeach()

# qemu finds the dynamic loader and libc/libstdc++ under -L; the sysroot's shared
# objects (jsoncpp, modbus, sqlite) through the guest's LD_LIBRARY_PATH.
find_program(NOVEX_QEMU_MIPSEL qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${NOVEX_QEMU_MIPSEL};-L;${NOVEX_MIPSEL_RUNTIME};-E;LD_LIBRARY_PATH=${_novex_libdir}")
