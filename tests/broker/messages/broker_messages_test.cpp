// The agent's packets as they reach the wire (hello, keepalive, heartbeat),
// heartbeat answers, and plain messages assembled by the broker callback set
// and delivered through the real message queue to a UNIX-socket handler.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "broker/messages/heartbeat_message.h"
#include "broker/messages/hello_message.h"
#include "broker/messages/packet.h"
#include "broker/messages/packet_reader.h"
#include "broker/messages/plain_message.h"
#include "broker/ssl_routine.h"
#include "config/config.h"
#include "delivery/handler_sink.h"
#include "delivery/message_sender.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string as_string(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class BrokerMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    conn.sock.reset(fds[0]);
    peer = fds[1];
  }
  void TearDown() override {
    if (peer >= 0) ::close(peer);
  }

  // Everything the agent wrote so far (the writes are done: socketpair
  // buffers them, so a non-blocking read collects them all).
  std::string written() {
    std::string out;
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) break;
      out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
  }

  bool logged(const std::string& text) const { return log_capture.contains(text); }

  zeltest::TempDir dir;
  zeltest::LogCapture log_capture{dir.file("agent.log")};
  connection conn;
  int peer = -1;
};

TEST_F(BrokerMessagesTest, HelloCarriesTheTokenOrTheAgentId) {
  const std::string token("\x00\x01tok\xFF", 6);
  EXPECT_EQ(send_hello(&conn, reinterpret_cast<const std::uint8_t*>(token.data()), token.size()), 10);
  EXPECT_EQ(hex(written()), hex(std::string("\x01\x01\x00\x06", 4) + token));

  config_set(kKeyAgentId, "AGENT-42");
  EXPECT_EQ(send_hello(&conn, nullptr, 0), 12);
  EXPECT_EQ(written(), std::string("\x00\x01\x00\x08", 4) + "AGENT-42");
}

TEST_F(BrokerMessagesTest, HelloRefusesATokenTheFramingCannotCarry) {
  const std::string token(kMaxPacketPartLength + 1, 'x');
  EXPECT_EQ(send_hello(&conn, reinterpret_cast<const std::uint8_t*>(token.data()), token.size()), -1);
  EXPECT_EQ(written(), "");

  const std::string largest(kMaxPacketPartLength, 'y');
  EXPECT_EQ(send_hello(&conn, reinterpret_cast<const std::uint8_t*>(largest.data()), largest.size()),
            static_cast<int>(kMaxPacketPartLength + 4));
}

TEST_F(BrokerMessagesTest, HelloWithoutAgentIdFailsTheLinkAndSendsNothing) {
  EXPECT_EQ(send_hello(&conn, nullptr, 0), -1);
  EXPECT_EQ(written(), "");
  EXPECT_TRUE(logged("Cannot get zel_agent_id value.\n"));
}

TEST_F(BrokerMessagesTest, HelloWriteFailureIsReturned) {
  ::close(peer);
  peer = -1;
  config_set(kKeyAgentId, "AGENT-1");
  EXPECT_LT(send_hello(&conn, nullptr, 0), 0);
}

TEST_F(BrokerMessagesTest, BrokerKeepaliveBytes) {
  EXPECT_EQ(send_broker_keepalive(&conn, 30, 5, 10), 16);
  EXPECT_EQ(hex(written()), "0A 01 00 0C 00 00 00 1E 00 00 00 05 00 00 00 0A");
  EXPECT_EQ(send_broker_keepalive(&conn, 0xFFFFFFFFu, 0x01020304u, 0), 16);
  EXPECT_EQ(hex(written()), "0A 01 00 0C FF FF FF FF 01 02 03 04 00 00 00 00");
  EXPECT_EQ(send_broker_keepalive(nullptr, 1, 2, 3), -1);
}

TEST_F(BrokerMessagesTest, HeartbeatsAreNumberedOnAndCarryTheTime) {
  const std::uint64_t before = heartbeat_last_sent();
  const std::int64_t start = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_EQ(send_heartbeat(&conn), 20);
  const std::string first = written();
  ASSERT_EQ(first.size(), kHeartbeatPacketSize);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(first.data());
  EXPECT_EQ(hex(first.substr(0, 4)), "0B 01 00 10");
  EXPECT_EQ(get_be64(raw + 4), before + 1);
  const auto sent_at = static_cast<std::int64_t>(get_be64(raw + 12));
  EXPECT_GE(sent_at, start);
  EXPECT_LE(sent_at, static_cast<std::int64_t>(std::time(nullptr)));
  EXPECT_TRUE(logged("heartbeat with seq number " + std::to_string(before + 1) + " was sent.\n"));

  // A null connection still takes a number.
  EXPECT_EQ(send_heartbeat(nullptr), -1);
  EXPECT_EQ(heartbeat_last_sent(), before + 2);
  EXPECT_EQ(send_heartbeat(&conn), 20);
  EXPECT_EQ(get_be64(reinterpret_cast<const std::uint8_t*>(written().data()) + 4), before + 3);
}

TEST_F(BrokerMessagesTest, HeartbeatPacketKeepsNegativeTimesSignExtended) {
  const Bytes packet = build_heartbeat_packet(7, -2);
  EXPECT_EQ(hex(as_string(packet)),
            "0B 01 00 10 00 00 00 00 00 00 00 07 FF FF FF FF FF FF FF FE");
}

