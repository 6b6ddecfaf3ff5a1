#include "foundation/buffer_ptr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t V(void* p) { return reinterpret_cast<uintptr_t>(p); }

void FillWith(TDaxBufferPtr& ring, int n, uintptr_t first = 1) {
  for (int i = 0; i < n; ++i) ring.PushOne(P(first + static_cast<uintptr_t>(i)));
}

TEST(BufferPtr, MarksRoundHalfToEven) {
  const struct { int capacity, low, high; } cases[] = {
      {1050, 262, 788}, {1500, 375, 1125}, {400, 100, 300}, {512, 128, 384}, {75, 19, 56}, {1, 0, 1}, {2, 0, 2}, {6, 2, 4},
  };
  for (const auto& c : cases) {
    TDaxBufferPtr ring(c.capacity, 4);
    EXPECT_EQ(ring.LowMark(), c.low) << c.capacity;
    EXPECT_EQ(ring.HighMark(), c.high) << c.capacity;
  }
  for (int capacity : {0, -5}) {
    try {
      TDaxBufferPtr ring(capacity, 4);
      FAIL() << capacity;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Capacity can not be 0");
    }
  }
}

TEST(BufferPtr, OverflowAndUnderflowChangeNothing) {
  TDaxBufferPtr ring(4, 4);
  try {
    ring.PopOne();
    FAIL();
  } catch (const EPtrBufferErrorUnderflow& e) {
    EXPECT_STREQ(e.what(), "pointer buffer underflow");
  }
  FillWith(ring, 4);
  try {
    ring.PushOne(P(99));
    FAIL();
  } catch (const EPtrBufferErrorOverflow& e) {
    EXPECT_STREQ(e.what(), "pointer buffer overflow");
  }
  EXPECT_EQ(ring.Count(), 4);
  for (uintptr_t i = 1; i <= 4; ++i) EXPECT_EQ(V(ring.PopOne()), i);
}

TEST(BufferPtr, ManyTakesWhatFitsInOrderAcrossTheWrap) {
  TDaxBufferPtr ring(10, 4);
  FillWith(ring, 6);
  void* out[10];
  ASSERT_EQ(ring.PopMany(out, 4), 4);  // read position now at slot 4
  void* in[10];
  for (uintptr_t i = 0; i < 10; ++i) in[i] = P(100 + i);
  EXPECT_EQ(ring.PushMany(in, 10), 8);  // room for 8, wraps past the end
  EXPECT_EQ(ring.PushMany(in, 10), 0);
  EXPECT_EQ(ring.PushMany(in, 0), 0);
  ASSERT_EQ(ring.PopMany(out, 10), 10);
  std::vector<uintptr_t> got;
  for (void* p : out) got.push_back(V(p));
  EXPECT_EQ(got, (std::vector<uintptr_t>{5, 6, 100, 101, 102, 103, 104, 105, 106, 107}));
  EXPECT_EQ(ring.PopMany(out, 10), 0);
  FillWith(ring, 3);
  EXPECT_EQ(ring.PopMany(out, 10), 3);
}

TEST(BufferPtr, MarksFireOnlyOnCrossing) {
  TDaxBufferPtr ring(400, 4);
  int low = 0, high = 0;
  ring.OnLowMark = [&] { ++low; };
  ring.OnHighMark = [&] { ++high; };
  FillWith(ring, 299);
  EXPECT_EQ(high, 0);
  ring.PushOne(P(1));  // 299 -> 300
  EXPECT_EQ(high, 1);
  FillWith(ring, 5);
  EXPECT_EQ(high, 1);
  void* out[256];
  ring.PopMany(out, 6);  // 305 -> 299
  void* in[3] = {P(1), P(2), P(3)};
  ring.PushMany(in, 3);  // 299 -> 302 crosses again
  EXPECT_EQ(high, 2);
  ring.PopMany(out, 201);  // 302 -> 101
  EXPECT_EQ(low, 0);
  ring.PopOne();  // 101 -> 100
  EXPECT_EQ(low, 1);
  ring.PopOne();  // 100 -> 99
  EXPECT_EQ(low, 1);
  ring.PushOne(P(1));
  ring.PopOne();  // 100 -> 99, was not above
  EXPECT_EQ(low, 1);
  ring.PushMany(in, 3);  // 99 -> 102
  ring.PopMany(out, 50);  // 102 -> 52 jumps over the mark
  EXPECT_EQ(low, 2);
  ring.Clear();
  EXPECT_EQ(low, 2);
  EXPECT_EQ(ring.Count(), 0);
}

TEST(BufferPtr, MovesInBatchesAndFiresEachSideOnce) {
  TDaxBufferPtr source(1050, 4), dest(1050, 4);
  int source_low = 0, dest_high = 0;
  source.OnLowMark = [&] { ++source_low; };
  dest.OnHighMark = [&] { ++dest_high; };
  FillWith(source, 700);
  EXPECT_EQ(dest.MoveAllFrom(source), 700);
  EXPECT_EQ(source.Count(), 0);
  EXPECT_EQ(dest.Count(), 700);
  EXPECT_EQ(dest_high, 0);  // 700 stays below 788
  EXPECT_EQ(source_low, 1);
  for (uintptr_t i = 1; i <= 700; ++i) ASSERT_EQ(V(dest.PopOne()), i);

  FillWith(source, 1000, 5000);
  FillWith(dest, 500);
  EXPECT_EQ(dest.MoveFrom(source, 0), 0);
  EXPECT_EQ(dest.MoveFrom(source, -3), 0);
  EXPECT_EQ(dest.MoveFrom(source, 100), 100);
  EXPECT_EQ(dest_high, 0);
  EXPECT_EQ(dest.MoveAllFrom(source), 450);  // fills the ring
  EXPECT_EQ(dest_high, 1);
  EXPECT_EQ(dest.Count(), 1050);
  EXPECT_EQ(source.Count(), 450);
  EXPECT_EQ(dest.MoveAllFrom(dest), 0);
}

TEST(BufferPtr, ConcurrentPushersAndPoppersLoseAndDuplicateNothing) {
  constexpr int kPushers = 3, kPerPusher = 30000, kTotal = kPushers * kPerPusher;
  TDaxBufferPtr ring(64, 4), spill(64, 4);
  std::vector<std::atomic<int>> seen(kTotal);
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kPushers; ++p)
    threads.emplace_back([&, p] {
      int i = 0;
      void* batch[5];
      while (i < kPerPusher) {
        int n = 0;
        while (n < 5 && i + n < kPerPusher) {
          batch[n] = P(static_cast<uintptr_t>(p * kPerPusher + i + n) + 1);
          ++n;
        }
        int pushed = ring.PushMany(batch, n);
        i += pushed;
        if (pushed == 0) std::this_thread::yield();
      }
    });
  auto record = [&](void** items, int n) {
    for (int k = 0; k < n; ++k) seen[V(items[k]) - 1].fetch_add(1);
    taken.fetch_add(n);
  };
  // One popper takes directly, one moves through a second ring.
  threads.emplace_back([&] {
    void* out[7];
    while (taken.load() < kTotal) {
      int n = ring.PopMany(out, 7);
      record(out, n);
      if (n == 0) std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    void* out[64];
    while (taken.load() < kTotal) {
      spill.MoveFrom(ring, 20);
      int n = spill.PopMany(out, 64);
      record(out, n);
      if (n == 0) std::this_thread::yield();
    }
  });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kTotal; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)].load(), 1) << i;
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_EQ(spill.Count(), 0);
}

}  // namespace
