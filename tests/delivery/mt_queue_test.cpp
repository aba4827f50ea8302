#include "delivery/mt_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

class MtQueueTest : public ::testing::Test {
 protected:
  std::string log() const { return log_.text(); }

  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("queue.log")};
};

TEST_F(MtQueueTest, NullQueueIsRefusedByEveryOperation) {
  int element = 0;
  EXPECT_EQ(mt_queue_enqueue(&element, nullptr, 1), -1);
  EXPECT_EQ(mt_queue_dequeue(nullptr), nullptr);
  EXPECT_EQ(mt_queue_is_empty(nullptr), -1);
  mt_queue_destroy(MtQueuePtr());
  const std::string text = log();
  EXPECT_NE(text.find("Trying to enqueue uncreated queue.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Trying to dequeue uncreated queue.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Trying to check uncreated queue.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Trying to destroy uncreated queue.\n"), std::string::npos) << text;
}

TEST_F(MtQueueTest, KeepsOrderAndAccountsEachNode) {
  MtQueuePtr queue = mt_queue_create();
  int a = 1, b = 2, c = 3;
  EXPECT_EQ(mt_queue_is_empty(queue.get()), 1);
  ASSERT_EQ(mt_queue_enqueue(&a, queue.get(), 100), 0);
  ASSERT_EQ(mt_queue_enqueue(&b, queue.get(), 0), 0);
  ASSERT_EQ(mt_queue_enqueue(&c, queue.get(), 7), 0);
  EXPECT_EQ(mt_queue_is_empty(queue.get()), 0);
  mt_queue_stats stats = mt_queue_get_stats(queue.get());
  EXPECT_EQ(stats.count, 3u);
  EXPECT_EQ(stats.memory, 100u + 0u + 7u + 3 * kQueueNodeBytes);

  EXPECT_EQ(mt_queue_dequeue(queue.get()), &a);
  EXPECT_EQ(mt_queue_get_stats(queue.get()).memory, 7u + 2 * kQueueNodeBytes);
  EXPECT_EQ(mt_queue_dequeue(queue.get()), &b);
  EXPECT_EQ(mt_queue_dequeue(queue.get()), &c);
  EXPECT_EQ(mt_queue_get_stats(queue.get()).memory, 0u);
  EXPECT_EQ(mt_queue_dequeue(queue.get()), nullptr);
  EXPECT_NE(log().find("Trying to dequeue empty queue.\n"), std::string::npos);
  mt_queue_destroy(std::move(queue));
}

TEST_F(MtQueueTest, ElementLimitRefusesAndCountsTheNewestOnly) {
  MtQueuePtr queue = mt_queue_create();
  std::vector<int> elements(kQueueMaxElements + 2);
  for (std::uint32_t i = 0; i < kQueueMaxElements; ++i) {
    ASSERT_EQ(mt_queue_enqueue(&elements[i], queue.get(), 1), 0) << i;
  }
  EXPECT_EQ(mt_queue_enqueue(&elements[kQueueMaxElements], queue.get(), 1), -1);
  EXPECT_EQ(mt_queue_enqueue(&elements[kQueueMaxElements + 1], queue.get(), 1), -1);
  const mt_queue_stats stats = mt_queue_get_stats(queue.get());
  EXPECT_EQ(stats.dropped, 2u);
  EXPECT_EQ(stats.count, kQueueMaxElements);
  const std::string memory = std::to_string(kQueueMaxElements * (1 + kQueueNodeBytes));
  const std::string text = log();
  EXPECT_NE(text.find("Queue full. Dropped 1 packets. Memory usage is " + memory + "\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("Queue full. Dropped 2 packets. Memory usage is " + memory + "\n"),
            std::string::npos) << text;
  // The oldest element is still first: nothing older was pushed out.
  EXPECT_EQ(mt_queue_dequeue(queue.get()), &elements[0]);
  // One place free again: accepted, and the dropped count is never reset.
  EXPECT_EQ(mt_queue_enqueue(&elements[kQueueMaxElements], queue.get(), 1), 0);
  EXPECT_EQ(mt_queue_get_stats(queue.get()).dropped, 2u);
  mt_queue_destroy(std::move(queue));
}

TEST_F(MtQueueTest, ByteLimitIsExactAndCannotBeWrappedAround) {
  struct Row {
    const char* what;
    std::uint32_t already;  // size of an element queued first (0: none)
    std::uint32_t size;
    int expected;
  };
  const Row rows[] = {
      {"fills the limit exactly", 0, kQueueMaxBytes - kQueueNodeBytes, 0},
      {"one byte over", 0, kQueueMaxBytes - kQueueNodeBytes + 1, -1},
      {"exact with another element", 1000, kQueueMaxBytes - 1000 - 2 * kQueueNodeBytes, 0},
      {"over with another element", 1000, kQueueMaxBytes - 1000 - 2 * kQueueNodeBytes + 1, -1},
      {"a size that would wrap 32 bits", 0, UINT32_MAX - kQueueNodeBytes + 1, -1},
      {"the largest size", 1000, UINT32_MAX, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MtQueuePtr queue = mt_queue_create();
    int first = 0, second = 0;
    if (row.already != 0) {
      ASSERT_EQ(mt_queue_enqueue(&first, queue.get(), row.already), 0);
    }
    EXPECT_EQ(mt_queue_enqueue(&second, queue.get(), row.size), row.expected);
    EXPECT_LE(mt_queue_get_stats(queue.get()).memory, kQueueMaxBytes);
    mt_queue_destroy(std::move(queue));
  }
}

TEST_F(MtQueueTest, ConcurrentProducersAndOneConsumerLoseNothing) {
  log_level = kLogSilent;  // the consumer polls an often empty queue
  MtQueuePtr queue = mt_queue_create();
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  std::vector<std::vector<int>> values(kProducers, std::vector<int>(kPerProducer));
  std::atomic<int> refused{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        values[p][i] = p * kPerProducer + i;
        while (mt_queue_enqueue(&values[p][i], queue.get(), 8) != 0) {
          refused.fetch_add(1);
          std::this_thread::yield();
        }
      }
    });
  }
  std::vector<int> last_seen(kProducers, -1);
  int taken = 0;
  while (taken < kProducers * kPerProducer) {
    void* element = mt_queue_dequeue(queue.get());
    if (element == nullptr) {
      std::this_thread::yield();
      continue;
    }
    const int value = *static_cast<int*>(element);
    const int producer = value / kPerProducer;
    ASSERT_GT(value, last_seen[producer]) << "order of one producer kept";
    last_seen[producer] = value;
    ++taken;
  }
  for (std::thread& t : producers) t.join();
  const mt_queue_stats stats = mt_queue_get_stats(queue.get());
  EXPECT_EQ(stats.count, 0u);
  EXPECT_EQ(stats.memory, 0u);
  EXPECT_EQ(stats.dropped, static_cast<std::uint32_t>(refused.load()));
  mt_queue_destroy(std::move(queue));
}

}  // namespace
