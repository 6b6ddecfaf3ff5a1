#include "foundation/fifo_ts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t V(void* p) { return reinterpret_cast<uintptr_t>(p); }

// Records what it is asked to dispose of.
class RecordingFifo : public TFifoThreadSafe {
 public:
  RecordingFifo(int block_size, std::vector<uintptr_t>& deleted) : TFifoThreadSafe(block_size), deleted_(deleted) {}
  ~RecordingFifo() override { Clear(); }

 protected:
  void DeleteData(void* item) override { deleted_.push_back(V(item)); }

 private:
  std::vector<uintptr_t>& deleted_;
};

TEST(Fifo, BlockSizeIsClamped) {
  const struct { int asked, size; } cases[] = {{-1, 16}, {0, 16}, {8, 16}, {16, 16}, {100, 100}, {4096, 4096}, {5000, 4096}};
  for (const auto& c : cases) EXPECT_EQ(TFifoThreadSafe(c.asked).BlockSize(), c.size) << c.asked;
}

TEST(Fifo, BlocksAreLinkedAndFreedInOrder) {
  TFifoThreadSafe q(16);
  void* item = P(999);
  EXPECT_FALSE(q.Pop(item));
  EXPECT_EQ(V(item), 999u);
  for (uintptr_t i = 1; i <= 17; ++i) q.Push(P(i));
  EXPECT_EQ(q.Count(), 17);
  EXPECT_EQ(q.BlockCount(), 2);
  for (uintptr_t i = 1; i <= 16; ++i) {
    ASSERT_TRUE(q.Pop(item));
    EXPECT_EQ(V(item), i);
  }
  EXPECT_EQ(q.BlockCount(), 1);
  ASSERT_TRUE(q.Pop(item));
  EXPECT_EQ(V(item), 17u);
  EXPECT_FALSE(q.Pop(item));
  EXPECT_EQ(q.Count(), 0);
}

TEST(Fifo, AShortQueueStaysInOneBlockWhileItsIndicesWrap) {
  TFifoThreadSafe q(16);
  void* item = nullptr;
  // Keep up to 10 items so the ring indices inside the block wrap, and
  // never more than a block holds.
  uintptr_t next_in = 0, next_out = 0;
  for (int i = 0; i < 10; ++i) q.Push(P(next_in++));
  for (int round = 0; round < 10000; ++round) {
    q.Push(P(next_in++));
    ASSERT_TRUE(q.Pop(item));
    ASSERT_EQ(V(item), next_out++);
    ASSERT_EQ(q.BlockCount(), 1);
  }
  EXPECT_EQ(q.Count(), 10);
}

TEST(Fifo, ClearDisposesOfEveryItemInOrderAndTheQueueStaysUsable) {
  std::vector<uintptr_t> deleted;
  RecordingFifo q(16, deleted);
  for (uintptr_t i = 0; i < 100; ++i) q.Push(P(i));  // 7 blocks, two 64-item batches
  q.Clear();
  ASSERT_EQ(deleted.size(), 100u);
  for (uintptr_t i = 0; i < 100; ++i) EXPECT_EQ(deleted[i], i);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BlockCount(), 1);
  q.Push(P(7));
  void* item = nullptr;
  ASSERT_TRUE(q.Pop(item));
  EXPECT_EQ(V(item), 7u);
  // The destructor disposes of what is left.
  std::vector<uintptr_t> left;
  {
    RecordingFifo scoped(16, left);
    scoped.Push(P(1));
    scoped.Push(P(2));
  }
  EXPECT_EQ(left, (std::vector<uintptr_t>{1, 2}));
}

TEST(Fifo, StringsOutliveTheProducersCopyAndAreReleasedByClear) {
  TFifoStringThreadSafeU q(16);
  {
    std::u16string text = u"log line \u0416";
    q.Push(text);
  }
  std::u16string out = u"untouched";
  ASSERT_TRUE(q.Pop(out));
  EXPECT_EQ(out, u"log line \u0416");
  out = u"untouched";
  EXPECT_FALSE(q.Pop(out));
  EXPECT_EQ(out, u"untouched");
  // Long texts so a leak would show under the address sanitizer.
  for (int i = 0; i < 100; ++i) q.Push(std::u16string(200, u'a' + i % 26));
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
  for (int i = 0; i < 40; ++i) q.Push(std::u16string(200, u'x'));  // left for the destructor
}

TEST(Fifo, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 20000;
  TFifoThreadSafe q(16);
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::atomic<int> consumed{0};
  std::atomic<bool> order_ok{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) q.Push(P(static_cast<uintptr_t>(p * kPerProducer + i) + 1));
    });
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&] {
      std::vector<int> last(kProducers, -1);
      void* item = nullptr;
      while (consumed.load() < kProducers * kPerProducer) {
        if (!q.Pop(item)) {
          std::this_thread::yield();
          continue;
        }
        int v = static_cast<int>(V(item) - 1);
        int producer = v / kPerProducer, seq = v % kPerProducer;
        // One consumer sees each producer's items in push order.
        if (seq <= last[static_cast<size_t>(producer)]) order_ok = false;
        last[static_cast<size_t>(producer)] = seq;
        seen[static_cast<size_t>(v)].fetch_add(1);
        consumed.fetch_add(1);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_TRUE(order_ok.load());
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BlockCount(), 1);
}

}  // namespace
