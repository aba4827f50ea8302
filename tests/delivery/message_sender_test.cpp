// Delivery to local handlers over real loopback sockets and a started
// program: how an endpoint text is read, the exact bytes each kind receives,
// which handler fans out, the bound on a handler that stops reading and the
// suspension of one that timed out, the limit on running handler programs,
// and the message queue's refusals and its stop, which delivers what is still
// queued within its deadline.
#include "delivery/message_sender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "delivery/mt_queue.h"
#include "support/test_support.h"

namespace {

// The agent's own-handler hook stands in for a handler inside the test: it
// notes the thread of every delivery and holds the one named "hold" until
// released; every other delivery goes on through the description lines.
struct HookRecord {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  bool holding = false;
  bool released = false;
  std::vector<std::thread::id> threads;
} hook_record;

bool recording_hook(const char* name, const void*, std::size_t, int* result) {
  std::unique_lock<std::mutex> lock(hook_record.mutex);
  hook_record.threads.push_back(std::this_thread::get_id());
  const bool slow = std::strcmp(name, "slow") == 0;  // held for at most a second
  if (std::strcmp(name, "hold") != 0 && !slow) return false;
  hook_record.holding = true;
  hook_record.changed.wait_for(lock, slow ? std::chrono::seconds(1) : zeltest::kWaitLimit,
                               [] { return hook_record.released; });
  *result = 0;
  return true;
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zeltest::install_agent_signal_handlers();
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    std::lock_guard<std::mutex> lock(hook_record.mutex);
    hook_record.holding = hook_record.released = false;
    hook_record.threads.clear();
  }
  void TearDown() override {
    release_hold();
    message_sender_stop();
    set_own_handler_hook(nullptr);
    delivery_testing::set_handler_timeout_ms(0);
    delivery_testing::set_suspend_seconds(0);
    ::unsetenv("PVO_STORE");
  }
  static void release_hold() {
    std::lock_guard<std::mutex> lock(hook_record.mutex);
    hook_record.released = true;
    hook_record.changed.notify_all();
  }
  // Starts the sender with the recording hook, its message thread held by a
  // delivery named `holder` ("hold" until released, "slow" for a second).
  static void start_held(const char* holder) {
    set_own_handler_hook(recording_hook);
    ASSERT_EQ(message_sender_init(), 0);
    ASSERT_EQ(send_message(holder, ""), 0);
    ASSERT_TRUE(zeltest::wait_until([] {
      std::lock_guard<std::mutex> lock(hook_record.mutex);
      return hook_record.holding;
    }));
  }
  void set_line(const std::string& handler, const std::string& line) {
    ASSERT_EQ(config_set(handler_key(handler).c_str(), line.c_str()), 0);
  }
  // A path of exactly `length` characters naming an existing file in the folder.
  std::string file_of_length(std::size_t length) const {
    const std::string path = dir.file(std::string(length - dir.path().size() - 1, 'f'));
    zeltest::write_file(path, "");
    return path;
  }

  zeltest::TempDir dir;
};

TEST_F(DeliveryTest, EndpointTextIsClassifiedAndRefusedAtItsLimits) {
  const std::string host(kEndpointAddressMax, 'h');
  const std::string program = file_of_length(kEndpointAddressMax);
  const std::string socket_path = "/none/" + std::string(kUnixSocketPathMax - 6, 's');
  const std::pair<std::string, std::string> cases[] = {  // text, then "kind address port" or "refused"
      {"localhost:65535", "0 localhost 65535"},
      {"localhost:1", "0 localhost 1"},
      {"h:00065535", "0 h 65535"},
      {"h:000065535", "0 h 6553"},  // only the first 8 characters are the port
      {"localhost:0", "refused"},
      {"localhost:-1", "refused"},
      {"localhost:65536", "refused"},
      {"localhost:http", "refused"},
      {"localhost:", "refused"},
      {host + ":80", "0 " + host + " 80"},
      {host + "h:80", "refused"},
      {program, "1 " + program + " 0"},
      {file_of_length(kEndpointAddressMax + 1), "refused"},
      {socket_path, "2 " + socket_path + " 0"},
      {socket_path + "s", "refused"},
      {dir.path(), "2 " + dir.path() + " 0"},  // not a regular file
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    handler_endpoint endpoint;
    const bool resolved = resolve_endpoint(text, &endpoint);
    EXPECT_EQ(resolved ? std::to_string(endpoint.kind) + " " + endpoint.address + " " + std::to_string(endpoint.port)
                       : "refused",
              expected);
  }
}

