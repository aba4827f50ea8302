// The store file, read back from flash after any power cut: a torn or
// flipped file is refused whole and changes nothing, and an accepted file is
// exactly how its entries are written (one spelling per content).
#include <string_view>

#include "fuzz_support.h"
#include "pvo_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const pvo::Entries before{{"untouched", "yes"}};
  pvo::Entries entries = before;
  if (pvo::parse_store(file, &entries) ? pvo::serialize_store(entries) != file : entries != before) std::abort();
  return 0;
}
