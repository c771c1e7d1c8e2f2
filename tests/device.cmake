# The plug-in: entry, device object, poll cycle, round completion, rules.
novex_add_test(plugin_load_test SOURCES plugin_load_test.cpp LIBS vimo_runtime ${CMAKE_DL_LIBS})
add_dependencies(plugin_load_test novexups)
target_compile_definitions(plugin_load_test PRIVATE NOVEX_PLUGIN_PATH="$<TARGET_FILE:novexups>")
# The same on the plug-in as shipped: stripped, with its own copies of two run-time symbols.
add_dependencies(plugin_load_test novexups_shipped)
add_test(NAME plugin_load_shipped_test COMMAND plugin_load_test)
set_tests_properties(plugin_load_shipped_test PROPERTIES TIMEOUT 300
                     ENVIRONMENT "NOVEX_PLUGIN_FILE=${NOVEX_SHIP_DIR}/novexups.so")
novex_add_test(device_test SOURCES device_test.cpp vtable_test.cpp LIBS novex_device)
novex_add_test(poll_test SOURCES poll_test.cpp round_test.cpp LIBS novex_device)
