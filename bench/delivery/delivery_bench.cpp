// Delivery rates. Each iteration hands a batch of messages over and waits
// until the handler has read all of them to their end, so every figure
// includes the handler's side.
//
//   BM_HandlerRate/<kind>       messages per second, side by side:
//     minimal_loop              a loop that only connects, sends and closes
//     deliver_message           handler line -> new connection per message
//     send_message              queue -> message thread -> deliver_message
//     send_vs_minimal           send_message's rate over the minimal loop's
//   BM_HealthyBesideStuck       a healthy handler's rate through send_message
//     alone/s                   with nothing else queued
//     beside_stuck/s            while a stuck handler (never takes its
//                               connections) holds a delivery in progress
//     beside_vs_alone           the second over the first
//   BM_QueueAlone               mt_queue enqueue+dequeue pairs, one thread
//   BM_QueueWithMessageThread   send_message with the message thread taking
//                               each message (an in-process handler)
//
// kind 0 is a UNIX-socket handler, 1 a TCP handler on 127.0.0.1.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "config/config.h"
#include "delivery/message_sender.h"
#include "delivery/mt_queue.h"
#include "support/counting_sink.h"
#include "support/test_support.h"

namespace {

constexpr int kBatch = 200;
constexpr std::size_t kPayloadBytes = 64;  // an agent-state report is about this size
constexpr int kKindUnix = 0;

struct Handlers {
  zeltest::TempDir dir;
  std::unique_ptr<zelbench::CountingSink> unix_sink;
  std::unique_ptr<zelbench::CountingSink> tcp_sink;

  Handlers() {
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    unix_sink = zelbench::CountingSink::unix_socket(dir.file("handler.sock"));
    tcp_sink = zelbench::CountingSink::tcp();
    config_set(handler_key("bench_unix").c_str(), unix_sink->endpoint().c_str());
    config_set(handler_key("bench_tcp").c_str(), tcp_sink->endpoint().c_str());
  }
  zelbench::CountingSink& sink(int kind) { return kind == kKindUnix ? *unix_sink : *tcp_sink; }
};

Handlers& handlers() {
  static Handlers instance;
  return instance;
}

// One message the plain way: connect, send, close.
void connect_send_close(int kind, const std::string& payload) {
  Handlers& h = handlers();
  if (kind == kKindUnix) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = h.unix_sink->endpoint();
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      (void)!::send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
    }
    ::close(fd);
  } else {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(h.tcp_sink->port());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      (void)!::send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
    }
    ::close(fd);
  }
}

// Times one batch of kBatch messages, from the first hand-over until the
// handler has read the last one.
template <typename Send>
double time_batch(zelbench::CountingSink& sink, Send send, bool* lost) {
  const std::size_t target = sink.received() + kBatch;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBatch; ++i) send();
  if (!sink.wait_for(target)) *lost = true;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The three ways side by side, batch after batch, so that a busy machine
// slows them alike: the minimal loop, deliver_message on the calling thread
// (handler directory and connection, no queue) and send_message (queue and
// message thread as well).
void BM_HandlerRate(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  zelbench::CountingSink& sink = handlers().sink(kind);
  const char* handler = kind == kKindUnix ? "bench_unix" : "bench_tcp";
  const std::string payload(kPayloadBytes, 'p');
  message_sender_init();
  double minimal = 0, direct = 0, queued = 0;
  bool lost = false;
  for (auto _ : state) {
    minimal += time_batch(sink, [&] { connect_send_close(kind, payload); }, &lost);
    direct += time_batch(
        sink, [&] { deliver_message(handler, payload.data(), payload.size()); }, &lost);
    queued += time_batch(
        sink, [&] { if (send_message(handler, payload) != 0) lost = true; }, &lost);
  }
  message_sender_stop();
  if (lost) state.SkipWithError("messages were lost");
  const double messages = static_cast<double>(state.iterations()) * kBatch;
  state.counters["minimal_loop/s"] = messages / minimal;
  state.counters["deliver_message/s"] = messages / direct;
  state.counters["send_message/s"] = messages / queued;
  state.counters["send_vs_minimal"] = minimal / queued;
  state.SetLabel(kind == kKindUnix ? "unix" : "tcp");
}
BENCHMARK(BM_HandlerRate)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

// A stuck handler beside a healthy one, batch after batch: the stuck one
// always has a delivery in progress (a payload larger than its socket
// buffers, to a listener that never accepts) while the healthy one's batch
// runs; then a batch of the healthy one alone.
void BM_HealthyBesideStuck(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  zelbench::CountingSink& sink = handlers().sink(kind);
  const char* handler = kind == kKindUnix ? "bench_unix" : "bench_tcp";
  zeltest::HandlerSink stuck(handlers().dir.file("stuck.sock"));
  stuck.hold(true);
  config_set(handler_key("bench_stuck").c_str(), stuck.endpoint().c_str());
  const std::string payload(kPayloadBytes, 'p');
  const std::string stuck_payload(1 << 20, 's');
  message_sender_init();
  double alone = 0, beside = 0;
  bool lost = false;
  for (auto _ : state) {
    alone += time_batch(sink, [&] { if (send_message(handler, payload) != 0) lost = true; }, &lost);
    send_message("bench_stuck", stuck_payload);
    beside += time_batch(sink, [&] { if (send_message(handler, payload) != 0) lost = true; }, &lost);
  }
  message_sender_stop(1);  // the stuck deliveries are cut at once
  if (lost) state.SkipWithError("messages were lost");
  const double messages = static_cast<double>(state.iterations()) * kBatch;
  state.counters["alone/s"] = messages / alone;
  state.counters["beside_stuck/s"] = messages / beside;
  state.counters["beside_vs_alone"] = alone / beside;
  state.SetLabel(kind == kKindUnix ? "unix" : "tcp");
}
BENCHMARK(BM_HealthyBesideStuck)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

void BM_QueueAlone(benchmark::State& state) {
  MtQueuePtr queue = mt_queue_create();
  int element = 0;
  for (auto _ : state) {
    mt_queue_enqueue(&element, queue.get(), kPayloadBytes);
    benchmark::DoNotOptimize(mt_queue_dequeue(queue.get()));
  }
  mt_queue_destroy(std::move(queue));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueAlone);

std::atomic<std::uint64_t> taken{0};

bool counting_handler(const char*, const void*, std::size_t, int* result) {
  taken.fetch_add(1, std::memory_order_release);
  *result = 0;
  return true;
}

void BM_QueueWithMessageThread(benchmark::State& state) {
  set_own_handler_hook(counting_handler);
  message_sender_init();
  const std::string payload(kPayloadBytes, 'p');
  std::uint64_t sent = 0;
  for (auto _ : state) {
    // Stay under the queue's element limit: the producer is faster.
    while (sent - taken.load(std::memory_order_acquire) >= kQueueMaxElements / 2) {
      std::this_thread::yield();
    }
    if (send_message("bench_queue", payload) == 0) ++sent;
  }
  message_sender_stop();  // what is left (under half a queue) is delivered untimed
  set_own_handler_hook(nullptr);
  state.SetItemsProcessed(state.iterations());
  taken.store(0);
}
BENCHMARK(BM_QueueWithMessageThread)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
