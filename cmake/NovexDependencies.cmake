# Libraries the project builds against, found in the host system or in a sysroot
# (CMAKE_FIND_ROOT_PATH) when cross-compiling.
find_package(Threads REQUIRED)
# TLS for the listeners (HTTPS, the UPS protocol's STARTTLS): OpenSSL 3's defaults. A
# plug-in-only build (a controller's SDK) has no listener and needs none.
if(NOT NOVEX_PLUGIN_ONLY)
  find_package(OpenSSL 3.0 REQUIRED)
endif()

# On 32-bit MIPS a 64-bit atomic is a call into libatomic, which the compiler does not
# link by itself; the cross tool chain ships only its run-time name.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <atomic>
#include <cstdint>
std::atomic<uint64_t> counter;
int main() { return static_cast<int>(++counter + counter.load()); }" NOVEX_ATOMIC64_INLINE)
if(NOT NOVEX_ATOMIC64_INLINE)
  find_library(NOVEX_LIBATOMIC NAMES atomic libatomic.so.1 REQUIRED)
  link_libraries(${NOVEX_LIBATOMIC})
endif()

find_path(JSONCPP_INCLUDE_DIR json/json.h PATH_SUFFIXES jsoncpp REQUIRED)
find_library(JSONCPP_LIBRARY NAMES jsoncpp REQUIRED)
add_library(novex_jsoncpp INTERFACE)
target_include_directories(novex_jsoncpp SYSTEM INTERFACE ${JSONCPP_INCLUDE_DIR})
target_link_libraries(novex_jsoncpp INTERFACE ${JSONCPP_LIBRARY})

# Boost date_time and lexical_cast are used header-only.
find_path(BOOST_INCLUDE_DIR boost/date_time/posix_time/posix_time_types.hpp REQUIRED)
add_library(novex_boost INTERFACE)
target_include_directories(novex_boost SYSTEM INTERFACE ${BOOST_INCLUDE_DIR})

if(NOVEX_BUILD_RUNNER)
  # CLI11 is header-only.
  find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
  add_library(novex_cli11 INTERFACE)
  target_include_directories(novex_cli11 SYSTEM INTERFACE ${CLI11_INCLUDE_DIR})

  find_path(MODBUS_INCLUDE_DIR modbus.h PATH_SUFFIXES modbus REQUIRED)
  find_library(MODBUS_LIBRARY NAMES modbus REQUIRED)
  add_library(novex_modbus INTERFACE)
  target_include_directories(novex_modbus SYSTEM INTERFACE ${MODBUS_INCLUDE_DIR})
  target_link_libraries(novex_modbus INTERFACE ${MODBUS_LIBRARY})

  find_path(SQLITE3_INCLUDE_DIR sqlite3.h REQUIRED)
  find_library(SQLITE3_LIBRARY NAMES sqlite3 REQUIRED)
  add_library(novex_sqlite INTERFACE)
  target_include_directories(novex_sqlite SYSTEM INTERFACE ${SQLITE3_INCLUDE_DIR})
  target_link_libraries(novex_sqlite INTERFACE ${SQLITE3_LIBRARY})

  # zstd compresses the history's chunks of rounds.
  find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
  find_library(ZSTD_LIBRARY NAMES zstd REQUIRED)
  add_library(novex_zstd INTERFACE)
  target_include_directories(novex_zstd SYSTEM INTERFACE ${ZSTD_INCLUDE_DIR})
  target_link_libraries(novex_zstd INTERFACE ${ZSTD_LIBRARY})

  # The embedded HTTP server behind vimohost's status page, API and metrics. The C
  # library alone: its package needs nothing but the C and C++ runtimes.
  find_path(CIVETWEB_INCLUDE_DIR civetweb.h REQUIRED)
  find_library(CIVETWEB_LIBRARY NAMES civetweb REQUIRED)
  add_library(novex_civetweb INTERFACE)
  target_include_directories(novex_civetweb SYSTEM INTERFACE ${CIVETWEB_INCLUDE_DIR})
  target_link_libraries(novex_civetweb INTERFACE ${CIVETWEB_LIBRARY})

  # /metrics compressed for a scraper that asks (deflate pieces joined by the serializer).
  find_package(ZLIB REQUIRED)
  # The web configuration file (YAML) and its bcrypt users, checked by libcrypt.
  find_path(YAMLCPP_INCLUDE_DIR yaml-cpp/yaml.h REQUIRED)
  find_library(YAMLCPP_LIBRARY NAMES yaml-cpp REQUIRED)
  add_library(novex_yamlcpp INTERFACE)
  target_include_directories(novex_yamlcpp SYSTEM INTERFACE ${YAMLCPP_INCLUDE_DIR})
  target_link_libraries(novex_yamlcpp INTERFACE ${YAMLCPP_LIBRARY})

  # net-snmp's agent library, for the AgentX subagent (snmp/); without it vimohost is
  # built without SNMP. Found in the sysroot too when cross-compiling.
  # NOVEX_SNMP_FOUND keeps what the last configure found, so that a NOVEX_BUILD_SNMP
  # still equal to it counts as the default and follows a library that came or went
  # (the mipsel sysroot had none until lately). A folder configured before this record
  # was kept took the default too.
  if(DEFINED CACHE{NETSNMP_INCLUDE_DIR} AND NOT DEFINED CACHE{NOVEX_SNMP_FOUND})
    set(NOVEX_SNMP_FOUND "${NOVEX_BUILD_SNMP}" CACHE INTERNAL "")
  endif()
  find_path(NETSNMP_INCLUDE_DIR net-snmp/agent/net-snmp-agent-includes.h)
  find_library(NETSNMP_AGENT_LIBRARY NAMES netsnmpagent)
  find_library(NETSNMP_LIBRARY NAMES netsnmp)
  if(NETSNMP_INCLUDE_DIR AND NETSNMP_AGENT_LIBRARY AND NETSNMP_LIBRARY)
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
    set(CMAKE_REQUIRED_INCLUDES ${NETSNMP_INCLUDE_DIR})
    check_cxx_source_compiles("#include <net-snmp/net-snmp-config.h>
static_assert(SIZEOF_LONG == sizeof(long), \"\");
int main() { return 0; }" NOVEX_NETSNMP_CONFIG_MATCHES)
    unset(CMAKE_REQUIRED_INCLUDES)
    if(NOT NOVEX_NETSNMP_CONFIG_MATCHES)
      message(FATAL_ERROR "${NETSNMP_INCLUDE_DIR}/net-snmp/net-snmp-config.h is not the "
                          "target's (its SIZEOF_LONG differs): give the target's net-snmp headers")
    endif()
    add_library(novex_netsnmp INTERFACE)
    target_include_directories(novex_netsnmp SYSTEM INTERFACE ${NETSNMP_INCLUDE_DIR})
    target_link_libraries(novex_netsnmp INTERFACE ${NETSNMP_AGENT_LIBRARY} ${NETSNMP_LIBRARY})
  endif()
  message(STATUS "SNMP agent (net-snmp): ${NOVEX_BUILD_SNMP}")
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
