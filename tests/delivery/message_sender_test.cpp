#include "delivery/message_sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/config.h"
#include "delivery/handler_sink.h"
#include "delivery/mt_queue.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using zeltest::HandlerSink;
using zeltest::SilentListener;

constexpr std::size_t kMiB = 1024 * 1024;

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return bytes;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// The own-handler hook doubles as an in-process handler for the queue tests:
// names beginning with "rec-" are recorded, "block" holds the message thread
// until released.

struct HookState {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::vector<std::pair<std::string, std::string>> seen;
  bool blocked = false;  // a "block" message is being delivered
  bool release = false;
  int calls = 0;  // every deliver_message that reached the hook
  int stop_result = 1;  // what message_sender_stop gave inside a handler
};
HookState hook_state;

bool recording_hook(const char* name, const void* payload, std::size_t length, int* result) {
  std::unique_lock<std::mutex> guard(hook_state.mutex);
  ++hook_state.calls;
  const std::string handler(name);
  if (handler == "block") {
    hook_state.blocked = true;
    hook_state.changed.notify_all();
    hook_state.changed.wait_for(guard, std::chrono::seconds(60), [] { return hook_state.release; });
    hook_state.blocked = false;
    *result = 0;
    return true;
  }
  if (handler.rfind("rec-", 0) == 0) {
    hook_state.seen.emplace_back(handler, std::string(static_cast<const char*>(payload), length));
    hook_state.changed.notify_all();
    *result = 0;
    return true;
  }
  if (handler == "stop-from-handler") {
    hook_state.stop_result = message_sender_stop();
    *result = 0;
    return true;
  }
  if (handler == "agent-self") {
    *result = 7;
    return true;
  }
  return false;
}

void reset_hook_state() {
  std::lock_guard<std::mutex> guard(hook_state.mutex);
  hook_state.seen.clear();
  hook_state.blocked = false;
  hook_state.release = false;
  hook_state.calls = 0;
  hook_state.stop_result = 1;
}

bool wait_blocked() {
  std::unique_lock<std::mutex> guard(hook_state.mutex);
  return hook_state.changed.wait_for(guard, std::chrono::seconds(30),
                                     [] { return hook_state.blocked; });
}

void release_block() {
  std::lock_guard<std::mutex> guard(hook_state.mutex);
  hook_state.release = true;
  hook_state.changed.notify_all();
}

bool wait_recorded(std::size_t count) {
  std::unique_lock<std::mutex> guard(hook_state.mutex);
  return hook_state.changed.wait_for(guard, std::chrono::seconds(60),
                                     [&] { return hook_state.seen.size() >= count; });
}

std::vector<std::pair<std::string, std::string>> recorded() {
  std::lock_guard<std::mutex> guard(hook_state.mutex);
  return hook_state.seen;
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("PVO_STORE", dir_.file("store").c_str(), 1);
    reset_hook_state();
  }
  void TearDown() override {
    set_own_handler_hook(nullptr);
    delivery_testing::set_handler_timeout_ms(0);
    ::unsetenv("PVO_STORE");
  }

  std::string log() const { return log_.text(); }
  void set_line(const std::string& handler, const std::string& line) {
    config_set(handler_key(handler).c_str(), line.c_str());
  }
  // A handler program (shell script) that writes its standard input to `out`.
  std::string capture_program(const std::string& name, const std::string& out) {
    return script(name, "cat > '" + out + ".part' && mv '" + out + ".part' '" + out + "'\n");
  }
  std::string script(const std::string& name, const std::string& body, mode_t mode = 0755) {
    const std::string path = dir_.file(name);
    zeltest::write_file(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), mode);
    return path;
  }

  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("agent.log")};
};

// ---------------------------------------------------------------------------
// Delivery to one endpoint.

