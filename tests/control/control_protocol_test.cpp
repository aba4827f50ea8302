#include "control/control_protocol.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>

#include "support/test_support.h"

namespace {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

std::string member_string(const cJSON* root, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, key);
  return cJSON_IsString(item) ? item->valuestring : "<absent>";
}

TEST(ControlResultTable, HasTheTwelveRowsInOrder) {
  struct Row {
    std::int32_t code;
    const char* message;
  };
  const Row expected[] = {
      {0, "OK."},
      {-1, "zelAgent is busy. Please try again later."},
      {-2, "zelAgent communication problem"},
      {-3, "connect timeout"},
      {-4, "transfer timeout"},
      {-5, "bad answer from zelCloud"},
      {-6, "bad request"},
      {-7, "cannot resolve zelcloud address"},
      {-8, "cannot connect to zelcloud - connection refused"},
      {-9, "please provide discovery service id during start up"},
      {-10, "cannot make request - one of operations would block"},
      {-11, "cannot update settings - the same settings are already present"},
  };
  auto table = control_result_table();
  ASSERT_EQ(table.size(), std::size(expected));
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(expected[i].code);
    EXPECT_EQ(table[i].code, expected[i].code);
    std::int32_t status = 99;
    const char* message = nullptr;
    ASSERT_EQ(lookup_result(expected[i].code, &status, &message), 0);
    EXPECT_EQ(status, expected[i].code);
    EXPECT_STREQ(message, expected[i].message);
    EXPECT_EQ(status & 0xFF, (256 + expected[i].code) % 256);  // what a shell sees
  }
}

TEST(ControlResultTable, UnknownCodesStoreNothing) {
  for (std::int32_t code : {1, 2, -12, 250, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(code);
    std::int32_t status = 77;
    const char* message = "untouched";
    EXPECT_EQ(lookup_result(code, &status, &message), -1);
    EXPECT_EQ(status, 77);
    EXPECT_STREQ(message, "untouched");
  }
}

// Runs exit_with_result in a child whose standard output goes to a file.
void expect_exit_output(std::int32_t code, int shell_status, const std::string& output) {
  zeltest::TempDir dir;
  std::string path = dir.file("stdout");
  EXPECT_EXIT(
      {
        if (std::freopen(path.c_str(), "w", stdout) == nullptr) std::abort();
        exit_with_result(code);
      },
      testing::ExitedWithCode(shell_status), "");
  EXPECT_EQ(zeltest::read_file(path), output);
}

TEST(ExitWithResult, PrintsTheReplyLineAndExitsWithTheCode) {
  expect_exit_output(0, 0, "{\"result\":0}\n");
  expect_exit_output(-10, 246, "{\"result\":-10}\n");
  expect_exit_output(-2, 254, "{\"result\":-2}\n");
  expect_exit_output(-11, 245, "{\"result\":-11}\n");
}

TEST(ExitWithResult, UnknownCodesPrintUnknownErrorAndExitOne) {
  expect_exit_output(1, 1, "Unknown error.\n");
  expect_exit_output(-12, 1, "Unknown error.\n");
}

TEST(Reply, FormatAndParseRoundTrip) {
  EXPECT_EQ(format_reply(0), "{\"result\":0}");
  EXPECT_EQ(format_reply(0).size(), 12u);
  EXPECT_EQ(format_reply(-10), "{\"result\":-10}");
  for (std::int32_t code : {0, -1, -6, -11, 1, 99999999, -9999999}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(parse_reply(format_reply(code).c_str()), code);
  }
}

TEST(Reply, ParseTakesZeroForEmptyOrForeignText) {
  struct Case {
    const char* reply;
    std::int32_t code;
  };
  const Case cases[] = {
      {"", 0},
      {"garbage", 0},
      {"{\"result\":\"-1\"}", 0},
      {"{\"code\":-1}", 0},
      {"{\"result\":-6}", -6},
      {"{\"result\":-6}\n", -6},
      {"{\"result\":-6} trailing", -6},
      {"{\"result\": -4}", -4},         // the scan skips blanks before a number
      {"{\"result\":123456789}", 12345678},  // at most 8 characters are read
      {"{\"result\":-12345678}", -1234567},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(parse_reply(c.reply), c.code);
  }
  EXPECT_EQ(parse_reply(nullptr), 0);
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"c:\\dir\\", "c:\\\\dir\\\\"},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
      {"slash/ and \x7f", "slash/ and \x7f"},
      {"\xD1\x81", "\xD1\x81"},  // UTF-8 is written as it is
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(json_escape(c.in), c.out);
  }
}

