// An HTTP proxy's answer to CONNECT (after 4 bytes seeding the cut points):
// the scan for its end gives the same verdict whichever pieces it came in,
// and both exchanges (plain, Basic credentials) run against it.
#include "broker/proxy.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t* data, std::size_t size, const std::string&) {
  std::uint32_t cuts = 0;
  if (!zelfuzz::take_cuts(data, size, &cuts)) return;
  const std::string answer(reinterpret_cast<const char*>(data), size);
  http_answer_scan whole, pieces;
  std::string gathered;
  bool complete = false;
  while (gathered.size() < answer.size() && !complete) {
    gathered.append(answer, gathered.size(), zelfuzz::next_piece(cuts, answer.size() - gathered.size()));
    complete = http_answer_complete(gathered, &pieces);
  }
  // Complete in pieces means complete whole; no body starts before the header ends.
  if (complete && !http_answer_complete(answer, &whole)) std::abort();
  if (pieces.has_length && pieces.expected_total < static_cast<long long>(pieces.header_end + 4)) std::abort();

  zelfuzz::ScriptedPeer plain(data, size);
  (void)http_proxy_connect(plain.connection(), "broker.example", 443, nullptr);
  zelfuzz::ScriptedPeer basic(data, size);
  (void)http_proxy_connect_basic(basic.connection(), "broker.example", 443, "user", "secret");
}
