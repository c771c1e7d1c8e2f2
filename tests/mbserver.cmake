# The Modbus server: answers, framing and allow-list in process; the socket loop and
# vimohost against the simulator with libmodbus, pymodbus and mbpoll as clients.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(mbserver_test SOURCES mbserver_test.cpp LIBS novex_mbserver)
  novex_add_test(mbserver_e2e_test SOURCES mbserver_e2e_test.cpp LIBS novex_mbserver novex_program novex_web PkgConfig::MODBUS OpenSSL::SSL)
  add_dependencies(mbserver_e2e_test vimohost novexups)
  if(TARGET novexups-sim)
    add_dependencies(mbserver_e2e_test novexups-sim)
  endif()
endif()
