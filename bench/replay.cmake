# Baselines of the replay scenarios (replay_udp.sh, pacing.sh): a plain
# sendto loop with its loopback sink, and a plain clock_nanosleep loop.
add_executable(bench_sendto_loop ${CMAKE_CURRENT_LIST_DIR}/sendto_loop.c)
target_compile_options(bench_sendto_loop PRIVATE ${TARVEX_WARNINGS} -O2)
set_target_properties(bench_sendto_loop PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVEX_BENCH_DIR})

add_executable(bench_pacing ${CMAKE_CURRENT_LIST_DIR}/pacing.c)
target_compile_options(bench_pacing PRIVATE ${TARVEX_WARNINGS} -O2)
set_target_properties(bench_pacing PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVEX_BENCH_DIR})
