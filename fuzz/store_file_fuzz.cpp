// The store file, read back from flash after any power cut: a torn or
// flipped file is refused whole and changes nothing, and an accepted file is
// exactly how its entries are written (one spelling per content).
#include "fuzz_support.h"
#include "pvo_format.h"

static void fuzz_input(const std::uint8_t*, std::size_t, const std::string& file) {
  const pvo::Entries before{{"untouched", "yes"}};
  pvo::Entries entries = before;
  if (pvo::parse_store(file, &entries) ? pvo::serialize_store(entries) != file : entries != before) std::abort();
}
