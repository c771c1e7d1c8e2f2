# The status document and the device commands.
novex_add_test(render_test SOURCES render_test.cpp LIBS novex_render)
novex_add_test(render_golden_test SOURCES render_golden_test.cpp render_reference.cpp
               LIBS novex_device)
novex_add_test(commands_test SOURCES commands_test.cpp LIBS novex_device)
novex_add_test(commands_thread_test SOURCES commands_thread_test.cpp LIBS novex_device)
novex_add_test(document_text_test SOURCES document_text_test.cpp LIBS novex_device)