TEST_F(DeliveryTest, EveryEndpointKindReceivesExactlyThePayload) {
  const std::string payloads[] = {
      std::string(), std::string("x"), std::string("bin\0ary\xff\n\r", 11), pattern(kMiB)};
  auto tcp = HandlerSink::tcp();
  auto unix_sink = HandlerSink::unix_socket(dir_.file("handler.sock"));
  // Scripts are written before any program is started (a file being written
  // cannot be executed).
  std::vector<std::string> outputs;
  std::vector<std::string> programs;
  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    outputs.push_back(dir_.file("out" + std::to_string(i)));
    programs.push_back(capture_program("capture" + std::to_string(i), outputs.back()));
  }

  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    const std::string& payload = payloads[i];
    SCOPED_TRACE("payload of " + std::to_string(payload.size()) + " bytes");
    const void* data = payload.empty() ? nullptr : payload.data();

    set_line("tcp", tcp->endpoint());
    ASSERT_EQ(deliver_message("tcp", data, payload.size()), 0);
    ASSERT_TRUE(tcp->wait_for(i + 1));
    EXPECT_TRUE(tcp->payloads()[i] == payload);

    set_line("unix", unix_sink->endpoint());
    ASSERT_EQ(deliver_message("unix", data, payload.size()), 0);
    ASSERT_TRUE(unix_sink->wait_for(i + 1));
    EXPECT_TRUE(unix_sink->payloads()[i] == payload);

    set_line("program", programs[i]);
    ASSERT_EQ(deliver_message("program", data, payload.size()), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(outputs[i]); }));
    EXPECT_TRUE(zeltest::read_file(outputs[i]) == payload);
  }
  EXPECT_NE(log().find("Sent to handler 1048576 bytes.\n"), std::string::npos);
}

TEST_F(DeliveryTest, SendToEndpointChoosesTcpByPort) {
  auto tcp = HandlerSink::tcp();
  auto unix_sink = HandlerSink::unix_socket(dir_.file("s.sock"));
  EXPECT_EQ(send_to_endpoint("localhost", tcp->port(), "abc", 3), 0);
  EXPECT_EQ(send_to_endpoint(dir_.file("s.sock").c_str(), 0, "def", 3), 0);
  ASSERT_TRUE(tcp->wait_for(1));
  ASSERT_TRUE(unix_sink->wait_for(1));
  EXPECT_EQ(tcp->payloads()[0], "abc");
  EXPECT_EQ(unix_sink->payloads()[0], "def");

  EXPECT_EQ(send_to_endpoint("no-such-host.invalid", 80, "x", 1), -1);
  EXPECT_NE(log().find("Can't resolve host 'no-such-host.invalid'. h_errno="), std::string::npos);
}

TEST_F(DeliveryTest, UnreachableEndpointsFailWithTheirOwnMessage) {
  // A port held bound but not listening refuses every connection.
  const int held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const int closed_port = ntohs(address.sin_port);
  const std::string missing = dir_.file("missing.sock");
  set_line("h1", "127.0.0.1:" + std::to_string(closed_port));
  set_line("h2", missing);
  EXPECT_EQ(deliver_message("h1", "x", 1), -1);
  EXPECT_EQ(deliver_message("h2", "x", 1), -1);
  ::close(held);
  const std::string text = log();
  EXPECT_NE(text.find("Can't connect to '127.0.0.1':" + std::to_string(closed_port) + ", errno=" +
                      std::to_string(ECONNREFUSED)),
            std::string::npos) << text;
  EXPECT_NE(text.find("Can't connect to unix socket '" + missing + "', errno=" +
                      std::to_string(ENOENT)),
            std::string::npos) << text;
}

// ---------------------------------------------------------------------------
// Handler lines.

TEST_F(DeliveryTest, LineHelpersSplitExactlyAsWritten) {
  EXPECT_EQ(handler_endpoint_count(""), 1);
  EXPECT_EQ(handler_endpoint_count("a"), 1);
  EXPECT_EQ(handler_endpoint_count("a,b,,c"), 4);
  EXPECT_EQ(handler_endpoint_text("a,b,,c", 0), "a");
  EXPECT_EQ(handler_endpoint_text("a,b,,c", 2), "");
  EXPECT_EQ(handler_endpoint_text("a,b,,c", 3), "c");
  EXPECT_EQ(handler_endpoint_text(" a , b", 1), " b");
  EXPECT_EQ(handler_endpoint_text("a,b", 2), "");
  EXPECT_EQ(handler_key("x"), "zel_handler_x");
  const std::string long_name(130, 'n');
  EXPECT_EQ(handler_key(long_name), "zel_handler_" + std::string(117, 'n'));
}

