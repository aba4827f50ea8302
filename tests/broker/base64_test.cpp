#include "broker/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Vector {
  std::string plain;
  std::string encoded;
};

// RFC 4648, section 10.
const Vector kRfcVectors[] = {
    {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, EncodesRfcVectors) {
  for (const Vector& v : kRfcVectors) {
    SCOPED_TRACE(v.plain);
    std::string text = base64_encode(v.plain.data(), v.plain.size());
    EXPECT_EQ(text, v.encoded);
    EXPECT_EQ(text.c_str()[text.size()], '\0');
  }
}

TEST(Base64, DecodesRfcVectorsPaddedAndUnpadded) {
  for (const Vector& v : kRfcVectors) {
    SCOPED_TRACE(v.encoded);
    std::size_t length = 99;
    EXPECT_EQ(base64_decode(v.encoded.data(), v.encoded.size(), &length), v.plain);
    EXPECT_EQ(length, v.plain.size());
    std::string unpadded = v.encoded.substr(0, v.encoded.find('='));
    EXPECT_EQ(base64_decode(unpadded.data(), unpadded.size(), nullptr), v.plain);
  }
}

TEST(Base64, BinaryBytesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  std::string text = base64_encode(bytes.data(), bytes.size());
  EXPECT_EQ(text.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  std::size_t length = 0;
  std::string back = base64_decode(text.data(), text.size(), &length);
  EXPECT_EQ(length, 256u);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(back.c_str()[back.size()], '\0');
}

TEST(Base64, DecodingStopsAtFirstForeignCharacter) {
  struct Case {
    std::string text;
    std::string decoded;
  } cases[] = {
      {"Zm9v\nYmFy", "foo"},       // a line break after the first group
      {"Zm9v YmFy", "foo"},        // a blank
      {"Zm9v*YmFy", "foo"},        // any other foreign character
      {"Zg==Zm9v", "f"},           // the first "=" ends the text
      {"Zm9vYmFy\r\n", "foobar"},  // trailing line end ignored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::size_t length = 0;
    EXPECT_EQ(base64_decode(c.text.data(), c.text.size(), &length), c.decoded);
    EXPECT_EQ(length, c.decoded.size());
  }
}

TEST(Base64, SingleCharacterAndEmptyInputGiveNothing) {
  std::size_t length = 7;
  EXPECT_EQ(base64_decode("Z", 1, &length), "");
  EXPECT_EQ(length, 0u);
  length = 7;
  EXPECT_EQ(base64_decode("", 0, &length), "");
  EXPECT_EQ(length, 0u);
  // Five characters: one group and a useless leftover.
  EXPECT_EQ(base64_decode("Zm9vY", 5, nullptr), "foo");
}

TEST(Base64, DecodesOnlyTheGivenLength) {
  const char text[] = "Zm9vYmFy";
  EXPECT_EQ(base64_decode(text, 4, nullptr), "foo");
  EXPECT_EQ(base64_decode(text, 6, nullptr), "foob");
}

}  // namespace