TEST(RequestValues, BooleansAndDecimalNumbers) {
  for (const char* value : {"true", "false"}) EXPECT_TRUE(is_json_boolean(value)) << value;
  for (const char* value : {"", "TRUE", "True", "1", "0", "yes", "true ", " false"}) {
    EXPECT_FALSE(is_json_boolean(value)) << value;
  }
  for (const char* value : {"0", "30", "-5", "2.5", "-0.25", "1234567890"}) {
    EXPECT_TRUE(is_json_decimal_number(value)) << value;
  }
  for (const char* value : {"", "-", "+5", "030", "5.", ".5", "1e3", "5s", " 5", "5 ", "0x10", "NaN", "1,5"}) {
    EXPECT_FALSE(is_json_decimal_number(value)) << value;
  }
}

TEST(RequestBuilders, WriteTheWireTextsByteForByte) {
  std::string text;
  ASSERT_EQ(build_pause_request(&text), 0);
  EXPECT_EQ(text, "{\"command\":\"pause_connections\"}");
  ASSERT_EQ(build_resume_request(std::nullopt, &text), 0);
  EXPECT_EQ(text, "{\"command\":\"resume_connections\"}");
  ASSERT_EQ(build_resume_request(std::string("c1"), &text), 0);
  EXPECT_EQ(text, "{\"command\":\"resume_connections\",\"carrier_id\":\"c1\"}");
  ASSERT_EQ(build_claim_request(kCommandOnClaim, "svc", "true", &text), 0);
  EXPECT_EQ(text, "{\"command\":\"on_claim\",\"service\":\"svc\",\"claimed\": true }");
  ASSERT_EQ(build_claim_request(kCommandOnRelease, "svc", "false", &text), 0);
  EXPECT_EQ(text, "{\"command\":\"on_release\",\"service\":\"svc\",\"claimed\": false }");
  ASSERT_EQ(build_moravault_request("svc", "true", &text), 0);
  EXPECT_EQ(text, "{\"command\":\"on_moravault\",\"service\":\"svc\",\"registered\": true }");

  discovery_request_args args;
  args.service = "svc";
  ASSERT_EQ(build_send_discovery_request(args, &text), 0);
  EXPECT_EQ(text, "{\"command\":\"send_discovery\",\"service\":\"svc\"}");
  args.discovery_time = "30";
  args.id = "dev";
  args.carrier_id = "car";
  args.discovery_data = "data";
  ASSERT_EQ(build_send_discovery_request(args, &text), 0);
  EXPECT_EQ(text,
            "{\"command\":\"send_discovery\",\"service\":\"svc\",\"discovery_time\":30,\"id\":\"dev\","
            "\"carrier_id\":\"car\",\"discovery_data\":\"data\"}");
}

TEST(RequestBuilders, InvalidValuesLeaveTheOutputUnchanged) {
  std::string text = "before";
  EXPECT_EQ(build_claim_request(kCommandOnClaim, "svc", "yes", &text), -1);
  EXPECT_EQ(build_moravault_request("svc", "1", &text), -1);
  discovery_request_args args;
  args.service = "svc";
  args.discovery_time = "30s";
  EXPECT_EQ(build_send_discovery_request(args, &text), -1);
  EXPECT_EQ(text, "before");
}

