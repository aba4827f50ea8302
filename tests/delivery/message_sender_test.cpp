// Delivery to local handlers over real loopback sockets and started
// programs: how an endpoint text is read, the exact bytes each kind receives,
// which handler fans out, the bound on a handler that stops reading; the
// queue's refusals (full, over a handler's share); a stuck handler beside a
// healthy one; the program slots, held while a program's descendants live;
// and the stop's one deadline, which cuts a write in progress.
#include "delivery/message_sender.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "delivery/mt_queue.h"
#include "support/test_support.h"

namespace {

// The agent's own-handler hook stands in for a handler inside the test: it
// holds the delivery named "hold" until released; every other delivery goes
// on through the description lines.
struct HookRecord {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  bool holding = false;
  bool released = false;
} hook_record;

bool holding_hook(const char* name, const void*, std::size_t, int* result) {
  if (std::strcmp(name, "hold") != 0) return false;
  std::unique_lock<std::mutex> lock(hook_record.mutex);
  hook_record.holding = true;
  hook_record.changed.wait_for(lock, zeltest::kWaitLimit, [] { return hook_record.released; });
  *result = 0;
  return true;
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zeltest::install_agent_signal_handlers();
    handler_programs_become_subreaper();
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    std::lock_guard<std::mutex> lock(hook_record.mutex);
    hook_record.holding = hook_record.released = false;
  }
  void TearDown() override {
    release_hold();
    message_sender_stop();
    message_sender_stop_programs();  // also after a failed test: nothing it started outlives it
    set_own_handler_hook(nullptr);
    delivery_testing::set_handler_timeout_ms(0);
    delivery_testing::set_backoff_ms(0);
    ::unsetenv("PVO_STORE");
  }
  static void release_hold() {
    std::lock_guard<std::mutex> lock(hook_record.mutex);
    hook_record.released = true;
    hook_record.changed.notify_all();
  }
  // Starts the sender with the hook, its message thread held until released.
  static void start_held() {
    set_own_handler_hook(holding_hook);
    ASSERT_EQ(message_sender_init(), 0);
    ASSERT_EQ(send_message("hold", ""), 0);
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
  zeltest::LogCapture log{dir.file("log")};
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
  struct Case { const char* name; std::string endpoint; std::function<std::string()> received; };
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

// Unreachable handlers fail at once, deaf ones after the write bound: both report -1.
TEST_F(DeliveryTest, FailedAndStalledDeliveriesReportMinusOneWithinTheWriteBound) {
  delivery_testing::set_handler_timeout_ms(100);
  std::uint16_t closed = 0;
  zeltest::listen_loopback(&closed);  // closed at once: nobody listens there
  std::uint16_t port = 0;
  const UniqueFd tcp = zeltest::listen_loopback(&port, 1);  // connections wait, never read
  const UniqueFd unix_socket = zeltest::listen_unix(dir.file("stalled.sock"), 1);
  const std::string payload(16 << 20, 'x');  // more than the socket buffers hold
  zeltest::write_file(dir.file("deaf.sh"), "#!/bin/sh\nexec sleep 600\n", 0755);  // the stop ends it
  const std::string lines[] = {"", "127.0.0.1:" + std::to_string(closed), "127.0.0.1:0", dir.file("none.sock"),
                               "127.0.0.1:" + std::to_string(port), dir.file("stalled.sock"), dir.file("deaf.sh")};
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    set_line("handler", line);
    errno = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(deliver_message("handler", payload.data(), payload.size()), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kHandlerWriteTimeoutSeconds));
    if (line.empty()) {
      EXPECT_EQ(errno, ENOENT);
    }
  }
}

