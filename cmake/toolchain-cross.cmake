# Cross build with any GCC tool chain and sysroot, such as the SDK of the controller the
# plug-in runs in (the `controller` preset; docs/controller.md):
#
#   cmake --preset controller -DNOVEX_CROSS_PREFIX=/opt/sdk/bin/mipsel-openwrt-linux-gnu- \
#                             -DCMAKE_SYSROOT=/opt/sdk/staging_dir/target
#
# Each setting may come from the environment an SDK's setup script leaves instead; the
# first variable of its row that is set wins. CC and CXX in the environment, when set,
# win over the prefix (CMake reads them itself, flags and all).
#
#   NOVEX_CROSS_PREFIX    the tools' common prefix: a path ending in "...-" or a name on PATH
#   CMAKE_SYSROOT         the target's headers and libraries (jsoncpp, Boost, C/C++ run-time)
#   NOVEX_CROSS_RUNTIME   optional: a folder holding the target's C and C++ run-time
#                         (lib/ld.so.1, libstdc++.so.6) when the compiler keeps them outside
#                         the sysroot, as Debian's cross compilers do (/usr/<triplet>)
#   NOVEX_CROSS_EMULATOR  optional: what runs target programs (tests); by default
#                         qemu-<processor> with the run-time folder, when installed
#
# Nothing here names a folder of the build machine: cmake/toolchain-mipsel.cmake is the
# Debian tool chain's use of this file.

# Columns: setting | environment variables that supply it, in order of preference.
set(_novex_cross_settings
    "NOVEX_CROSS_PREFIX|NOVEX_CROSS_PREFIX,CROSS_COMPILE"
    "CMAKE_SYSROOT|NOVEX_SYSROOT,SDKTARGETSYSROOT,OECORE_TARGET_SYSROOT"
    "NOVEX_CROSS_RUNTIME|NOVEX_CROSS_RUNTIME"
    "NOVEX_CROSS_EMULATOR|NOVEX_CROSS_EMULATOR")
foreach(_row IN LISTS _novex_cross_settings)
  string(REGEX REPLACE "[|,]" ";" _row "${_row}")
  list(POP_FRONT _row _setting)
  if(NOT "${${_setting}}" STREQUAL "")
    continue()
  endif()
  foreach(_env IN LISTS _row)
    if(NOT "$ENV{${_env}}" STREQUAL "")
      set(${_setting} "$ENV{${_env}}" CACHE STRING "from the environment (${_env})")
      break()
    endif()
  endforeach()
endforeach()
# try_compile projects read this file again, without the main project's cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     NOVEX_CROSS_PREFIX NOVEX_CROSS_RUNTIME NOVEX_CROSS_EMULATOR)

set(CMAKE_SYSTEM_NAME Linux)
if(NOT CMAKE_C_COMPILER AND "$ENV{CC}" STREQUAL "")
  if(NOT NOVEX_CROSS_PREFIX)
    message(FATAL_ERROR "Cross build: give the tool chain, e.g. "
            "-DNOVEX_CROSS_PREFIX=/opt/sdk/bin/mipsel-openwrt-linux-gnu- (or set CC and CXX)")
  endif()
  set(CMAKE_C_COMPILER "${NOVEX_CROSS_PREFIX}gcc")
  set(CMAKE_CXX_COMPILER "${NOVEX_CROSS_PREFIX}g++")
endif()
if(CMAKE_SYSROOT AND NOT IS_DIRECTORY "${CMAKE_SYSROOT}")
  message(FATAL_ERROR "Cross build: the sysroot ${CMAKE_SYSROOT} is no folder")
endif()

# The target's processor and Debian-style library folder, asked of the compiler itself.
if(CMAKE_C_COMPILER)
  set(_novex_cc "${CMAKE_C_COMPILER}")
else()
  separate_arguments(_novex_cc UNIX_COMMAND "$ENV{CC}")
