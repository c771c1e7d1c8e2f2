# The web face: API, metrics, health and the listener's limits from hand-built
# snapshots; then real peers (Prometheus, a headless browser) against it.
if(TARGET novex_web)
  novex_add_test(web_test SOURCES web_test.cpp LIBS novex_web)
endif()
if(TARGET novex_web AND TARGET novex_runner)
  novex_add_test(web_peers_test SOURCES web_peers_test.cpp LIBS novex_web novex_runner novex_jsoncpp)
endif()