// The message thread is held in the hook while the queue fills: a handler
// past its share is refused (logged at once, then counted until the stop),
// the queue past its limits, and everything taken is delivered in order.
TEST_F(DeliveryTest, FullQueueAndHandlerSharesRefuseAndTheStopDeliversTheRest) {
  zeltest::HandlerSink a(dir.file("a.sock"));
  zeltest::HandlerSink b(dir.file("b.sock"));
  set_line("a", a.endpoint());
  set_line("b", b.endpoint());
  set_line("big", b.endpoint());
  ASSERT_NO_FATAL_FAILURE(start_held());
  for (std::uint32_t i = 0; i < kHandlerQueueShareMessages; ++i) ASSERT_EQ(send_message("a", std::to_string(i)), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(send_message("a", "over its share"), -1);
  EXPECT_TRUE(log.has("Handler a holds its share of the queue (500 messages, 2000000 bytes): 1 message(s) refused."));
  ASSERT_EQ(send_message("big", std::string(kHandlerQueueShareBytes - 10, 'x')), 0);  // over the share alone: queued
  EXPECT_EQ(send_message("big", "x"), -1);
  for (std::uint32_t i = 0; i < kQueueMaxElements - kHandlerQueueShareMessages - 2; ++i) {
    ASSERT_EQ(send_message("b", std::to_string(i)), 0);
  }
  EXPECT_EQ(send_message("b", "one too many"), -1);
  EXPECT_TRUE(log.has("Queue full. Dropped 1 packets."));
  EXPECT_EQ(message_sender_dropped(), 6u);

  release_hold();
  ASSERT_EQ(message_sender_stop(), 0);
  ASSERT_TRUE(a.wait_for(kHandlerQueueShareMessages));
  const std::vector<std::string> got = a.payloads();
  for (std::uint32_t i = 0; i < kHandlerQueueShareMessages; ++i) ASSERT_EQ(got[i], std::to_string(i));
  EXPECT_TRUE(log.has("Handler a holds its share of the queue (500 messages, 2000000 bytes): 3 message(s) refused."));
  EXPECT_TRUE(log.has("not delivered: 0 failed, 0 dropped at shut-down, 1 refused by a full queue, 5 refused over"));
}

// A handler whose connection is never taken times out alone: the healthy
// handler's messages go on meanwhile, and the stuck one's later messages
// wait out its back-off and are delivered in order once it reads again.
TEST_F(DeliveryTest, AStuckHandlerDelaysNoOtherAndItsMessagesWaitOutTheBackoff) {
  delivery_testing::set_handler_timeout_ms(3000);
  delivery_testing::set_backoff_ms(300);
  zeltest::HandlerSink stuck(dir.file("stuck.sock"));
  zeltest::HandlerSink healthy(dir.file("healthy.sock"));
  stuck.hold(true);
  set_line("stuck", stuck.endpoint());
  // Named to come after "stuck" in the lanes' order: the stuck delivery is
  // under way before the healthy ones start, whenever the thread wakes.
  set_line("well", healthy.endpoint());
  ASSERT_EQ(message_sender_init(), 0);
  const std::vector<std::string> big = {std::string(600000, '1'), std::string(600000, '2'), std::string(600000, '3')};
  for (const std::string& payload : big) ASSERT_EQ(send_message("stuck", payload), 0);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(send_message("well", std::to_string(i)), 0);
  ASSERT_TRUE(healthy.wait_for(50));
  EXPECT_FALSE(log.has("Handler stuck made no progress"));
  ASSERT_TRUE(log.wait_for("Handler stuck made no progress for 3000 ms: message failed; its next messages wait"));
  stuck.hold(false);
  ASSERT_TRUE(stuck.wait_for(3));
  const std::vector<std::string> got = stuck.payloads();
  EXPECT_LT(got[0].size(), big[0].size());  // cut off when it timed out
  EXPECT_EQ(got[1], big[1]);
  EXPECT_EQ(got[2], big[2]);
  ASSERT_EQ(message_sender_stop(), 0);
  EXPECT_TRUE(log.has("Local delivery: 1 message(s) not delivered: 1 failed,"));
}

// Programs that leave a child behind (in their session or a new one) keep
// their slot while it lives: at most 8 a handler, 32 in all; the messages
// that found no slot wait, blocking no other handler, until the stop's
// deadline drops them; the stop ends every descendant.
TEST_F(DeliveryTest, ProgramSlotsPerHandlerAndInAllHoldWhileDescendantsLive) {
  if (!zeltest::child_subreaper_supported()) GTEST_SKIP() << "no child subreaper here (qemu-user)";
  struct Case { const char* name; int handlers; int messages_each; int running; };
  const Case cases[] = {{"one handler", 1, 10, kHandlerProgramsPerHandler},
                        {"five handlers", 5, 8, kHandlerProgramsMax}};
  zeltest::HandlerSink healthy(dir.file("healthy.sock"));
  set_line("healthy", healthy.endpoint());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string seconds = "600." + std::to_string(::getpid()) + std::to_string(c.handlers);
    const std::string marker = std::string("sleep") + '\0' + seconds + '\0';
    for (int h = 0; h < c.handlers; ++h) {
      const std::string program = dir.file("leaver" + std::to_string(h) + ".sh");
      zeltest::write_file(program, "#!/bin/sh\ncat >" + dir.file("ran.") + "$$\n" + (h % 2 == 0 ? "setsid " : "") +
                                       "sleep " + seconds + " </dev/null >/dev/null 2>&1 &\n", 0755);
      set_line("leaver" + std::to_string(h), program);
    }
    ASSERT_EQ(message_sender_init(), 0);
    for (int i = 0; i < c.messages_each; ++i) {
      for (int h = 0; h < c.handlers; ++h) ASSERT_EQ(send_message(("leaver" + std::to_string(h)).c_str(), "x"), 0);
    }
    ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::processes_with(marker) == c.running; }));
    ASSERT_EQ(send_message("healthy", c.name), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return !healthy.payloads().empty() && healthy.payloads().back() == c.name; }));
    ASSERT_EQ(message_sender_stop(200), 0);
    EXPECT_TRUE(log.has(std::to_string(c.handlers * c.messages_each - c.running) + " queued message(s) dropped"));
    EXPECT_EQ(message_sender_stop_programs(), 0);  // SIGTERM was enough
    EXPECT_EQ(zeltest::processes_with(marker), 0);
    EXPECT_EQ(message_sender_reap_programs(), 0u);
  }
}

