// The packets that introduce the agent on a new zelbroker link:
//
//   hello:            00|01  01  L (u16 BE)  agent id text | token bytes
//   broker keepalive: 0A 01 00 0C  first (u32 BE) second (u32 BE) third (u32 BE)
//
// A hello carries the advisor's decoded token when there is one (type 1),
// otherwise the agent id from the configuration (type 0).
//
// Threading: called on the broker thread; no state of their own.
#pragma once

#include <cstddef>
#include <cstdint>

struct connection;

// Writes the hello whole (connection_write_before, bounded by the step
// limit and a stop) and returns its result (bytes written, or negative). With `token` null the agent id is read from
// `zel_agent_id`; when it is absent (not registered yet) nothing is written
// and -1 is returned (logged), so the link fails and is tried again later; a
// failed allocation ends the process with exit status 1. An id or token
// longer than 65,535 bytes cannot be framed: it is logged and -1 returned
// without writing.
int send_hello(connection* conn, const std::uint8_t* token, std::size_t token_length);

// Writes the 16-byte keepalive packet the same way and returns
// its result (bytes written, or negative; -1 for a null connection).
int send_broker_keepalive(connection* conn, std::uint32_t first, std::uint32_t second,
                          std::uint32_t third);
