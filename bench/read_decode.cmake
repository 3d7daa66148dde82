# Read+decode scenario: the hand-written libpcap baseline (the tarvex side is
# the two scripts read_decode_push.lua and read_decode_pull.lua).
add_executable(bench_libpcap_loop ${CMAKE_CURRENT_SOURCE_DIR}/libpcap_loop.c)
target_compile_options(bench_libpcap_loop PRIVATE ${TARVEX_WARNINGS} -O2)
target_link_libraries(bench_libpcap_loop PRIVATE PkgConfig::DEPS)
set_target_properties(bench_libpcap_loop PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVEX_BENCH_DIR})
