# The UPS protocol server: the engine, variable map and users file directly; the
# socket loop on loopback, with Debian's real clients when they are installed.
novex_add_test(protocol_test SOURCES protocol_test.cpp LIBS novex_protocol)
