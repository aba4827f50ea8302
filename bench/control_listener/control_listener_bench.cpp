// Control round trips against a running agent core: the control listener on
// 127.0.0.1:14369 with a loaded agent context, executing
// pause_connections / resume_connections pairs (each stops the broker link,
// holds and releases the cloud requests and applies the link's run rules,
// reading the store as the agent does).
//
//   BM_RoundTripInProcess   the minimal client: connect, send the request,
//                           half-close, read the reply, close
//   BM_RoundTripControlTool the whole process run of zelagent_control (fork,
//                           exec, its own start-up and log file) per request
//
// Each iteration is one pair (two round trips); the "round_trips/s" counter
// gives the rate. Nothing else may listen on the control port meanwhile.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cloud/logic.h"
#include "config/config.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "log/log.h"
#include "support/test_support.h"

namespace {

constexpr const char* kPause = R"({"command":"pause_connections"})";
constexpr const char* kResume = R"({"command":"resume_connections"})";
constexpr int kRoundTripsPerPair = 2;
// The cloud is never asked: pause and resume without a reason to run the
// link touch no URL, but the context needs all four to load.
constexpr const char* kUnusedUrl = "https://127.0.0.1:9/unused";

class RunningAgent {
 public:
  RunningAgent() {
    ::setenv("PVO_STORE", dir_.file("store").c_str(), 1);
    log_level = kLogSilent;
    log_to_console = 0;
    for (const char* key : {kKeyRegisterUrl, kKeyClaimedUrl, kKeyDiscoveryUrl, kKeyAdvisorUrl}) {
      config_set(key, kUnusedUrl);
    }
    config_set(kKeyAgentId, "AGENT-BENCH");
    config_set(kKeyAgentClaimCode, "CLAIM");
    if (load_agent_context(context_) != 0) throw std::runtime_error("agent context");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    exit_read_ = fds[0];
    exit_write_ = fds[1];
    listener_ = start_control_listener(&context_, exit_read_);
    if (!zeltest::wait_until([] { return control_listener_listening() == 1; })) {
      throw std::runtime_error("the control port is taken");
    }
  }
  ~RunningAgent() {
    const char byte = 'x';
    (void)!::write(exit_write_, &byte, 1);
    listener_.join();
    ::close(exit_read_);
    ::close(exit_write_);
    release_agent_context(context_);
  }
  std::string log_path() const { return dir_.file("control.log"); }

 private:
  zeltest::TempDir dir_;
  agent_context context_;
  int exit_read_ = -1;
  int exit_write_ = -1;
  std::thread listener_;
};

RunningAgent& agent() {
  static RunningAgent instance;
  return instance;
}

// The minimal client: one request, one reply. Returns the result code.
int round_trip(const char* request) {
  const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kControlPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int code = kResultCommunication;
  if (::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::size_t length = std::char_traits<char>::length(request);
    char reply[kReplyBufferSize] = {};
    if (::send(sock, request, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) &&
        ::shutdown(sock, SHUT_WR) == 0 && ::recv(sock, reply, sizeof reply - 1, 0) > 0) {
      code = parse_reply(reply);
    }
  }
  ::close(sock);
  return code;
}

void BM_RoundTripInProcess(benchmark::State& state) {
  agent();
  for (auto _ : state) {
    if (round_trip(kPause) != kResultOk || round_trip(kResume) != kResultOk) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kRoundTripsPerPair), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RoundTripInProcess)->UseRealTime();

void BM_RoundTripControlTool(benchmark::State& state) {
  RunningAgent& running = agent();
  const char* from_env = std::getenv("ZEL_BUILD_DIR");
  const std::string tool = std::string(from_env != nullptr ? from_env : ZEL_BENCH_BUILD_DIR) +
                           "/src/control/zelagent_control";
  const std::vector<std::string> pause = {tool, "--log_file", running.log_path(), "-c", "pause_connections"};
  const std::vector<std::string> resume = {tool, "--log_file", running.log_path(), "-c", "resume_connections"};
  for (auto _ : state) {
    if (zeltest::run_program(pause).status != 0 || zeltest::run_program(resume).status != 0) {
      state.SkipWithError("the control tool failed");
      break;
    }
  }
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kRoundTripsPerPair), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RoundTripControlTool)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
