// The control server: the request parser, the listener on its real port with
// raw loopback clients (exact reply bytes, size cap, read limit, exit pipe)
// and the commands' effects on the claimed state, the broker link and the
// discovery window, against a simulated zelCloud and zelbroker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "config/config.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "control_listener/control_worker.h"
#include "control_listener/discovery.h"
#include "control_listener/incoming_requests.h"
#include "daemon/daemon.h"
#include "daemon/liveness.h"
#include "support/test_support.h"
#include "support/cloud_server.h"
#include "zelcloud_sim.h"

namespace {

std::string reply(int code) { return "{\"result\":" + std::to_string(code) + "}"; }

// "refused", or the kind and what its payload holds, parsed over an earlier claim.
std::string parse(const char* text) {
  control_request request{kControlOnClaim, service_request{"earlier", 1}};
  if (parse_control_request(text, request) != 0) return request.payload.index() == 0 ? "refused" : "payload kept";
  std::string out = std::to_string(request.type);
  const auto opt = [](const std::optional<std::string>& value) { return " " + value.value_or("-"); };
  if (const auto* d = std::get_if<discovery_request>(&request.payload)) {
    out += " " + d->service + " " + std::to_string(d->discovery_time) + opt(d->id) + opt(d->carrier_id) +
           opt(d->discovery_data);
  }
  if (const auto* s = std::get_if<service_request>(&request.payload)) {
    out += " " + s->service + " " + std::to_string(s->value);
  }
  if (const auto* carrier = std::get_if<std::string>(&request.payload)) out += " " + *carrier;
  return out;
}

TEST(ControlRequest, FirstKnownCommandDecidesAndMembersCountOnlyWithTheirType) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"command":"send_discovery","service":"s","discovery_time":30.9,"id":"D","carrier_id":"C",)"
       R"("discovery_data":"x"})", "0 s 30 D C x"},
      {R"({"service":"a","command":"send_discovery","service":"b","discovery_time":"30","id":7})", "0 b 0 - - -"},
      {R"({"command":"send_discovery","discovery_time":5})", "refused"},
      {R"({"command":"on_release","service":"s","claimed":false})", "2 s 0"},
      {R"({"command":"on_release","service":"s","claimed":"true"})", "refused"},
      {R"({"command":"on_moravault","service":"s","registered":true})", "5 s 1"},
      {R"({"command":"resume_connections","carrier_id":"A","carrier_id":"B"})", "3 B"},
      {R"({"command":"pause_connections","unknown":[1]})", "4"},
      {R"({"command":"pause_connections","command":"on_claim","service":"s","claimed":true})", "1 s 1"},
      {R"({"command":"on_claim","service":"s","claimed":true,"command":"pause_connections"})", "1 s 1"},
      {R"({"command":4,"command":"reboot","command":"pause_connections"})", "4"},
      {R"({"command":"reboot"})", "refused"},
      {"{}", "refused"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse(text), expected);
  }
}

using zeltest::ask_control;
using zeltest::control_reply;
using zeltest::send_control;

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zeltest::install_agent_signal_handlers();
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    for (const auto& [key, value] : sim.store_settings()) ASSERT_EQ(config_set(key.c_str(), value.c_str()), 0);
    ca_file = sim.ca_file();
    device_hardware_id = "HW-1";
    ASSERT_EQ(init_shared_curl(), 0);
    init_agent_state(0);
    ASSERT_EQ(load_agent_context(context), 0);
    ASSERT_EQ(register_device(context), 0);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    exit_read.reset(fds[0]);
    exit_write.reset(fds[1]);
    listener = start_control_listener(&context, exit_read.get());
    ASSERT_TRUE(zeltest::wait_until([] { return control_listener_listening() == 1; }));
  }

  void TearDown() override {
    if (HasFailure()) std::printf("%s\n", log.text().c_str());
    resume_http_requests();
    discovery_testing::end_window_and_join();
    stop_broker_thread();
    if (listener.joinable() && ::write(exit_write.get(), "x", 1) == 1) listener.join();
    release_agent_context(context);
    clean_shared_curl();
    ::unsetenv("PVO_STORE");
  }

  zeltest::TempDir dir;
  zeltest::LogCapture log{dir.file("agent.log")};
  zelsim::Simulator sim{[this] { zelsim::SimulatorOptions options; options.cert_dir = dir.path(); return options; }()};
  agent_context context;
  UniqueFd exit_read, exit_write;
  std::thread listener;
};

