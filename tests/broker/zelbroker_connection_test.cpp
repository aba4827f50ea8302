// The broker thread end to end: the fake zelCloud's advisor names the fake
// zelbroker, the thread connects over TLS, introduces itself, reads plain
// messages into the real message queue (delivered to UNIX-socket handlers)
// and reports its state to "event_sink". Stops are checked in every state,
// with the process's descriptors and threads counted before and after.
#include "broker/zelbroker_connection.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <iostream>
#include <memory>
#include <string>

#include "broker/base64.h"
#include "broker/messages/heartbeat_message.h"
#include "broker/messages/packet.h"
#include "broker/ssl_routine.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "config/config.h"
#include "delivery/handler_sink.h"
#include "delivery/message_sender.h"
#include "fakes/fake_zelbroker.h"
#include "fakes/fake_zelcloud.h"
#include "fakes/test_certs.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kAgentId = "AGENT-1";
constexpr const char* kAdvisorPath = "/advisor/v2";
constexpr const char* kLongDelay = "600";  // a sleep the tests must never wait out
// Generous bound for a stop that must not wait for a sleep or a time-out.
constexpr auto kPromptly = 10s;

std::size_t count_entries(const char* folder) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

std::size_t open_descriptors() { return count_entries("/proc/self/fd"); }
std::size_t live_threads() { return count_entries("/proc/self/task"); }

// The agent's socket of a link: the in-process TCP socket whose local port
// is `agent_port` and whose peer is the fake zelbroker.
int find_agent_socket(std::uint16_t agent_port, std::uint16_t broker_port) {
  for (int fd = 0; fd < 4096; ++fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    sockaddr_in local{}, peer{};
    socklen_t local_len = sizeof local, peer_len = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != agent_port) {
      continue;
    }
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0 &&
        ntohs(peer.sin_port) == broker_port) {
      return fd;
    }
  }
  return -1;
}

struct KeepaliveOptions {
  int idle = 0, count = 0, interval = 0;
  bool operator==(const KeepaliveOptions&) const = default;
};

KeepaliveOptions keepalive_options(int fd) {
  KeepaliveOptions out;
  socklen_t size = sizeof(int);
  ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &out.idle, &size);
  ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &out.count, &size);
  ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &out.interval, &size);
  return out;
}

std::string without_spaces(std::string text) {
  text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); }),
             text.end());
  return text;
}

// Runs `action` on another thread and tells whether it ended within `limit`.
bool ends_within(std::chrono::seconds limit, std::function<void()> action) {
  auto done = std::async(std::launch::async, std::move(action));
  const bool in_time = done.wait_for(limit) == std::future_status::ready;
  done.wait();  // a hang fails the test above; never leave the thread behind
  return in_time;
}

class BrokerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zeltest::install_agent_signal_handlers();
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    ca = std::make_unique<zeltest::TestCa>(dir.path());
    zeltest::CertOptions options;
    options.dns_names = {"localhost"};
    cert = ca->issue(options);
    set_trust_anchor(ca->ca_cert_path());

    cloud = std::make_unique<zeltest::FakeZelCloud>(cert.chain_path, cert.key_path);
    broker = std::make_unique<zeltest::FakeZelbroker>(cert.chain_path, cert.key_path);
    events = zeltest::HandlerSink::unix_socket(dir.file("events.sock"));
    messages = zeltest::HandlerSink::unix_socket(dir.file("messages.sock"));

    config_set("zel_register_url", cloud->url("/register").c_str());
    config_set("zel_claimed_url", cloud->url("/claimed").c_str());
    config_set("zel_discovery_url", cloud->url("/discovery").c_str());
    config_set("zel_advisor_url", cloud->url("/advisor").c_str());
    config_set(kKeyAgentId, kAgentId);
    config_set("zel_agent_claim_code", "CLAIM");
    config_set("zel_advisor_delay", kLongDelay);
    config_set("zel_zelbroker_delay", kLongDelay);
    config_set("zel_handler_event_sink", events->endpoint().c_str());
    config_set("zel_handler_app", messages->endpoint().c_str());

    ASSERT_EQ(init_shared_curl(), 0);
    ASSERT_EQ(message_sender_init(), 0);
    init_agent_state(0);
    ASSERT_TRUE(events->wait_for(1));  // the first report started the message thread
  }

  void TearDown() override {
    if (HasFailure()) {
      // The agent's own account of what happened, for the failure report.
      const std::string text = log_text();
      const std::size_t keep = 6000;
      std::cerr << "--- agent log (end) ---\n"
                << (text.size() > keep ? text.substr(text.size() - keep) : text) << "--- end ---\n";
    }
    stop_broker_thread();
    message_sender_stop();
    release_agent_context(context);
    clean_shared_curl();
    broker.reset();
    cloud.reset();
    events.reset();
    messages.reset();
    set_trust_anchor("");
  }

  static void set_trust_anchor(const std::string& path) {
    // The HTTP client and the TLS session share the trust settings.
    ca_file = path;
  }

  // Loads the context (after the test's configuration) and starts the thread.
  void start() {
    ASSERT_EQ(load_agent_context(context), 0);
    ASSERT_EQ(start_broker_thread(&context), 0);
  }

  std::string connect_reply(const std::string& extra = "") const {
    return R"({"_type":"ActionConnect","broker":"localhost","port":")" +
           std::to_string(broker->port()) + "\"" + extra + "}";
  }

  void advise(const std::string& body) {
    zeltest::FakeAnswer answer;
    answer.body = body;
    cloud->answer("GET", kAdvisorPath, answer);
  }

  std::size_t advisor_requests() const {
    std::size_t count = 0;
    for (const auto& request : cloud->requests()) count += request.path() == kAdvisorPath ? 1 : 0;
    return count;
  }

  std::string log_text() const { return log_capture.text(); }
  bool logged(const std::string& text) const { return log_capture.contains(text); }
  bool wait_logged(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
    return zeltest::wait_until([&] { return logged(text); }, timeout);
  }
  std::size_t times_logged(const std::string& text) const { return static_cast<std::size_t>(log_capture.count(text)); }

  // Waits for the hello of link `link` (its first packet on that link).
  bool wait_for_hello(std::size_t link) const {
    return zeltest::wait_until([&] {
      for (const auto& packet : broker->packets()) {
        if (packet.link == link) return true;
      }
      return false;
    });
  }

  std::vector<zeltest::BrokerPacket> packets_of_type(std::uint8_t type) const {
    std::vector<zeltest::BrokerPacket> out;
    for (const auto& packet : broker->packets()) {
      if (packet.type == type) out.push_back(packet);
    }
    return out;
  }

  // The descriptors and threads of the process are back to `fds`/`threads`.
  bool back_to(std::size_t fds, std::size_t threads) const {
    return zeltest::wait_until([&] { return open_descriptors() == fds && live_threads() == threads; });
  }

  zeltest::TempDir dir;
  zeltest::LogCapture log_capture{dir.file("agent.log")};
  std::unique_ptr<zeltest::TestCa> ca;
  zeltest::CertFiles cert;
  std::unique_ptr<zeltest::FakeZelCloud> cloud;
  std::unique_ptr<zeltest::FakeZelbroker> broker;
  std::unique_ptr<zeltest::HandlerSink> events;
  std::unique_ptr<zeltest::HandlerSink> messages;
  agent_context context;
};

TEST_F(BrokerThreadTest, HelloWithoutTokenCarriesTheAgentId) {
  advise(connect_reply());
  start();
  ASSERT_TRUE(broker->wait_for_packets(1));
  const auto first = broker->packets()[0];
  EXPECT_EQ(first.type, PACKET_HELLO_AGENT_ID);
  EXPECT_EQ(first.parts, std::vector<std::string>{kAgentId});
  EXPECT_TRUE(wait_logged("zelbroker_host=localhost, zelbroker_port=" + std::to_string(broker->port()) +
                          ", using ssl=1\n"));
}

