# The status document and the device commands.
novex_add_test(render_golden_test SOURCES render_golden_test.cpp render_reference.cpp
               LIBS novex_device)
