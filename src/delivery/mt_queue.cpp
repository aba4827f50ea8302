// The bounded message queue. One mutex per queue guards the node list and the
// three counters; every operation holds it only for the list change itself
// and logs after releasing it.
#include "delivery/mt_queue.h"

#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>

#include "log/log.h"

namespace {
constexpr const char* kLogModule = "mt_queue";

struct queue_node {
  void* data;          // the caller's element, not owned
  std::uint32_t size;  // accounted bytes: the caller's size plus kQueueNodeBytes
};

[[noreturn]] void out_of_memory() {
  ZLOG(kLogError, "malloc().\n");
  std::exit(1);
}
}  // namespace

struct mt_queue {
  std::mutex lock;  // guards everything below
  std::deque<queue_node> nodes;
  std::uint32_t dropped = 0;
  std::uint32_t memory = 0;  // of the listed and the held elements
  std::uint32_t held = 0;    // elements taken and not released yet
};

void MtQueueDeleter::operator()(mt_queue* queue) const {
  // The lock must be free when the object goes: no other thread may still be
  // inside an operation (the owner guarantees it by stopping its users).
  { std::lock_guard<std::mutex> guard(queue->lock); queue->nodes.clear(); }
  std::default_delete<mt_queue>()(queue);
}

MtQueuePtr mt_queue_create() {
  try {
    return MtQueuePtr(new mt_queue());
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}

int mt_queue_enqueue(void* element, mt_queue* queue, std::uint32_t size) {
  if (queue == nullptr) {
    ZLOG(kLogWarning, "Trying to enqueue uncreated queue.\n");
    return -1;
  }
  // 64-bit sums: a size near 2^32 must not wrap around and slip under the limit.
  const std::uint64_t accounted = std::uint64_t{size} + kQueueNodeBytes;
  std::unique_lock<std::mutex> guard(queue->lock);
  if (accounted > kQueueMaxBytes) {
    // No state of the queue could take it: say so, rather than "full".
    const std::uint32_t dropped = ++queue->dropped;
    guard.unlock();
    ZLOG(kLogWarning, "Message of %llu bytes is larger than the queue's limit of %u bytes: dropped (%u dropped).\n",
         static_cast<unsigned long long>(accounted), static_cast<unsigned>(kQueueMaxBytes),
         static_cast<unsigned>(dropped));
    return -1;
  }
  if (queue->nodes.size() + queue->held >= kQueueMaxElements ||
      std::uint64_t{queue->memory} + accounted > kQueueMaxBytes) {
    ++queue->dropped;
    const std::uint32_t dropped = queue->dropped;
    const std::uint32_t memory = queue->memory;
    guard.unlock();
    ZLOG(kLogWarning, "Queue full. Dropped %d packets. Memory usage is %d\n",
         static_cast<int>(dropped), static_cast<int>(memory));
    return -1;
  }
  try {
    queue->nodes.push_back(queue_node{element, static_cast<std::uint32_t>(accounted)});
  } catch (const std::bad_alloc&) {
    guard.unlock();
    out_of_memory();
  }
  queue->memory += static_cast<std::uint32_t>(accounted);
  return 0;
}

void* mt_queue_dequeue(mt_queue* queue) {
  if (queue == nullptr) {
    ZLOG(kLogWarning, "Trying to dequeue uncreated queue.\n");
    return nullptr;
  }
  std::unique_lock<std::mutex> guard(queue->lock);
  if (queue->nodes.empty()) {
    guard.unlock();
    ZLOG(kLogWarning, "Trying to dequeue empty queue.\n");
    return nullptr;
  }
  const queue_node node = queue->nodes.front();
  queue->nodes.pop_front();
  queue->memory -= node.size;
  return node.data;
}

void* mt_queue_take_held(mt_queue* queue, std::uint32_t* size) {
  if (queue == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(queue->lock);
  if (queue->nodes.empty()) return nullptr;
  const queue_node node = queue->nodes.front();
  queue->nodes.pop_front();
  ++queue->held;
  *size = node.size;
  return node.data;
}

void mt_queue_release(mt_queue* queue, std::uint32_t size) {
  if (queue == nullptr) return;
  std::lock_guard<std::mutex> guard(queue->lock);
  if (queue->held > 0) --queue->held;
  queue->memory -= size <= queue->memory ? size : queue->memory;
}

int mt_queue_is_empty(mt_queue* queue) {
  if (queue == nullptr) {
    ZLOG(kLogWarning, "Trying to check uncreated queue.\n");
    return -1;
  }
  std::lock_guard<std::mutex> guard(queue->lock);
  return queue->nodes.empty() ? 1 : 0;
}

void mt_queue_destroy(MtQueuePtr queue) {
  if (!queue) {
    ZLOG(kLogWarning, "Trying to destroy uncreated queue.\n");
    return;
  }
  queue.reset();
}

mt_queue_stats mt_queue_get_stats(mt_queue* queue) {
  mt_queue_stats stats;
  if (queue == nullptr) return stats;
  std::lock_guard<std::mutex> guard(queue->lock);
  stats.dropped = queue->dropped;
  stats.count = static_cast<std::uint32_t>(queue->nodes.size()) + queue->held;
  stats.memory = queue->memory;
  return stats;
}
