# unbound on loopback serving DNS over HTTPS (TLS) and over plain HTTP/2;
# ports in ${TARVEX_FIXTURE_DIR}/unbound_doh/ports. Debian's unbound is built
# with libnghttp2.
find_program(UNBOUND unbound PATHS /usr/sbin /sbin)
find_program(CERTTOOL certtool)
if(UNBOUND AND CERTTOOL)
  set(dir ${TARVEX_FIXTURE_DIR}/unbound_doh)
  add_test(NAME servers/unbound_doh_start
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_doh.py start --dir ${dir})
  set_tests_properties(servers/unbound_doh_start PROPERTIES FIXTURES_SETUP unbound_doh TIMEOUT 60
    RESOURCE_LOCK unbound_doh_server)
  add_test(NAME servers/unbound_doh_stop
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_doh.py stop --dir ${dir})
  set_tests_properties(servers/unbound_doh_stop PROPERTIES FIXTURES_CLEANUP unbound_doh TIMEOUT 30
    RESOURCE_LOCK unbound_doh_server)
endif()
