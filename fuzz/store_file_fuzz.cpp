// Fuzzes the reader of the store file, the one file the agent reads back
// from flash after any power cut: a torn or flipped file must be refused
// whole, never half read. A file that is accepted must be exactly the file
// its entries are written as (the format has one spelling per content).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "pvo_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  const std::string_view file(reinterpret_cast<const char*>(data), size);

  pvo::Entries entries{{"untouched", "yes"}};
  const pvo::Entries before = entries;
  if (!pvo::parse_store(file, &entries)) {
    if (entries != before) std::abort();  // a refused file changes nothing
    return 0;
  }
  if (pvo::serialize_store(entries) != file) std::abort();
  for (const auto& [key, value] : entries) {
    if (key.empty() || key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
      std::abort();
    }
  }
  return 0;
}
