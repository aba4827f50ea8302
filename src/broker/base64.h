// base64 (RFC 4648, standard alphabet, "=" padding, no line breaks): encodes
// the proxy credentials of HTTP Basic authorization and decodes the token the
// advisor hands out.
//
// Usage:
//
//   std::string text = base64_encode("user:pass", 9);     // "dXNlcjpwYXNz"
//   std::size_t n = 0;
//   std::string token = base64_decode(text.data(), text.size(), &n);  // n == 9
//
// Both operations keep no state and may run on any number of threads at once.
// Running out of memory ends the process with status 1 after ERROR
// "malloc().\n".
#pragma once

#include <cstddef>
#include <string>

// The base64 text of `length` bytes at `bytes` (which may be null when
// `length` is 0). The result owns its text; c_str() is NUL-terminated.
std::string base64_encode(const void* bytes, std::size_t length);

// Decodes at most `length` characters of `text`. Decoding stops quietly at
// the first "=" and at the first character outside the alphabet (white space
// and line breaks included); a final group of 2 or 3 characters gives 1 or 2
// bytes, a single leftover character gives nothing. Malformed text is never
// refused. The result holds the decoded bytes (it may contain NUL bytes; its
// c_str() has a NUL behind them); their count is also stored through
// `decoded_length` when it is not null.
std::string base64_decode(const char* text, std::size_t length,
                          std::size_t* decoded_length = nullptr);
