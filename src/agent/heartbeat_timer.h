// The heartbeat timer: on each tick it checks that the zelbroker answered the
// previous heartbeat (check_heartbeat, which drops the link when it did not)
// and asks the broker thread for a new one (send_heartbeat_command). Its
// period is the advisor's agentHeartbeat when the advisor gave a positive
// one, else kDefaultHeartbeatSeconds.
//
// The timer checks only a heartbeat that actually went out since its previous
// tick. The heartbeat numbers are never reset, so a heartbeat lost with a
// broken link stays unanswered for ever; checking it again on every tick
// would drop every new link, and a check that drops the link also discards
// the heartbeat requested after it, so the numbers would never meet again.
// The timer therefore checks once per heartbeat sent, and in a tick whose
// check dropped the link it requests no heartbeat (the link is going away).
//
// Usage (the agent's main loop):
//
//   heartbeat_timer timer;
//   for (;;) {
//     wait for a signal, at most heartbeat_period_seconds(context.agent_heartbeat);
//     timer.tick();
//   }
//
// Threading: one thread ticks the timer; the functions it calls may be
// called from any thread.
#pragma once

#include <cstdint>

// Period used until (and unless) the advisor gives a positive agentHeartbeat.
inline constexpr std::int32_t kDefaultHeartbeatSeconds = 60;

// The tick period in seconds for the advisor's agentHeartbeat value.
std::int32_t heartbeat_period_seconds(std::int32_t advisor_heartbeat);

class heartbeat_timer {
 public:
  // One tick: the check (when due) and the request for a new heartbeat.
  void tick();

 private:
  bool requested_ = false;
  std::uint64_t sent_before_ = 0;
};
