# The web face: API, metrics, health and the listener's limits from hand-built
# snapshots; then real peers (Prometheus, a headless browser) against vimohost polling
# the simulator.
if(TARGET novex_web)
  novex_add_test(web_test SOURCES web_test.cpp LIBS novex_web ZLIB::ZLIB)
  novex_add_test(web_access_test SOURCES web_access_test.cpp LIBS novex_web crypt)
  novex_add_test(web_tls_test SOURCES web_tls_test.cpp LIBS novex_web novex_common crypt)
endif()
if(TARGET novex_web AND TARGET novex_program)
  novex_add_test(web_peers_test SOURCES web_peers_test.cpp LIBS novex_web novex_program JsonCpp::JsonCpp)
  add_dependencies(web_peers_test vimohost novexups novexups-sim)
endif()
