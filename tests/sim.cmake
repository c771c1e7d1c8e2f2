# The UPS simulator: its pieces directly, and the program over TCP and a pty.
novex_add_test(sim_unit_test SOURCES sim_unit_test.cpp LIBS novex_sim)
novex_add_test(sim_server_test SOURCES sim_server_test.cpp LIBS novex_sim novex_program)
add_dependencies(sim_server_test novexups-sim)
# The register description: the plug-in's round against the simulator's map.
novex_add_test(register_map_test SOURCES register_map_test.cpp LIBS novex_sim novex_device)
