// Fuzzes the reading of an HTTP proxy's answer to CONNECT: the scan that
// decides when an answer is complete (fed in arbitrary pieces), and the whole
// exchange of http_proxy_connect and http_proxy_connect_basic against a peer
// that answers with the fuzz input. The 407 path ends at the reconnection,
// which has no proxy address to go to here.
//
// Input: 4 bytes seeding the cut points, then the proxy's answer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "broker/proxy.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kBrokerHost = "broker.example";
constexpr std::uint16_t kBrokerPort = 443;

// The scan must give the same verdict whichever pieces the answer came in.
void check_scan(const std::string& answer, std::uint32_t seed) {
  http_answer_scan whole;
  const bool whole_complete = http_answer_complete(answer, &whole);

  zelfuzz::SplitGenerator cuts(seed);
  http_answer_scan pieces;
  std::string gathered;
  bool complete = false;
  while (gathered.size() < answer.size() && !complete) {
    std::size_t piece = cuts.next_length(answer.size() - gathered.size());
    gathered.append(answer, gathered.size(), piece);
    complete = http_answer_complete(gathered, &pieces);
  }
  // A body length from the proxy never reaches back before the header end.
  if (pieces.has_length &&
      pieces.expected_total < static_cast<long long>(pieces.header_end + 4)) {
    std::abort();
  }
  // Complete in pieces means complete when whole: the answer only grows.
  if (complete && !whole_complete) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  std::uint32_t seed = 0;
  if (!zelfuzz::take_split_seed(data, size, seed)) return 0;

  check_scan(std::string(reinterpret_cast<const char*>(data), size), seed);
  {
    zelfuzz::ScriptedPeer proxy(data, size);
    (void)http_proxy_connect(proxy.connection(), kBrokerHost, kBrokerPort, nullptr);
  }
  {
    zelfuzz::ScriptedPeer proxy(data, size);
    (void)http_proxy_connect_basic(proxy.connection(), kBrokerHost, kBrokerPort, "user", "secret");
  }
  return 0;
}
