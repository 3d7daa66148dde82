# Mapped and compressed read+decode scenario: the hand-written mmap loop
# baseline (the tarvex side is zread_decode_push.lua).
add_executable(bench_mmap_loop ${CMAKE_CURRENT_SOURCE_DIR}/mmap_loop.c)
target_compile_options(bench_mmap_loop PRIVATE ${TARVEX_WARNINGS} -O2)
set_target_properties(bench_mmap_loop PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVEX_BENCH_DIR})
