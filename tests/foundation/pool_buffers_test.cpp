#include "foundation/pool_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(PoolBuffers, BuffersAreDistinctAlignedAndStartAs255) {
  TDaxPoolBuffers pool(640, 1050);
  EXPECT_EQ(pool.BufferSize(), 640);
  TDaxBufferPtr& free_ring = pool.Buffers();
  ASSERT_EQ(free_ring.Count(), 1050);
  EXPECT_EQ(free_ring.LowMark(), 262);
  EXPECT_EQ(free_ring.HighMark(), 788);
  uint8_t* base = pool.Memory();
  for (int i = 0; i < 1050; ++i) {
    auto* b = static_cast<uint8_t*>(free_ring.PopOne());
    ASSERT_EQ(b, base + static_cast<size_t>(i) * 640) << i;  // address order
    ASSERT_TRUE(std::all_of(b, b + 640, [](uint8_t v) { return v == 255; }));
  }
  const struct { int asked, size; } sizes[] = {{1, 8}, {8, 8}, {9, 16}, {0, 8}, {642, 648}};
  for (const auto& c : sizes) EXPECT_EQ(TDaxPoolBuffers(c.asked, 2).BufferSize(), c.size) << c.asked;
  EXPECT_THROW(TDaxPoolBuffers(640, 0), Exception);
}

TEST(PoolBuffers, NearlyEmptyAndFilledAgainEvents) {
  TDaxPoolBuffers pool(640, 1050);
  std::vector<int> empty_at, full_at;
  TDaxBufferPtr& free_ring = pool.Buffers();
  pool.SetOnEmpty([&] { empty_at.push_back(free_ring.Count()); });
  pool.SetOnFull([&] { full_at.push_back(free_ring.Count()); });
  std::vector<void*> used;
  for (int i = 0; i < 788; ++i) used.push_back(free_ring.PopOne());
  EXPECT_EQ(empty_at, std::vector<int>{262});
  for (int i = 0; i < 526; ++i) free_ring.PushOne(used[static_cast<size_t>(i)]);  // 262 -> 788
  EXPECT_EQ(full_at, std::vector<int>{788});
}

TEST(PoolBuffers, BuffersCirculateBetweenThreadsWithoutLoss) {
  TDaxPoolBuffers pool(640, 64);
  TDaxBufferPtr handover(64, 4);
  constexpr int kRounds = 20000;
  std::thread consumer([&] {
    void* got[16];
    int seen = 0;
    while (seen < kRounds) {
      int n = handover.PopMany(got, 16);
      for (int i = 0; i < n; ++i) static_cast<uint8_t*>(got[i])[0] = 255;
      pool.Buffers().PushMany(got, n);
      seen += n;
      if (n == 0) std::this_thread::yield();
    }
  });
  for (int i = 0; i < kRounds;) {
    if (pool.Buffers().Count() == 0) {
      std::this_thread::yield();
      continue;
    }
    auto* b = static_cast<uint8_t*>(pool.Buffers().PopOne());
    ASSERT_EQ(b[0], 255);  // nobody else holds it
    b[0] = 0;
    while (handover.PushMany(reinterpret_cast<void**>(&b), 1) == 0) std::this_thread::yield();
    ++i;
  }
  consumer.join();
  std::set<void*> all;
  while (pool.Buffers().Count() > 0) all.insert(pool.Buffers().PopOne());
  EXPECT_EQ(all.size(), 64u);
}

}  // namespace
