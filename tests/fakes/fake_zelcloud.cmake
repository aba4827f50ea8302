# The fake zelCloud: an in-process HTTPS server on an ephemeral loopback port
# with programmable answers and a record of every request.
# Included from more than one place (the tests, the simulator): define once.
if(TARGET zel_fake_zelcloud)
  return()
endif()
add_library(zel_fake_zelcloud STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_zelcloud.cpp)
target_include_directories(zel_fake_zelcloud PUBLIC ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(zel_fake_zelcloud PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
