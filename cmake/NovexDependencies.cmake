# Libraries the project builds against, as Debian ships them: each through its own CMake
# package (find_package(... CONFIG)) or its pkg-config file (pkg_check_modules(...
# IMPORTED_TARGET)), in the host system or, when cross-compiling, in the sysroot
# (cmake/toolchain-cross.cmake points both searches there). Each target links the
# imported targets it uses, which bring their include folders; nothing is global.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
# TLS for the listeners (HTTPS, the UPS protocol's STARTTLS): OpenSSL 3's defaults. A
# plug-in-only build (a controller's SDK) has no listener and needs none.
if(NOT NOVEX_PLUGIN_ONLY)
  find_package(OpenSSL 3.0 REQUIRED)
endif()

# Every include names its folder from the top of the tree ("history/store.h"); generated
# headers sit at the same place under the build tree ("common/version.h"). The libraries
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
  # built without SNMP (PkgConfig::NETSNMP). Found in the sysroot too when cross-compiling.
  # NOVEX_SNMP_FOUND keeps what the last configure found, so that a NOVEX_BUILD_SNMP
  # still equal to it counts as the default and follows a library that came or went.
  pkg_check_modules(NETSNMP QUIET IMPORTED_TARGET netsnmp-agent)
  if(NETSNMP_FOUND)
    set(novex_snmp_found ON)
  else()
    set(novex_snmp_found OFF)
  endif()
  option(NOVEX_BUILD_SNMP "Serve the UPS MIB through an AgentX master (net-snmp)" ${novex_snmp_found})
  if(DEFINED CACHE{NOVEX_SNMP_FOUND} AND "${NOVEX_BUILD_SNMP}" STREQUAL "${NOVEX_SNMP_FOUND}")
    set_property(CACHE NOVEX_BUILD_SNMP PROPERTY VALUE ${novex_snmp_found})
  endif()
  set(NOVEX_SNMP_FOUND ${novex_snmp_found} CACHE INTERNAL "net-snmp found by the last configure")
  if(NOVEX_BUILD_SNMP)
    if(NOT novex_snmp_found)
      message(FATAL_ERROR "NOVEX_BUILD_SNMP needs net-snmp's agent library (Debian libsnmp-dev)")
    endif()
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
  message(STATUS "SNMP agent (net-snmp): ${NOVEX_BUILD_SNMP}")

  # Avahi's client library, for the mDNS/DNS-SD announcement (mdns/); without it
  # vimohost is built without mDNS and refuses --mdns (PkgConfig::AVAHI). The mipsel
  # sysroot has none. NOVEX_MDNS_FOUND plays the part NOVEX_SNMP_FOUND plays above.
  pkg_check_modules(AVAHI QUIET IMPORTED_TARGET avahi-client)
  if(AVAHI_FOUND)
    set(novex_mdns_found ON)
  else()
    set(novex_mdns_found OFF)
  endif()
  option(NOVEX_BUILD_MDNS "Announce vimohost's services by mDNS/DNS-SD (Avahi)" ${novex_mdns_found})
  if(DEFINED CACHE{NOVEX_MDNS_FOUND} AND "${NOVEX_BUILD_MDNS}" STREQUAL "${NOVEX_MDNS_FOUND}")
    set_property(CACHE NOVEX_BUILD_MDNS PROPERTY VALUE ${novex_mdns_found})
  endif()
  set(NOVEX_MDNS_FOUND ${novex_mdns_found} CACHE INTERNAL "Avahi's client library found by the last configure")
  if(NOVEX_BUILD_MDNS AND NOT novex_mdns_found)
    message(FATAL_ERROR "NOVEX_BUILD_MDNS needs Avahi's client library (Debian libavahi-client-dev)")
  endif()
  message(STATUS "mDNS announcement (Avahi): ${NOVEX_BUILD_MDNS}")
  # libmosquitto, for the MQTT face (mqtt/); without it vimohost is built without MQTT
  # (PkgConfig::MOSQUITTO). The mipsel sysroot has none. NOVEX_MQTT_FOUND follows the
  # library as NOVEX_SNMP_FOUND does.
  pkg_check_modules(MOSQUITTO QUIET IMPORTED_TARGET libmosquitto)
  if(MOSQUITTO_FOUND)
    set(novex_mqtt_found ON)
  else()
    set(novex_mqtt_found OFF)
  endif()
  option(NOVEX_BUILD_MQTT "Publish to an MQTT broker (libmosquitto)" ${novex_mqtt_found})
  if(DEFINED CACHE{NOVEX_MQTT_FOUND} AND "${NOVEX_BUILD_MQTT}" STREQUAL "${NOVEX_MQTT_FOUND}")
    set_property(CACHE NOVEX_BUILD_MQTT PROPERTY VALUE ${novex_mqtt_found})
  endif()
  set(NOVEX_MQTT_FOUND ${novex_mqtt_found} CACHE INTERNAL "libmosquitto found by the last configure")
  if(NOVEX_BUILD_MQTT AND NOT novex_mqtt_found)
    message(FATAL_ERROR "NOVEX_BUILD_MQTT needs libmosquitto (Debian libmosquitto-dev)")
  endif()
  message(STATUS "MQTT (libmosquitto): ${NOVEX_BUILD_MQTT}")

  # libcurl sends the notifications' mail and webhooks (notify/); without it (the mipsel
  # sysroot has none) vimohost is built with syslog notifications only.
  pkg_check_modules(CURL QUIET IMPORTED_TARGET libcurl)
  set(NOVEX_HAVE_CURL ${CURL_FOUND})
  message(STATUS "Mail and webhook notifications (libcurl): ${CURL_FOUND}")
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
