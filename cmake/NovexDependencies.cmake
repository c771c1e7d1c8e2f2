# Libraries the project builds against, as Debian ships them: each through its own CMake
# package (find_package(... CONFIG)) or its pkg-config file (pkg_check_modules(...
# IMPORTED_TARGET)), in the host system or, when cross-compiling, in the sysroot
# (cmake/toolchain-cross.cmake points both searches there). Each target links the
# imported targets it uses, which bring their include folders; nothing is global.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# A library that a face of vimohost needs and the build can go without: found by its
# pkg-config file `module` (PkgConfig::<prefix>), it turns the option
# NOVEX_BUILD_<feature> on by default. NOVEX_<feature>_FOUND keeps what the last
# configure found, so that an option still equal to it counts as the default and
# follows a library that came or went; an option turned on without the library fails
# the configure, naming the Debian `package`. A macro: <prefix>_INCLUDE_DIRS and the
# rest of pkg-config's answer stay visible to the caller.
macro(novex_optional_library feature prefix module doc package)
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  if(${prefix}_FOUND)
    set(novex_found ON)
  else()
    set(novex_found OFF)
  endif()
  option(NOVEX_BUILD_${feature} "${doc}" ${novex_found})
  if(DEFINED CACHE{NOVEX_${feature}_FOUND} AND "${NOVEX_BUILD_${feature}}" STREQUAL "${NOVEX_${feature}_FOUND}")
    set_property(CACHE NOVEX_BUILD_${feature} PROPERTY VALUE ${novex_found})
  endif()
  set(NOVEX_${feature}_FOUND ${novex_found} CACHE INTERNAL "${module} found by the last configure")
  if(NOVEX_BUILD_${feature} AND NOT novex_found)
    message(FATAL_ERROR "NOVEX_BUILD_${feature} needs ${module} (Debian ${package})")
  endif()
  message(STATUS "${doc}: ${NOVEX_BUILD_${feature}}")
endmacro()
# TLS for the listeners (HTTPS, the UPS protocol's STARTTLS): OpenSSL 3's defaults. A
# plug-in-only build (a controller's SDK) has no listener and needs none.
if(NOT NOVEX_PLUGIN_ONLY)
  find_package(OpenSSL 3.0 REQUIRED)
endif()

# Every include names its folder from the top of the tree ("history/store.h"); generated
# headers sit at the same place under the build tree ("core/version.h"). The libraries
# at the bottom of the tree (novex_base, vimo_runtime, ...) pass this on to all above.
add_library(novex_tree INTERFACE)
target_include_directories(novex_tree INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})

# On 32-bit MIPS a 64-bit atomic is a call into libatomic, which the compiler does not
# link by itself; the cross tool chain ships only its run-time name.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <atomic>
#include <cstdint>
std::atomic<uint64_t> counter;
int main() { return static_cast<int>(++counter + counter.load()); }" NOVEX_ATOMIC64_INLINE)
if(NOT NOVEX_ATOMIC64_INLINE)
  find_library(NOVEX_LIBATOMIC NAMES atomic libatomic.so.1 REQUIRED)
  target_link_libraries(novex_tree INTERFACE ${NOVEX_LIBATOMIC})
endif()

# The plug-in's two, which a controller's SDK holds as well: jsoncpp (JsonCpp::JsonCpp)
# and Boost's header-only date_time and lexical_cast (Boost::headers).
find_package(jsoncpp CONFIG REQUIRED)
find_package(Boost CONFIG REQUIRED)

