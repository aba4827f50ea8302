// base64 encoding and decoding with the standard alphabet.
#include "broker/base64.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "log/log.h"

namespace {

constexpr const char* kLogModule = "base64";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr int kNotInAlphabet = -1;

[[noreturn]] void out_of_memory() {
  ZLOG(kLogError, "malloc().\n");
  std::exit(1);
}

int value_of(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotInAlphabet;
}

}  // namespace

std::string base64_encode(const void* bytes, std::size_t length) {
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  std::string out;
  try {
    out.reserve((length / 3) * 4 + 4);
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
  std::size_t i = 0;
  //  byte:  |      0      |      1      |      2      |
  //  bits:  |7 6 5 4 3 2 1 0|7 6 5 4 3 2 1 0|7 6 5 4 3 2 1 0|
  //  char:  |    a      |    b      |    c      |    d      |
  for (; i + 3 <= length; i += 3) {
    out += kAlphabet[in[i] >> 2];
    out += kAlphabet[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
    out += kAlphabet[((in[i + 1] & 0x0F) << 2) | (in[i + 2] >> 6)];
    out += kAlphabet[in[i + 2] & 0x3F];
  }
  if (length - i == 1) {
    out += kAlphabet[in[i] >> 2];
    out += kAlphabet[(in[i] & 0x03) << 4];
    out += kPad;
    out += kPad;
  } else if (length - i == 2) {
    out += kAlphabet[in[i] >> 2];
    out += kAlphabet[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
    out += kAlphabet[(in[i + 1] & 0x0F) << 2];
    out += kPad;
  }
  return out;
}

std::string base64_decode(const char* text, std::size_t length, std::size_t* decoded_length) {
  std::string out;
  try {
    out.reserve((length / 4) * 3 + 3);
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
  int group[4] = {0, 0, 0, 0};
  int filled = 0;
  for (std::size_t i = 0; text != nullptr && i < length; ++i) {
    int value = value_of(text[i]);
    if (value == kNotInAlphabet) break;  // "=" and every foreign character end the text
    group[filled++] = value;
    if (filled == 4) {
      out += static_cast<char>(((group[0] << 2) | (group[1] >> 4)) & 0xFF);
      out += static_cast<char>(((group[1] << 4) | (group[2] >> 2)) & 0xFF);
      out += static_cast<char>(((group[2] << 6) | group[3]) & 0xFF);
      filled = 0;
    }
  }
  // A partial group: missing characters count as zero bits; one character alone
  // carries fewer than 8 bits and gives nothing.
  if (filled >= 2) {
    out += static_cast<char>(((group[0] << 2) | (group[1] >> 4)) & 0xFF);
    if (filled == 3) out += static_cast<char>(((group[1] << 4) | (group[2] >> 2)) & 0xFF);
  }
  if (decoded_length != nullptr) *decoded_length = out.size();
  return out;
}
