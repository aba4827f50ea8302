// Fuzzes the readers of the zelCloud's replies: registration, claim status,
// advisor (with the keepalive strings it carries), and the keepalive string
// reader on its own.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cloud/json_helper.h"
#include "cloud/logic.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::uint32_t kKeepaliveUnset = 0xDEADBEEF;
constexpr std::uint32_t kSigned32Max = 2147483647;

void check_keepalive(const char* text) {
  std::uint32_t first = kKeepaliveUnset;
  std::uint32_t second = kKeepaliveUnset;
  std::uint32_t third = kKeepaliveUnset;
  int rc = parse_keepalive_string(text, &first, &second, &third);
  if (rc == 0) {
    // Every field is clamped into the signed 32-bit range of the target.
    if (first > kSigned32Max || second > kSigned32Max || third > kSigned32Max) std::abort();
  } else if (first != kKeepaliveUnset || second != kKeepaliveUnset || third != kKeepaliveUnset) {
    std::abort();  // a refused string leaves the outputs untouched
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  const std::string text(reinterpret_cast<const char*>(data), size);

  identity id;
  id.hardware_id = "fuzz-hardware";
  if (parse_register_reply(text, id) == 0) {
    if (!id.agent_id || !id.claim_code || !id.hardware_id) std::abort();
  } else if (id.agent_id || id.claim_code) {
    std::abort();  // a refused reply never leaves a half identity behind
  }

  claim_reply claim;
  if (parse_claim_reply(text, claim) == 0) {
    if (!claim.type || !claim.agent_id || (claim.claimed != 0 && claim.claimed != 1)) std::abort();
  } else if (claim.type || claim.agent_id) {
    std::abort();
  }
  release_claim_reply(claim);

  agent_context context;
  advisor_reply advisor{};
  if (parse_advisor_reply(text, advisor, context) == 0) {
    const bool connect = advisor.action == kAdvisorActionConnect && advisor.broker.has_value();
    const bool wait = advisor.action == kAdvisorActionWait && advisor.period >= 0;
    if (!connect && !wait) std::abort();
  } else if (advisor.broker || advisor.token) {
    std::abort();
  }
  release_advisor_reply(advisor);

  check_keepalive(text.c_str());
  return 0;
}
