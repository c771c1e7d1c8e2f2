# vimohost's poll round against the simulator paced at 9600 baud.
if(TARGET novexups-sim AND TARGET novex_program)
  add_executable(runner_pacing_bench runner_pacing_bench.cpp)
  target_link_libraries(runner_pacing_bench PRIVATE novex_program benchmark::benchmark)
  target_compile_definitions(runner_pacing_bench PRIVATE
                             NOVEX_BUILD_DIR_DEFAULT="${CMAKE_BINARY_DIR}")
  add_dependencies(runner_pacing_bench novexups-sim novexups)
  set_target_properties(runner_pacing_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
# The history: CPU of storing per round, a device-day's size and queries, the line
# threads' longest wait while pruning, and the readings layouts compared.
if(TARGET novexups-sim AND TARGET novex_program)
  add_executable(history_bench history_bench.cpp)
  target_link_libraries(history_bench PRIVATE novex_program PkgConfig::SQLITE3 benchmark::benchmark)
  target_compile_definitions(history_bench PRIVATE NOVEX_BUILD_DIR_DEFAULT="${CMAKE_BINARY_DIR}")
  add_dependencies(history_bench novexups-sim novexups vimohost)
  set_target_properties(history_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
# The history's CPU per round at the real pace (once a second), several vimohosts at
# once with and without it. Built in CI, run by hand: it takes about 70 s.
if(TARGET novexups-sim AND TARGET novex_program)
  add_executable(paced_history_bench paced_history_bench.cpp)
  target_link_libraries(paced_history_bench PRIVATE novex_program benchmark::benchmark)
  target_compile_definitions(paced_history_bench PRIVATE NOVEX_BUILD_DIR_DEFAULT="${CMAKE_BINARY_DIR}")
  add_dependencies(paced_history_bench novexups-sim novexups vimohost)
  set_target_properties(paced_history_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()

# The Modbus server: latency and reads per core under twenty clients, poll rounds under that load.
if(TARGET novexups-sim AND TARGET novex_program)
  add_executable(modbus_server_bench modbus_server_bench.cpp)
  target_link_libraries(modbus_server_bench PRIVATE novex_mbserver novex_program benchmark::benchmark)
  target_compile_definitions(modbus_server_bench PRIVATE NOVEX_BUILD_DIR_DEFAULT="${CMAKE_BINARY_DIR}")
  add_dependencies(modbus_server_bench novexups-sim novexups vimohost)
  set_target_properties(modbus_server_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