TEST_F(DeliveryTest, EachKindOfEndpointReceivesExactlyThePayload) {
  std::string payload(300 * 1024, '\0');  // larger than a socket or pipe buffer, with every byte value
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 % 256);
  zeltest::HandlerSink tcp;
  zeltest::HandlerSink unix_socket(dir.file("handler.sock"));
  const std::string out = dir.file("out");
  const std::string program = dir.file("handler.sh");
  zeltest::write_file(program, "#!/bin/sh\ncat >" + out + ".part && mv " + out + ".part " + out + "\n", 0755);
  struct Case {
    const char* name;
    std::string endpoint;
    std::function<std::string()> received;
  };
  const Case cases[] = {
      {"tcp", tcp.endpoint(), [&] { return tcp.wait_for(1) ? tcp.payloads()[0] : ""; }},
      {"unix socket", unix_socket.endpoint(), [&] { return unix_socket.wait_for(1) ? unix_socket.payloads()[0] : ""; }},
      {"program", program,
       [&] { return zeltest::wait_until([&] { return zeltest::file_exists(out); }) ? zeltest::read_file(out) : ""; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_line("handler", c.endpoint);
    EXPECT_EQ(deliver_message("handler", payload.data(), payload.size()), 0);
    const std::string received = c.received();
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
  }
}

TEST_F(DeliveryTest, FailedDeliveriesReportMinusOne) {
  std::uint16_t port = 0;
  zeltest::listen_loopback(&port);  // closed at once: nobody listens there
  const std::string lines[] = {"", "127.0.0.1:" + std::to_string(port), "127.0.0.1:0", dir.file("none.sock")};
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    set_line("handler", line);
    errno = 0;
    EXPECT_EQ(deliver_message("handler", "x", 1), -1);
    if (line.empty()) {
      EXPECT_EQ(errno, ENOENT);
    }
  }
}

TEST_F(DeliveryTest, OnlyEventSinkFansOutToEveryEndpoint) {
  zeltest::HandlerSink first;
  zeltest::HandlerSink second;
  for (const char* name : {"event_sink", "event_sink_svc", "other"}) {
    set_line(name, first.endpoint() + "," + second.endpoint());
    EXPECT_EQ(deliver_message(name, name, std::strlen(name)), 0) << name;
  }
  // A last message to the second endpoint alone: whatever came before it shows.
  set_line("probe", second.endpoint());
  ASSERT_EQ(deliver_message("probe", "probe", 5), 0);
  ASSERT_TRUE(first.wait_for(3));
  ASSERT_TRUE(second.wait_for(2));
  EXPECT_EQ(first.payloads(), (std::vector<std::string>{"event_sink", "event_sink_svc", "other"}));
  EXPECT_EQ(second.payloads(), (std::vector<std::string>{"event_sink", "probe"}));
}

TEST_F(DeliveryTest, HandlerThatNeverReadsIsAbandonedAfterTheWriteBound) {
  delivery_testing::set_handler_timeout_ms(100);
  std::uint16_t port = 0;
  const UniqueFd tcp = zeltest::listen_loopback(&port, 1);  // connections wait, never read
  const UniqueFd unix_socket = zeltest::listen_unix(dir.file("stalled.sock"), 1);
  const std::string payload(16 << 20, 'x');  // more than the socket buffers hold
  for (const std::string& endpoint : {"127.0.0.1:" + std::to_string(port), dir.file("stalled.sock")}) {
    SCOPED_TRACE(endpoint);
    set_line("stalled", endpoint);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(deliver_message("stalled", payload.data(), payload.size()), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kHandlerWriteTimeoutSeconds));
  }
}

