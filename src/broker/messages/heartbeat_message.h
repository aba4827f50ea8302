// The heartbeat exchange of the zelbroker link. The agent numbers its
// heartbeats from 1; the zelbroker answers each with the number it received.
// The two numbers live for the whole process and are never reset, not even
// across reconnections, so a heartbeat check compares like with like.
//
//   heartbeat (agent -> zelbroker), 20 bytes:
//     0B 01 00 10 | sequence number (u64 BE) | send time, s since 1970 (i64 BE)
//   heartbeat response (zelbroker -> agent), one 16-byte part:
//     0C 01 00 10 | answered number (u64 BE) | 8 bytes the agent does not read
//
// Threading: send_heartbeat and handle_heartbeat_response run on the broker
// thread; the two numbers may be read from any thread (the heartbeat timer
// reads them while the broker thread writes them; they are atomic 64-bit
// values because a plain 64-bit load is not atomic on the 32-bit target).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct connection;

constexpr std::size_t kHeartbeatPayloadSize = 16;
constexpr std::size_t kHeartbeatPacketSize = 20;
constexpr std::size_t kHeartbeatResponseSize = 16;

// Adds 1 to the last sent number (even for a null connection), builds the
// heartbeat with that number and the current time and writes it whole
// (connection_write_before: bounded by the step limit and a stop). Returns the write result (bytes written, or negative),
// or -1 for a null connection.
int send_heartbeat(connection* conn);

// Handles one part of a heartbeat response: a part of 16 bytes records its
// first 8 bytes (u64 BE) as the last answered number; any other size is
// logged and ignored. Returns 0.
int handle_heartbeat_response(const std::uint8_t* part, std::size_t length);

// The last sent and the last answered sequence numbers (0 before the first).
std::uint64_t heartbeat_last_sent();
std::uint64_t heartbeat_last_answered();

// The 20-byte heartbeat packet for `sequence` sent at `now` (seconds since
// 1970, sign-extended from a 32-bit clock).
std::vector<std::uint8_t> build_heartbeat_packet(std::uint64_t sequence, std::int64_t now);
