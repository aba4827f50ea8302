// The packet reader against byte tables: whole feeds, byte-at-a-time feeds,
// every split point, stops asked by callbacks, and the framing limits.
#include "broker/messages/packet_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "broker/messages/packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every callback as one line: "T2" type, "C2" count, "P:abc" part,
// "E" end, "B" begin.
struct Recorder {
  std::vector<std::string> events;
  int stop_on_type_call = -1;  // index of the on_type call that asks to stop
  int stop_on_end_call = -1;
  int stop_on_begin = 0;
  int type_calls = 0;
  int end_calls = 0;
};

Recorder& rec(packet_reader* reader) { return *static_cast<Recorder*>(reader->user); }

int on_begin(packet_reader* reader, const packet_callbacks*, const std::uint8_t*) {
  rec(reader).events.push_back("B");
  return rec(reader).stop_on_begin;
}
int on_type(packet_reader* reader) {
  Recorder& r = rec(reader);
  r.events.push_back("T" + std::to_string(packet_reader_type(reader)));
  return r.type_calls++ == r.stop_on_type_call ? 1 : 0;
}
int on_count(packet_reader* reader) {
  rec(reader).events.push_back("C" + std::to_string(packet_reader_count(reader)));
  return 0;
}
int on_part(packet_reader* reader, const std::uint8_t* part, std::uint16_t length) {
  rec(reader).events.push_back("P:" + std::string(reinterpret_cast<const char*>(part), length));
  return 1;  // ignored by the reader
}
int on_end(packet_reader* reader) {
  Recorder& r = rec(reader);
  r.events.push_back("E");
  return r.end_calls++ == r.stop_on_end_call ? 1 : 0;
}

constexpr packet_callbacks kRecording{on_begin, on_type, on_count, on_part, on_end};

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

class PacketReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader.user = &recorder;
    ASSERT_EQ(packet_reader_init(&reader), 0);
  }
  void TearDown() override { packet_reader_release(&reader); }

  // Feeds `data` in pieces of at most `step` bytes; every piece must be consumed.
  void feed_in_steps(const Bytes& data, std::size_t step) {
    for (std::size_t at = 0; at < data.size(); at += step) {
      std::size_t n = std::min(step, data.size() - at);
      ASSERT_EQ(packet_reader_feed(&reader, &kRecording, data.data() + at, n), n);
    }
  }

  Recorder recorder;
  packet_reader reader;
};

const Bytes kAbcHi = bytes({0x02, 0x02, 0x00, 0x03, 'a', 'b', 'c', 0x00, 0x02, 'h', 'i'});

