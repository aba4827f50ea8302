#include "pvo_format.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "pvo.h"

namespace {

std::string with_trailer(const std::string& body, std::size_t count) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08lx",
                crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  return body + "END " + std::to_string(count) + " " + crc + "\n";
}

TEST(PvoFormat, RoundTripsAwkwardEntries) {
  const std::vector<pvo::Entries> cases = {
      {},
      {{"k", ""}},
      {{"zel_handler_x", "tcp:127.0.0.1:9000\nsecond line\r\n"}},
      {{"a=b", "c=d"}, {"quote\"s'", "\"'`$(x)"}, {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac \x01\x7f\xff"}},
      {{"END 0 00000000\n", "PVO1\n"}, {"1 2\n", "\n\n\n"}},
      {{std::string(PVO_MAX_KEY_LENGTH, 'k'), std::string(PVO_MAX_VALUE_LENGTH, 'v')}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    std::string data = pvo::serialize_store(cases[i]);
    pvo::Entries back = {{"stale", "entry"}};
    ASSERT_TRUE(pvo::parse_store(data, &back));
    EXPECT_EQ(back, cases[i]);
  }
}

TEST(PvoFormat, RejectsDamage) {
  const std::string good = pvo::serialize_store({{"alpha", "one"}, {"beta", "two\nlines"}});
  std::string flipped = good;
  flipped[good.find("two")] = 'T';
  const struct {
    const char* name;
    std::string data;
  } cases[] = {
      {"empty", ""},
      {"magic only", "PVO1\n"},
      {"wrong magic", "PVO2" + good.substr(4)},
      {"torn tail", good.substr(0, good.size() - 5)},
      {"torn record", good.substr(0, good.find("two") + 1)},
      {"flipped byte", flipped},
      {"bytes after the end", good + "x"},
      {"count too high", with_trailer("PVO1\n1 1\nab\n", 2)},
      {"length past the end", with_trailer("PVO1\n1 9\nab\n", 1)},
      {"leading zero", with_trailer("PVO1\n01 1\nab\n", 1)},
      {"signed length", with_trailer("PVO1\n+1 1\nab\n", 1)},
      {"empty key", with_trailer("PVO1\n0 1\nb\n", 1)},
      {"missing newline", with_trailer("PVO1\n1 1\nabX", 1)},
      {"keys out of order", with_trailer("PVO1\n1 1\nbx\n1 1\nay\n", 2)},
      {"repeated key", with_trailer("PVO1\n1 1\nax\n1 1\nay\n", 2)},
      {"NUL in value", with_trailer(std::string("PVO1\n1 1\na\0\n", 11), 1)},
      {"huge length", with_trailer("PVO1\n1 99999999999\nab\n", 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pvo::Entries entries = {{"kept", "as is"}};
    EXPECT_FALSE(pvo::parse_store(c.data, &entries));
    EXPECT_EQ(entries, (pvo::Entries{{"kept", "as is"}}));
  }
  // The hand-made framing itself is accepted when it is sound.
  pvo::Entries entries;
  EXPECT_TRUE(pvo::parse_store(with_trailer("PVO1\n1 1\nab\n", 1), &entries));
  EXPECT_EQ(entries, (pvo::Entries{{"a", "b"}}));
}

}  // namespace
