# Fixture "unbound": a real DNS server on a free loopback port for the sender
# tests. It serves the zone test. (every name answers) and refuses the rest;
# tests read its port from ${TARVEX_FIXTURE_DIR}/unbound/port.
set(TARVEX_UNBOUND_DIR ${TARVEX_FIXTURE_DIR}/unbound)
add_test(NAME servers/unbound_start
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_ctl.py start ${TARVEX_UNBOUND_DIR} 900)
set_tests_properties(servers/unbound_start PROPERTIES FIXTURES_SETUP unbound TIMEOUT 60)
add_test(NAME servers/unbound_stop
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_ctl.py stop ${TARVEX_UNBOUND_DIR})
set_tests_properties(servers/unbound_stop PROPERTIES FIXTURES_CLEANUP unbound TIMEOUT 30)
