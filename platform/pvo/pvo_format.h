// The on-disk form of the nvram store: pure conversion between the set of
// entries and the bytes of the store file, so that the format can be tested
// without touching a disk.
//
// The file is length-prefixed, so keys and values may hold any byte but NUL:
//
//   PVO1\n                              magic and version
//   <klen> <vlen>\n<key><value>\n       one record per key, keys ascending
//   ...
//   END <count> <crc>\n                 record count, and the CRC-32 (8 lower
//                                       case hex digits) of every byte before
//                                       the "END" line
//
// <klen>, <vlen> and <count> are decimal without leading zeros. Anything that
// does not match exactly (a torn tail, a flipped byte, keys out of order or
// repeated, bytes after the END line) makes the whole file corrupt.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace pvo {

using Entries = std::map<std::string, std::string>;

// The complete file content for `entries`.
std::string serialize_store(const Entries& entries);

// Parses a complete file content into `entries` (replaced). Returns true when
// the content is a valid store; false leaves `entries` untouched.
bool parse_store(std::string_view data, Entries* entries);

}  // namespace pvo