TEST_F(PacketReaderTest, StreamsGiveTheExpectedCallbacks) {
  struct Row {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
  };
  const std::vector<Row> rows = {
      {"plain message abc/hi", kAbcHi, {"B", "T2", "C2", "P:abc", "P:hi", "E"}},
      {"one-part plain message", bytes({2, 1, 0, 3}) + text("abc"), {"B", "T2", "C1", "P:abc", "E"}},
      {"zero-length first part ends the packet, next byte is a type",
       bytes({2, 1, 0, 0, 12, 1, 0, 1, 'x'}),
       {"B", "T2", "C1", "E", "T12", "C1", "P:x", "E"}},
      {"zero-length later part ends the packet with parts left",
       bytes({2, 3, 0, 1, 'a', 0, 0, 7, 1, 0, 1, 'z'}),
       {"B", "T2", "C3", "P:a", "E", "T7", "C1", "P:z", "E"}},
      {"unknown type is framed and consumed", bytes({7, 1, 0, 5}) + text("hello"),
       {"B", "T7", "C1", "P:hello", "E"}},
      {"several packets in one stream", kAbcHi + bytes({12, 1, 0, 2, 'o', 'k'}) + kAbcHi,
       {"B", "T2", "C2", "P:abc", "P:hi", "E", "T12", "C1", "P:ok", "E", "T2", "C2", "P:abc",
        "P:hi", "E"}},
  };
  for (const Row& row : rows) {
    for (std::size_t step : {row.stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      SCOPED_TRACE(std::string(row.name) + ", step " + std::to_string(step));
      recorder.events.clear();
      ASSERT_EQ(packet_reader_init(&reader), 0);
      feed_in_steps(row.stream, step);
      EXPECT_EQ(recorder.events, row.events);
      EXPECT_EQ(reader.state, kReaderType);
    }
  }
}

TEST_F(PacketReaderTest, EverySplitPointOfTwoPacketsGivesTheSameResult) {
  const Bytes stream = kAbcHi + bytes({2, 1, 0, 2, 'x', 'y'});
  const std::vector<std::string> expected = {"B", "T2", "C2", "P:abc", "P:hi", "E",
                                             "T2", "C1", "P:xy", "E"};
  for (std::size_t split = 1; split < stream.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    recorder.events.clear();
    ASSERT_EQ(packet_reader_init(&reader), 0);
    EXPECT_EQ(packet_reader_feed(&reader, &kRecording, stream.data(), split), split);
    EXPECT_EQ(packet_reader_feed(&reader, &kRecording, stream.data() + split, stream.size() - split),
              stream.size() - split);
    EXPECT_EQ(recorder.events, expected);
  }
}

TEST_F(PacketReaderTest, LargestPartWholeAndInPieces) {
  std::string body(kMaxPartLength, 'q');
  body.front() = 'A';
  body.back() = 'Z';
  const Bytes stream = bytes({2, 2, 0, 1, 'h', 0xFF, 0xFF}) + text(body);
  for (std::size_t step : {stream.size(), std::size_t{4096}, std::size_t{1000}}) {
    SCOPED_TRACE("step " + std::to_string(step));
    recorder.events.clear();
    ASSERT_EQ(packet_reader_init(&reader), 0);
    feed_in_steps(stream, step);
    ASSERT_EQ(recorder.events.size(), 6u);
    EXPECT_EQ(recorder.events[3], "P:h");
    EXPECT_EQ(recorder.events[4], "P:" + body);
    EXPECT_EQ(recorder.events[5], "E");
  }
}

TEST_F(PacketReaderTest, CountByteZeroReads256Parts) {
  Bytes stream = bytes({9, 0});
  for (int i = 0; i < 256; ++i) stream = stream + bytes({0, 1, 'p'});
  stream = stream + bytes({9, 1, 0, 1, 'n'});
  feed_in_steps(stream, stream.size());
  ASSERT_EQ(recorder.events.size(), 3u + 256u + 1u + 4u);
  EXPECT_EQ(recorder.events[2], "C0");
  EXPECT_EQ(recorder.events[3 + 255], "P:p");
  EXPECT_EQ(recorder.events[3 + 256], "E");
  EXPECT_EQ(recorder.events[3 + 257], "T9");
}

TEST_F(PacketReaderTest, ZeroCountFeedConsumesNothingAndCallsNothing) {
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, kAbcHi.data(), 0), 0u);
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(reader.state, kReaderBegin);
}

TEST_F(PacketReaderTest, BeginIsCalledOncePerInitAndCanRefuseTheFeed) {
  recorder.stop_on_begin = 1;
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, kAbcHi.data(), kAbcHi.size()), 0u);
  EXPECT_EQ(recorder.events, std::vector<std::string>{"B"});
  EXPECT_EQ(reader.state, kReaderBegin);

  recorder.stop_on_begin = 0;
  recorder.events.clear();
  feed_in_steps(kAbcHi + kAbcHi, 5);
  EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "B"), 1);
}

TEST_F(PacketReaderTest, TypeStopReturnsBytesBeforeAndRefeedRepeatsTheCallback) {
  const Bytes stream = kAbcHi + kAbcHi;
  recorder.stop_on_type_call = 1;  // the second packet's type
  const std::size_t consumed = packet_reader_feed(&reader, &kRecording, stream.data(), stream.size());
  EXPECT_EQ(consumed, kAbcHi.size());
  EXPECT_EQ(reader.state, kReaderType);
  EXPECT_EQ(packet_reader_type(&reader), 2);
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, stream.data() + consumed, stream.size() - consumed),
            stream.size() - consumed);
  EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "P:hi"), 2);
  EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "T2"), 3);
}

