// A bounded, memory-accounted FIFO of element pointers shared between
// threads: producers append, the message thread takes the oldest. The queue
// holds at most kQueueMaxElements elements and kQueueMaxBytes accounted bytes
// (each element's size as given plus kQueueNodeBytes for its node); an
// element that would pass either limit is refused and counted as dropped.
//
// Usage:
//
//   MtQueuePtr queue = mt_queue_create();
//   if (mt_queue_enqueue(record.get(), queue.get(), size) == 0) record.release();
//   ...
//   std::unique_ptr<queued_message> next(static_cast<queued_message*>(mt_queue_dequeue(queue.get())));
//   mt_queue_destroy(std::move(queue));
//
// The queue never owns the elements: it stores the caller's pointer and hands
// it back; whoever dequeues owns it again. Every operation may be called from
// any thread; each takes the queue's own lock for a short critical section
// (callers holding their own locks take them before it).
#pragma once

#include <cstdint>
#include <memory>

constexpr std::uint32_t kQueueMaxElements = 1000;
constexpr std::uint32_t kQueueMaxBytes = 4000000;  // decimal, not 4 MiB
constexpr std::uint32_t kQueueNodeBytes = 12;      // accounted per node

struct mt_queue;  // opaque; see mt_queue.cpp

struct MtQueueDeleter {
  void operator()(mt_queue* queue) const;
};
// The owner's handle. Dropping it frees the nodes but not the elements.
using MtQueuePtr = std::unique_ptr<mt_queue, MtQueueDeleter>;

// A new empty queue. Out of memory ends the process (ERROR "malloc().").
MtQueuePtr mt_queue_create();

// Appends `element` with `size` accounted bytes (the node's kQueueNodeBytes
// are added). Returns 0 when appended, -1 when the queue is null or full; a
// refused element is untouched and still the caller's.
int mt_queue_enqueue(void* element, mt_queue* queue, std::uint32_t size);

// The oldest element (ownership back to the caller), or null when the queue
// is null or empty (each logged as a WARNING).
void* mt_queue_dequeue(mt_queue* queue);

// The oldest element, taken off the list but still held: its count and bytes
// stay accounted against the limits until mt_queue_release(queue, *size), so
// that messages being delivered count as much as those waiting. Stores the
// element's accounted size (node included) through `size`. Null when the
// queue is null or empty (no WARNING: the message thread polls with it).
void* mt_queue_take_held(mt_queue* queue, std::uint32_t* size);

// Gives back the accounting of one held element taken with
// mt_queue_take_held; `size` is the size that call stored.
void mt_queue_release(mt_queue* queue, std::uint32_t size);

// 1 when empty, 0 when not, -1 for a null queue. Held elements are not in it.
int mt_queue_is_empty(mt_queue* queue);

// Frees the nodes and the queue object; the elements are not freed (drain
// first if they must be). A null queue is logged as a WARNING.
void mt_queue_destroy(MtQueuePtr queue);

// A consistent snapshot of the counters (all zero for a null queue).
struct mt_queue_stats {
  std::uint32_t dropped = 0;  // elements refused since creation (never reset)
  std::uint32_t count = 0;    // elements held (listed or taken and not released)
  std::uint32_t memory = 0;   // accounted bytes of the elements held
};
mt_queue_stats mt_queue_get_stats(mt_queue* queue);
