# zel_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l] [RESOURCE_LOCK r])
#
# One GoogleTest executable per module test file. Tests that bind the fixed
# control port or run an agent pass RESOURCE_LOCK control_port so that
# `ctest -j` never runs two of them at once.
if(ZEL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(zel_add_test name)
  cmake_parse_arguments(ZT "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ZT_SOURCES})
  target_link_libraries(${name} PRIVATE ${ZT_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  set(props "")
  if(ZT_LABELS)
    list(APPEND props LABELS "${ZT_LABELS}")
  endif()
  if(ZT_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${ZT_RESOURCE_LOCK}")
  endif()
  list(APPEND props ENVIRONMENT "ZEL_BUILD_DIR=${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ${props})
endfunction()
