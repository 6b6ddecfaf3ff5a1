#include "net/clq.h"

#include <gtest/gtest.h>

namespace {

TVEKClientsArray ListOf(int n, const char* prefix) {
  TVEKClientsArray list(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) list[static_cast<size_t>(i)].ID = prefix + std::to_string(i);
  return list;
}

TEST(ClientListQueue, SnapshotsAreCopiesTakenAtPush) {
  TVEKClientListQueue q(16);
  TVEKClientsArray live = ListOf(2, "a");
  q.Push(live);
  live[0].ID = "changed";
  live.push_back(TVEKClientRec{});
  TVEKClientsArray out = ListOf(1, "untouched");
  ASSERT_TRUE(q.Pop(out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].ID, "a0");
  out = ListOf(1, "untouched");
  EXPECT_FALSE(q.Pop(out));
  EXPECT_EQ(out[0].ID, "untouched0");
}

TEST(ClientListQueue, PopLatestKeepsOnlyTheNewest) {
  TVEKClientListQueue q(16);
  q.Push(ListOf(1, "first"));
  q.Push(ListOf(2, "second"));
  q.Push(ListOf(3, "third"));
  TVEKClientsArray out;
  EXPECT_TRUE(q.PopLatest(out));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].ID, "third2");
  EXPECT_EQ(q.Count(), 0);
  out = ListOf(1, "mine");
  EXPECT_FALSE(q.PopLatest(out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].ID, "mine0");
  // Snapshots left in the queue are freed with it.
  for (int i = 0; i < 20; ++i) q.Push(ListOf(10, "left"));
}

}  // namespace
