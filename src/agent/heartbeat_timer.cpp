// The heartbeat timer's tick: check the previous heartbeat when one went
// out, then ask for the next.
#include "agent/heartbeat_timer.h"

#include "broker/messages/heartbeat_message.h"
#include "broker/zelbroker_connection.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "heartbeat_timer";

// What one tick does, decided from what the timer saw.
struct heartbeat_step {
  bool check = false;  // call check_heartbeat
  bool send = false;   // call send_heartbeat_command
};

// `link_wanted`: keep_connection is 1. `requested`: the previous tick's
// heartbeat request reached a connection. `sent_before`: the last sent
// number read just before that request. `sent_now`, `answered_now`: the two
// numbers now.
heartbeat_step decide_heartbeat_step(bool link_wanted, bool requested, std::uint64_t sent_before,
                                     std::uint64_t sent_now, std::uint64_t answered_now) {
  heartbeat_step step;
  if (!link_wanted) return step;
  // Only a heartbeat that went out since the previous tick is checked; a
  // request that found no connection, or that a closing link discarded,
  // sent nothing to wait for.
  step.check = requested && sent_now != sent_before;
  const bool check_drops_link = step.check && answered_now != sent_now;
  step.send = !check_drops_link;
  return step;
}

}  // namespace

std::int32_t heartbeat_period_seconds(std::int32_t advisor_heartbeat) {
  return advisor_heartbeat > 0 ? advisor_heartbeat : kDefaultHeartbeatSeconds;
}

void heartbeat_timer::tick() {
  const std::uint64_t sent_now = heartbeat_last_sent();
  const heartbeat_step step =
      decide_heartbeat_step(keep_connection.load() == 1, requested_, sent_before_, sent_now, heartbeat_last_answered());
  requested_ = false;
  if (step.check) check_heartbeat();
  if (!step.send) return;
  sent_before_ = heartbeat_last_sent();
  requested_ = send_heartbeat_command() == 0;
  if (!requested_) ZLOG(kLogDebug, "No zelbroker connection for a heartbeat now.\n");
}
