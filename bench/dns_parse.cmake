# DNS parse scenario: the hand-written libpcap baseline.
add_executable(bench_dns_parse_pcap ${CMAKE_CURRENT_SOURCE_DIR}/dns_parse_pcap.c)
target_compile_options(bench_dns_parse_pcap PRIVATE ${TARVEX_WARNINGS})
target_link_libraries(bench_dns_parse_pcap PRIVATE PkgConfig::DEPS)
set_target_properties(bench_dns_parse_pcap PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARVEX_BENCH_DIR})
