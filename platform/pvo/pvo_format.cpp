// The store file's format: see pvo_format.h for the layout.
#include "pvo_format.h"

#include <zlib.h>

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "pvo.h"

namespace pvo {
namespace {

constexpr std::string_view kMagic = "PVO1\n";
constexpr std::string_view kTrailerTag = "END ";
constexpr int kCrcHexDigits = 8;
// Longest decimal text accepted for a length or a count: enough for any
// size a 32-bit device can hold, short enough never to overflow.
constexpr std::size_t kMaxNumberDigits = 9;

std::uint32_t crc_of(std::string_view data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes the length as uInt: feed large inputs in pieces.
  constexpr std::size_t kChunk = 1u << 30;
  while (!data.empty()) {
    std::size_t n = data.size() < kChunk ? data.size() : kChunk;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(n));
    data.remove_prefix(n);
  }
  return static_cast<std::uint32_t>(crc);
}

// Reads a decimal number without sign or leading zeros ending at `stop`.
bool take_number(std::string_view* in, char stop, std::size_t* out) {
  std::size_t end = in->find(stop);
  if (end == std::string_view::npos || end == 0 || end > kMaxNumberDigits) return false;
  std::string_view digits = in->substr(0, end);
  if (digits.size() > 1 && digits[0] == '0') return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  std::size_t value = 0;
  auto res = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (res.ec != std::errc()) return false;
  *out = value;
  in->remove_prefix(end + 1);
  return true;
}

}  // namespace

std::string serialize_store(const Entries& entries) {
  std::string out(kMagic);
  for (const auto& [key, value] : entries) {
    out += std::to_string(key.size());
    out += ' ';
    out += std::to_string(value.size());
    out += '\n';
    out += key;
    out += value;
    out += '\n';
  }
  char crc_text[kCrcHexDigits + 1];
  std::snprintf(crc_text, sizeof crc_text, "%08x", static_cast<unsigned>(crc_of(out)));
  out += kTrailerTag;
  out += std::to_string(entries.size());
  out += ' ';
  out += crc_text;
  out += '\n';
  return out;
}

bool parse_store(std::string_view data, Entries* entries) {
  std::string_view in = data;
  if (in.substr(0, kMagic.size()) != kMagic) return false;
  in.remove_prefix(kMagic.size());

  Entries parsed;
  std::size_t records = 0;
  while (in.substr(0, kTrailerTag.size()) != kTrailerTag) {
    std::size_t key_length = 0;
    std::size_t value_length = 0;
    if (!take_number(&in, ' ', &key_length) || !take_number(&in, '\n', &value_length)) return false;
    if (key_length == 0 || key_length > PVO_MAX_KEY_LENGTH || value_length > PVO_MAX_VALUE_LENGTH)
      return false;
    if (in.size() < key_length + value_length + 1) return false;
    std::string_view key = in.substr(0, key_length);
    std::string_view value = in.substr(key_length, value_length);
    if (in[key_length + value_length] != '\n') return false;
    if (key.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos)
      return false;
    // Keys are written in ascending order: anything else is damage.
    if (!parsed.empty() && !(parsed.rbegin()->first < key)) return false;
    parsed.emplace_hint(parsed.end(), std::string(key), std::string(value));
    in.remove_prefix(key_length + value_length + 1);
    ++records;
  }

  std::uint32_t expected_crc = crc_of(data.substr(0, data.size() - in.size()));
  in.remove_prefix(kTrailerTag.size());
  std::size_t count = 0;
  if (!take_number(&in, ' ', &count) || count != records) return false;
  if (in.size() != kCrcHexDigits + 1 || in[kCrcHexDigits] != '\n') return false;
  char crc_text[kCrcHexDigits + 1];
  std::snprintf(crc_text, sizeof crc_text, "%08x", static_cast<unsigned>(expected_crc));
  if (in.substr(0, kCrcHexDigits) != std::string_view(crc_text, kCrcHexDigits)) return false;

  *entries = std::move(parsed);
  return true;
}

}  // namespace pvo
