# zel_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l] [RESOURCE_LOCK r])
#
# One GoogleTest program per subsystem; CTest runs each of its tests on its
# own. Tests that bind the fixed control port or run an agent pass
# RESOURCE_LOCK control_port so that `ctest -j` never runs two at once.
#
# ZEL_TEST_TIME_SCALE stretches the tests' one wait limit (kWaitLimit) on
# builds that run slower: sanitizers, and the ARM build under emulation.
if(ZEL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

if(CMAKE_CROSSCOMPILING OR ZEL_SANITIZER STREQUAL "thread")
  set(ZEL_TEST_TIME_SCALE 4)
elseif(ZEL_SANITIZER STREQUAL "address")
  set(ZEL_TEST_TIME_SCALE 2)
else()
  set(ZEL_TEST_TIME_SCALE 1)
endif()

function(zel_add_test name)
  cmake_parse_arguments(ZT "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ZT_SOURCES})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} zel_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests
                                             ${PROJECT_SOURCE_DIR}/tools)
  set(props ENVIRONMENT "ZEL_BUILD_DIR=${PROJECT_BINARY_DIR}")
  if(ZT_LABELS)
    list(APPEND props LABELS "${ZT_LABELS}")
  endif()
  if(ZT_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${ZT_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600 ${props})
endfunction()