TEST_F(PacketReaderTest, EndStopLeavesStateCompleteAndTheNextByteEndsAgain) {
  const Bytes stream = kAbcHi + bytes({7, 1, 0, 1, 'x'});
  recorder.stop_on_end_call = 0;
  const std::size_t consumed = packet_reader_feed(&reader, &kRecording, stream.data(), stream.size());
  EXPECT_EQ(consumed, kAbcHi.size() - 1);  // the byte that completed the packet is not counted
  EXPECT_EQ(reader.state, kReaderComplete);
  // Feeding that byte again consumes it without storing it and calls on_end again.
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, stream.data() + consumed, stream.size() - consumed),
            stream.size() - consumed);
  const std::vector<std::string> expected = {"B", "T2", "C2", "P:abc", "P:hi", "E", "E",
                                             "T7", "C1", "P:x", "E"};
  EXPECT_EQ(recorder.events, expected);
}

TEST_F(PacketReaderTest, EndStopOnEmptyPartLeavesTheLengthByteUncounted) {
  const Bytes stream = bytes({2, 1, 0, 0, 7, 1, 0, 1, 'x'});
  recorder.stop_on_end_call = 0;
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, stream.data(), stream.size()), 3u);
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, stream.data() + 3, stream.size() - 3),
            stream.size() - 3);
  const std::vector<std::string> expected = {"B", "T2", "C1", "E", "E", "T7", "C1", "P:x", "E"};
  EXPECT_EQ(recorder.events, expected);
}

TEST_F(PacketReaderTest, InitKeepsUserAndResetsEverythingElse) {
  const Bytes half(kAbcHi.begin(), kAbcHi.begin() + 6);
  feed_in_steps(half, half.size());
  EXPECT_EQ(reader.state, kReaderPartBytes);
  ASSERT_EQ(packet_reader_init(&reader), 0);
  EXPECT_EQ(reader.user, &recorder);
  EXPECT_EQ(reader.state, kReaderBegin);
  EXPECT_EQ(reader.received, 0);
  EXPECT_EQ(reader.part_length, 0);
  EXPECT_EQ(reader.parts_left, 0);
  EXPECT_EQ(reader.part_buffer.size(), kPartBufferSize);
}

TEST_F(PacketReaderTest, ReleasedReaderConsumesNothingAndReleaseTwiceIsHarmless) {
  packet_reader_release(&reader);
  packet_reader_release(&reader);
  EXPECT_TRUE(reader.part_buffer.empty());
  EXPECT_EQ(packet_reader_feed(&reader, &kRecording, kAbcHi.data(), kAbcHi.size()), 0u);
  EXPECT_TRUE(recorder.events.empty());
}

TEST_F(PacketReaderTest, NullCallbacksAreSkipped) {
  const packet_callbacks none{};
  EXPECT_EQ(packet_reader_feed(&reader, &none, kAbcHi.data(), kAbcHi.size()), kAbcHi.size());
  EXPECT_EQ(reader.state, kReaderType);
}

TEST(PacketEncodeTest, EncodesPartsAndRefusesWhatTheFramingCannotCarry) {
  const Bytes abc = text("abc");
  const Bytes hi = text("hi");
  const std::span<const std::uint8_t> parts[] = {abc, hi};
  EXPECT_EQ(encode_packet(PACKET_PLAIN_MESSAGE, parts), kAbcHi);

  const Bytes too_long(kMaxPacketPartLength + 1, 'x');
  EXPECT_TRUE(encode_packet(2, too_long).empty());
  EXPECT_TRUE(encode_packet(2, std::span<const std::span<const std::uint8_t>>{}).empty());

  std::vector<std::span<const std::uint8_t>> many(256, std::span<const std::uint8_t>(abc));
  const Bytes packet = encode_packet(9, many);
  ASSERT_FALSE(packet.empty());
  EXPECT_EQ(packet[1], 0);  // 256 parts are written as a count of 0
  many.push_back(abc);
  EXPECT_TRUE(encode_packet(9, many).empty());
}

TEST(PacketEncodeTest, BigEndianHelpersRoundTrip) {
  std::uint8_t buf[8];
  put_be16(buf, 0x1234);
  EXPECT_EQ(buf[0], 0x12);
  EXPECT_EQ(get_be16(buf), 0x1234);
  put_be32(buf, 0xA1B2C3D4u);
  EXPECT_EQ(buf[0], 0xA1);
  EXPECT_EQ(get_be32(buf), 0xA1B2C3D4u);
  put_be64(buf, 0x0102030405060708ull);
  EXPECT_EQ(buf[0], 0x01);
  EXPECT_EQ(buf[7], 0x08);
  EXPECT_EQ(get_be64(buf), 0x0102030405060708ull);
}

}  // namespace
