// The configuration layer's only contact with the platform store: a read
// copied into the caller's buffer and a write committed at once. No cache:
// every call goes to the library, which serialises access itself.
#include "config/config_pvo.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/config_keys.h"
#include "log/log.h"
#include "pvo/pvo.h"

namespace {

constexpr const char* kLogModule = "config_pvo";

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// A commit publishes every set this process has made so far, whichever
// thread made it. Each write, from its first set to its commit, holds this
// lock, so that no other thread's commit can publish half of a write that
// belongs together (an agent id without its claim code).
std::mutex write_mutex;

void (*between_sets_hook)() = nullptr;  // tests only; called with write_mutex held

// The value `key` reads now (committed, with this process's pending changes
// on top); nullopt when it is not set.
std::optional<std::string> current_value(const char* key) {
  char* raw = nullptr;
  pvoGet(key, &raw);
  std::unique_ptr<char, FreeDeleter> value(raw);
  return value ? std::optional<std::string>(value.get()) : std::nullopt;
}

}  // namespace

int config_get(const char* key, char* buffer, std::size_t buffer_size) {
  if (key == nullptr || buffer == nullptr) return -1;
  char* raw = nullptr;
  int rc = pvoGet(key, &raw);
  std::unique_ptr<char, FreeDeleter> value(raw);
  if (rc < 0) {
    // The library may have returned a value all the same: it is used below.
    ZLOG(kLogInfo, "Can't get value by name:'%s' error: %s.\n", log_escape(key).c_str(), pvoStrerror(rc));
  }
  if (!value || value.get()[0] == '\0' || buffer_size == 0) return -1;
  std::size_t length = ::strnlen(value.get(), buffer_size - 1);
  std::memcpy(buffer, value.get(), length);
  buffer[length] = '\0';
  return 0;
}

int config_set(const char* key, const char* value) {
  std::lock_guard<std::mutex> lock(write_mutex);  // never commits half of another thread's write
  int rc = pvoSet(key, value);
  if (rc < 0) {
    ZLOG(kLogError, "Can't set value by name:'%s' error: %s.\n", log_escape(key != nullptr ? key : "").c_str(),
         pvoStrerror(rc));
  }
  // Commit in every case: earlier sets that were kept pending go out too.
  rc = pvoCommit();
  if (rc < 0) ZLOG(kLogError, "Can't commit nvram, error: %s.\n", pvoStrerror(rc));
  return 0;
}

int config_set_together(const config_setting* settings, std::size_t count) {
  std::lock_guard<std::mutex> lock(write_mutex);
  // What the keys held before: a set refused half-way is undone, or the next
  // commit (anyone's) would publish the part that was set.
  std::vector<std::optional<std::string>> before;
  for (std::size_t i = 0; i < count; ++i) before.push_back(current_value(settings[i].key));
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && between_sets_hook != nullptr) between_sets_hook();
    const int rc = pvoSet(settings[i].key, settings[i].value);
    if (rc < 0) {
      ZLOG(kLogError, "Can't set value by name:'%s' error: %s.\n", log_escape(settings[i].key).c_str(),
           pvoStrerror(rc));
      for (std::size_t j = 0; j < i; ++j) {
        if (before[j]) {
          pvoSet(settings[j].key, before[j]->c_str());
        } else {
          pvoUnset(settings[j].key);
        }
      }
      return -1;
    }
  }
  const int rc = pvoCommit();
  if (rc < 0) {
    // The sets stay pending, whole: a later commit publishes them together.
    ZLOG(kLogError, "Can't commit nvram, error: %s.\n", pvoStrerror(rc));
    return -1;
  }
  return 0;
}

const char* config_check_store() {
  char* raw = nullptr;
  // Any key will do: reading one reads (and checks) the whole store file.
  const int rc = pvoGet(kKeyRegisterUrl, &raw);
  std::free(raw);
  return rc < 0 ? pvoStrerror(rc) : nullptr;
}

namespace config_testing {
void set_between_sets_hook(void (*hook)()) { between_sets_hook = hook; }
}  // namespace config_testing
