# The UPS MIB: the mapping from snapshots directly, and vimohost's AgentX subagent
# behind a real snmpd read by Debian's snmpget/snmpwalk, snmptrapd and the UPS tools'
# snmp-ups driver, when they are installed.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(snmp_test SOURCES snmp_test.cpp LIBS novex_snmp_map novex_config)
  if(NOVEX_BUILD_SNMP)
    novex_add_test(snmp_e2e_test SOURCES snmp_e2e_test.cpp LIBS novex_program novex_web)
    add_dependencies(snmp_e2e_test vimohost novexups)
    if(TARGET novexups-sim)
      add_dependencies(snmp_e2e_test novexups-sim)
    endif()
  endif()
endif()
