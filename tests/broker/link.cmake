# Tests of the zelbroker link: the packet formats and the broker thread.
zel_add_test(broker_packet_reader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/messages/packet_reader_test.cpp
  LIBS zel_broker)
zel_add_test(broker_messages_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/messages/broker_messages_test.cpp
  LIBS zel_broker zel_delivery_sinks zel_log_capture)
zel_add_test(zelbroker_connection_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zelbroker_connection_test.cpp
  LIBS zel_broker zel_fake_zelbroker zel_fake_zelcloud zel_test_certs zel_delivery_sinks
       zel_log_capture)
