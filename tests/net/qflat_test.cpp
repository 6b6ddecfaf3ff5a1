#include "net/qflat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

TVEKClientRec Talker(const char* id) {
  TVEKClientRec r;
  r.ID = id;
  r.ON = u"Operator";
  return r;
}

TEST(QueueFlat, RefusesWhenFullAndWrapsToSlotZero) {
  TDaxPoolBuffers pool(640, 8);
  TVEKQueueFlat q(3, &pool);
  void* a = pool.Buffers().PopOne();
  EXPECT_TRUE(q.PutPlayStart(Talker("1")));
  EXPECT_TRUE(q.PutPlayData(a));
  EXPECT_TRUE(q.PutPlayStop(1000, 960, 30, 25));
  EXPECT_FALSE(q.HasRoom());
  EXPECT_FALSE(q.PutPlayData(a));
  EXPECT_FALSE(q.PutClientsList(TVEKClientsArray(3)));
  EXPECT_EQ(q.Count(), 3);
  EXPECT_EQ(q.PlayStartCount(), 1);
  EXPECT_EQ(q.PlayStopCount(), 1);
  TVEKQueueFlatCmd cmd;
  ASSERT_TRUE(q.GetOne(cmd));
  EXPECT_EQ(cmd.Command, QCMD_PLAY_START);
  EXPECT_EQ(cmd.Client.ID, "1");
  EXPECT_EQ(q.PlayStartCount(), 0);
  EXPECT_TRUE(q.PutClientsList(TVEKClientsArray(2)));  // goes into slot 0
  int n = 0;
  const TVEKQueueCommandType order[] = {QCMD_PLAY_DATA, QCMD_PLAY_STOP, QCMD_CLIENTSLIST};
  for (TVEKQueueCommandType want : order) {
    ASSERT_TRUE(q.PeekRun(cmd, n));
    EXPECT_EQ(cmd.Command, want);
    EXPECT_EQ(n, 1);
    if (want == QCMD_PLAY_STOP) {
      EXPECT_EQ(cmd.StatDuration, 1000);
      EXPECT_EQ(cmd.StatAudio, 960);
      EXPECT_EQ(cmd.StatPasses, 30);
      EXPECT_EQ(cmd.StatWaits, 25);
    }
    ASSERT_TRUE(q.GetOne(cmd));
    EXPECT_EQ(cmd.Command, want);
  }
  EXPECT_EQ(cmd.Clients.size(), 2u);
  EXPECT_FALSE(q.GetOne(cmd));
  EXPECT_FALSE(q.PeekRun(cmd, n));
  EXPECT_EQ(n, 0);
  TVEKQueueFlat none(-5, &pool);
  EXPECT_EQ(none.Capacity(), 0);
  EXPECT_FALSE(none.PutPlayData(a));
  pool.Buffers().PushOne(a);
}

TEST(QueueFlat, PeekRunCountsEqualCommandsAndReturnsACopy) {
  TDaxPoolBuffers pool(640, 8);
  TVEKQueueFlat q(2400, &pool);
  q.PutPlayStart(Talker("42"));
  for (int i = 0; i < 3; ++i) q.PutPlayData(pool.Buffers().PopOne());
  q.PutPlayStop(0, 0, 0, 0);
  TVEKQueueFlatCmd head;
  int n = 0;
  ASSERT_TRUE(q.PeekRun(head, n));
  EXPECT_EQ(head.Command, QCMD_PLAY_START);
  EXPECT_EQ(n, 1);
  // The copy stays valid after the record leaves the ring.
  TVEKQueueFlatCmd taken;
  ASSERT_TRUE(q.GetOne(taken));
  EXPECT_EQ(head.Client.ID, "42");
  EXPECT_EQ(head.Client.ON, u"Operator");
  ASSERT_TRUE(q.PeekRun(head, n));
  EXPECT_EQ(head.Command, QCMD_PLAY_DATA);
  EXPECT_EQ(n, 3);
  TVEKQueueFlatCmd run[64];
  EXPECT_EQ(q.GetMany(run, 64), 4);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(run[i].Command, QCMD_PLAY_DATA);
    pool.Buffers().PushOne(run[i].Data);
  }
  EXPECT_EQ(run[3].Command, QCMD_PLAY_STOP);
  EXPECT_EQ(pool.Buffers().Count(), 8);
}

TEST(QueueFlat, SkipAndClearReturnEveryBlockToThePool) {
  TDaxPoolBuffers pool(640, 400);
  TVEKQueueFlat q(2400, &pool);
  q.PutClientsList(TVEKClientsArray(100));
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(q.PutPlayData(pool.Buffers().PopOne()));
  q.PutPlayStart(Talker("7"));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(q.PutPlayData(pool.Buffers().PopOne()));
  EXPECT_EQ(pool.Buffers().Count(), 90);
  // 301 records in three passes (128 blocks each at most).
  EXPECT_EQ(q.Skip(301), 301);
  EXPECT_EQ(pool.Buffers().Count(), 390);
  EXPECT_EQ(q.Count(), 11);
  EXPECT_EQ(q.PlayStartCount(), 1);
  EXPECT_EQ(q.Skip(0), 0);
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.PlayStartCount(), 0);
  EXPECT_EQ(pool.Buffers().Count(), 400);
  // Every block came back exactly once.
  std::set<void*> blocks;
  while (pool.Buffers().Count() > 0) blocks.insert(pool.Buffers().PopOne());
  EXPECT_EQ(blocks.size(), 400u);
  EXPECT_EQ(q.Skip(5), 0);
}

TEST(QueueFlat, ProducerAndConsumerThreadsKeepOrderAndBlocks) {
  TDaxPoolBuffers pool(640, 256);
  TVEKQueueFlat q(100, &pool);
  constexpr int kBlocks = 20000;
  std::atomic<bool> refused{false};
  std::thread producer([&] {
    int sent = 0;
    while (sent < kBlocks) {
      int need = sent % 500 == 0 ? 2 : 1;
      if (pool.Buffers().Count() == 0 || q.Capacity() - q.Count() < need) {
        std::this_thread::yield();
        continue;
      }
      auto* b = static_cast<uint8_t*>(pool.Buffers().PopOne());
      *reinterpret_cast<int*>(b) = sent;
      // Room seen without the lock stays: the consumer only takes.
      if (need == 2 && !q.PutPlayStart(Talker("t"))) refused = true;
      if (!q.PutPlayData(b)) refused = true;
      if (refused) return;
      ++sent;
    }
  });
  int expected = 0;
  TVEKQueueFlatCmd run[64];
  while (expected < kBlocks && !refused) {
    TVEKQueueFlatCmd head;
    int n = 0;
    if (!q.PeekRun(head, n)) {
      std::this_thread::yield();
      continue;
    }
    if (head.Command == QCMD_PLAY_START) {
      ASSERT_EQ(q.Skip(n), n);
      continue;
    }
    ASSERT_EQ(head.Command, QCMD_PLAY_DATA);
    int got = q.GetMany(run, std::min(n, 64));
    for (int i = 0; i < got; ++i) {
      if (run[i].Command != QCMD_PLAY_DATA) {
        ASSERT_EQ(run[i].Command, QCMD_PLAY_START);
        continue;
      }
      ASSERT_EQ(*static_cast<int*>(run[i].Data), expected);
      ++expected;
      pool.Buffers().PushOne(run[i].Data);
    }
  }
  producer.join();
  EXPECT_FALSE(refused.load());
  q.Clear();
  EXPECT_EQ(pool.Buffers().Count(), 256);
}

}  // namespace
