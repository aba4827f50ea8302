// The control commands. Each handler works only through the operations of the
// broker link, the cloud client and the discovery scheduler; the order of
// those calls is part of the contract: a pause stops the link before it
// holds the cloud requests, a resume releases the requests (and wakes the
// sleeping threads) before it decides whether to restart the link.
#include "control_listener/control_listener_command.h"

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "control/control_protocol.h"
#include "control_listener/discovery.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "control_listener_command";

constexpr std::int32_t kClaimed = 1;
constexpr std::int32_t kNotClaimed = 0;
constexpr std::uint32_t kDiscoveryInUse = 1;

bool broker_meant_to_run() { return keep_connection.load() != 0; }

bool requests_paused() { return http_requests_paused() == 1; }

}  // namespace

int handle_send_discovery(const discovery_request& request, agent_context& context) {
  const identity id = context.current_identity();
  if (!id.agent_id || id.agent_id->empty()) {
    ZLOG(kLogWarning, "Cannot send discovery before the agent is registered.\n");
    return kResultBusy;
  }
  if (requests_paused()) return kResultWouldBlock;
  if (request.carrier_id) context.set_carrier_id(*request.carrier_id);
  return push_discovery(&request, &context);
}

int handle_on_claim(const std::string& service, std::int32_t value, agent_context& context) {
  ZLOG(kLogDebug, "On claim! Claimed? %d, service id is %s\n", static_cast<int>(value), log_escape(service).c_str());
  if (!broker_meant_to_run()) start_broker_thread(&context);
  // A claim always marks the device claimed, whatever "claimed" said.
  update_claimed(kClaimed);
  notify_service(service, kClaimed);
  return kResultOk;
}

int handle_on_moravault(const std::string& service, std::int32_t value, agent_context& context) {
  ZLOG(kLogDebug, "On moravault: %d, service id is %s\n", static_cast<int>(value), log_escape(service).c_str());
  if (!broker_meant_to_run()) start_broker_thread(&context);
  return kResultOk;
}

int handle_on_release(const std::string& service, std::int32_t value, agent_context& context) {
  ZLOG(kLogDebug, "On release! Claimed? %d, service id is %s\n", static_cast<int>(value), log_escape(service).c_str());
  if (value == kClaimed) {
    // The device stays claimed.
    if (!broker_meant_to_run()) {
      start_broker_thread(&context);
      update_claimed(kClaimed);
    }
  } else {
    if (use_discovery() == kDiscoveryInUse) {
      if (requests_paused()) {
        ZLOG(kLogError, "Send discovery to server would block.\n");
        return kResultWouldBlock;
      }
      discovery_request request;  // discovery time 0: the default window
      request.service = service;
      // Its result is not the command's, except for a pause that came while
      // it was under way: then nothing changes, as for a release refused
      // while paused.
      if (push_discovery(&request, &context) == kResultWouldBlock) {
        ZLOG(kLogError, "Send discovery to server would block.\n");
        return kResultWouldBlock;
      }
      // The link comes up even when the discovery failed.
      if (!broker_meant_to_run()) start_broker_thread(&context);
    } else if (broker_meant_to_run()) {
      stop_broker_thread_unless_forced();
    }
    update_claimed(kNotClaimed);
  }
  notify_service(service, kNotClaimed);
  return kResultOk;
}

int handle_resume_connections(const std::optional<std::string>& carrier, agent_context& context) {
  ZLOG(kLogDebug, "Starting connections.\n");
  if (carrier) context.set_carrier_id(*carrier);
  resume_http_requests();
  start_broker_thread_if_allowed(&context);
  return kResultOk;
}

int handle_pause_connections() {
  ZLOG(kLogDebug, "Stop connections.\n");
  stop_broker_thread();
  pause_http_requests();
  return kResultOk;
}
