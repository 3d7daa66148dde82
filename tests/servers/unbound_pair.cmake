# Two unbound instances with different local data, for comparing servers;
# ports in ${TARVEX_FIXTURE_DIR}/unbound_pair/{a,b}/ports.
find_program(UNBOUND unbound PATHS /usr/sbin /sbin)
find_program(CERTTOOL certtool)
if(UNBOUND AND CERTTOOL)
  set(dir ${TARVEX_FIXTURE_DIR}/unbound_pair)
  add_test(NAME servers/unbound_pair_start
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_pair.py start --dir ${dir})
  set_tests_properties(servers/unbound_pair_start PROPERTIES FIXTURES_SETUP unbound_pair TIMEOUT 60
    RESOURCE_LOCK unbound_pair_server)
  add_test(NAME servers/unbound_pair_stop
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/unbound_pair.py stop --dir ${dir})
  set_tests_properties(servers/unbound_pair_stop PROPERTIES FIXTURES_CLEANUP unbound_pair TIMEOUT 30
    RESOURCE_LOCK unbound_pair_server)
endif()