if(NOVEX_BUILD_RUNNER)
  find_package(CLI11 CONFIG REQUIRED)                          # CLI11::CLI11, header-only
  pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)  # PkgConfig::MODBUS
  pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)   # PkgConfig::SQLITE3
  # zstd compresses the history's chunks of rounds.
  find_package(zstd CONFIG REQUIRED)                           # zstd::libzstd_shared
  # /metrics compressed for a scraper that asks (deflate pieces joined by the serializer).
  find_package(ZLIB REQUIRED)                                  # ZLIB::ZLIB
  # The web configuration file (YAML); its bcrypt users are checked by libcrypt (crypt).
  find_package(yaml-cpp CONFIG REQUIRED)                       # yaml-cpp

  # The embedded HTTP server behind vimohost's status page, API and metrics: the C
  # library alone. Found by hand: Debian 12 ships no pkg-config file for it, and its
  # CMake package refuses to load unless the civetweb program (package civetweb,
  # /usr/bin/civetweb) is installed too, which nothing here uses.
  find_path(CIVETWEB_INCLUDE_DIR civetweb.h REQUIRED)
  find_library(CIVETWEB_LIBRARY NAMES civetweb REQUIRED)
  add_library(novex_civetweb INTERFACE)
  target_include_directories(novex_civetweb SYSTEM INTERFACE ${CIVETWEB_INCLUDE_DIR})
  target_link_libraries(novex_civetweb INTERFACE ${CIVETWEB_LIBRARY})

  # net-snmp's agent library, for the AgentX subagent (snmp/); without it vimohost is
  # built without SNMP. Found in the sysroot too when cross-compiling.
  novex_optional_library(SNMP NETSNMP netsnmp-agent "SNMP agent, the UPS MIB through an AgentX master (net-snmp)"
                         libsnmp-dev)
  if(NOVEX_BUILD_SNMP)
    # Debian keeps net-snmp-config.h in /usr/include, not per architecture: a cross
    # build that found the build machine's would lay out net-snmp's structures for
    # another word size (SIZEOF_LONG 8 against 4 on mipsel) and fail only at run time.
    set(CMAKE_REQUIRED_INCLUDES ${NETSNMP_INCLUDE_DIRS})
    check_cxx_source_compiles("#include <net-snmp/net-snmp-config.h>
static_assert(SIZEOF_LONG == sizeof(long), \"\");
int main() { return 0; }" NOVEX_NETSNMP_CONFIG_MATCHES)
    unset(CMAKE_REQUIRED_INCLUDES)
    if(NOT NOVEX_NETSNMP_CONFIG_MATCHES)
      message(FATAL_ERROR "net-snmp's net-snmp-config.h found (${NETSNMP_INCLUDE_DIRS}) is not the "
                          "target's (its SIZEOF_LONG differs): give the target's net-snmp headers")
    endif()
  endif()

  # The mipsel sysroot has none of these three: vimohost is built there without mDNS
  # (it refuses --mdns), without MQTT, and with syslog notifications only.
  novex_optional_library(MDNS AVAHI avahi-client "mDNS/DNS-SD announcement (Avahi), mdns/"
                         libavahi-client-dev)
  novex_optional_library(MQTT MOSQUITTO libmosquitto "MQTT face (libmosquitto), mqtt/" libmosquitto-dev)
  novex_optional_library(CURL CURL libcurl "Mail and webhook notifications (libcurl), notify/"
                         libcurl4-openssl-dev)
endif()
if(NOVEX_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    # A controller's sysroot has no GoogleTest: it is built for the target from its
    # sources (Debian's googletest package puts them in /usr/src/googletest).
    find_path(NOVEX_GTEST_SOURCE_DIR googletest/include/gtest/gtest.h
              PATHS /usr/src/googletest NO_CMAKE_FIND_ROOT_PATH)
    if(NOT NOVEX_GTEST_SOURCE_DIR)
      message(FATAL_ERROR "No GoogleTest for the target: give its sources with "
                          "-DNOVEX_GTEST_SOURCE_DIR=... or build with -DNOVEX_BUILD_TESTS=OFF")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${NOVEX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(_lib gtest gtest_main)
      if(NOT TARGET GTest::${_lib})
        add_library(GTest::${_lib} ALIAS ${_lib})
      endif()
    endforeach()
  endif()
endif()
if(NOVEX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
