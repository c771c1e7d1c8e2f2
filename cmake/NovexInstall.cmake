# Where `cmake --install` puts the programs, the plug-in and the service files, and the
# Debian package CPack makes of them (scripts/package.sh drives both).
#
#   bin/vimohost, bin/novexups-sim
#   lib/<multiarch>/vimohost/libvimohost.so           the runtime, private to vimohost
#   lib/<multiarch>/vimohost/plugins/novexups.so      the plug-in folder vimohost searches
#   /etc/vimohost/vimohost.json                       the configuration (a conffile)
#   /lib/systemd/system/vimohost.service              ExecStart names bin/vimohost
#   share/man/man8/vimohost.8, share/man/man1/novexups-sim.1
#   share/vimohost/prometheus/                        alert rules, their test, Alertmanager's
#                                                     inhibition rules, to copy beside
#                                                     prometheus.yml and alertmanager.yml
#
# The runtime is no public library (no soname version, no headers), so it lives in the
# program's own folder and the programs find it by a RUNPATH relative to themselves.
include(GNUInstallDirs)

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(NOVEX_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/vimohost")
else()
  set(NOVEX_INSTALL_LIBDIR "lib/vimohost")
endif()
set(NOVEX_INSTALL_PLUGINDIR "${NOVEX_INSTALL_LIBDIR}/plugins")
set(NOVEX_SYSTEMD_UNITDIR "/lib/systemd/system" CACHE PATH "Where the systemd unit is installed")
file(RELATIVE_PATH _novex_plugins_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${NOVEX_INSTALL_PLUGINDIR}")
file(RELATIVE_PATH _novex_lib_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${NOVEX_INSTALL_LIBDIR}")

# vimohost falls back to the installed plug-in folder when none lies beside it.
target_compile_definitions(novex_session PRIVATE
                           NOVEX_PLUGIN_DIR_FROM_BIN="${_novex_plugins_from_bin}")
set_target_properties(vimohost PROPERTIES INSTALL_RPATH "$ORIGIN/${_novex_lib_from_bin}")

install(TARGETS vimohost novexups-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vimo_runtime LIBRARY DESTINATION ${NOVEX_INSTALL_LIBDIR} NAMELINK_SKIP)
# The plug-in as shipped (cmake/NovexShip.cmake): stripped, no RUNPATH, since vimohost
# has loaded libvimohost.so before it. A cross build's package carries its debug file
# too, where debuggers look for it by build id.
install(FILES ${NOVEX_SHIP_DIR}/novexups.so DESTINATION ${NOVEX_INSTALL_PLUGINDIR})
if(CMAKE_CROSSCOMPILING)
  install(DIRECTORY ${NOVEX_SHIP_DIR}/debug/ DESTINATION lib/debug)
endif()
# The configuration and the unit sit where the service looks for them, whatever the prefix.
install(FILES package/vimohost.json DESTINATION /etc/vimohost)
configure_file(package/vimohost.service.in ${CMAKE_BINARY_DIR}/package/vimohost.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vimohost.service DESTINATION ${NOVEX_SYSTEMD_UNITDIR})
install(FILES web/prometheus/ups-alerts.yml web/prometheus/ups-alerts.test.yml
              web/prometheus/alertmanager.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vimohost/prometheus)

# Manual pages made from the programs' own --help and --version, so they cannot drift
# apart; help2man adds the sections in package/*.h2m. A cross build runs the programs
# under its emulator.
find_program(NOVEX_HELP2MAN help2man)
if(NOVEX_HELP2MAN)
  # Columns: target, manual section, one-line description. A program with subcommands
  # has their help in a [COMMANDS] section too (NOVEX_SUBCOMMANDS_<program>).
  set(NOVEX_SUBCOMMANDS_vimohost "history" "history readings" "history events" "history rules"
      "check-config")
  set(_novex_man_pages
      "vimohost|vimohost|8|poll modular UPSes over Modbus through the device plug-in"
      "novexups-sim|novexups-sim|1|a simulated modular UPS answering Modbus")
  set(_novex_man_outputs "")
  foreach(row IN LISTS _novex_man_pages)
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 target)
    list(GET row 1 program)
    list(GET row 2 section)
    list(GET row 3 description)
    # help2man names the page after the program it runs: the wrapper bears its name.
    set(wrapper ${CMAKE_BINARY_DIR}/man/bin/${program})
    string(REPLACE ";" "\" \"" emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    set(emulator_words "")
    if(CMAKE_CROSSCOMPILING_EMULATOR)
      set(emulator_words "\"${emulator}\" ")
    endif()
    file(GENERATE OUTPUT ${wrapper}
         CONTENT "#!/bin/sh\nexec ${emulator_words}\"$<TARGET_FILE:${target}>\" \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.${section})
    set(commands_h2m ${CMAKE_BINARY_DIR}/man/${program}-commands.h2m)
    set(commands_step "")
    set(commands_include "")
    if(NOVEX_SUBCOMMANDS_${program})
      string(REPLACE ";" "|" commands "${NOVEX_SUBCOMMANDS_${program}}")
      set(commands_step COMMAND ${CMAKE_COMMAND} -DPROGRAM=${wrapper} -DOUTPUT=${commands_h2m}
                        "-DCOMMANDS=${commands}"
                        -P ${CMAKE_SOURCE_DIR}/cmake/NovexCommandHelp.cmake)
      set(commands_include --include=${commands_h2m})
    endif()
    add_custom_command(
      OUTPUT ${page}.gz
      ${commands_step}
      COMMAND ${NOVEX_HELP2MAN} --no-info --no-discard-stderr --section=${section}
              --name=${description} --include=${CMAKE_SOURCE_DIR}/package/${program}.h2m
              ${commands_include} --output=${page} ${wrapper}
      COMMAND gzip -9nf ${page}
      DEPENDS ${target} ${CMAKE_SOURCE_DIR}/package/${program}.h2m
      COMMENT "Manual page ${program}(${section})"
      VERBATIM)
    list(APPEND _novex_man_outputs ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(novex_man_pages ALL DEPENDS ${_novex_man_outputs})
else()
  message(STATUS "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/NovexPackage.cmake)
