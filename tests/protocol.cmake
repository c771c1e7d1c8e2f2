# The UPS protocol server: the engine, variable map and users file directly; the
# socket loop on loopback, with Debian's real clients when they are installed.
novex_add_test(protocol_test SOURCES protocol_test.cpp LIBS novex_protocol)
if(NOVEX_BUILD_RUNNER)  # starts the clients through the runner's ChildProcess
  novex_add_test(protocol_server_test SOURCES protocol_server_test.cpp
    LIBS novex_protocol novex_runner)
endif()
