#include "log/log.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {
constexpr const char* kLogModule = "log_test";

TEST(LogSmoke, WritesOrdinaryLine) {
  zeltest::TempDir dir;
  log_file_path = dir.file("agent.log");
  log_level = kLogInfo;
  log_to_console = 0;
  ZLOG(kLogInfo, "hello %d\n", 42);
  std::string text = zeltest::read_file(log_file_path);
  EXPECT_NE(text.find(":log_test:"), std::string::npos) << text;
  EXPECT_NE(text.find("\t   INFO: hello 42\n"), std::string::npos) << text;
  log_file_path.clear();
}
}  // namespace
