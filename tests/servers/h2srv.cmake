# The scripted HTTP/2 server (tests/servers/h2srv.py, python3-h2 from Debian):
# h2c and TLS ports in ${TARVEX_FIXTURE_DIR}/h2srv/ports. Without python3-h2
# the fixture is not registered and the tests that need it skip.
find_program(CERTTOOL certtool)
execute_process(COMMAND /usr/bin/python3 -c "import h2" RESULT_VARIABLE TARVEX_NO_H2 OUTPUT_QUIET ERROR_QUIET)
if(CERTTOOL AND TARVEX_NO_H2 EQUAL 0)
  set(dir ${TARVEX_FIXTURE_DIR}/h2srv)
  add_test(NAME servers/h2srv_start
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/h2srv.py start --dir ${dir})
  set_tests_properties(servers/h2srv_start PROPERTIES FIXTURES_SETUP h2srv TIMEOUT 60
    RESOURCE_LOCK h2srv_server)
  add_test(NAME servers/h2srv_stop
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/h2srv.py stop --dir ${dir})
  set_tests_properties(servers/h2srv_stop PROPERTIES FIXTURES_CLEANUP h2srv TIMEOUT 30
    RESOURCE_LOCK h2srv_server)
endif()
