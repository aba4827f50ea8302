// libpvo: a durable key/value store in one file, shared by every process
// that names the same folder.
//
// Each process keeps the last committed state it has read (refreshed when
// the file on disk is replaced) and its own pending sets and unsets. A
// commit takes the folder's lock file, rereads the committed file under the
// lock, applies the pending changes on top and replaces the file atomically
// (temporary file, fsync, rename, fsync of the folder), so that neither a
// crash nor another process's commit can tear or lose anything.
//
// The file is never modified in place, only replaced: its inode identifies
// one committed state. The process keeps a descriptor on the inode it has
// read, so that inode cannot be freed and reused while its identity is
// cached. A daemonising host program may close that descriptor behind the
// library's back (and reuse its number): it is closed only while it still
// refers to the cached inode.
#include "pvo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "pvo_format.h"

#define PVO_EXPORT __attribute__((visibility("default")))

namespace {

constexpr const char* kStoreFileName = "/store";
constexpr const char* kLockFileName = "/store.lock";
constexpr const char* kTempFileName = "/store.tmp";
constexpr mode_t kFileMode = 0600;   // settings hold passwords
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kParentMode = 0755;

// Identity of one committed file: a replaced file always has another inode
// (the old one is kept alive by StoreState::held), and the rest guards
// against anyone editing the file in place.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  struct timespec ctime {};

  static FileStamp of(const struct stat& st) {
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// Everything the library knows, guarded by `mutex`.
struct StoreState {
  std::mutex mutex;
  std::string folder;                 // the store in use ("" before the first call)
  bool have_committed = false;        // `committed` reflects the file named by `stamp`
  bool file_exists = false;           // false: no store file yet (empty store)
  FileStamp stamp;
  int held = -1;                      // keeps the cached inode alive (see above)
  pvo::Entries committed;
  std::map<std::string, std::optional<std::string>> pending;  // nullopt: unset
};

StoreState& state() {
  // Never destroyed: threads of the host program may still call in while
  // the process exits.
  alignas(StoreState) static unsigned char storage[sizeof(StoreState)];
  static StoreState* instance = ::new (static_cast<void*>(storage)) StoreState();
  return *instance;
}

std::string store_file(const std::string& folder) { return folder + kStoreFileName; }

void drop_held(StoreState& s) {
  if (s.held < 0) return;
  struct stat st {};
  if (::fstat(s.held, &st) == 0 && st.st_dev == s.stamp.dev && st.st_ino == s.stamp.ino)
    ::close(s.held);
  s.held = -1;
}

// Caches `entries` as the committed state of the file open on `fd`.
void hold(StoreState& s, pvo::Entries entries, const struct stat& st, UniqueFd fd) {
  drop_held(s);
  s.committed = std::move(entries);
  s.stamp = FileStamp::of(st);
  s.held = fd.release();
  s.have_committed = true;
  s.file_exists = true;
}

// Follows PVO_STORE: a new location drops everything known of the old one.
void follow_location(StoreState& s) {
  const char* env = std::getenv(PVO_STORE_ENV);
  std::string folder = (env != nullptr && *env != '\0') ? env : PVO_DEFAULT_STORE;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder == s.folder) return;
  s.folder = std::move(folder);
  drop_held(s);
  s.have_committed = false;
  s.file_exists = false;
  s.committed.clear();
  s.pending.clear();
}

int read_all(int fd, std::string* out) {
  char chunk[8192];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 0;
    out->append(chunk, static_cast<std::size_t>(n));
  }
}

int write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Brings `committed` up to date with the file on disk.
int refresh(StoreState& s) {
  std::string path = store_file(s.folder);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return PVO_E_READ;
    drop_held(s);
    s.have_committed = true;
    s.file_exists = false;
    s.committed.clear();
    return PVO_OK;
  }
  if (s.have_committed && s.file_exists && FileStamp::of(st) == s.stamp) return PVO_OK;

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? refresh(s) : PVO_E_READ;
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return PVO_E_READ;
  std::string data;
  if (read_all(fd.get(), &data) != 0) return PVO_E_READ;
  pvo::Entries entries;
  if (!pvo::parse_store(data, &entries)) return PVO_E_CORRUPT;
  hold(s, std::move(entries), opened, std::move(fd));
  return PVO_OK;
}

int check_key(const char* key) {
  if (key == nullptr || *key == '\0') return PVO_E_INVAL;
  if (::strnlen(key, PVO_MAX_KEY_LENGTH + 1) > PVO_MAX_KEY_LENGTH) return PVO_E_KEYLEN;
  return PVO_OK;
}

// Creates the store folder (kFolderMode) and any missing parent (kParentMode).
int make_folder(const std::string& folder, mode_t mode) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : -1;
  if (errno != ENOENT) return -1;
  std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 &&
      make_folder(folder.substr(0, slash), kParentMode) != 0)
    return -1;
  if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) return -1;
  return 0;
}

