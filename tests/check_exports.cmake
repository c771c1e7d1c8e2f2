# cmake -DNM=<nm> -DLIBRARY=<file> -DEXPECTED=<sym;...> [-DELF_IDENT=<hex>] -P check_exports.cmake
# The controller finds a plug-in by one symbol; anything else it exports joins the
# controller's global namespace and can clash with other plug-ins. ELF_IDENT, when
# given, pins the file's class, byte order and machine (the bytes at offsets 4, 5
# and 18-19 of the ELF header) so a cross build cannot quietly produce a host binary.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)
list(SORT EXPECTED)
if(NOT exported STREQUAL EXPECTED)
  message(FATAL_ERROR "${LIBRARY} exports [${exported}], expected [${EXPECTED}]")
endif()

if(ELF_IDENT)
  file(READ ${LIBRARY} header LIMIT 20 HEX)
  string(SUBSTRING "${header}" 8 4 class_and_order)
  string(SUBSTRING "${header}" 36 4 machine)
  if(NOT "${class_and_order}${machine}" STREQUAL "${ELF_IDENT}")
    message(FATAL_ERROR "${LIBRARY}: ELF class/order/machine ${class_and_order}${machine}, "
                        "expected ${ELF_IDENT}")
  endif()
endif()
message(STATUS "${LIBRARY}: exports ${exported}")
