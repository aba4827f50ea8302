// The configuration layer's only contact with the platform store: a read
// copied into the caller's buffer and a write committed at once. No cache:
// every call goes to the library, which serialises access itself.
#include "config/config_pvo.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config_keys.h"
#include "log/log.h"
#include "pvo/pvo.h"

namespace {

constexpr const char* kLogModule = "config_pvo";

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

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
  for (std::size_t i = 0; i < count; ++i) {
    const int rc = pvoSet(settings[i].key, settings[i].value);
    if (rc < 0) {
      // Nothing is committed here; callers check lengths first, so that only
      // a lack of memory can refuse a set.
      ZLOG(kLogError, "Can't set value by name:'%s' error: %s.\n", log_escape(settings[i].key).c_str(),
           pvoStrerror(rc));
      return -1;
    }
  }
  const int rc = pvoCommit();
  if (rc < 0) {
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
