#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "pvo/pvo.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

// Each test gets its own store and log file.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv(PVO_STORE_ENV, store_.path().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv(PVO_STORE_ENV);
  }
  // Stores a value as another program would: set and committed.
  void store(const char* key, const std::string& value) {
    ASSERT_EQ(pvoSet(key, value.c_str()), 0);
    ASSERT_EQ(pvoCommit(), 0);
  }
  std::string log_text() const { return log_.text(); }
  // The committed value of `key` as another process reads it ("" if unset).
  std::string on_disk(const char* key) const {
    std::string command = "PVO_STORE='" + store_.path() + "' '" +
                          zeltest::built_program("platform/pvo/pvo") + "' get '" + key +
                          "' 2>/dev/null";
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
      char buf[256];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
      ::pclose(pipe);
    }
    return out;
  }

  zeltest::TempDir store_;
  zeltest::TempDir logs_;
  zeltest::LogCapture log_{logs_.file("config.log")};
};

TEST(StrToUint32, EdgeTexts) {
  const struct {
    const char* text;
    int result;
    std::uint32_t value;  // expected when result is 0
  } cases[] = {
      {"0", 0, 0},
      {"", 0, 0},
      {"abc", 0, 0},
      {"42xyz", 0, 42},
      {"  17", 0, 17},
      {"+8", 0, 8},
      {"007", 0, 7},
      {"-5", -1, 0},
      {"-0", 0, 0},
      {"2147483647", 0, 2147483647u},
      {"2147483648", 0, 2147483647u},
      {"4294967295", 0, 2147483647u},
      {"12345678901", 0, 2147483647u},
      {"99999999999999999999999", 0, 2147483647u},
      {"-12345678901", -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text '") + c.text + "'");
    std::uint32_t value = 0xdeadbeef;
    EXPECT_EQ(str_to_uint32(c.text, &value), c.result);
    EXPECT_EQ(value, c.result == 0 ? c.value : 0xdeadbeefu);
  }
}

TEST_F(ConfigTest, NumbersAndTheirDefaults) {
  const struct {
    const char* stored;  // nullptr: nothing stored
    std::uint32_t expected;
  } cases[] = {
      {nullptr, kDefaultHttpConnectTimeout},
      {"", kDefaultHttpConnectTimeout},
      {"0", 0},
      {"abc", 0},
      {"-5", kDefaultHttpConnectTimeout},
      {"42xyz", 42},
      {"12345678901", 2147483647u},
      // Read through a 16-byte buffer: only the first 15 characters count.
      {"1234567890123456789", 2147483647u},
      {"000000000000000123", 0},
      {"120", 120},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored ? std::string("stored '") + c.stored + "'" : "nothing stored");
    if (c.stored != nullptr) {
      store(kKeyHttpConnectTimeout, c.stored);
    } else {
      ASSERT_EQ(pvoUnset(kKeyHttpConnectTimeout), 0);
      ASSERT_EQ(pvoCommit(), 0);
    }
    EXPECT_EQ(config_get_uint32_default(kKeyHttpConnectTimeout, kDefaultHttpConnectTimeout),
              c.expected);
    std::uint32_t value = 77;
    bool accepted = config_get_uint32(kKeyHttpConnectTimeout, &value) == 0;
    EXPECT_EQ(value, accepted ? c.expected : 77u);
  }
}

TEST_F(ConfigTest, GetCopiesCutsAndTreatsEmptyAsAbsent) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  store("zel_empty", "");
  EXPECT_EQ(config_get("zel_empty", buffer, sizeof buffer), -1);
  EXPECT_EQ(config_get("zel_missing", buffer, sizeof buffer), -1);
  EXPECT_EQ(std::string(buffer, sizeof buffer), "########");  // untouched

  store("zel_long", "abcdefghijklmnop");
  ASSERT_EQ(config_get("zel_long", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "abcdefg");
  store("zel_fits", "1234567");
  ASSERT_EQ(config_get("zel_fits", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "1234567");
  ASSERT_EQ(config_get("zel_fits", buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(config_get("zel_fits", buffer, 0), -1);
  // Absent keys are no failure of the library: nothing is logged for them.
  EXPECT_EQ(log_text().find("Can't get value"), std::string::npos);
}

TEST_F(ConfigTest, StringsAreCopiesCutTo127Characters) {
  EXPECT_EQ(config_get_string(kKeyAgentId), std::nullopt);
  store(kKeyAgentId, "");
  EXPECT_EQ(config_get_string(kKeyAgentId), std::nullopt);
  store(kKeyAgentId, "device-1\nwith newline");
  EXPECT_EQ(config_get_string(kKeyAgentId), "device-1\nwith newline");
  store(kKeyAgentId, std::string(300, 'z'));
  EXPECT_EQ(config_get_string(kKeyAgentId), std::string(kConfigStringBufferSize - 1, 'z'));
}

TEST_F(ConfigTest, SetCommitsAtOnce) {
  EXPECT_EQ(config_set(kKeyAgentRegistered, kFlagOn), 0);
  EXPECT_EQ(on_disk(kKeyAgentRegistered), "1\n");
  EXPECT_EQ(config_get_uint32_default(kKeyAgentRegistered, kDefaultAgentRegistered), 1u);
}

TEST_F(ConfigTest, RefusedSetStillReturnsZeroAndCommits) {
  // A change left pending by an earlier refused commit goes out with the next.
  ASSERT_EQ(pvoSet("zel_pending", "yes"), 0);
  const std::string too_long(PVO_MAX_VALUE_LENGTH + 1, 'v');
  EXPECT_EQ(config_set("zel_refused", too_long.c_str()), 0);
  EXPECT_NE(log_text().find("Can't set value by name:'zel_refused' error: value too long.\n"),
            std::string::npos)
      << log_text();
  EXPECT_EQ(on_disk("zel_pending"), "yes\n");
  EXPECT_EQ(on_disk("zel_refused"), "");
}

TEST_F(ConfigTest, LibraryFailuresAreLoggedNeverReturned) {
  store(kKeyAgentId, "abc");
  std::string path = store_.file("store");
  std::string damaged = zeltest::read_file(path);
  damaged[damaged.find("abc")] = 'X';
  zeltest::write_file(path, damaged);

  char buffer[16];
  EXPECT_EQ(config_get(kKeyAgentId, buffer, sizeof buffer), -1);
  EXPECT_EQ(config_get_uint32_default(kKeyBrokerPort, kDefaultBrokerPort), kDefaultBrokerPort);
  EXPECT_EQ(config_get_string(kKeyAgentId), std::nullopt);
  EXPECT_EQ(config_set(kKeyAgentClaimed, kFlagOn), 0);
  std::string logged = log_text();
  EXPECT_NE(logged.find("Can't get value by name:'zel_agent_id' error: the store file is corrupt.\n"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find("Can't commit nvram, error: the store file is corrupt.\n"), std::string::npos);
  EXPECT_EQ(zeltest::read_file(path), damaged);  // never replaced
}

}  // namespace
