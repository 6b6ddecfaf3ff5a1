#include "foundation/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <memory>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/exception.h"
#include "support/wait.h"

namespace {

class StackProbe : public TDaxThread {
 public:
  StackProbe() { Start(); }
  ~StackProbe() override { Terminate(); WaitFor(); }
  std::atomic<size_t> stack{0};

 protected:
  void Execute() override {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    stack = size;
    while (!Terminated()) sched_yield();
  }
};

TEST(Thread, RunsOnFourMebibyteStackUntilTerminated) {
  StackProbe t;
  while (t.stack == 0) sched_yield();
  EXPECT_GE(t.stack.load(), TDaxThread::kStackSize);
  EXPECT_FALSE(t.Finished());
  t.Terminate();
  t.WaitFor();
  EXPECT_TRUE(t.Finished());
}

class Runner : public TDaxThread {
 public:
  explicit Runner(std::function<void()> body) : body_(std::move(body)) { Start(); }
  ~Runner() override { WaitFor(); }

 protected:
  void Execute() override { body_(); }

 private:
  std::function<void()> body_;
};

TEST(Thread, KeepsTheMessageOfAnExceptionThatEndedIt) {
  Runner failing([] { throw Exception("disk full"); });
  Runner clean([] {});
  failing.WaitFor();
  clean.WaitFor();
  EXPECT_TRUE(failing.Finished());
  EXPECT_EQ(failing.FatalExceptionText(), "disk full");
  EXPECT_EQ(clean.FatalExceptionText(), "");
}

// Its destructor neither terminates nor joins: the base's must.
class ForgetfulSleeper : public TDaxThread {
 public:
  ForgetfulSleeper() { Start(); }
  std::atomic<bool> running{false};

 protected:
  void Execute() override {
    running = true;
    while (!WaitTerminated(600000)) {
    }
  }
};

TEST(Thread, DestructorStopsAndWakesAThreadItsDescendantForgot) {
  auto sleeper = std::make_unique<ForgetfulSleeper>();
  while (!sleeper->running) sched_yield();
  EXPECT_FALSE(sleeper->Finished());
  sleeper.reset();  // would sleep ten minutes if not woken
}

TEST(SyncDispatcher, RunsWorkerCallsOnTheServingThreadInOrderAndReturnsTheirExceptions) {
  TDaxSyncDispatcher d;
  const std::thread::id serving = std::this_thread::get_id();
  std::vector<int> order;
  std::atomic<bool> done{false};
  std::string caught;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i)
      d.Call([&, i] {
        EXPECT_EQ(std::this_thread::get_id(), serving);
        order.push_back(i);
      });
    try {
      d.Call([] { throw std::runtime_error("log disk full"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
    d.Wake();
  });
  d.WaitServing([&] { return done.load(); }, 1000);
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(caught, "log disk full");
}

TEST(SyncDispatcher, CallOnTheServingThreadRunsAtOnceAndWakeEndsAServeEarly) {
  TDaxSyncDispatcher d;
  int runs = 0;
  d.Call([&] { ++runs; });
  EXPECT_EQ(runs, 1);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    d.Wake();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(d.Serve(60000));
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// Waits without polling: only a served call or a Wake ends the sleep. The
// safety period lies beyond the shared bound, so a wait that nothing ends
// fails the test at the bound.
class UnpolledWait : public ::testing::Test {
 protected:
  UnpolledWait() { d.SetSafetyPeriod(2 * vektest::kPeerWaitMs); }
  void WaitServing(const std::function<bool()>& done) {
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
      if (!vektest::WaitUntil([&] { return returned.load(); })) {
        ADD_FAILURE() << "nothing ended the wait";
        d.Wake();
      }
    });
    d.WaitServing(done);
    returned = true;
    watchdog.join();
  }
  TDaxSyncDispatcher d;
};

TEST_F(UnpolledWait, ACallThatMakesDoneTrueEndsIt) {
  bool done = false;
  std::thread caller([&] { d.Call([&] { done = true; }); });
  WaitServing([&] { return done; });
  caller.join();
}

TEST_F(UnpolledWait, AWakeAfterDoneTurnedTrueEndsIt) {
  std::atomic<bool> done{false};
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done = true;
    d.Wake();
  });
  WaitServing([&] { return done.load(); });
  waker.join();
}

// Woken between a look at `done` and the sleep: the wake-up is kept.
TEST_F(UnpolledWait, AWakeBeforeTheSleepIsNotLost) {
  int looks = 0;
  WaitServing([&] {
    if (++looks == 1) d.Wake();
    return looks > 1;
  });
  EXPECT_EQ(looks, 2);
}

}  // namespace
