# What the built plug-in shows the controller: get_providers and nothing else, and
# on the target an ELF file the controller can load at all.
# ELF_IDENT: class 01 (32-bit), order 01 (little-endian), machine 0800 (MIPS, LE).
set(_novex_elf_ident "")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
  set(_novex_elf_ident 01010800)
endif()
add_test(NAME plugin_exports_test
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:novexups>
                 -DEXPECTED=get_providers -DELF_IDENT=${_novex_elf_ident}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.cmake)
# The ABI report's checks and limits (scripts/abi-report.sh) on this build's own files;
# readelf reads any target's, so no emulator is needed.
add_test(NAME abi_report_test
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/abi_report_test.sh ${CMAKE_SOURCE_DIR}
                 $<TARGET_FILE:novexups> $<TARGET_FILE:vimo_runtime>)
set_tests_properties(plugin_exports_test abi_report_test PROPERTIES LABELS unit)