TEST_F(BrokerMessagesTest, HeartbeatResponsesOfTheRightSizeAreRecorded) {
  struct Row {
    std::size_t size;
    bool recorded;
  };
  const Row rows[] = {{16, true}, {8, false}, {17, false}, {0, false}};
  std::uint64_t sequence = heartbeat_last_answered() + 100;
  for (const Row& row : rows) {
    SCOPED_TRACE("size " + std::to_string(row.size));
    ++sequence;
    std::string part(16, '\0');
    put_be64(reinterpret_cast<std::uint8_t*>(part.data()), sequence);
    part.resize(row.size, '\x55');
    const std::uint64_t answered_before = heartbeat_last_answered();
    EXPECT_EQ(handle_heartbeat_response(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()), 0);
    EXPECT_EQ(heartbeat_last_answered(), row.recorded ? sequence : answered_before);
    if (!row.recorded) {
      EXPECT_TRUE(logged("Size of hearbeat responce is more than we expected. Expected 16, but received " +
                         std::to_string(row.size) + ".\n"));
    }
  }
}

// Plain messages go through the broker callback set into the real queue.
class PlainMessageTest : public BrokerMessagesTest {
 protected:
  void SetUp() override {
    BrokerMessagesTest::SetUp();
    sink = zeltest::HandlerSink::unix_socket(dir.file("handler.sock"));
    config_set("zel_handler_abc", sink->endpoint().c_str());
    ASSERT_EQ(message_sender_init(), 0);
    ASSERT_EQ(packet_reader_init(&reader), 0);
  }
  void TearDown() override {
    packet_reader_release(&reader);
    message_sender_stop();
    sink.reset();
    BrokerMessagesTest::TearDown();
  }

  void feed(const Bytes& bytes, std::size_t step) {
    for (std::size_t at = 0; at < bytes.size(); at += step) {
      const std::size_t n = std::min(step, bytes.size() - at);
      ASSERT_EQ(packet_reader_feed(&reader, broker_packet_callbacks(), bytes.data() + at, n), n);
    }
  }

  packet_reader reader;
  std::unique_ptr<zeltest::HandlerSink> sink;
};

const Bytes kAbcHi = {0x02, 0x02, 0x00, 0x03, 'a', 'b', 'c', 0x00, 0x02, 'h', 'i'};

TEST_F(PlainMessageTest, TwoPartMessageReachesTheHandlerWholeAndByteByByte) {
  feed(kAbcHi, kAbcHi.size());
  feed(kAbcHi, 1);
  ASSERT_TRUE(sink->wait_for(2));
  EXPECT_EQ(sink->payloads(), (std::vector<std::string>{"hi", "hi"}));
}

TEST_F(PlainMessageTest, BodyPartsAreConcatenatedAndMessagesKeepTheirOrder) {
  const std::string a = "first", c = "!";
  auto packet = [](const std::vector<std::string>& parts) {
    std::vector<std::span<const std::uint8_t>> spans;
    for (const auto& p : parts) spans.emplace_back(reinterpret_cast<const std::uint8_t*>(p.data()), p.size());
    return encode_packet(PACKET_PLAIN_MESSAGE, spans);
  };
  Bytes stream = packet({"abc", "one"});
  const Bytes big = packet({"abc", a, std::string(65535, 'b'), c});
  stream.insert(stream.end(), big.begin(), big.end());
  const Bytes last = packet({"abc", "three"});
  stream.insert(stream.end(), last.begin(), last.end());
  feed(stream, 4096);
  ASSERT_TRUE(sink->wait_for(3));
  const auto payloads = sink->payloads();
  EXPECT_EQ(payloads[0], "one");
  EXPECT_EQ(payloads[1], a + std::string(65535, 'b') + c);
  EXPECT_EQ(payloads[2], "three");
}

TEST_F(PlainMessageTest, OnePartMessageIsDeliveredWithAnEmptyBody) {
  feed({0x02, 0x01, 0x00, 0x03, 'a', 'b', 'c'}, 7);
  ASSERT_TRUE(sink->wait_for(1));
  EXPECT_EQ(sink->payloads()[0], "");
}

TEST_F(PlainMessageTest, EmptyFirstPartIsLoggedAndTheNextByteStartsAPacket) {
  // 02 01 00 00 ends at its fourth byte; the rest is a whole message.
  Bytes stream = {0x02, 0x01, 0x00, 0x00};
  stream.insert(stream.end(), kAbcHi.begin(), kAbcHi.end());
  feed(stream, stream.size());
  EXPECT_TRUE(logged("received message from zelbroker without handler id\n"));
  ASSERT_TRUE(sink->wait_for(1));
  EXPECT_EQ(sink->payloads(), std::vector<std::string>{"hi"});
}

TEST_F(PlainMessageTest, UnknownTypesAreIgnoredAndHeartbeatAnswersRecorded) {
  const std::uint64_t answered = heartbeat_last_answered() + 1000;
  Bytes stream = {0x07, 0x01, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'};
  Bytes response = {0x0C, 0x01, 0x00, 0x10};
  response.resize(20, 0);
  put_be64(&response[4], answered);
  stream.insert(stream.end(), response.begin(), response.end());
  stream.insert(stream.end(), kAbcHi.begin(), kAbcHi.end());
  feed(stream, 3);
  EXPECT_EQ(heartbeat_last_answered(), answered);
  ASSERT_TRUE(sink->wait_for(1));
  EXPECT_EQ(sink->payloads(), std::vector<std::string>{"hi"});
}

TEST_F(PlainMessageTest, MessageCutShortIsDiscardedByTheNextOne) {
  // A message whose link dropped after its handler id: a fresh reader (a new
  // connection) and a new type-2 packet reset what was left.
  feed({0x02, 0x02, 0x00, 0x03, 'a', 'b', 'c', 0x00, 0x05, 'x'}, 10);
  ASSERT_EQ(packet_reader_init(&reader), 0);
  feed(kAbcHi, kAbcHi.size());
  ASSERT_TRUE(sink->wait_for(1));
  EXPECT_EQ(sink->payloads(), std::vector<std::string>{"hi"});
}

}  // namespace