TEST_F(ControlServerTest, RepliesExactlyAndNoClientHoldsTheListener) {
  // An idle listener still marks its progress every second, for the watchdog.
  const std::int64_t idle_since = liveness_now_ms();
  EXPECT_TRUE(zeltest::wait_until(
      [&] { return last_progress_ms(watched_thread::control_listener) > idle_since + 500; }));
  // A client that never half-closes is refused after the read limit; the next ones are served.
  control_listener_testing::set_read_timeout_ms(100);
  const UniqueFd silent = zeltest::connect_loopback(kControlPort);
  EXPECT_EQ(control_reply(silent.get()), reply(kResultBusy));
  // Past the connection limit the oldest silent client is refused, long
  // before its read limit, and the newcomer is held.
  control_listener_testing::set_read_timeout_ms(static_cast<int>(4 * zeltest::kWaitLimit.count()));
  {
    std::vector<UniqueFd> crowd;
    for (std::size_t i = 0; i <= kControlMaxConnections; ++i) crowd.push_back(zeltest::connect_loopback(kControlPort));
    EXPECT_EQ(control_reply(crowd.front().get()), reply(kResultBusy));
    char byte = 0;
    EXPECT_EQ(::recv(crowd.front().get(), &byte, 1, MSG_DONTWAIT), 0);  // closed, not timed out
    pollfd newcomer{crowd.back().get(), POLLIN, 0};
    EXPECT_EQ(::poll(&newcomer, 1, 0), 0);
  }
  control_listener_testing::set_read_timeout_ms(0);
  const std::string head = R"({"command":"pause_connections","pad":")";
  const auto pause_of_size = [&](std::size_t size) { return head + std::string(size - head.size() - 2, 'p') + "\"}"; };
  const std::pair<std::string, int> cases[] = {{R"({"command":"pause_connections"})", kResultOk},
                                               {"pause_connections", kResultBusy},
                                               {pause_of_size(kControlRequestMaxBytes), kResultOk},
                                               {pause_of_size(kControlRequestMaxBytes + 1), kResultBusy},
                                               {pause_of_size(kRequestReadChunk + 1), kResultOk}};
  for (const auto& [text, code] : cases) {
    SCOPED_TRACE(text.substr(0, 40) + "... of " + std::to_string(text.size()) + " bytes");
    EXPECT_EQ(ask_control(text), reply(code));
    EXPECT_EQ(http_requests_paused(), code == kResultOk ? 1 : 0);  // only a served pause pauses
    resume_http_requests();
  }
}

