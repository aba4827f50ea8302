// Control requests from the zelbroker, addressed to the agent's own handler
// name (zel_agent_handler_name).
#include "control_listener/incoming_requests.h"

#include <mutex>
#include <utility>

#include "cloud/json_helper.h"
#include "common/unique_fd.h"
#include "config/config.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "control_listener/control_worker.h"
#include "delivery/message_sender.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "incoming_requests";

std::mutex agent_handler_name_mutex;                   // guards cached_agent_handler_name
std::optional<std::string> cached_agent_handler_name;  // set once found, then kept

}  // namespace

std::optional<std::string> agent_handler_name() {
  std::lock_guard<std::mutex> lock(agent_handler_name_mutex);
  if (!cached_agent_handler_name) cached_agent_handler_name = config_get_string(kKeyAgentHandlerName);
  return cached_agent_handler_name;
}

int execute_incoming_request(const void* payload, std::size_t length, agent_context* context) {
  if (context == nullptr) {
    // The broker thread stores the context when it starts; a request cannot
    // be carried out without it.
    ZLOG(kLogError, "No agent context yet: control request refused.\n");
    return -1;
  }
  // The payload carries no terminator of its own: the copy ends after exactly
  // `length` bytes.
  const std::string text = payload != nullptr ? std::string(static_cast<const char*>(payload), length) : std::string();
  control_request request;
  int result = -1;
  if (parse_control_request(text.c_str(), request) != 0) {
    ZLOG(kLogError, "Cannot parse incoming request.\n");
  } else {
    // A command that waits on the zelCloud runs on the control worker: the
    // message thread goes on with the next message (0: handed over).
    UniqueFd no_client;
    result = run_control_request(std::move(request), *context, no_client).value_or(kResultOk);
  }
  free_control_request(request);
  return result;
}

bool deliver_to_agent_handler(const char* handler_name, const void* payload, std::size_t length, int* result) {
  if (handler_name == nullptr) return false;
  const std::optional<std::string> own = agent_handler_name();
  if (!own || *own != handler_name) return false;
  const int outcome = execute_incoming_request(payload, length, message_sender_agent_context());
  if (result != nullptr) *result = outcome;
  return true;
}

void install_agent_handler_check() { set_own_handler_hook(deliver_to_agent_handler); }
