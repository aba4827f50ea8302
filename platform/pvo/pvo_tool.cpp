// pvo: reads and writes the nvram store from a shell, the way an integrator
// sets the agent's zel_ keys on a host.
//
//   pvo get KEY          print the value and a newline
//   pvo set KEY VALUE    set and commit
//   pvo unset KEY        remove and commit
//   pvo list             print every key as KEY=VALUE, one per line
//
// In `list`, a backslash, a newline, a carriage return, a tab and other
// control bytes in keys and values are written as \\, \n, \r, \t and \xHH, and
// '=' in a key as \=, so that each entry stays on one line and the first
// unescaped '=' ends the key. `get` prints the value as stored.
//
// Exit status: 0 success, 1 key not set (get), 2 usage error, 3 store error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "pvo.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotSet = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStoreError = 3;
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7f;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

int usage() {
  std::fputs(
      "usage: pvo get KEY\n"
      "       pvo set KEY VALUE\n"
      "       pvo unset KEY\n"
      "       pvo list\n"
      "The store is the folder named by " PVO_STORE_ENV " (default " PVO_DEFAULT_STORE ").\n",
      stderr);
  return kExitUsage;
}

int store_error(const char* what, int code) {
  std::fprintf(stderr, "pvo: %s: %s\n", what, pvoStrerror(code));
  return kExitStoreError;
}

std::string escape(const char* text, bool is_key) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '=':
        out += is_key ? "\\=" : "=";
        break;
      default:
        if (c < kFirstPrintable || c == kDelete) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

int print_entry(const char* key, const char* value, void*) {
  std::string line = escape(key, true) + "=" + escape(value, false) + "\n";
  return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() ? 0 : 1;
}

int do_get(const char* key) {
  char* raw = nullptr;
  int rc = pvoGet(key, &raw);
  std::unique_ptr<char, FreeDeleter> value(raw);
  if (rc < 0) return store_error(key, rc);
  if (!value) {
    std::fprintf(stderr, "pvo: %s: not set\n", key);
    return kExitNotSet;
  }
  std::fputs(value.get(), stdout);
  std::fputc('\n', stdout);
  return kExitOk;
}

int commit(const char* key) {
  int rc = pvoCommit();
  return rc < 0 ? store_error(key, rc) : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  int status = kExitUsage;
  if (command == "get" && argc == 3) {
    status = do_get(argv[2]);
  } else if (command == "set" && argc == 4) {
    int rc = pvoSet(argv[2], argv[3]);
    status = rc < 0 ? store_error(argv[2], rc) : commit(argv[2]);
  } else if (command == "unset" && argc == 3) {
    int rc = pvoUnset(argv[2]);
    status = rc < 0 ? store_error(argv[2], rc) : commit(argv[2]);
  } else if (command == "list" && argc == 2) {
    int rc = pvoList(print_entry, nullptr);
    if (rc < 0) status = store_error("list", rc);
    else status = rc == 0 ? kExitOk : kExitStoreError;
  } else {
    return usage();
  }
  if (std::fflush(stdout) != 0 && status == kExitOk) {
    std::perror("pvo: stdout");
    status = kExitStoreError;
  }
  return status;
}
