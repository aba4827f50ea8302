// The bounded queue on its own: both limits at their exact boundary, the
// count of refused elements and what the log says of them, and first-in
// first-out order of what it took.
#include "delivery/mt_queue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace {

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
