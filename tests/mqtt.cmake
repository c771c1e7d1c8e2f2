# MQTT: the settings, topic names, state document and Home Assistant discovery directly,
# and vimohost publishing to a real broker (Debian's mosquitto, started by the test)
# read by mosquitto_sub, when they are installed.
if(NOVEX_BUILD_RUNNER)
  novex_add_test(mqtt_test SOURCES mqtt_test.cpp LIBS novex_mqtt_map)
  if(NOVEX_BUILD_MQTT)
    novex_add_test(mqtt_e2e_test SOURCES mqtt_e2e_test.cpp LIBS novex_mqtt_map novex_common JsonCpp::JsonCpp)
    add_dependencies(mqtt_e2e_test vimohost novexups novexups-sim)
  endif()
endif()
