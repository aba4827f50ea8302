// The fault and soak tests' view of a running agent: the end-to-end harness
// (the real zelagent, the simulator's zelbroker, recording local handlers,
// the real zelagent_control) with a zelCloud of our own in place of the
// simulator's, so that every cloud request can be made to fail on command
// (500, garbage, no answer, a cut answer, slower than the time-outs) and be
// answered normally again.
//
// Also: the resources of the agent process (descriptors, threads, resident
// memory) read from /proc, and the run lengths, short by default (the test
// command) and long when scripts/soak.sh sets them in the environment.
//
// Every test that uses it runs an agent, which binds the control port: such
// tests pass RESOURCE_LOCK control_port.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/agent_harness.h"
#include "fakes/fake_zelcloud.h"

namespace soaktest {

inline constexpr const char* kAgentId = "SOAK-AGENT-1";
inline constexpr const char* kClaimCode = "SOAK-CLAIM-1";

// Resident memory is compared only where the allocator is the system's:
// AddressSanitizer keeps freed memory in quarantine and ThreadSanitizer
// shadows every byte, so there it grows by design (LeakSanitizer checks the
// agent's exit instead).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// An integer run length from the environment variable `name`, or
// `short_default` when it is unset or not a positive number.
int soak_setting(const char* name, int short_default);

// What a process holds, read from /proc/<pid>.
struct ProcessResources {
  int descriptors = 0;
  int threads = 0;
  long resident_kib = 0;
};
std::optional<ProcessResources> process_resources(pid_t pid);
std::string describe(const ProcessResources& resources);

// How the zelCloud misbehaves.
enum class CloudFault {
  kNone,               // normal answers
  kServerError,        // 500 with an error body
  kGarbage,            // 200 with a body that is not JSON
  kRawGarbage,         // bytes that are not HTTP at all, then close
  kNoAnswer,           // read the request, close without answering
  kCutAnswer,          // status line and headers announcing a body, then close
  kStall,              // hold the request past the agent's time-out
};
const char* fault_name(CloudFault fault);

class SoakAgent : public agenttest::AgentEndToEnd {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Every request whose path begins with `path_prefix` ("" for all) gets
  // `fault` from now on; kNone restores the normal answers (and releases
  // stalled requests).
  void set_cloud_fault(CloudFault fault, const std::string& path_prefix = "");
  // Whether the cloud says the device is claimed.
  void set_claimed(bool claimed);
  // Requests our cloud saw for paths beginning with `path_prefix`.
  std::size_t cloud_requests(const std::string& path_prefix) const;

  // The agent's resources now (the agent must be running).
  ProcessResources agent_resources() const;
  // A control request through the control tool is answered 0: the listener
  // serves requests (send_discovery with discovery disabled, which changes
  // nothing).
  bool control_serves() const;
  // The newest zelbroker link is open and its hello has arrived.
  bool linked_on(std::size_t link) const;

  std::unique_ptr<zeltest::FakeZelCloud> cloud;

 private:
  zeltest::FakeAnswer answer(const zeltest::RecordedRequest& request);

  mutable std::mutex fault_mutex;  // guards fault and fault_prefix
  CloudFault fault = CloudFault::kNone;
  std::string fault_prefix;
  std::atomic<bool> claimed{false};
};

}  // namespace soaktest
