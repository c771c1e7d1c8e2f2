# The monitor's measure and alarm tables, checked against rendered documents.
novex_add_test(monitor_test SOURCES monitor_test.cpp LIBS novex_monitor)
novex_add_test(energy_test SOURCES energy_test.cpp LIBS novex_monitor)
