// The configuration layer's only contact with the platform store: a read
// copied into the caller's buffer and a write committed at once. No cache:
// every call goes to the library, which serialises access itself.
#include "config/config_pvo.h"

#include <cstdlib>
#include <cstring>
#include <memory>

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
    ZLOG(kLogInfo, "Can't get value by name:'%s' error: %s.\n", key, pvoStrerror(rc));
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
    ZLOG(kLogInfo, "Can't set value by name:'%s' error: %s.\n", key != nullptr ? key : "",
         pvoStrerror(rc));
  }
  // Commit in every case: earlier sets that were kept pending go out too.
  rc = pvoCommit();
  if (rc < 0) ZLOG(kLogInfo, "Can't commit nvram, error: %s.\n", pvoStrerror(rc));
  return 0;
}