int commit_locked(StoreState& s) {
  if (s.pending.empty()) return PVO_OK;
  if (make_folder(s.folder, kFolderMode) != 0) return PVO_E_WRITE;

  std::string lock_path = s.folder + kLockFileName;
  UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode));
  if (!lock.valid()) return PVO_E_WRITE;
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  while (::fcntl(lock.get(), F_SETLKW, &whole) != 0) {
    if (errno != EINTR) return PVO_E_LOCK;
  }
  // Closing `lock` at the end releases the record lock.

  int rc = refresh(s);
  if (rc != PVO_OK) return rc;
  pvo::Entries merged = s.committed;
  for (const auto& [key, value] : s.pending) {
    if (value)
      merged[key] = *value;
    else
      merged.erase(key);
  }
  std::string data = pvo::serialize_store(merged);

  std::string temp_path = s.folder + kTempFileName;
  UniqueFd temp(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode));
  if (!temp.valid()) return PVO_E_WRITE;
  if (write_all(temp.get(), data) != 0 || ::fsync(temp.get()) != 0) {
    ::unlink(temp_path.c_str());
    return PVO_E_WRITE;
  }
  struct stat written {};
  if (::fstat(temp.get(), &written) != 0 ||
      ::rename(temp_path.c_str(), store_file(s.folder).c_str()) != 0) {
    ::unlink(temp_path.c_str());
    return PVO_E_WRITE;
  }

  // The new state is in place for every reader from here on.
  hold(s, std::move(merged), written, std::move(temp));
  s.pending.clear();

  // The rename itself is durable only once the folder is synced.
  UniqueFd folder(::open(s.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid() || ::fsync(folder.get()) != 0) return PVO_E_WRITE;
  return PVO_OK;
}

// Records a set of `key` to `value` (nullptr: an unset) among the process's
// pending changes.
int stage_change(const char* key, const char* value) {
  StoreState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  try {
    follow_location(s);
    if (value != nullptr) {
      s.pending[key] = std::string(value);
    } else {
      s.pending[key] = std::nullopt;
    }
    return PVO_OK;
  } catch (const std::bad_alloc&) {
    return PVO_E_NOMEM;
  }
}

}  // namespace

extern "C" {

PVO_EXPORT int pvoGet(const char* key, char** value) {
  if (value == nullptr) return PVO_E_INVAL;
  int rc = check_key(key);
  if (rc != PVO_OK) return rc;
  StoreState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  try {
    follow_location(s);
    const std::string* found = nullptr;
    auto p = s.pending.find(key);
    if (p != s.pending.end()) {
      if (!p->second) return PVO_OK;
      found = &*p->second;
    } else {
      rc = refresh(s);
      if (rc != PVO_OK) return rc;
      auto c = s.committed.find(key);
      if (c == s.committed.end()) return PVO_OK;
      found = &c->second;
    }
    char* copy = static_cast<char*>(std::malloc(found->size() + 1));
    if (copy == nullptr) return PVO_E_NOMEM;
    std::memcpy(copy, found->c_str(), found->size() + 1);
    *value = copy;
    return PVO_OK;
  } catch (const std::bad_alloc&) {
    return PVO_E_NOMEM;
  }
}

PVO_EXPORT int pvoSet(const char* key, const char* value) {
  int rc = check_key(key);
  if (rc != PVO_OK) return rc;
  if (value == nullptr) return PVO_E_INVAL;
  if (::strnlen(value, PVO_MAX_VALUE_LENGTH + 1) > PVO_MAX_VALUE_LENGTH) return PVO_E_VALLEN;
  return stage_change(key, value);
}

PVO_EXPORT int pvoUnset(const char* key) {
  int rc = check_key(key);
  if (rc != PVO_OK) return rc;
  return stage_change(key, nullptr);
}

PVO_EXPORT int pvoCommit(void) {
  StoreState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  try {
    follow_location(s);
    return commit_locked(s);
  } catch (const std::bad_alloc&) {
    return PVO_E_NOMEM;
  }
}

PVO_EXPORT int pvoList(pvo_visit_fn visit, void* context) {
  if (visit == nullptr) return PVO_E_INVAL;
  pvo::Entries view;
  {
    StoreState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    try {
      follow_location(s);
      int rc = refresh(s);
      if (rc != PVO_OK) return rc;
      view = s.committed;
      for (const auto& [key, value] : s.pending) {
        if (value)
          view[key] = *value;
        else
          view.erase(key);
      }
    } catch (const std::bad_alloc&) {
      return PVO_E_NOMEM;
    }
  }
  // The visitor runs without the lock so that it may call back in.
  for (const auto& [key, value] : view) {
    int rc = visit(key.c_str(), value.c_str(), context);
    if (rc != 0) return rc;
  }
  return PVO_OK;
}

PVO_EXPORT const char* pvoStrerror(int code) {
  switch (code) {
    case PVO_OK: return "success";
    case PVO_E_INVAL: return "invalid argument";
    case PVO_E_KEYLEN: return "key too long";
    case PVO_E_VALLEN: return "value too long";
    case PVO_E_NOMEM: return "out of memory";
    case PVO_E_READ: return "cannot read the store";
    case PVO_E_CORRUPT: return "the store file is corrupt";
    case PVO_E_WRITE: return "cannot write the store";
    case PVO_E_LOCK: return "cannot lock the store";
    default: return "unknown error";
  }
}

}  // extern "C"