TEST_F(ControlServerTest, CommandsFollowTheSwitchesThePauseAndTheWindow) {
  const char* discover = R"({"command":"send_discovery","service":"svc","discovery_time":600})";
  const char* release = R"({"command":"on_release","service":"svc","claimed":false})";
  // The reply, the discoveries the row sent and the state after it; link_after_window -1: no window to run out.
  struct Case { const char *name, *request, *use_discovery, *forced; bool paused, claimed_by_cloud;
                int code, sent, claimed, link, link_after_window; };
  const Case cases[] = {
      {"discovery off", discover, "0", "0", false, false, kResultOk, 0, 1, 1, -1},
      {"discovery paused", discover, "1", "0", true, false, kResultWouldBlock, 0, 1, 1, -1},
      {"window runs out", discover, "1", "0", false, false, kResultOk, 1, 1, 1, 0},
      {"window runs out, forced", discover, "1", "1", false, false, kResultOk, 1, 1, 1, 1},
      {"claimed in the window", discover, "1", "0", false, true, kResultOk, 1, 1, 1, 1},
      {"release", release, "0", "0", false, false, kResultOk, 0, 0, 0, -1},
      {"release, forced", release, "0", "1", false, false, kResultOk, 0, 0, 1, -1},
      {"release with discovery, paused", release, "1", "0", true, false, kResultWouldBlock, 0, 1, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config_set(kKeyUseDiscovery, c.use_discovery);
    config_set(kKeyForceConnection, c.forced);
    ASSERT_TRUE(c.claimed_by_cloud ? sim.claim() : sim.release());
    set_claimed(1);
    if (keep_connection.load() == 0) start_broker_thread(&context);
    if (c.paused) pause_http_requests();
    const int waits = discovery_testing::waits_begun();
    const std::size_t sent_before = sim.discoveries().size();
    EXPECT_EQ(ask_control(c.request), reply(c.code));
    EXPECT_EQ(sim.discoveries().size() - sent_before, static_cast<std::size_t>(c.sent));
    EXPECT_EQ(agent_claimed(), c.claimed);
    EXPECT_EQ(keep_connection.load(), c.link);
    resume_http_requests();
    if (c.link_after_window >= 0) {
      // Once the discovery thread waits, the clock moves just past the window's end and the thread is woken.
      ASSERT_TRUE(zeltest::wait_until([&] { return discovery_testing::waits_begun() > waits; }));
      discovery_testing::set_uptime_offset(discovery_testing::deadline() + 1);
      ASSERT_TRUE(zeltest::wait_until([] {
        wake_sleepers();
        return discovery_testing::deadline() == 0 && !discovery_testing::thread_running();
      }));
      EXPECT_EQ(keep_connection.load(), c.link_after_window);
    }
    discovery_testing::end_window_and_join();
  }
  // A second, shorter discovery leaves the window's end where it was.
  config_set(kKeyUseDiscovery, "1");
  ASSERT_EQ(ask_control(discover), reply(kResultOk));
  const std::int32_t end = discovery_testing::deadline();
  EXPECT_EQ(ask_control(R"({"command":"send_discovery","service":"svc","discovery_time":5})"), reply(kResultOk));
  EXPECT_EQ(discovery_testing::deadline(), end);
}

// A zelCloud that never answers holds only the commands that wait for it:
// the listener answers the others meanwhile, the worker queues a bounded
// number (and a claim behind a release), a pause ends them with -10 and the
// listener's stop answers the rest.
TEST_F(ControlServerTest, ACloudThatNeverAnswersHoldsOnlyTheCommandsThatWaitForIt) {
  const std::string discover = R"({"command":"send_discovery","service":"svc"})";
  config_set(kKeyUseDiscovery, "1");
  sim.set_cloud_fault(zelsim::CloudFault::kStall, "/discovery");
  const UniqueFd first = send_control(discover);
  ASSERT_TRUE(zeltest::wait_until([&] { return sim.cloud().stalled_requests() == 1; }));
  std::vector<UniqueFd> queued;
  for (std::size_t i = 0; i < kControlWorkMaxQueued; ++i) queued.push_back(send_control(discover));
  ASSERT_TRUE(zeltest::wait_until([] { return control_worker_testing::pending() == kControlWorkMaxQueued + 1; }));
  EXPECT_EQ(ask_control(discover), reply(kResultBusy));
  // From the zelbroker alike: the message thread does not wait either.
  EXPECT_EQ(execute_incoming_request(discover.data(), discover.size(), &context), kResultBusy);
  EXPECT_TRUE(log.has("Control worker busy: 8 requests wait already; request refused (2 refused so far)."));
  EXPECT_EQ(ask_control(R"({"command":"on_moravault","service":"svc","registered":true})"), reply(kResultOk));
  pollfd first_reply{first.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&first_reply, 1, 0), 0);  // still unanswered

  const auto pause = std::chrono::steady_clock::now();
  EXPECT_EQ(ask_control(R"({"command":"pause_connections"})"), reply(kResultOk));
  EXPECT_EQ(control_reply(first.get()), reply(kResultWouldBlock));
  // About a second (libcurl's progress callback); the zelCloud would hold it for the request time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - pause, zeltest::kWaitLimit / 3);
  for (const UniqueFd& client : queued) EXPECT_EQ(control_reply(client.get()), reply(kResultWouldBlock));
  EXPECT_TRUE(sim.discoveries().empty());

  resume_http_requests();
  sim.cloud().release_stalled();
  ASSERT_TRUE(zeltest::wait_until([&] { return sim.cloud().stalled_requests() == 0; }));
  // A claim sent while a release waits on the zelCloud takes effect after it.
  const UniqueFd release = send_control(R"({"command":"on_release","service":"svc","claimed":false})");
  ASSERT_TRUE(zeltest::wait_until([&] { return sim.cloud().stalled_requests() == 1; }));
  const UniqueFd claim = send_control(R"({"command":"on_claim","service":"svc","claimed":true})");
  ASSERT_TRUE(zeltest::wait_until([] { return control_worker_testing::pending() == 2; }));
  sim.cloud().release_stalled();
  EXPECT_EQ(control_reply(release.get()) + control_reply(claim.get()), reply(kResultOk) + reply(kResultOk));
  EXPECT_EQ(agent_claimed(), 1);
  const UniqueFd under_way = send_control(discover);
  ASSERT_TRUE(zeltest::wait_until([&] { return sim.cloud().stalled_requests() == 1; }));
  const UniqueFd waiting = send_control(discover);
  ASSERT_TRUE(zeltest::wait_until([] { return control_worker_testing::pending() == 2; }));
  ASSERT_EQ(::write(exit_write.get(), "x", 1), 1);
  EXPECT_EQ(control_reply(under_way.get()), reply(kHttpOtherFailure));
  EXPECT_EQ(control_reply(waiting.get()), reply(kResultBusy));
  listener.join();
  EXPECT_TRUE(log.has("Control worker stopped: 1 queued request(s) answered -1 without running."));
}

// The exit pipe: another byte ends only the listener thread, the exit byte
// the whole process with status 0; each runs in a child process of its own.
TEST(ControlListenerExit, OnlyTheExitByteEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& [byte, status] : {std::pair{'x', 7}, std::pair{kExitCommandByte, 0}}) {
    SCOPED_TRACE(byte);
    EXPECT_EXIT(
        {
          agent_context context;
          int fds[2];
          if (::pipe(fds) != 0) std::_Exit(3);
          std::thread listener = start_control_listener(&context, fds[0]);
          const bool listened = zeltest::wait_until([] { return control_listener_listening() == 1; });
          if (::write(fds[1], &byte, 1) == 1) listener.join();
          std::_Exit(listened && !zeltest::connect_loopback(kControlPort) ? 7 : 6);
        },
        ::testing::ExitedWithCode(status), "");
  }
}

}  // namespace