TEST_F(BrokerThreadTest, HelloCarriesTheDecodedToken) {
  const std::string token("tok\0en\xFF", 7);
  advise(connect_reply(R"(,"token":")" + base64_encode(token.data(), token.size()) + "\""));
  start();
  ASSERT_TRUE(broker->wait_for_packets(1));
  const auto first = broker->packets()[0];
  EXPECT_EQ(first.type, PACKET_HELLO_TOKEN);
  EXPECT_EQ(first.parts, std::vector<std::string>{token});
}

TEST_F(BrokerThreadTest, BrokerKeepaliveFollowsTheHelloAndSocketOptionsNeedAllThreeValues) {
  // The kernel's defaults, as a socket without our options has them.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  const KeepaliveOptions defaults = keepalive_options(probe);
  ::close(probe);

  struct Row {
    const char* agent_keepalive;
    KeepaliveOptions expected;
  };
  const Row rows[] = {{"30,5,10", {30, 5, 10}}, {"30,0,10", defaults}};
  config_set("zel_zelbroker_delay", "0");
  advise(connect_reply(R"(,"brokerKeepalive":"30,5,10","agentKeepalive":"30,5,10")"));
  start();
  for (std::size_t link = 0; link < 2; ++link) {
    const Row& row = rows[link];
    SCOPED_TRACE(std::string("agentKeepalive ") + row.agent_keepalive);
    if (link == 1) {
      advise(connect_reply(std::string(R"(,"brokerKeepalive":"30,5,10","agentKeepalive":")") +
                           row.agent_keepalive + "\""));
      ASSERT_TRUE(broker->close_link());
    }
    ASSERT_TRUE(broker->wait_for_links(link + 1));
    ASSERT_TRUE(zeltest::wait_until([&] { return broker->received_bytes(link).size() >= 4 + 7 + 16; }));
    const std::string bytes = broker->received_bytes(link);
    EXPECT_EQ(bytes.substr(0, 11), std::string("\x00\x01\x00\x07", 4) + kAgentId);
    EXPECT_EQ(bytes.substr(11, 16),
              std::string("\x0A\x01\x00\x0C\x00\x00\x00\x1E\x00\x00\x00\x05\x00\x00\x00\x0A", 16));
    // The options are set before this link's "Reading packet header.".
    ASSERT_TRUE(zeltest::wait_until([&] { return times_logged("Reading packet header.\n") == link + 1; }));
    const int fd = find_agent_socket(broker->agent_port(link), broker->port());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(keepalive_options(fd), row.expected);
  }
}

TEST_F(BrokerThreadTest, PlainMessagesReachTheHandlerInOrder) {
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_logged("Reading packet header.\n"));
  ASSERT_TRUE(broker->send_plain_message("app", {"first"}));
  ASSERT_TRUE(broker->send_plain_message("app", {"sec", "ond"}));
  // A packet written in 1-byte pieces, then one bigger than the receive buffer.
  const std::string third("\x02\x02\x00\x03" "app" "\x00\x05" "third", 4 + 3 + 2 + 5);
  ASSERT_TRUE(broker->send_split(third, 1));
  const std::string big(10000, 'x');
  ASSERT_TRUE(broker->send_plain_message("app", {big, "!"}));
  ASSERT_TRUE(broker->send_plain_message("app"));
  ASSERT_TRUE(messages->wait_for(5));
  EXPECT_EQ(messages->payloads(), (std::vector<std::string>{"first", "second", "third", big + "!", ""}));
}

TEST_F(BrokerThreadTest, ConnectedAndDisconnectedReportsReachEventSink) {
  config_set("zel_zelbroker_delay", "0");
  advise(connect_reply());
  start();
  ASSERT_TRUE(events->wait_for(2));
  EXPECT_NE(without_spaces(events->payloads()[1]).find("\"connected\":true"), std::string::npos);
  EXPECT_NE(without_spaces(events->payloads()[1]).find("\"event\":4"), std::string::npos);
  ASSERT_TRUE(broker->close_link());
  ASSERT_TRUE(events->wait_for(3));
  EXPECT_NE(without_spaces(events->payloads()[2]).find("\"connected\":false"), std::string::npos);
}

