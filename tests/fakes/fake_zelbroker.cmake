# The fake zelbroker: an in-process TLS server that records the agent's
# packets and sends what a test asks for (fake_zelbroker.h).
add_library(zel_fake_zelbroker STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_zelbroker.cpp)
target_include_directories(zel_fake_zelbroker PUBLIC ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(zel_fake_zelbroker PUBLIC zel_broker OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
