// The configuration store: named text settings in the device's non-volatile
// store, read with typed accessors that fall back to the reader's own
// default. Include this header for the whole layer: the raw config_get and
// config_set (config/config_pvo.h) and the key table (config/config_keys.h)
// come with it.
//
// Usage:
//
//   uint32_t timeout = config_get_uint32_default(kKeyHttpConnectTimeout,
//                                                kDefaultHttpConnectTimeout);
//   std::optional<std::string> id = config_get_string(kKeyAgentId);
//   config_set(kKeyAgentRegistered, kFlagOn);
//
// A key whose value is the empty string reads as absent everywhere.
// Threading: every operation may be called from any thread at any time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/config_keys.h"
#include "config/config_pvo.h"

// Converts decimal text to an unsigned 32-bit number the way the device has
// always read its settings: leading white space and a sign are accepted and
// conversion stops at the first non-digit ("42xyz" gives 42, text without any
// digit, "" and "abc" included, gives 0). A positive number too large for a
// signed 32-bit value reads as 2147483647, on every host whatever the width of
// long. Returns 0 and stores the number through `value`; -1 for a negative
// number (nothing stored). `text` and `value` are non-null.
int str_to_uint32(const char* text, std::uint32_t* value);

// Reads `key` as a number (a value of up to kConfigNumberBufferSize - 1
// characters, converted with str_to_uint32). Returns 0 and stores it through
// `value`; -1 when the key is absent or its text is refused (nothing stored).
int config_get_uint32(const char* key, std::uint32_t* value);

// The stored number of `key`, or `default_value` whenever config_get_uint32
// fails. A stored "0" gives 0, not the default.
std::uint32_t config_get_uint32_default(const char* key, std::uint32_t default_value);

// A copy of the value of `key`, owned by the caller, cut to
// kConfigStringBufferSize - 1 (127) characters; std::nullopt when the key is
// absent or empty.
std::optional<std::string> config_get_string(const char* key);
