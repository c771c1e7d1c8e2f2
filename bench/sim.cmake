# A libmodbus client's poll round against novexups-sim, paced and unpaced.
if(TARGET novexups-sim)
  add_executable(sim_pacing_bench sim_pacing_bench.cpp)
  target_include_directories(sim_pacing_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(sim_pacing_bench PRIVATE novex_program benchmark::benchmark)
  target_compile_definitions(sim_pacing_bench PRIVATE
                             NOVEX_SIM_PROGRAM="$<TARGET_FILE:novexups-sim>")
  add_dependencies(sim_pacing_bench novexups-sim)
  set_target_properties(sim_pacing_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
