// Replays every fuzz target's seed corpus, one test per target: each seed goes
// to the target's entry point (named zelfuzz_<target> in this build) as from
// libFuzzer, so a seed that once crashed a parser keeps the fault away.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>

#include "support/test_support.h"

using FuzzEntry = int(const std::uint8_t* data, std::size_t size);

static void replay(const std::string& target, FuzzEntry* entry) {
  const std::filesystem::directory_iterator corpus(ZEL_FUZZ_CORPUS "/" + target);
  const std::set<std::filesystem::path> seeds(begin(corpus), end(corpus));  // in name order
  ASSERT_FALSE(seeds.empty());
  for (const auto& seed : seeds) {
    std::fprintf(stderr, "replaying %s\n", seed.c_str());  // names the seed should it crash
    const std::string bytes = zeltest::read_file(seed.string());
    const std::uint8_t none = 0;  // libFuzzer never passes a null pointer
    EXPECT_EQ(entry(bytes.empty() ? &none : reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0)
        << seed;
  }
}

// The table of targets: each corpus folder with its entry point.
#define ZEL_REPLAY(target)                   \
  extern "C" FuzzEntry zelfuzz_##target;     \
  TEST(FuzzReplay, target) { replay(#target, zelfuzz_##target); }
ZEL_REPLAY(base64) ZEL_REPLAY(cloud_reply) ZEL_REPLAY(control_request) ZEL_REPLAY(control_tool_args)
ZEL_REPLAY(handler_line) ZEL_REPLAY(http_answer) ZEL_REPLAY(packet_reader) ZEL_REPLAY(socks)
ZEL_REPLAY(store_file) ZEL_REPLAY(str_to_uint32)