// Any value, whatever bytes it holds, reaches a JSON parser intact.
TEST(RequestBuilders, EveryByteSurvivesAJsonParser) {
  std::string nasty;
  for (int c = 1; c < 256; ++c) nasty += static_cast<char>(c);
  // cJSON keeps bytes above 0x7F as they are; keep the text short enough.
  discovery_request_args args;
  args.service = nasty.substr(0, 127);
  args.id = "\"},\"command\":\"pause_connections";
  args.discovery_data = "\\\"\n";
  std::string text;
  ASSERT_EQ(build_send_discovery_request(args, &text), 0);
  Json root(cJSON_Parse(text.c_str()));
  ASSERT_TRUE(root) << text;
  EXPECT_EQ(member_string(root.get(), "command"), "send_discovery");
  EXPECT_EQ(member_string(root.get(), "service"), args.service);
  EXPECT_EQ(member_string(root.get(), "id"), *args.id);
  EXPECT_EQ(member_string(root.get(), "discovery_data"), *args.discovery_data);

  ASSERT_EQ(build_claim_request(kCommandOnClaim, "a\"b\\c", "true", &text), 0);
  root.reset(cJSON_Parse(text.c_str()));
  ASSERT_TRUE(root) << text;
  EXPECT_EQ(member_string(root.get(), "service"), "a\"b\\c");
  EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root.get(), "claimed")));
}

TEST(RequestBuilders, TextsOverTheirLimitsAreRefused) {
  std::string text;
  // Short requests: at most 255 characters.
  const std::size_t claim_overhead = std::string("{\"command\":\"on_claim\",\"service\":\"\",\"claimed\": true }").size();
  std::string fits(kShortRequestMaxLength - claim_overhead, 's');
  ASSERT_EQ(build_claim_request(kCommandOnClaim, fits, "true", &text), 0);
  EXPECT_EQ(text.size(), kShortRequestMaxLength);
  EXPECT_EQ(build_claim_request(kCommandOnClaim, fits + "s", "true", &text), -1);
  // Escaping counts: 128 quotes become 256 characters.
  EXPECT_EQ(build_moravault_request(std::string(128, '"'), "true", &text), -1);

  const std::size_t carrier_overhead =
      std::string("{\"command\":\"resume_connections\",\"carrier_id\":\"\"}").size();
  std::string carrier(kShortRequestMaxLength - carrier_overhead, 'c');
  EXPECT_EQ(build_resume_request(carrier, &text), 0);
  EXPECT_EQ(build_resume_request(carrier + "c", &text), -1);

  // send_discovery: each optional fragment at most 1023 characters.
  discovery_request_args args;
  args.service = "svc";
  const std::size_t data_overhead = std::string(",\"discovery_data\":\"\"").size();
  args.discovery_data = std::string(kDiscoveryFragmentMaxLength - data_overhead, 'd');
  ASSERT_EQ(build_send_discovery_request(args, &text), 0);
  args.discovery_data->push_back('d');
  EXPECT_EQ(build_send_discovery_request(args, &text), -1);

  // ... and the whole request at most 2047 characters.
  args.discovery_data = std::string(kDiscoveryFragmentMaxLength - data_overhead, 'd');
  const std::size_t head = std::string("{\"command\":\"send_discovery\",\"service\":\"svc\"}").size();
  const std::size_t id_overhead = std::string(",\"id\":\"\"").size();
  std::size_t id_fragment = kDiscoveryRequestMaxLength - head - kDiscoveryFragmentMaxLength;
  args.id = std::string(id_fragment - id_overhead, 'i');
  ASSERT_EQ(build_send_discovery_request(args, &text), 0);
  EXPECT_EQ(text.size(), kDiscoveryRequestMaxLength);
  args.id->push_back('i');
  EXPECT_EQ(build_send_discovery_request(args, &text), -1);
}

}  // namespace
