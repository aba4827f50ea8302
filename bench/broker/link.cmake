# Benchmarks of the zelbroker link: the packet reader's throughput and plain
# messages end to end (simulated zelbroker over TLS to a UNIX-socket handler).
zel_add_bench(broker_packet_reader_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/packet_reader_bench.cpp
  LIBS zel_broker)
zel_add_bench(broker_link_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/broker_link_bench.cpp
  LIBS zel_broker zel_cloud zel_delivery zel_config zel_sim zel_bench_support)
