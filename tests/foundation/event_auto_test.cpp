#include "foundation/event_auto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/wait.h"

namespace {

TEST(EventAuto, OneSetReleasesOneWaitThenResets) {
  TEventAuto e;
  EXPECT_FALSE(e.WaitFor(0));
  e.SetEvent();
  e.SetEvent();
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_FALSE(e.WaitFor(10));
  e.SetEvent();
  e.ResetEvent();
  EXPECT_FALSE(e.WaitFor(0));
}

TEST(EventAuto, WakesAWaiterInAnotherThread) {
  TEventAuto e;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e.SetEvent();
  });
  EXPECT_TRUE(e.WaitFor(TEventAuto::kInfinite));
  t.join();
}

TEST(EventAuto, OneSetReleasesExactlyOneOfTwoWaiters) {
  TEventAuto e;
  std::atomic<int> released{0};
  auto wait = [&] {
    if (e.WaitFor(vektest::kPeerWaitMs)) released.fetch_add(1);
  };
  std::thread a(wait), b(wait);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  e.SetEvent();
  EXPECT_TRUE(vektest::WaitUntil([&] { return released.load() > 0; }));
  // The other waiter stays put until the next set.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(released.load(), 1);
  e.SetEvent();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
}

}  // namespace
