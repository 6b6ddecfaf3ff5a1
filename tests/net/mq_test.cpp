#include "net/mq.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

TEST(MessageQueue, HandsOverOwnershipInOrderAndFreesTheRest) {
  TVEKMessageQueue q(16);
  EXPECT_EQ(q.Pop(), nullptr);
  for (int i = 0; i < 40; ++i) q.Push(VekCreateMessage(std::to_string(i), u"text"));
  q.Push(nullptr);
  EXPECT_EQ(q.Count(), 40);
  for (int i = 0; i < 20; ++i) {
    auto m = q.Pop();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ReceiverId, std::to_string(i));
  }
  // The other 20 are freed by the destructor (the leak checker watches).
}

TEST(MessageQueue, CrossesThreadsIntact) {
  TVEKMessageQueue q(16);
  constexpr int kCount = 5000;
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) q.Push(VekCreateMessage(std::to_string(i), std::u16string(50, u'm')));
  });
  int next = 0;
  while (next < kCount) {
    auto m = q.Pop();
    if (!m) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(m->ReceiverId, std::to_string(next));
    ASSERT_EQ(m->GetLine(0).size(), 50u);
    ++next;
  }
  producer.join();
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
}

}  // namespace
