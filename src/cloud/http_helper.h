// The HTTPS client of the agent: every request to the zelCloud (registration,
// claim status, discovery, advisor) goes through here. Each request builds one
// libcurl easy handle with the time-outs, proxy, certificate checks and TLS 1.2
// floor that the settings ask for, collects the response headers and body,
// and throws the handle away. A process-wide share object lets consecutive
// requests reuse DNS answers and TLS sessions.
//
// Usage:
//
//   init_shared_curl();                       // once, at start-up
//   long status = 0;
//   http_buffer header, body;
//   int rc = http_post_json(url, context, json, status, header, body);
//   if (rc == kHttpOk && status == 201) { ... body ... }
//   clean_shared_curl();                      // once, at shut-down
//
// The peer's certificate is always verified: against `ca_file` / `ca_path`
// when set (non-empty), else against libcurl's default trust store, and its name must
// match the host of the URL. The requests carry the device's agent id and
// claim code, so they never go to an unverified peer.
//
// Threading: the request operations may be called from any thread; one
// request mutex lets only one run at a time, for its whole duration,
// including its wait while requests are paused, so every later request queues
// behind a paused one. The pause operations may be called from any thread.
// No request outlasts the agent's stop, the pause or its thread's abandon
// flag by much more than a second (see kGiveUpCheckMs).
// init_shared_curl and clean_shared_curl run while no request is under way.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

class agent_context;  // logic.h

// A growing response buffer (raw header lines, status line included, each
// ending in CR LF; or the body). Starts empty; owned by the caller.
using http_buffer = std::string;

// The most a cloud reply may bring: its headers and its body each. The
// replies are small JSON documents; a reply that grows past the cap is cut
// off (ERROR naming the URL and the cap) and the request fails as a failed
// transfer, so that a broken or hostile peer cannot fill the device's memory.
constexpr std::size_t kCloudReplyMaxBytes = 64 * 1024;

// Trust anchors shared with the TLS layer of the broker link, which defines
// them (broker/ssl_routine.h): a PEM file and a hashed certificate directory.
// Empty means unset. Set by the agent's start-up code before any other thread
// runs; only read afterwards.
extern std::string ca_file;
extern std::string ca_path;

// Results of http_post_json. They line up with the control result codes, so
// the discovery request hands them to the control tool unchanged.
constexpr int kHttpOk = 0;
constexpr int kHttpTimeout = -4;        // "transfer timeout": retry later
constexpr int kHttpUnresolved = -7;     // "cannot resolve zelcloud address"
constexpr int kHttpRefused = -8;        // "cannot connect to zelcloud - connection refused"
constexpr int kHttpOtherFailure = 1;    // TLS failure, proxy failure, no handle, stop, ...
constexpr int kHttpPaused = -10;        // "would block": ended or refused by the pause

// How often a request that waits (for its turn or for a resume) looks at
// the agent's stop, its thread's abandon flag and the pause. A transfer
// hears of them through libcurl's progress callback, which libcurl calls at
// least about once a second.
constexpr int kGiveUpCheckMs = 200;
// Result of http_get_with_header / http_get on any transport failure.
constexpr int kHttpGetFailure = -1;

// Makes the share object (DNS cache and TLS session cache). Returns 0, or -1
// when it cannot be made or configured; requests then run without it.
int init_shared_curl();

// Releases the share object (if any), then libcurl's global state.
void clean_shared_curl();

// POSTs `body` as application/json to `url`, with "Authorization" when the
// context's identity has both an agent id and a claim code. Returns kHttpOk
// with `status` set to the HTTP status (4xx and 5xx included: the caller
// judges it), or kHttpTimeout, kHttpUnresolved, kHttpRefused, kHttpPaused
// (a pause ended it, or refused it, see http_refuse_requests_while_paused)
// or kHttpOtherFailure with `status` untouched (kHttpOtherFailure also when
// the headers or the body pass kCloudReplyMaxBytes, and when it gave up on
// a stop). `header` and
// `response_body` receive what arrived (appended).
int http_post_json(const std::string& url, const agent_context& context, const std::string& body,
                   long& status, http_buffer& header, http_buffer& response_body);

// GETs `url` with "Authorization" as above and then `extra_header` (a whole
// header line such as "X-Carrier-ID: 42") when given. Returns 0 with `status`
// set, or kHttpGetFailure (-1) on any transport failure with `status` untouched.
int http_get_with_header(const std::string& url, const agent_context& context,
                         const std::optional<std::string>& extra_header, long& status,
                         http_buffer& header, http_buffer& response_body);

// http_get_with_header without an extra header.
int http_get(const std::string& url, const agent_context& context, long& status, http_buffer& header,
             http_buffer& response_body);

// Holds every request that has not started its transfer yet until
// resume_http_requests, and aborts the transfers under way: a POST then
// returns kHttpPaused (-10), a GET kHttpGetFailure (WARNING "Cloud request
// aborted: cloud requests are paused. url='...'").
void pause_http_requests();

// Lets held requests go on, then wakes every sleeper of the sleep gate
// (wake_sleepers), so retry waits of other threads end at once as well.
void resume_http_requests();

// 1 while requests are paused, else 0.
int32_t http_requests_paused();

// Makes the calling thread's requests give up once `flag` reads 0: a wait
// for the pause or for another request's turn ends without sending
// anything, a transfer under way is aborted; they fail with
// kHttpOtherFailure (kHttpGetFailure for a GET). The broker thread passes
// keep_connection, so that its stop never waits for a resume that the
// stopping thread itself would have to serve, nor for a peer that hangs.
// nullptr turns it off. Every request gives up the same way once
// agent_stop_requested() (daemon/daemon.h).
void http_abandon_requests_when_cleared(const std::atomic<int>* flag);

// Makes the calling thread's requests (with `refuse` true) give up rather
// than wait for a resume: a POST that finds the requests paused, before or
// while it waits for its turn, returns kHttpPaused (-10) without sending.
// The control worker sets it: its clients wait for their answers.
void http_refuse_requests_while_paused(bool refuse);

// Wakes the requests waiting for the pause or for their turn, so that they
// look at their abandon flag again (called after the flag is cleared).
void http_wake_waiting_requests();

// Seams for the tests only.
namespace http_testing {
// Number of threads inside a request operation (waiting for the request
// mutex, held by the pause, or transferring).
int requests_in_progress();
// Number of requests currently held by the pause.
int requests_held_by_pause();
}  // namespace http_testing