TEST_F(DeliveryTest, EventSinkFansOutToEveryEndpointInLineOrder) {
  auto first = HandlerSink::tcp();
  auto second = HandlerSink::unix_socket(dir_.file("second.sock"));
  auto third = HandlerSink::tcp();
  set_line("event_sink", first->endpoint() + "," + second->endpoint() + "," + third->endpoint());
  EXPECT_EQ(deliver_message("event_sink", "state", 5), 0);
  for (HandlerSink* sink : {first.get(), second.get(), third.get()}) {
    ASSERT_TRUE(sink->wait_for(1));
    EXPECT_EQ(sink->payloads(), std::vector<std::string>{"state"});
  }
  EXPECT_EQ(log().find("multiple endpoints"), std::string::npos);

  // The order shows in the failures, logged as each endpoint is tried.
  const std::string a = dir_.file("a.sock"), b = dir_.file("b.sock"), c = dir_.file("c.sock");
  set_line("event_sink", a + "," + b + "," + c);
  EXPECT_EQ(deliver_message("event_sink", "state", 5), -1);
  const std::string text = log();
  const std::size_t at_a = text.find("unix socket '" + a + "'");
  const std::size_t at_b = text.find("unix socket '" + b + "'");
  const std::size_t at_c = text.find("unix socket '" + c + "'");
  ASSERT_NE(at_a, std::string::npos);
  ASSERT_NE(at_b, std::string::npos);
  ASSERT_NE(at_c, std::string::npos);
  EXPECT_LT(at_a, at_b);
  EXPECT_LT(at_b, at_c);
}

TEST_F(DeliveryTest, EventSinkResultIsThatOfTheLastEndpoint) {
  auto sink = HandlerSink::tcp();
  const std::string missing = dir_.file("missing.sock");
  struct Row {
    std::string line;
    int expected;
  };
  const Row rows[] = {{sink->endpoint() + "," + missing, -1}, {missing + "," + sink->endpoint(), 0}};
  std::size_t delivered = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    set_line("event_sink", row.line);
    EXPECT_EQ(deliver_message("event_sink", "p", 1), row.expected);
    ASSERT_TRUE(sink->wait_for(++delivered));
  }
}

TEST_F(DeliveryTest, OtherHandlersUseOnlyTheirFirstEndpoint) {
  const char* names[] = {"service", "event_sink_cloud", "event_sinks", "Event_sink"};
  auto sink = HandlerSink::tcp();
  SilentListener second;
  std::size_t delivered = 0;
  for (const char* name : names) {
    SCOPED_TRACE(name);
    set_line(name, sink->endpoint() + "," + second.endpoint());
    EXPECT_EQ(deliver_message(name, "m", 1), 0);
    ASSERT_TRUE(sink->wait_for(++delivered));
    EXPECT_FALSE(second.contacted());
    EXPECT_NE(log().find(std::string("handler for ") + name +
                         " has multiple endpoints (2). Only event_sink support this.\n"),
              std::string::npos);
  }
}

