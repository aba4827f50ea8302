// The agent under a service manager (Type=notify): a datagram socket of the
// test stands in for the manager, with a watchdog period of about a second.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "agent/agent_harness.h"
#include "control/control_protocol.h"

namespace agenttest {
namespace {

constexpr std::chrono::milliseconds kPeriod = 1000ms * ZEL_TEST_TIME_SCALE;

// The manager's end: bound to a path, or after '@' in the abstract namespace.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& address) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un bound{};
    bound.sun_family = AF_UNIX;
    std::memcpy(bound.sun_path, address.data(), std::min(address.size(), sizeof bound.sun_path - 1));
    if (address[0] == '@') bound.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&bound), length), 0) << address;
  }
  // The next datagram within `limit`; nullopt when none came.
  std::optional<std::string> next(std::chrono::milliseconds limit) const {
    pollfd ready{fd_.get(), POLLIN, 0};
    char text[512];
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
    const ssize_t count = ::recv(fd_.get(), text, sizeof text, 0);
    return count < 0 ? std::nullopt : std::optional<std::string>(std::string(text, static_cast<std::size_t>(count)));
  }

 private:
  UniqueFd fd_;
};

using Env = std::vector<std::pair<std::string, std::string>>;

// While an agent runs, every thread is kept busy (a control connection and a
// refresh report, to a handler program too, every quarter period), so each
// shows progress whatever its own idle wake-up; the broker link never runs.
TEST_F(AgentTest, ServiceManagerHearsReadyOnceThePortIsHeldAndKeepAlivesWhileEveryThreadMovesOn) {
  const std::string program = dir.file("env.sh");
  zeltest::write_file(program, "#!/bin/sh\ncat >/dev/null; env > " + dir.file("env.tmp") + " && mv " +
                                   dir.file("env.tmp") + " " + dir.file("env.txt") + "\n", 0755);
  set("zel_handler_event_sink", event_sink->endpoint() + "," + program);
  const struct { const char* name; std::string address; bool port_taken; const char* stalled; } rows[] = {
      {"control port taken", dir.file("taken.sock"), true, nullptr},
      {"healthy, abstract address", "@zelagent-notify-" + std::to_string(::getpid()), false, nullptr},
      {"message thread hung", dir.file("hung.sock"), false, "message"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const NotifySocket manager(row.address);
    const UniqueFd holder = row.port_taken ? zelsim::listen_loopback(kControlPort, 1) : UniqueFd();
    ASSERT_EQ(row.port_taken, holder.valid());
    Env env = {{"NOTIFY_SOCKET", row.address}, {"WATCHDOG_USEC", std::to_string(kPeriod.count() * 1000)}};
    if (row.stalled != nullptr) env.emplace_back("ZEL_TEST_STALLED_THREAD", row.stalled);
    agent = std::make_unique<zeltest::Process>(agent_argv(), dir.file("agent.out"), dir.file("agent.err"), env);
    if (row.port_taken) {
      EXPECT_EQ(agent->wait_exit(), 1);
      const std::string err = zeltest::read_file(dir.file("agent.err"));
      EXPECT_NE(err.find("cannot listen for control requests"), std::string::npos);
      EXPECT_EQ(manager.next(0ms), "STOPPING=1");  // and never READY=1
      continue;
    }
    ASSERT_EQ(manager.next(zeltest::kWaitLimit), "READY=1");
    const auto ready = std::chrono::steady_clock::now();
    EXPECT_TRUE(zeltest::connect_loopback(kControlPort));
    EXPECT_EQ(zeltest::read_file(pid_file()), std::to_string(agent->pid()) + "\n");
    int early = 0;  // keep-alives within two periods of READY=1, and later ones
    int late = 0;
    while (std::chrono::steady_clock::now() < ready + 5 * kPeriod) {
      zeltest::connect_loopback(kControlPort);
      agent->signal(SIGHUP);
      const std::optional<std::string> datagram = manager.next(kPeriod / 4);
      if (datagram == "WATCHDOG=1") ++(std::chrono::steady_clock::now() < ready + 2 * kPeriod ? early : late);
    }
    ASSERT_TRUE(agent->running());
    if (row.stalled == nullptr) {
      EXPECT_GE(early + late, 6);  // one each half period: 10
      const std::string env_seen = zeltest::read_file(dir.file("env.txt"));
      EXPECT_NE(env_seen.find("PVO_STORE="), std::string::npos);
      EXPECT_EQ(env_seen.find("NOTIFY_SOCKET="), std::string::npos);
      EXPECT_EQ(env_seen.find("WATCHDOG_USEC="), std::string::npos);
    } else {
      EXPECT_EQ(late, 0);
      EXPECT_TRUE(wait_logged(std::string("The ") + row.stalled + " thread has shown no progress"));
    }
    EXPECT_EQ(stop_agent(), 0);
    std::string last;
    while (std::optional<std::string> datagram = manager.next(0ms)) last = *datagram;
    EXPECT_EQ(last, "STOPPING=1");
  }
}

}  // namespace
}  // namespace agenttest