TEST_F(BrokerThreadTest, HeartbeatNumbersContinueAcrossReconnections) {
  config_set("zel_zelbroker_delay", "0");
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  ASSERT_TRUE(zeltest::wait_until([] { return send_heartbeat_command() == 0; }));
  ASSERT_TRUE(zeltest::wait_until([&] { return packets_of_type(PACKET_HEARTBEAT).size() == 1; }));
  ASSERT_TRUE(zeltest::wait_until([] { return heartbeat_last_answered() == heartbeat_last_sent(); }));
  check_heartbeat();
  EXPECT_TRUE(logged("heartbeat OK!\n"));

  ASSERT_TRUE(broker->close_link());
  ASSERT_TRUE(wait_for_hello(1));
  ASSERT_TRUE(zeltest::wait_until([] { return send_heartbeat_command() == 0; }));
  ASSERT_TRUE(zeltest::wait_until([&] { return packets_of_type(PACKET_HEARTBEAT).size() == 2; }));
  const auto beats = packets_of_type(PACKET_HEARTBEAT);
  const auto number = [](const zeltest::BrokerPacket& packet) {
    return get_be64(reinterpret_cast<const std::uint8_t*>(packet.parts.at(0).data()));
  };
  EXPECT_EQ(beats[0].link, 0u);
  EXPECT_EQ(beats[1].link, 1u);
  EXPECT_EQ(number(beats[1]), number(beats[0]) + 1);
  EXPECT_EQ(heartbeat_last_sent(), number(beats[1]));
}

TEST_F(BrokerThreadTest, MissingHeartbeatAnswerClosesTheLinkAndAsksTheAdvisorAtOnce) {
  // The zelbroker delay is long: reconnecting at once proves the delay was skipped.
  broker->set_answer_heartbeats(false);
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  ASSERT_TRUE(zeltest::wait_until([] { return send_heartbeat_command() == 0; }));
  ASSERT_TRUE(zeltest::wait_until([&] { return packets_of_type(PACKET_HEARTBEAT).size() == 1; }));
  ASSERT_TRUE(zeltest::wait_until([] { return send_heartbeat_command() == 0; }));
  ASSERT_TRUE(zeltest::wait_until([&] { return packets_of_type(PACKET_HEARTBEAT).size() == 2; }));

  check_heartbeat();
  EXPECT_TRUE(logged("latest heartbeat is not received! Sending command to close connection.\n"));
  ASSERT_TRUE(broker->wait_for_link_closed(0));
  EXPECT_TRUE(broker->closed_by_agent(0));
  ASSERT_TRUE(wait_for_hello(1));
  EXPECT_EQ(advisor_requests(), 2u);
  EXPECT_FALSE(logged("Connection to zelbroker was closed. Sleeping"));
}

TEST_F(BrokerThreadTest, WrongSizedHeartbeatAnswerLeavesTheCheckFailing) {
  broker->set_answer_heartbeats(false);
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  ASSERT_TRUE(zeltest::wait_until([] { return send_heartbeat_command() == 0; }));
  ASSERT_TRUE(zeltest::wait_until([&] { return packets_of_type(PACKET_HEARTBEAT).size() == 1; }));
  const std::uint64_t sent = heartbeat_last_sent();
  ASSERT_TRUE(broker->send_heartbeat_response(sent, 8));
  ASSERT_TRUE(wait_logged("Expected 16, but received 8.\n"));
  EXPECT_NE(heartbeat_last_answered(), sent);
  ASSERT_TRUE(broker->send_heartbeat_response(sent, 16));
  ASSERT_TRUE(zeltest::wait_until([&] { return heartbeat_last_answered() == sent; }));
}

TEST_F(BrokerThreadTest, CloseCommandReconnectsWithoutTheDelay) {
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  ASSERT_TRUE(zeltest::wait_until([] { return close_connection_command() == 0; }));
  ASSERT_TRUE(wait_for_hello(1));
  EXPECT_TRUE(broker->closed_by_agent(0));
  EXPECT_TRUE(logged("keep_connection=1, success=1.\n"));
  EXPECT_FALSE(logged("Sleeping for"));
}

