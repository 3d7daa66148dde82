# Programs of the replay load scenario (replay_load.sh): a reflector that
# answers at next to no cost over UDP, TCP and TLS, with an optional fixed
# delay, and the bare send/receive loop whose latency figures are the floor.
foreach(name reflector latency_loop)
  add_executable(bench_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.c)
  target_compile_options(bench_${name} PRIVATE ${TARVEX_WARNINGS} -O2)
  set_target_properties(bench_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVEX_BENCH_DIR})
endforeach()
# The reflector's DNS over TLS listener is GnuTLS's.
target_link_libraries(bench_reflector PRIVATE PkgConfig::DEPS)
