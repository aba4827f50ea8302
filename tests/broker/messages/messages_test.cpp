// The zelbroker framing and messages: the packet reader cut at every offset, the exact bytes of a token's hello and
// of heartbeats (the agent tests check the agent id's hello and the broker keepalive), heartbeat answers and plain
// messages through the broker thread's callbacks into the message queue, and base64.
#include <algorithm>
#include <ctime>
#include <tuple>

#include "broker/base64.h"
#include "broker/broker_fixture.h"
#include "broker/messages/heartbeat_message.h"
#include "broker/messages/hello_message.h"
#include "broker/messages/packet.h"
#include "broker/messages/plain_message.h"
#include "delivery/message_sender.h"

namespace brokertest {
namespace {

std::string& transcript(packet_reader* reader) { return *static_cast<std::string*>(reader->user); }
const std::uint8_t* data(const std::string& text) { return reinterpret_cast<const std::uint8_t*>(text.data()); }

// Writes each step of the reader down: "T<type>", "[part]", "E" at a packet end.
const packet_callbacks kRecorder{
    nullptr, [](packet_reader* r) { return transcript(r) += "T" + std::to_string(r->type), 0; }, nullptr,
    [](packet_reader* r, const std::uint8_t* part, std::uint16_t n) {
      return transcript(r) += "[" + std::string(reinterpret_cast<const char*>(part), n) + "]", 0;
    },
    [](packet_reader* r) { return transcript(r) += "E", 0; }};

// Feeds `stream` in pieces cut at `cuts` (offsets) and returns the transcript.
std::string read_stream(const std::string& stream, const std::vector<std::size_t>& cuts,
                        const packet_callbacks* callbacks = &kRecorder) {
  std::string out;
  packet_reader reader;
  reader.user = &out;
  EXPECT_EQ(packet_reader_init(&reader), 0);
  for (std::size_t from = 0, i = 0; i < cuts.size(); from = cuts[i++]) {
    EXPECT_EQ(packet_reader_feed(&reader, callbacks, data(stream) + from, cuts[i] - from), cuts[i] - from);
  }
  packet_reader_release(&reader);
  return out;
}

TEST_F(BrokerTest, ReaderGivesTheSamePacketsHoweverTheStreamIsCut) {
  std::string stream = bytes({2, 2, 0, 3}) + "app" + bytes({0, 5}) + "hello" +  //
                       bytes({9, 3, 0, 1}) + "x" + bytes({0, 0}) +              // an empty part ends it
                       bytes({7, 1, 1, 44}) + std::string(300, 'z') + bytes({5, 0});  // then 256 parts
  std::string expected = "T2[app][hello]ET9[x]ET7[" + std::string(300, 'z') + "]ET5";
  for (int i = 0; i < 256; ++i) stream += bytes({0, 1, 'a' + i % 26}), expected += bytes({'[', 'a' + i % 26, ']'});
  expected += "E";
  EXPECT_EQ(read_stream(stream, {stream.size()}), expected);
  // (Cuts into many pieces: the fuzz replay of the reader, FuzzReplay.packet_reader.)
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    ASSERT_EQ(read_stream(stream, {cut, stream.size()}), expected);
  }
}

TEST_F(BrokerTest, HelloAndHeartbeatBytes) {
  Pair pair;
  const std::string token("to\0k", 4), longest(65535, 'L');
  EXPECT_EQ(send_hello(&pair.conn, data(token), 4), 8);
  EXPECT_EQ(pair.take(8), bytes({1, 1, 0, 4}) + token);
  EXPECT_EQ(send_hello(&pair.conn, data(longest), 65535), 65539);
  EXPECT_EQ(pair.take(65539).substr(0, 5), bytes({1, 1, 255, 255, 'L'}));
  EXPECT_EQ(send_hello(&pair.conn, data(longest + "L"), 65536), -1);

  const auto packet = build_heartbeat_packet(0x0102030405060708, -2);
  EXPECT_EQ(std::string(packet.begin(), packet.end()),
            bytes({11, 1, 0, 16, 1, 2, 3, 4, 5, 6, 7, 8}) + std::string(7, '\xff') + "\xfe");
  const std::uint64_t before = heartbeat_last_sent();
  EXPECT_EQ(send_heartbeat(&pair.conn), 20);
  const std::string sent = pair.take(20);
  EXPECT_EQ(heartbeat_last_sent(), before + 1);
  EXPECT_EQ(sent.substr(0, 4), bytes({11, 1, 0, 16}));
  EXPECT_EQ(get_be64(data(sent) + 4), before + 1);
  EXPECT_NEAR(get_be64(data(sent) + 12), std::time(nullptr), 5);
}

TEST_F(BrokerTest, BrokerPacketsReachTheQueueAndTheHeartbeatCheck) {
  ASSERT_EQ(start_queue(), 0);
  const auto feed = [](const std::string& stream) { read_stream(stream, {stream.size()}, broker_packet_callbacks()); };
  feed(bytes({2, 4, 0, 3}) + "app" + bytes({0, 2}) + "ab" + bytes({0, 2}) + "cd" + bytes({0, 2}) + "ef");
  feed(bytes({2, 2, 0, 3}) + "old");  // the link drops inside a message
  feed(bytes({2, 1, 0, 4}) + "solo");
  feed(bytes({12, 1, 0, 16, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}) + std::string(8, '\x55'));
  feed(bytes({12, 1, 0, 15}) + std::string(15, '\x01'));  // answers of a wrong size are ignored
  feed(bytes({12, 1, 0, 17}) + std::string(17, '\x01'));
  EXPECT_EQ(heartbeat_last_answered(), 0x1122334455667788u);
  EXPECT_EQ(message_sender_stop(), 0);  // after delivering what is queued
  EXPECT_EQ(take_delivered(), (std::vector<std::pair<std::string, std::string>>{{"app", "abcdef"}, {"solo", ""}}));
}

TEST_F(BrokerTest, PlainMessagesPastTheQueueLimitAreDiscardedPartByPart) {
  ASSERT_EQ(start_queue(), 0);
  // Handler "h": the largest body the queue takes is the limit less the handler id and the overhead.
  const std::size_t largest = kPlainMessageMaxBytes - kQueuedMessageOverhead - 1;
  struct Case { std::size_t body; bool cut_short; bool kept; const char* logged; };
  const std::vector<Case> cases = {
      {largest, false, true, nullptr},
      {largest + 1, false, false, "of 4000001 bytes is larger than the queue's limit of 4000000 bytes"},
      {255 * kMaxPartLength, false, false, "of 16711450 bytes is larger"},  // 256 full parts
      {255 * kMaxPartLength, true, false, "of 4063195 bytes is larger"},  // the link drops after 62 parts
  };
  const auto small = bytes({2, 2, 0, 1}) + "s" + bytes({0, 5}) + "after";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::string stream = bytes({2, 0, 0, 1}) + "h";  // a count of 0: up to 256 parts
    for (std::size_t left = c.body; left > 0;) {
      const std::size_t part = std::min(left, kMaxPartLength);
      stream += bytes({static_cast<int>(part >> 8), static_cast<int>(part & 0xff)}) + std::string(part, 'b');
      left -= part;
    }
    if (c.body < 255 * kMaxPartLength) stream += bytes({0, 0});  // an empty part ends it
    if (c.cut_short) stream.resize(62 * (kMaxPartLength + 2) + 5);
    packet_reader reader;
    ASSERT_EQ(packet_reader_init(&reader), 0);
    std::size_t most = 0;  // the most the message record ever held
    for (std::size_t from = 0; from < stream.size(); from += kPartBufferSize) {
      const std::size_t piece = std::min(kPartBufferSize, stream.size() - from);
      packet_reader_feed(&reader, broker_packet_callbacks(), reinterpret_cast<const std::uint8_t*>(stream.data()) + from, piece);
      most = std::max(most, plain_message_held_bytes());
    }
    if (c.cut_short) {  // a new link: a new reader
      packet_reader_release(&reader);
      plain_message_reset();
      ASSERT_EQ(packet_reader_init(&reader), 0);
    }
    EXPECT_EQ(message_sender_stop(), 0);  // delivers a kept message: the queue has room again
    ASSERT_EQ(message_sender_init(), 0);
    packet_reader_feed(&reader, broker_packet_callbacks(), data(small), small.size());  // read in step
    packet_reader_release(&reader);
    EXPECT_LE(most, kPlainMessageMaxBytes);
    EXPECT_EQ(message_sender_stop(), 0);  // after delivering what is queued
    ASSERT_EQ(message_sender_init(), 0);
    const auto delivered = take_delivered();
    ASSERT_EQ(delivered.size(), c.kept ? 2u : 1u);
    if (c.kept) { EXPECT_EQ(delivered.front().second.size(), c.body); }
    EXPECT_EQ(delivered.back(), std::make_pair(std::string("s"), std::string("after")));
    const std::string text = log.text();
    EXPECT_EQ(zeltest::count_of(text, "is larger than the queue's limit"), c.logged ? 1 : 0);
    if (c.logged) { EXPECT_NE(text.find(c.logged), std::string::npos) << text; }
    EXPECT_EQ(text.find("Message of"), std::string::npos);  // never handed whole to the queue
    zeltest::write_file(dir.file("broker.log"), "");
  }
}

TEST(Base64, EncodesAndDecodes) {
  // Text, bytes, and whether encoding gives the text (decoding stops at "=" and at a foreign character).
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"", "", true}, {"Zg==", "f", true}, {"Zm8=", "fo", true}, {"Zm9v", "foo", true}, {"Zm9vYg==", "foob", true},
      {"//79AA==", std::string("\xff\xfe\xfd\0", 4), true}, {"Zm9vYg", "foob", false},
      {"Zm9v YmFy", "foo", false}, {"Zm9=vYg", "fo", false}, {"Zm9vY", "foo", false}};
  for (const auto& [text, plain, canonical] : cases) {
    SCOPED_TRACE(text);
    std::size_t length = 99;
    EXPECT_EQ(base64_decode(text.data(), text.size(), &length), plain);
    EXPECT_EQ(length, plain.size());
    EXPECT_EQ(base64_encode(plain.data(), plain.size()) == text, canonical);
  }
}

}  // namespace
}  // namespace brokertest
