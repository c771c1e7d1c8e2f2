# The Debian package vimohost_<version>_<arch>.deb, made by `cpack -G DEB` from the install
# rules (scripts/package.sh). Native builds take their Depends from dpkg-shlibdeps; a
# cross build has no dpkg database for its architecture, so the script works them out
# from package/cross-shlibs and passes them in CPACK_DEBIAN_PACKAGE_DEPENDS.
set(NOVEX_PACKAGE_MAINTAINER "vimohost maintainers <maintainers@vimohost.example.com>"
    CACHE STRING "Maintainer field of the Debian package")

# The documents Debian wants beside every package: copyright and a compressed changelog.
set(NOVEX_PACKAGE_REVISION "unknown")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} rev-parse --short HEAD
                  OUTPUT_VARIABLE NOVEX_PACKAGE_REVISION OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
endif()
string(TIMESTAMP NOVEX_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_novex_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/vimohost)
configure_file(package/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/package/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/package/changelog
  VERBATIM)
add_custom_target(novex_package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES package/copyright DESTINATION ${_novex_docdir})
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION ${_novex_docdir})
# The manual beside them: the README, docs/, and examples to copy from (the alert rules
# and their tests, the configuration file, the web configuration, a UPS protocol users
# file, and snmpd's part as the AgentX master, not active until copied into snmpd's own
# configuration since it opens a community). The docs name them as examples/NAME;
# scripts/package-test.sh checks that each path they give is installed.
install(FILES README.md DESTINATION ${_novex_docdir})
install(DIRECTORY docs/ DESTINATION ${_novex_docdir}/docs FILES_MATCHING PATTERN "*.md")
install(FILES web/prometheus/ups-alerts.yml web/prometheus/ups-alerts.test.yml
              web/prometheus/alertmanager.yml
              web/prometheus/web-config.example.yml
              package/vimohost.json
              package/protocol-users.example
              package/snmpd-vimohost.conf
        DESTINATION ${_novex_docdir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vimohost)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NOVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UPS monitor for modular UPSes polled over Modbus")
set(CPACK_PACKAGE_DESCRIPTION
    "vimohost loads the device plug-in for modular three-phase UPSes, polls each
configured UPS over serial Modbus RTU or Modbus TCP, keeps its history in
SQLite and reports its alarms. It runs as the systemd service vimohost.

The package also holds novexups-sim, a simulated UPS answering Modbus, for
trying the monitor without a UPS.")
# adduser makes the service's account; deb-systemd-helper comes with init-system-helpers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libvimohost.so is the package's own: dpkg-shlibdeps finds it here and adds nothing.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      ${CMAKE_BINARY_DIR})
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/package/conffiles ${CMAKE_SOURCE_DIR}/package/postinst
    ${CMAKE_SOURCE_DIR}/package/prerm ${CMAKE_SOURCE_DIR}/package/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