TEST_F(DeliveryTest, FullQueueRefusesAndStopDeliversTheRestOnTheMessageThread) {
  zeltest::HandlerSink sink(dir.file("queue.sock"));
  set_line("queued", sink.endpoint());
  ASSERT_NO_FATAL_FAILURE(start_held("hold"));
  EXPECT_EQ(send_message("queued", std::string(kQueueMaxBytes, 'b')), -1);
  for (std::uint32_t i = 0; i < kQueueMaxElements; ++i) ASSERT_EQ(send_message("queued", std::to_string(i)), 0);
  EXPECT_EQ(send_message("queued", "one too many"), -1);
  EXPECT_EQ(message_sender_dropped(), 2u);

  release_hold();
  ASSERT_EQ(message_sender_stop(), 0);
  {
    // Everything was delivered before the stop returned, and by the message thread.
    std::lock_guard<std::mutex> lock(hook_record.mutex);
    EXPECT_EQ(hook_record.threads.size(), kQueueMaxElements + 1);
    EXPECT_EQ(std::count(hook_record.threads.begin(), hook_record.threads.end(), std::this_thread::get_id()), 0);
  }
  ASSERT_TRUE(sink.wait_for(kQueueMaxElements));
  EXPECT_EQ(sink.payloads().back(), std::to_string(kQueueMaxElements - 1));
}

// An endpoint whose delivery timed out fails at once for a while, with one
// WARNING, so that the messages of other handlers are not held behind it;
// one that refuses at once is tried every time.
TEST_F(DeliveryTest, AnEndpointThatTimedOutIsSuspendedForAWhile) {
  zeltest::LogCapture log(dir.file("log"));
  delivery_testing::set_handler_timeout_ms(100);
  delivery_testing::set_suspend_seconds(1);
  const UniqueFd stalled = zeltest::listen_unix(dir.file("stalled.sock"), 1);
  zeltest::HandlerSink healthy;
  set_line("stuck", dir.file("stalled.sock"));
  set_line("healthy", healthy.endpoint());
  set_line("refusing", dir.file("nobody.sock"));
  const std::string big(16 << 20, 'x');
  EXPECT_EQ(deliver_message("stuck", big.data(), big.size()), -1);
  const auto suspended_at = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(deliver_message("stuck", "x", 1), -1);
    EXPECT_EQ(deliver_message("refusing", "x", 1), -1);
    EXPECT_EQ(deliver_message("healthy", "x", 1), 0);
  }
  EXPECT_EQ(zeltest::count_of(log.text(), "is suspended"), 1);
  EXPECT_EQ(zeltest::count_of(log.text(), "Failed to send msg"), 1);
  EXPECT_EQ(zeltest::count_of(log.text(), "Can't connect to unix socket '" + dir.file("nobody.sock")), 3);
  // The window over, the endpoint is tried again.
  ASSERT_TRUE(zeltest::wait_until([&] { return std::chrono::steady_clock::now() - suspended_at > std::chrono::seconds(1); }));
  EXPECT_EQ(deliver_message("stuck", big.data(), big.size()), -1);
  EXPECT_EQ(zeltest::count_of(log.text(), "Failed to send msg"), 2);
  EXPECT_TRUE(log.has("no longer suspended; 3 message(s) were dropped meanwhile."));
}

TEST_F(DeliveryTest, AtMostEightHandlerProgramsRunAndAStopEndsThem) {
  zeltest::LogCapture log(dir.file("log"));
  delivery_testing::set_handler_timeout_ms(200);
  const std::string program = dir.file("lingering.sh");
  zeltest::write_file(program, "#!/bin/sh\nexec sleep 600\n", 0755);
  set_line("lingering", program);
  for (int i = 0; i < kHandlerProgramsMax; ++i) EXPECT_EQ(deliver_message("lingering", "x", 1), 0);
  EXPECT_EQ(message_sender_reap_programs(), static_cast<std::size_t>(kHandlerProgramsMax));
  EXPECT_EQ(deliver_message("lingering", "x", 1), -1);
  EXPECT_TRUE(log.has("8 handler programs still run after 200 ms; message dropped."));
  EXPECT_EQ(message_sender_stop_programs(), 0);  // SIGTERM was enough
  EXPECT_EQ(message_sender_reap_programs(), 0u);
}

TEST_F(DeliveryTest, AStopDrainsWithinItsDeadlineAndCountsWhatItDrops) {
  zeltest::LogCapture log(dir.file("log"));
  zeltest::HandlerSink sink;
  set_line("queued", sink.endpoint());
  ASSERT_NO_FATAL_FAILURE(start_held("slow"));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(send_message("queued", "late"), 0);
  ASSERT_EQ(message_sender_stop(50), 0);
  EXPECT_TRUE(log.has("5 queued message(s) dropped"));
  EXPECT_TRUE(sink.payloads().empty());
}

}  // namespace
