// Throughput of the packet reader on a stream of plain messages, fed in the
// 4,096-byte pieces the broker thread reads, beside memcpy of the same bytes
// in the same pieces (the physical floor of touching every byte once).
//
//   BM_Memcpy/<body>           copy the stream into a 4 KiB buffer
//   BM_ReaderFeed/<body>       packet_reader_feed with a callback that only
//                              counts parts
//   BM_ReaderAssemble/<body>   packet_reader_feed with the plain message
//                              assembly of the broker thread (handler id and
//                              body copied, no delivery)
//
// <body> is the body size of each message: 64, 1024 or 65536 bytes (the
// last split into parts of at most 65,535 bytes). Each stream is ~4 MiB.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "broker/messages/packet.h"
#include "broker/messages/packet_reader.h"
#include "broker/messages/plain_message.h"

namespace {

constexpr std::size_t kFeedPiece = 4096;   // the broker thread's receive buffer
constexpr std::size_t kStreamBytes = 4u << 20;
const std::string kHandlerId = "bench_handler";

std::vector<std::uint8_t> make_stream(std::size_t body_size) {
  const std::string body(body_size, 'm');
  std::vector<std::span<const std::uint8_t>> parts;
  parts.emplace_back(reinterpret_cast<const std::uint8_t*>(kHandlerId.data()), kHandlerId.size());
  for (std::size_t at = 0; at < body.size(); at += kMaxPacketPartLength) {
    const std::size_t n = std::min(kMaxPacketPartLength, body.size() - at);
    parts.emplace_back(reinterpret_cast<const std::uint8_t*>(body.data()) + at, n);
  }
  const std::vector<std::uint8_t> packet = encode_packet(PACKET_PLAIN_MESSAGE, parts);
  std::vector<std::uint8_t> stream;
  while (stream.size() < kStreamBytes) stream.insert(stream.end(), packet.begin(), packet.end());
  return stream;
}

std::size_t parts_seen = 0;

int count_part(packet_reader*, const std::uint8_t*, std::uint16_t) {
  ++parts_seen;
  return 0;
}

int assemble_type(packet_reader* reader) {
  if (packet_reader_type(reader) == PACKET_PLAIN_MESSAGE) plain_message_reset();
  return 0;
}

int assemble_part(packet_reader*, const std::uint8_t* part, std::uint16_t length) {
  plain_message_add_part(part, length);
  return 0;
}

void feed_stream(const std::vector<std::uint8_t>& stream, const packet_callbacks& callbacks,
                 packet_reader* reader) {
  for (std::size_t at = 0; at < stream.size(); at += kFeedPiece) {
    const std::size_t n = std::min(kFeedPiece, stream.size() - at);
    benchmark::DoNotOptimize(packet_reader_feed(reader, &callbacks, stream.data() + at, n));
  }
}

void BM_Memcpy(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = make_stream(static_cast<std::size_t>(state.range(0)));
  std::vector<std::uint8_t> buffer(kFeedPiece);
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += kFeedPiece) {
      const std::size_t n = std::min(kFeedPiece, stream.size() - at);
      std::memcpy(buffer.data(), stream.data() + at, n);
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_ReaderFeed(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = make_stream(static_cast<std::size_t>(state.range(0)));
  packet_callbacks callbacks{};
  callbacks.on_part = count_part;
  packet_reader reader;
  packet_reader_init(&reader);
  for (auto _ : state) feed_stream(stream, callbacks, &reader);
  packet_reader_release(&reader);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  benchmark::DoNotOptimize(parts_seen);
}

void BM_ReaderAssemble(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = make_stream(static_cast<std::size_t>(state.range(0)));
  packet_callbacks callbacks{};
  callbacks.on_type = assemble_type;
  callbacks.on_part = assemble_part;
  packet_reader reader;
  packet_reader_init(&reader);
  for (auto _ : state) feed_stream(stream, callbacks, &reader);
  packet_reader_release(&reader);
  plain_message_reset();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

BENCHMARK(BM_Memcpy)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_ReaderFeed)->Arg(64)->Arg(1024)->Arg(65536);
BENCHMARK(BM_ReaderAssemble)->Arg(64)->Arg(1024)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
