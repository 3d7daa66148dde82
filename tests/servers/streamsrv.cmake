# The scripted stream server (tests/servers/streamsrv.py): one loopback port
# per behaviour over TCP and TLS, listed in ${TARVEX_FIXTURE_DIR}/streamsrv/ports.
find_program(CERTTOOL certtool)
if(CERTTOOL)
  set(dir ${TARVEX_FIXTURE_DIR}/streamsrv)
  add_test(NAME servers/streamsrv_start
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/streamsrv.py start --dir ${dir})
  set_tests_properties(servers/streamsrv_start PROPERTIES FIXTURES_SETUP streamsrv TIMEOUT 60
    RESOURCE_LOCK streamsrv_server)
  add_test(NAME servers/streamsrv_stop
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/streamsrv.py stop --dir ${dir})
  set_tests_properties(servers/streamsrv_stop PROPERTIES FIXTURES_CLEANUP streamsrv TIMEOUT 30
    RESOURCE_LOCK streamsrv_server)
endif()
