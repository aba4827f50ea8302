// The readers of the zelCloud's replies (registration, claim status, advisor,
// keepalive strings): an accepted reply is complete, a refused one leaves no
// half-filled record, and keepalive values stay in the signed 32-bit range.
#include "cloud/json_helper.h"
#include "cloud/logic.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t*, std::size_t, const std::string& text) {
  identity id;
  const bool registered = parse_register_reply(text, id) == 0;
  if (registered != (id.agent_id && id.claim_code) || (!registered && id.agent_id)) std::abort();

  claim_reply claim;
  const bool claimed = parse_claim_reply(text, claim) == 0;
  if (claimed != (claim.type && claim.agent_id) || claim.claimed < 0 || claim.claimed > 1) std::abort();
  release_claim_reply(claim);

  agent_context context;
  advisor_reply advisor{};
  const bool advised = parse_advisor_reply(text, advisor, context) == 0;
  const bool connect = advisor.action == kAdvisorActionConnect && advisor.broker;
  const bool wait = advisor.action == kAdvisorActionWait && advisor.period >= 0;
  if (advised ? !connect && !wait : advisor.broker || advisor.token) std::abort();
  release_advisor_reply(advisor);

  std::uint32_t values[3] = {7, 7, 7};
  const bool read = parse_keepalive_string(text.c_str(), &values[0], &values[1], &values[2]) == 0;
  for (std::uint32_t value : values) {
    if (read ? value > 2147483647u : value != 7) std::abort();
  }
}
