# cmake -DOBJCOPY=<objcopy> -DREADELF=<readelf> -DPLUGIN=<novexups.so> -DOUT_DIR=<dir>
#       -P ship_plugin.cmake
# Makes the plug-in as it is shipped: OUT_DIR/novexups.so without symbols or debug
# information, pointing (.gnu_debuglink) at OUT_DIR/novexups.so.debug, which holds them;
# and the debug file again as OUT_DIR/debug/.build-id/xx/yyyy.debug, the place gdb and
# elfutils look for it by build id (installed under /usr/lib/debug).
get_filename_component(name "${PLUGIN}" NAME)
set(stripped "${OUT_DIR}/${name}")
set(debug "${OUT_DIR}/${name}.debug")
file(MAKE_DIRECTORY "${OUT_DIR}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command}: ${out}")
  endif()
endfunction()

run(${READELF} -nW ${PLUGIN})
execute_process(COMMAND ${READELF} -nW ${PLUGIN} OUTPUT_VARIABLE notes)
if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${PLUGIN} has no build id: link it with -Wl,--build-id")
endif()
set(id_dir "${CMAKE_MATCH_1}")
set(id_rest "${CMAKE_MATCH_2}")

run(${OBJCOPY} --only-keep-debug ${PLUGIN} ${debug})
run(${OBJCOPY} --strip-unneeded ${PLUGIN} ${stripped}.tmp)
# The link names the file by its name alone, so it must be made where the debug file is.
run(${CMAKE_COMMAND} -E chdir ${OUT_DIR} ${OBJCOPY} --add-gnu-debuglink=${name}.debug
    ${name}.tmp ${name}.linked)
file(REMOVE "${stripped}.tmp")
file(RENAME "${stripped}.linked" "${stripped}")

file(REMOVE_RECURSE "${OUT_DIR}/debug")
file(MAKE_DIRECTORY "${OUT_DIR}/debug/.build-id/${id_dir}")
file(COPY_FILE "${debug}" "${OUT_DIR}/debug/.build-id/${id_dir}/${id_rest}.debug")