TEST_F(BrokerThreadTest, PeerCloseIsLoggedThenTheDelayAppliesAndAStopEndsTheSleep) {
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  const std::size_t fds = open_descriptors();
  ASSERT_TRUE(broker->close_link());
  ASSERT_TRUE(wait_logged("Connection to zelbroker was closed. Sleeping for 600 secs.\n"));
  const std::string text = log_text();
  const auto disconnected = text.find("Other end disconnected.\n");
  const auto summary = text.find("keep_connection=1, success=0.\n");
  ASSERT_NE(disconnected, std::string::npos);
  ASSERT_NE(summary, std::string::npos);
  EXPECT_LT(disconnected, summary);
  EXPECT_EQ(advisor_requests(), 1u);
  EXPECT_EQ(send_command(kCommandHeartbeat), -1);  // no connection while sleeping
  // The link's socket and command pipe are gone while the thread sleeps.
  EXPECT_TRUE(zeltest::wait_until([&] { return open_descriptors() <= fds - 3; }));

  EXPECT_TRUE(ends_within(kPromptly, [] { stop_broker_thread(); }));
  EXPECT_TRUE(logged("zelbroker thread stoped.\n"));
  EXPECT_EQ(advisor_requests(), 1u);
}

TEST_F(BrokerThreadTest, ZeroDelayReconnectsWithoutSleeping) {
  config_set("zel_zelbroker_delay", "0");
  advise(connect_reply());
  start();
  for (std::size_t link = 0; link < 3; ++link) {
    ASSERT_TRUE(wait_for_hello(link));
    ASSERT_TRUE(broker->close_link());
  }
  ASSERT_TRUE(wait_for_hello(3));
  EXPECT_EQ(times_logged("keep_connection=1, success=0.\n"), 3u);
  EXPECT_FALSE(logged("Sleeping for"));
}

TEST_F(BrokerThreadTest, AdvisorWaitSleepsItsPeriodThenAsksAgain) {
  zeltest::FakeAnswer wait;
  wait.body = R"({"_type":"ActionWait","period":1})";
  cloud->queue_answer("GET", kAdvisorPath, wait);
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  EXPECT_TRUE(logged("Wait command received from adviser. Sleeping for 1 secs.\n"));
  EXPECT_TRUE(logged("exit sleep_for 1 secs\n"));
  EXPECT_EQ(advisor_requests(), 2u);
}

TEST_F(BrokerThreadTest, AdvisorWaitForeverEndsOnStop) {
  advise(R"({"_type":"ActionWait","period":0})");
  start();
  ASSERT_TRUE(wait_logged("'wait forever' command received from adviser. Sleeping forever.\n"));
  EXPECT_TRUE(ends_within(kPromptly, [] { stop_broker_thread(); }));
  EXPECT_EQ(advisor_requests(), 1u);
  EXPECT_EQ(broker->links(), 0u);
}

TEST_F(BrokerThreadTest, StartTwiceStopWithoutThreadAndCommandWithoutConnection) {
  EXPECT_EQ(stop_broker_thread(), 0);
  EXPECT_TRUE(logged("Trying to stop stopped/uncreated zelbroker thread.\n"));
  EXPECT_EQ(send_command(kCommandHeartbeat), -1);
  EXPECT_TRUE(logged("Cannot send command '104' to zelbroker thread - write end is not initialized.\n"));
  EXPECT_EQ(close_connection_command(), -1);
  EXPECT_TRUE(logged("Cannot send command '99' to zelbroker thread - write end is not initialized.\n"));

  advise(R"({"_type":"ActionWait","period":0})");
  start();
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_EQ(start_broker_thread(&context), -1);
  EXPECT_TRUE(logged("zelbroker thread already started.\n"));
  EXPECT_EQ(stop_broker_thread(), 0);
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_TRUE(logged("exiting msg_processor thread.\n"));
  // A stopped thread can be started again.
  ASSERT_EQ(start_broker_thread(&context), 0);
  EXPECT_EQ(stop_broker_thread(), 0);
}