TEST_F(DeliveryTest, BadPortsAreRefusedWithoutConnecting) {
  struct Row {
    const char* port_text;
    const char* message;
  };
  const Row rows[] = {
      {"0", "Incorrect port value in configuration: '0'.\n"},
      {"70000", "Incorrect port value in configuration: '70000'.\n"},
      {"65536", "Incorrect port value in configuration: '65536'.\n"},
      {"-5", "Incorrect port value in configuration: '-5'.\n"},
      {"123456789", "Incorrect port value in configuration: '12345678'.\n"},  // 8 characters
      {"abc", "Incorrect port in configuration for handler line: 'abc'.\n"},
      {"", "Incorrect port in configuration for handler line: ''.\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port_text);
    set_line("bad", std::string("127.0.0.1:") + row.port_text);
    EXPECT_EQ(deliver_message("bad", "x", 1), -1);
    EXPECT_NE(log().find(row.message), std::string::npos) << log();
  }
  EXPECT_EQ(log().find("Can't connect"), std::string::npos);
}

TEST_F(DeliveryTest, BadPortStopsAnEventSinkLineAtOnce) {
  auto sink = HandlerSink::unix_socket(dir_.file("ok.sock"));
  SilentListener after;
  set_line("event_sink", sink->endpoint() + ",127.0.0.1:0," + after.endpoint());
  EXPECT_EQ(deliver_message("event_sink", "x", 1), 0);  // the result of the endpoint before
  ASSERT_TRUE(sink->wait_for(1));
  EXPECT_FALSE(after.contacted());
}

TEST_F(DeliveryTest, OverlongAddressesAreRefusedNeverCut) {
  // A socket path of exactly 107 characters works.
  std::string folder = dir_.path() + "/";
  const std::size_t padding = kUnixSocketPathMax - folder.size() - std::string("/s.sock").size();
  folder += std::string(padding, 'd');
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string longest = folder + "/s.sock";
  ASSERT_EQ(longest.size(), kUnixSocketPathMax);
  auto sink = HandlerSink::unix_socket(longest);
  set_line("longest", longest);
  EXPECT_EQ(deliver_message("longest", "ok", 2), 0);
  ASSERT_TRUE(sink->wait_for(1));

  struct Row {
    std::string endpoint;
    const char* message;
  };
  const Row rows[] = {
      {longest + "x", "unix socket path longer than 107 characters"},
      {"/" + std::string(255, 'p'), "path longer than 255 characters"},
      {std::string(256, 'h') + ":80", "host longer than 255 characters"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    set_line("long", row.endpoint);
    EXPECT_EQ(deliver_message("long", "x", 1), -1);
    const std::string refusal = "Handler endpoint '" + row.endpoint + "' refused: " + row.message;
    EXPECT_NE(log().find(refusal), std::string::npos);
  }
}

TEST_F(DeliveryTest, MissingLineOrNameIsReportedThroughErrno) {
  errno = 0;
  EXPECT_EQ(deliver_message("nobody", "x", 1), -1);
  EXPECT_EQ(errno, ENOENT);

  config_set(handler_key("empty").c_str(), "");
  errno = 0;
  EXPECT_EQ(deliver_message("empty", "x", 1), -1);
  EXPECT_EQ(errno, ENOENT);

  errno = 0;
  EXPECT_EQ(deliver_message(nullptr, "x", 1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_NE(log().find("description is null.\n"), std::string::npos);
}

TEST_F(DeliveryTest, NamesAgreeingInTheirFirst117CharactersShareALine) {
  auto sink = HandlerSink::tcp();
  const std::string common(117, 'k');
  set_line(common + "-first", sink->endpoint());
  EXPECT_EQ(deliver_message((common + "-second").c_str(), "shared", 6), 0);
  ASSERT_TRUE(sink->wait_for(1));
  EXPECT_EQ(sink->payloads()[0], "shared");
  errno = 0;
  EXPECT_EQ(deliver_message(common.substr(1).c_str(), "x", 1), -1);  // 116 characters: another key
  EXPECT_EQ(errno, ENOENT);
}

// ---------------------------------------------------------------------------
// Handler programs.

TEST_F(DeliveryTest, ProgramWithoutExecuteBitIsStartedAndItsFailureLogged) {
  const std::string path = script("not-executable", "cat > /dev/null\n", 0644);
  set_line("noexec", path);
  EXPECT_EQ(deliver_message("noexec", "payload", 7), -1);
  const std::string text = log();
  EXPECT_NE(text.find("handler " + path + " pointing to file, but executable bit is not set.\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("Cannot execute " + path + ", errno " + std::to_string(EACCES) + ".\n"),
            std::string::npos) << text;
}

TEST_F(DeliveryTest, ProgramsLeaveNoZombieBehind) {
  const std::string out = dir_.file("out");
  set_line("program", capture_program("capture", out));
  ASSERT_EQ(deliver_message("program", "once", 4), 0);
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(out); }));
  // The agent reaped its own child; the program itself was never its child.
  int status = 0;
  errno = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(DeliveryTest, ProgramsInheritNoDescriptorOfTheAgent) {
  // A descriptor opened without close-on-exec, as any module might.
  const int leaked = ::open(dir_.file("agent-file").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(leaked, 3);
  const std::string out = dir_.file("fds");
  const std::string path = script(
      "fd-check", "cat > /dev/null; if [ -e /proc/$$/fd/" + std::to_string(leaked) + " ]; then echo inherited > '" + out +
                 ".part'; else echo clean > '" + out + ".part'; fi; mv '" + out + ".part' '" + out +
                 "'\n");
  set_line("fds", path);
  ASSERT_EQ(deliver_message("fds", "x", 1), 0) << log();
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(out); }));
  EXPECT_EQ(zeltest::read_file(out), "clean\n");
  ::close(leaked);
}

TEST_F(DeliveryTest, ProgramThatExitsWithoutReadingCannotEndTheAgent) {
  set_line("quitter", script("quitter", "exit 0\n"));
  const std::string big = pattern(kMiB);
  EXPECT_EQ(deliver_message("quitter", big.data(), big.size()), -1);  // SIGPIPE would end us
  const std::string text = log();
  EXPECT_NE(text.find("some error. errno = " + std::to_string(EPIPE)), std::string::npos) << text;
  EXPECT_NE(text.find("write(). Writed "), std::string::npos) << text;
}

TEST_F(DeliveryTest, StalledHandlersAreAbandonedAfterTheWriteBound) {
  delivery_testing::set_handler_timeout_ms(200);
  const std::string big = pattern(16 * kMiB);

  SilentListener unread(dir_.file("unread.sock"));
  set_line("unread", unread.endpoint());
  EXPECT_EQ(deliver_message("unread", big.data(), big.size()), -1);
  EXPECT_NE(log().find("Failed to send msg to zelhandler on port '" + unread.endpoint() + "':0.\n"),
            std::string::npos);

  // A listener that takes no more connections: the connect is bounded too.
  SilentListener full(dir_.file("full.sock"), 0);
  set_line("full", full.endpoint());
  EXPECT_EQ(deliver_message("full", "first", 5), 0);  // waits in the backlog
  EXPECT_EQ(deliver_message("full", "second", 6), -1);
  EXPECT_NE(log().find("Can't connect to unix socket '" + full.endpoint() + "', errno=" +
                       std::to_string(EAGAIN)),
            std::string::npos);

  const std::string release = dir_.file("release");
  set_line("sleeper",
           script("sleeper", "while [ ! -e '" + release + "' ]; do sleep 0.05; done\n"));
  EXPECT_EQ(deliver_message("sleeper", big.data(), big.size()), -1);
  EXPECT_NE(log().find("has not read its input for 200 ms.\n"), std::string::npos);
  zeltest::write_file(release, "go");
}

TEST_F(DeliveryTest, OwnHandlerNameNeverReachesTheDirectory) {
  SilentListener listener;
  set_line("agent-self", listener.endpoint());
  set_own_handler_hook(recording_hook);
  EXPECT_EQ(deliver_message("agent-self", "{}", 2), 7);
  EXPECT_FALSE(listener.contacted());
  EXPECT_EQ(log().find("handler_desc='zel_handler_agent-self'"), std::string::npos);

  set_line("other", listener.endpoint());
  EXPECT_EQ(deliver_message("other", "x", 1), 0);  // the hook declines other names
  EXPECT_TRUE(listener.contacted());
}

// ---------------------------------------------------------------------------
// Queue and message thread.

class QueueTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    set_own_handler_hook(recording_hook);
    ASSERT_EQ(message_sender_init(), 0);
  }
  void TearDown() override {
    release_block();
    message_sender_stop();
    DeliveryTest::TearDown();
  }
};

