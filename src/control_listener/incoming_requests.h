// Control requests from the zelbroker: a plain message addressed to the
// handler name the agent itself answers to (zel_agent_handler_name) carries
// a control text, which is parsed and executed exactly as the control
// listener does (control_listener.h). The zelbroker gets no answer; the
// result is the delivery's result.
//
// Usage (start_control_listener does it):
//
//   install_agent_handler_check();   // the message sender now asks deliver_to_agent_handler first
//
// Threading: the check and the execution run on the message thread, beside
// the control listener's requests on its own thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

class agent_context;  // cloud/logic.h

// The agent's own handler name: the value of zel_agent_handler_name, cached
// once found (it then stays for the life of the process); while the key is
// unset it is read again on every call. std::nullopt while unset. Any thread.
std::optional<std::string> agent_handler_name();

// Copies `length` bytes of `payload` (null only with length 0), terminates
// the copy and parses it as a control request; executes it with `context`.
// Returns the control result code, or -1 when the text does not parse
// (ERROR "Cannot parse incoming request.\n") or when `context` is null (the
// broker thread has not stored the agent context yet: refused and logged).
// A command that may wait on the zelCloud is handed to the control worker
// (control_worker.h) and gives 0 (-1 when its queue is full).
int execute_incoming_request(const void* payload, std::size_t length, agent_context* context);

// The check at the head of deliver_message (delivery/message_sender.h's
// own_handler_hook): when the agent's own handler name is set and equals
// `handler_name` exactly, executes the payload with the agent context stored
// in the message sender (execute_incoming_request), stores the result
// through `result` and returns true; otherwise returns false and touches
// nothing.
bool deliver_to_agent_handler(const char* handler_name, const void* payload, std::size_t length,
                              int* result);

// Installs deliver_to_agent_handler as the message sender's hook (done by
// start_control_listener; idempotent). Any thread.
void install_agent_handler_check();
