// The raw access to the device's non-volatile store: one read of a named
// value into a caller's buffer, one write that commits at once. Everything
// else in the configuration layer is built on these two.
//
// The layer keeps no cache and no state of its own: every call goes to the
// platform library (libpvo.so), whose errors never reach the callers as
// codes: a failed read is logged at INFO and looks like an absent key; a
// failed write or commit is logged at ERROR (a setting is lost). Only
// config_check_store tells a broken store apart, for the start-up.
//
// Threading: any thread may call these at any time; the platform library
// serialises access to the store itself.
//
// Tests point the store at a folder of their own by setting the environment
// variable PVO_STORE before their first call (see platform/pvo/pvo.h).
#pragma once

#include <cstddef>

// Reads `key` (non-null, NUL-terminated) into `buffer` of `buffer_size` bytes.
// Returns 0 when the key has a non-empty value, copied into the buffer, cut to
// buffer_size - 1 bytes and always NUL-terminated; -1 when the key is absent
// or its value is empty (the buffer is then untouched). A buffer_size of 0 is
// treated as absent.
int config_get(const char* key, char* buffer, std::size_t buffer_size);

// Writes `value` under `key` (both non-null, NUL-terminated) and commits the
// store at once, also when the write was refused. Returns 0 always; failures
// are logged, never returned. Waits while another thread is inside a write
// (config_set, config_set_together): its commit never publishes part of one.
int config_set(const char* key, const char* value);

// One key and its value, for config_set_together.
struct config_setting {
  const char* key;
  const char* value;
};

// Writes the `count` settings and commits them in one commit, so that they
// become durable together or not at all: from the first set to the commit
// no other thread's write can commit (and so publish some of them). A set
// refused half-way is undone. Returns 0 when all were written and
// committed, -1 otherwise (logged; after a failed commit the settings stay
// pending, whole, for the next commit).
int config_set_together(const config_setting* settings, std::size_t count);

// 0 when the store can be read (absent keys are fine); otherwise the
// platform library's message for what is wrong with it (a damaged or
// unreadable store file), for a start-up to refuse with.
const char* config_check_store();

// Seams for the tests only.
namespace config_testing {
// Called inside config_set_together between two sets (null: none).
void set_between_sets_hook(void (*hook)());
}  // namespace config_testing