TEST_F(BrokerThreadTest, PlainLinkWithoutTls) {
  zeltest::FakeZelbroker::Options options;
  options.tls = false;
  broker = std::make_unique<zeltest::FakeZelbroker>(options);
  config_set("zel_broker_ssl", "0");
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  EXPECT_TRUE(logged(", using ssl=0\n"));
  ASSERT_TRUE(broker->send_plain_message("app", {"plain"}));
  ASSERT_TRUE(messages->wait_for(1));
  EXPECT_EQ(messages->payloads()[0], "plain");
}

// --- A stop in each state ends the thread promptly and leaves nothing behind.

class BrokerStopTest : public BrokerThreadTest {
 protected:
  void SetUp() override {
    BrokerThreadTest::SetUp();
    fds_before = open_descriptors();
    threads_before = live_threads();
  }

  void stop_and_check() {
    EXPECT_TRUE(ends_within(kPromptly, [] { stop_broker_thread(); }));
    EXPECT_TRUE(logged("exiting zelbroker_connection_thread\n"));
    EXPECT_EQ(send_command(kCommandHeartbeat), -1);
    // The fakes end their side of a closed connection on their own threads.
    EXPECT_TRUE(back_to(fds_before, threads_before))
        << "descriptors " << open_descriptors() << " (was " << fds_before << "), threads "
        << live_threads() << " (was " << threads_before << ")";
  }

  std::size_t fds_before = 0;
  std::size_t threads_before = 0;
};

TEST_F(BrokerStopTest, WhileAskingTheAdvisor) {
  // The answer comes after the stop was asked for: the thread must not connect.
  zeltest::FakeAnswer slow;
  slow.body = connect_reply();
  slow.delay = 2s;
  cloud->answer("GET", kAdvisorPath, slow);
  start();
  ASSERT_TRUE(cloud->wait_for_requests(1));
  stop_and_check();
  EXPECT_EQ(broker->links(), 0u);
}

TEST_F(BrokerStopTest, WhileSleepingAfterAFailedAdvisorRequest) {
  zeltest::FakeAnswer refused;
  refused.status = 500;
  cloud->answer("GET", kAdvisorPath, refused);
  start();
  ASSERT_TRUE(wait_logged("Invalid http code '500' from server.\n"));
  stop_and_check();
  EXPECT_EQ(advisor_requests(), 1u);
}

TEST_F(BrokerStopTest, WhileConnecting) {
  broker->set_stall_handshake(true);
  advise(connect_reply());
  start();
  ASSERT_TRUE(broker->wait_for_links(1));
  stop_and_check();
  EXPECT_TRUE(broker->wait_for_link_closed(0));
  EXPECT_FALSE(logged("Connected to zelbroker.\n"));
}

TEST_F(BrokerStopTest, WhileConnected) {
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_logged("Reading packet header.\n"));
  ASSERT_TRUE(wait_for_hello(0));
  stop_and_check();
  EXPECT_TRUE(broker->wait_for_link_closed(0));
  EXPECT_TRUE(logged("keep_connection=0, success=1.\n"));
  ASSERT_TRUE(events->wait_for(3));
  EXPECT_NE(without_spaces(events->payloads()[2]).find("\"connected\":false"), std::string::npos);
}

TEST_F(BrokerStopTest, WhileSleepingAfterAClosedLink) {
  advise(connect_reply());
  start();
  ASSERT_TRUE(wait_for_hello(0));
  ASSERT_TRUE(broker->close_link());
  ASSERT_TRUE(wait_logged("Connection to zelbroker was closed. Sleeping for 600 secs.\n"));
  stop_and_check();
}

TEST_F(BrokerStopTest, RepeatedStartAndStopInQuickSuccession) {
  advise(connect_reply());
  ASSERT_EQ(load_agent_context(context), 0);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(start_broker_thread(&context), 0);
    EXPECT_TRUE(ends_within(kPromptly, [] { stop_broker_thread(); }));
  }
  EXPECT_TRUE(back_to(fds_before, threads_before));
}

}  // namespace