TEST_F(DeliveryTest, QueuingBeforeInitOrAfterStopIsRefused) {
  std::string name = "rec-x";
  std::string payload = "lost";
  EXPECT_EQ(send_message_to_queue(std::move(name), std::move(payload)), -1);
  ASSERT_EQ(message_sender_init(), 0);
  EXPECT_EQ(message_sender_init(), -1);  // already running
  ASSERT_EQ(message_sender_stop(), 0);
  EXPECT_EQ(send_message("rec-x", "lost"), -1);
  EXPECT_EQ(count_of(log(), "Trying to enqueue uncreated queue.\n"), 2u);
}

TEST_F(QueueTest, MessagesAreDeliveredInQueuingOrder) {
  for (const char* payload : {"A", "B", "C"}) ASSERT_EQ(send_message("rec-order", payload), 0);
  ASSERT_TRUE(wait_recorded(3));
  const auto seen = recorded();
  EXPECT_EQ(seen[0].second, "A");
  EXPECT_EQ(seen[1].second, "B");
  EXPECT_EQ(seen[2].second, "C");

  // The same through a real handler socket.
  auto sink = HandlerSink::unix_socket(dir_.file("ordered.sock"));
  set_line("ordered", sink->endpoint());
  for (const char* payload : {"A", "B", "C"}) ASSERT_EQ(send_message("ordered", payload), 0);
  ASSERT_TRUE(sink->wait_for(3));
  EXPECT_EQ(sink->payloads(), (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(QueueTest, FirstMessageStartsTheOneThread) {
  ASSERT_EQ(send_message("block", ""), 0);
  ASSERT_TRUE(wait_blocked());
  ASSERT_EQ(send_message("rec-second", "2"), 0);
  const std::string text = log();
  EXPECT_NE(text.find("Available threads: 0, waiting threads: 0.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Available threads: 1, waiting threads: 0.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Cannot create more threads - limit reached.\n"), std::string::npos);
  EXPECT_EQ(count_of(text, "Starting message thread.\n"), 1u);
  release_block();
  ASSERT_TRUE(wait_recorded(1));

  // Idle or still draining: either way the one thread takes it.
  ASSERT_EQ(send_message("rec-third", "3"), 0);
  ASSERT_TRUE(wait_recorded(2));
  EXPECT_EQ(count_of(log(), "Starting message thread.\n"), 1u);
}

TEST_F(QueueTest, The1001stMessageIsDroppedAndCounted) {
  ASSERT_EQ(send_message("block", ""), 0);
  ASSERT_TRUE(wait_blocked());
  for (std::uint32_t i = 0; i < kQueueMaxElements; ++i) {
    ASSERT_EQ(send_message("rec-fill", "m"), 0) << i;
  }
  EXPECT_EQ(send_message("rec-fill", "m"), -1);
  EXPECT_EQ(send_message("rec-fill", "m"), -1);
  EXPECT_EQ(message_sender_dropped(), 2u);
  // Each message costs payload + name + 24 bytes.
  const std::string memory = std::to_string(1000 * (1 + 8 + 24));
  const std::string text = log();
  EXPECT_NE(text.find("Queue full. Dropped 1 packets. Memory usage is " + memory + "\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("Queue full. Dropped 2 packets. Memory usage is " + memory + "\n"),
            std::string::npos);
  release_block();
  ASSERT_TRUE(wait_recorded(1000));
}

TEST_F(QueueTest, MemoryLimitIsExactToTheByte) {
  ASSERT_EQ(send_message("block", ""), 0);
  ASSERT_TRUE(wait_blocked());  // the queue is empty again and stays so
  const std::string name = "rec-ten-ch";
  ASSERT_EQ(name.size(), 10u);
  EXPECT_EQ(send_message(name.c_str(), std::string(3999980, 'b')), -1);
  EXPECT_EQ(send_message(name.c_str(), std::string(3999967, 'b')), -1);
  EXPECT_EQ(send_message(name.c_str(), std::string(3999966, 'b')), 0);
  release_block();
  ASSERT_TRUE(wait_recorded(1));
  EXPECT_EQ(recorded()[0].second.size(), 3999966u);
}

TEST_F(QueueTest, StopDeliversEverythingStillQueued) {
  ASSERT_EQ(send_message("block", ""), 0);
  ASSERT_TRUE(wait_blocked());
  constexpr int kQueued = 200;
  for (int i = 0; i < kQueued; ++i) ASSERT_EQ(send_message("rec-late", std::to_string(i)), 0);
  release_block();
  ASSERT_EQ(message_sender_stop(), 0);
  // No waiting: stop returned only after the thread delivered all of them.
  EXPECT_EQ(recorded().size(), static_cast<std::size_t>(kQueued));
  EXPECT_NE(log().find("Exiting message thread.\n"), std::string::npos);
  EXPECT_EQ(send_message("rec-late", "after"), -1);
}

TEST_F(QueueTest, StopFromInsideAHandlerIsRefusedNotDeadlocked) {
  ASSERT_EQ(send_message("stop-from-handler", ""), 0);
  ASSERT_EQ(send_message("rec-still-running", "yes"), 0);
  ASSERT_TRUE(wait_recorded(1));
  std::lock_guard<std::mutex> guard(hook_state.mutex);
  EXPECT_EQ(hook_state.stop_result, -1);
}

TEST_F(QueueTest, SeveralProducersAreAllDeliveredInTheirOwnOrder) {
  constexpr int kProducers = 4;
  constexpr int kEach = 200;
  log_level = kLogWarning;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p] {
      for (int i = 0; i < kEach; ++i) {
        std::string name = "rec-" + std::to_string(p);
        EXPECT_EQ(send_message_to_queue(std::move(name), std::to_string(i)), 0);
      }
    });
  }
  for (std::thread& t : producers) t.join();
  ASSERT_TRUE(wait_recorded(kProducers * kEach));
  std::vector<int> next(kProducers, 0);
  for (const auto& [name, payload] : recorded()) {
    const int producer = std::stoi(name.substr(4));
    EXPECT_EQ(std::stoi(payload), next[producer]) << name;
    ++next[producer];
  }
}

TEST_F(QueueTest, AProgramThatExitsWithoutReadingDoesNotStopTheThread) {
  set_line("quitter", script("quitter", "exit 0\n"));
  ASSERT_EQ(send_message("quitter", pattern(kMiB)), 0);
  ASSERT_EQ(send_message("rec-next", "next"), 0);
  ASSERT_TRUE(wait_recorded(1));
  EXPECT_EQ(recorded()[0].second, "next");
}

}  // namespace
