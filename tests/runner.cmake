# vimohost: command line and configuration, history and alarm pieces, a device of the
# real plug-in with the host side, and end-to-end runs against the simulator.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(runner_test
    SOURCES runner_cli_test.cpp runner_store_test.cpp runner_session_test.cpp
            runner_state_test.cpp tcp_line_test.cpp rtu_line_test.cpp runner_hardening_test.cpp hints_test.cpp
            board_test.cpp
    LIBS novex_program PkgConfig::SQLITE3)
  add_dependencies(runner_test vimohost novexups)
  if(TARGET novexups-sim)
    add_dependencies(runner_test novexups-sim)
  endif()

  novex_add_test(hooks_test SOURCES event_hooks_test.cpp LIBS novex_program)

  novex_add_test(e2e_test SOURCES e2e_test.cpp LIBS novex_program)
  add_dependencies(e2e_test vimohost novexups)
  if(TARGET novexups-sim)
    add_dependencies(e2e_test novexups-sim)
  endif()
endif()

# vimohost as a service: log levels and journal prefixes, the notify socket, the
# service defaults, reload plans, and a run under a fake service manager.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(service_test SOURCES service_test.cpp LIBS novex_program)
  add_dependencies(service_test vimohost novexups novexups-sim)
endif()

# The history: times, readings, upgrade, writer failures, retention and queries.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(history_test SOURCES history_test.cpp history_chunks_test.cpp history_aggregates_test.cpp LIBS novex_program PkgConfig::SQLITE3)
endif()
if(NOVEX_BUILD_RUNNER)
  novex_add_test(history_e2e_test SOURCES history_e2e_test.cpp LIBS novex_program PkgConfig::SQLITE3)
  add_dependencies(history_e2e_test vimohost novexups)
  if(TARGET novexups-sim)
    add_dependencies(history_e2e_test novexups-sim)
  endif()
endif()

# The reference tables under docs/ against the tables in code.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(docs_test SOURCES docs_test.cpp LIBS novex_config novex_protocol_feed novex_device novex_snmp_map
                 novex_web novex_mbserver novex_mqtt_map)
endif()
# The mDNS announcement against a real avahi-daemon on a private bus (one daemon per
# machine: its pid file is fixed).
if(NOVEX_BUILD_RUNNER)
  novex_add_test(mdns_e2e_test SOURCES mdns_e2e_test.cpp LIBS novex_program)
  add_dependencies(mdns_e2e_test vimohost novexups)
  if(TARGET novexups-sim)
    add_dependencies(mdns_e2e_test novexups-sim)
  endif()
  set_tests_properties(mdns_e2e_test PROPERTIES RESOURCE_LOCK avahi)
endif()

# Notifications: channel URLs, message text, outbox and notifier without a network; and
# against real peers on loopback (aiosmtpd, rsyslog, an HTTPS sink).
if(NOVEX_BUILD_RUNNER)
  novex_add_test(notify_test SOURCES notify_test.cpp LIBS novex_notify novex_common)
endif()
if(NOVEX_BUILD_RUNNER AND NOVEX_BUILD_CURL)
  novex_add_test(notify_e2e_test SOURCES notify_e2e_test.cpp LIBS novex_program)
  add_dependencies(notify_e2e_test vimohost novexups novexups-sim)
  set_tests_properties(notify_e2e_test PROPERTIES LABELS peers)
endif()
