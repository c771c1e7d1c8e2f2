# The plug-in as it goes to a controller (docs/controller.md), in build/shipped/:
#   novexups.so                       stripped, with its build id and a .gnu_debuglink
#   novexups.so.debug                 its symbols and debug information
#   debug/.build-id/xx/yyyy.debug     the same, where debuggers look by build id
#   novexups.abi.txt                  scripts/abi-report.sh on the shipped file
# The report's limits are the controller's figures; a plug-in that needs more fails the
# build with one line per limit naming the symbol that needs it.
set(NOVEX_SHIP_DIR ${CMAKE_BINARY_DIR}/shipped)

# Columns: limit | what it is (empty: no limit; the environment at the first configure
# gives the default).
set(_novex_abi_limits
    "NOVEX_MAX_GLIBC|the highest GLIBC_ version the controller's C library has, e.g. 2.28"
    "NOVEX_MAX_GLIBCXX|the highest GLIBCXX_ version its libstdc++ has, e.g. 3.4.25"
    "NOVEX_MAX_CXXABI|the highest CXXABI_ version its libstdc++ has, e.g. 1.3.11"
    "NOVEX_MAX_GCC|the highest GCC_ version its libgcc_s has, e.g. 4.2.0"
    "NOVEX_CXX11_ABI|its _GLIBCXX_USE_CXX11_ABI, 0 or 1")
set(_novex_abi_env "")
foreach(row IN LISTS _novex_abi_limits)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 limit)
  list(GET row 1 what)
  set(${limit} "$ENV{${limit}}" CACHE STRING "Plug-in ABI limit: ${what} (empty: none)")
  list(APPEND _novex_abi_env "${limit}=${${limit}}")
endforeach()
# Rewritten only when a limit changes, so that the report is made again then.
list(JOIN _novex_abi_env "\n" _novex_abi_limits_text)
file(CONFIGURE OUTPUT ${NOVEX_SHIP_DIR}/abi-limits.txt CONTENT "${_novex_abi_limits_text}\n")

set(_novex_shipped ${NOVEX_SHIP_DIR}/novexups.so)
add_custom_command(
  OUTPUT ${_novex_shipped} ${_novex_shipped}.debug
  COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${CMAKE_OBJCOPY} -DREADELF=${CMAKE_READELF}
          -DPLUGIN=$<TARGET_FILE:novexups> -DOUT_DIR=${NOVEX_SHIP_DIR}
          -P ${CMAKE_CURRENT_LIST_DIR}/ship_plugin.cmake
  DEPENDS novexups ${CMAKE_CURRENT_LIST_DIR}/ship_plugin.cmake
  COMMENT "Stripped plug-in and its debug file in ${NOVEX_SHIP_DIR}"
  VERBATIM)
add_custom_command(
  OUTPUT ${NOVEX_SHIP_DIR}/novexups.abi.txt
  COMMAND ${CMAKE_COMMAND} -E env ${_novex_abi_env}
          bash ${CMAKE_SOURCE_DIR}/scripts/abi-report.sh -o ${NOVEX_SHIP_DIR}/novexups.abi.txt
          ${_novex_shipped}
  DEPENDS ${_novex_shipped} ${CMAKE_SOURCE_DIR}/scripts/abi-report.sh
          ${NOVEX_SHIP_DIR}/abi-limits.txt
  COMMENT "ABI report of the shipped plug-in"
  VERBATIM)
add_custom_target(novexups_shipped ALL DEPENDS ${NOVEX_SHIP_DIR}/novexups.abi.txt)