endif()
execute_process(COMMAND ${_novex_cc} -dumpmachine OUTPUT_VARIABLE _novex_triplet
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR _novex_triplet STREQUAL "")
  message(FATAL_ERROR "Cross build: cannot run the compiler ${_novex_cc}")
endif()
string(REGEX REPLACE "-.*$" "" CMAKE_SYSTEM_PROCESSOR "${_novex_triplet}")
execute_process(COMMAND ${_novex_cc} -print-multiarch OUTPUT_VARIABLE _novex_multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_novex_multiarch AND IS_DIRECTORY "${CMAKE_SYSROOT}/usr/lib/${_novex_multiarch}")
  set(CMAKE_LIBRARY_ARCHITECTURE "${_novex_multiarch}")
endif()

# Only the sysroot (CMake searches it first by itself) and the run-time folder are
# searched for libraries and headers; programs (nm, qemu) come from the build machine.
if(NOVEX_CROSS_RUNTIME)
  list(APPEND CMAKE_FIND_ROOT_PATH "${NOVEX_CROSS_RUNTIME}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads only the sysroot's .pc files and gives their folders inside it.
if(CMAKE_SYSROOT)
  set(_novex_pc_dirs "")
  foreach(_dir usr/lib/${_novex_multiarch}/pkgconfig usr/lib/pkgconfig usr/share/pkgconfig)
    list(APPEND _novex_pc_dirs "${CMAKE_SYSROOT}/${_dir}")
  endforeach()
  string(REPLACE ";" ":" _novex_pc_dirs "${_novex_pc_dirs}")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR} "${_novex_pc_dirs}")
  unset(ENV{PKG_CONFIG_PATH})
endif()

# The sysroot's library folders: where the linker finds what a library needs in turn
# (libvimohost.so needs libjsoncpp), and where the emulated loader looks.
set(_novex_libdirs "")
foreach(_dir usr/lib/${_novex_multiarch} lib/${_novex_multiarch} usr/lib lib)
  if(CMAKE_SYSROOT AND IS_DIRECTORY "${CMAKE_SYSROOT}/${_dir}")
    list(APPEND _novex_libdirs "${CMAKE_SYSROOT}/${_dir}")
  endif()
endforeach()
list(REMOVE_DUPLICATES _novex_libdirs)
# What a library needs in turn may be the C run-time's own (Kerberos, under net-snmp's
# agent library, needs libresolv): the linker looks in the sysroot's default folders, so
# a run-time folder outside it is named too. The emulator finds it through -L.
set(_novex_link_dirs ${_novex_libdirs})
if(NOVEX_CROSS_RUNTIME AND IS_DIRECTORY "${NOVEX_CROSS_RUNTIME}/lib")
  list(APPEND _novex_link_dirs "${NOVEX_CROSS_RUNTIME}/lib")
endif()
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "")
  foreach(_dir IN LISTS _novex_link_dirs)
    string(APPEND CMAKE_${_kind}_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_dir}")
  endforeach()
endforeach()

# Tests run target programs under qemu-user: -L names the folder that holds the
# target's loader and run-time, LD_LIBRARY_PATH the sysroot's libraries.
if(NOT NOVEX_CROSS_EMULATOR)
  find_program(NOVEX_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR})
  if(NOVEX_QEMU)
    set(_novex_guest_root "${NOVEX_CROSS_RUNTIME}")
    if(NOT _novex_guest_root)
      set(_novex_guest_root "${CMAKE_SYSROOT}")
    endif()
    string(REPLACE ";" ":" _novex_path "${_novex_libdirs}")
    set(NOVEX_CROSS_EMULATOR "${NOVEX_QEMU};-L;${_novex_guest_root}")
    if(_novex_path)
      list(APPEND NOVEX_CROSS_EMULATOR "-E;LD_LIBRARY_PATH=${_novex_path}")
    endif()
  endif()
endif()
if(NOVEX_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${NOVEX_CROSS_EMULATOR}")
endif()
