#include "foundation/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>

#include "foundation/exception.h"

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

DAX_DECLARE_EXCEPTION(ETestChild, EConvertError);

TEST(Exception, TextNamesTheMostDerivedClass) {
  try {
    throw ETestChild("bad digit");
  } catch (const EConvertError& e) {
    EXPECT_EQ(DaxExceptionText(e), "ETestChild: bad digit");
  }
}

}  // namespace
