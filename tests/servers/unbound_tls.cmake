# unbound on loopback: UDP and TCP on one port, DNS over TLS on another with a
# certificate made at setup; ports in ${TARVEX_FIXTURE_DIR}/unbound_tls/ports.
find_program(UNBOUND unbound PATHS /usr/sbin /sbin)
find_program(CERTTOOL certtool)
if(UNBOUND AND CERTTOOL)
  set(dir ${TARVEX_FIXTURE_DIR}/unbound_tls)
  add_test(NAME servers/unbound_tls_start
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_tls.py start --dir ${dir})
  set_tests_properties(servers/unbound_tls_start PROPERTIES FIXTURES_SETUP unbound_tls TIMEOUT 60
    RESOURCE_LOCK unbound_tls_server)
  add_test(NAME servers/unbound_tls_stop
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_tls.py stop --dir ${dir})
  set_tests_properties(servers/unbound_tls_stop PROPERTIES FIXTURES_CLEANUP unbound_tls TIMEOUT 30
    RESOURCE_LOCK unbound_tls_server)
endif()
