# The UPS protocol server: the engine, variable map and users file directly; the
# socket loop on loopback, with Debian's real clients when they are installed; and
# those clients against vimohost polling the simulator.
novex_add_test(protocol_test SOURCES protocol_test.cpp LIBS novex_protocol)
if(NOVEX_BUILD_RUNNER)  # starts the clients through the runner's ChildProcess
  novex_add_test(protocol_server_test SOURCES protocol_server_test.cpp
    LIBS novex_protocol novex_program OpenSSL::SSL)
  novex_add_test(protocol_e2e_test SOURCES protocol_e2e_test.cpp LIBS novex_program novex_web)
  add_dependencies(protocol_e2e_test vimohost novexups)
  if(TARGET novexups-sim)
    add_dependencies(protocol_e2e_test novexups-sim)
  endif()
  # upsmon keeps one pid file per machine: one upsmon test at a time.
  set_tests_properties(protocol_server_test protocol_e2e_test PROPERTIES RESOURCE_LOCK upsmon)
endif()
novex_add_test(attempt_limiter_test SOURCES attempt_limiter_test.cpp LIBS novex_access)
novex_add_test(server_tls_test SOURCES server_tls_test.cpp LIBS novex_tls)