// The stop's deadline cuts a write to a handler that reads, but slowly.
TEST_F(DeliveryTest, AStopCutsAWriteInProgressAtItsDeadline) {
  zeltest::HandlerSink slow(dir.file("slow.sock"));
  slow.pace(4096, std::chrono::milliseconds(50));  // 1.9 MB would take 23 s
  set_line("slow", slow.endpoint());
  ASSERT_EQ(message_sender_init(), 0);
  ASSERT_EQ(send_message("slow", std::string(1900000, 's')), 0);
  ASSERT_EQ(send_message("slow", "behind it"), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(message_sender_stop(300), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, zeltest::kWaitLimit / 3);
  EXPECT_TRUE(log.has("2 queued message(s) dropped: not delivered within the shut-down's"));
}

// The bounded queue on its own: both limits at their exact boundary, the
// count of refused elements and what the log says of them, and first-in
// first-out order of what it took.
TEST(MessageQueue, RefusesPastEitherLimitAndCountsTheDrops) {
  constexpr std::uint32_t kRoom = kQueueMaxBytes - kQueueNodeBytes;        // the largest single size
  constexpr std::uint32_t kHalf = kQueueMaxBytes / 2 - kQueueNodeBytes;  // two of them fill the queue
  // The sizes are enqueued in order: the first `accepted` are taken, the rest refused, and the log `said` so.
  struct Case { const char* name; std::vector<std::uint32_t> sizes; std::size_t accepted; const char* said; };
  const Case cases[] = {
      {"the element count", std::vector<std::uint32_t>(kQueueMaxElements + 2, 0), kQueueMaxElements, "Queue full"},
      {"bytes exactly at the limit", {kRoom}, 1, ""},
      {"one byte past the limit", {kRoom + 1}, 0, "Message of 4000001 bytes is larger than the queue's limit"},
      {"the limit reached by two", {kHalf, kHalf, 0}, 2, "Queue full. Dropped 1 packets. Memory usage is 4000000"},
      {"a size that would wrap around", {UINT32_MAX - kQueueNodeBytes + 1}, 0, "larger than the queue's limit"},
  };
  zeltest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::LogCapture log(dir.file(c.name));
    MtQueuePtr queue = mt_queue_create();
    std::vector<int> elements(c.sizes.size());
    std::uint32_t memory = 0;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      const int expected = i < c.accepted ? 0 : -1;
      ASSERT_EQ(mt_queue_enqueue(&elements[i], queue.get(), c.sizes[i]), expected) << "element " << i;
      if (expected == 0) memory += c.sizes[i] + kQueueNodeBytes;
    }
    const mt_queue_stats stats = mt_queue_get_stats(queue.get());
    EXPECT_EQ(stats.count, c.accepted);
    EXPECT_EQ(stats.dropped, c.sizes.size() - c.accepted);
    EXPECT_EQ(stats.memory, memory);
    EXPECT_TRUE(log.has(c.said));
    EXPECT_EQ(log.has("Queue full"), std::string(c.said).starts_with("Queue full"));
    for (std::size_t i = 0; i < c.accepted; ++i) EXPECT_EQ(mt_queue_dequeue(queue.get()), &elements[i]);
    EXPECT_EQ(mt_queue_is_empty(queue.get()), 1);
    EXPECT_EQ(mt_queue_get_stats(queue.get()).memory, 0u);
    mt_queue_destroy(std::move(queue));
  }
}

}  // namespace
