// Helpers for the nvram store tests: a private store folder per test and
// running the `pvo` tool as another process.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace pvotest {

// A fresh store folder, named by PVO_STORE for this process while it lives.
class StoreDir {
 public:
  StoreDir();
  ~StoreDir();
  StoreDir(const StoreDir&) = delete;
  StoreDir& operator=(const StoreDir&) = delete;
  const std::string& path() const { return dir_.path(); }
  std::string store_file() const { return dir_.file("store"); }

 private:
  zeltest::TempDir dir_;
};

struct ToolResult {
  int status = -1;     // exit status, or -1 when it did not exit normally
  std::string out;     // everything written to standard output
  std::string err;     // everything written to standard error
};

// Runs the built `pvo` tool with `args` against the store folder `store`.
ToolResult run_tool(const std::string& store, const std::vector<std::string>& args);

// The value of `key` as this process sees it; "<unset>" or "<error N>".
std::string get(const char* key);

}  // namespace pvotest
