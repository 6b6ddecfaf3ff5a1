#include "foundation/waiter2_bsd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace {

struct SocketPair {
  int fd[2];
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~SocketPair() { close(fd[0]); close(fd[1]); }
};

std::vector<TWaiter2Resource*> g_seen;
void Collect(TWaiter2Resource* r) { g_seen.push_back(r); }

TEST(Waiter, CapacityIsClampedAndEnforced) {
  const struct { int asked, capacity; } cases[] = {{-3, 0}, {0, 0}, {1, 1}, {5000, 5000}, {6000, 5000}};
  for (const auto& c : cases) {
    TWaiter2Socket w(c.asked);
    EXPECT_EQ(w.Capacity(), c.capacity) << c.asked;
    EXPECT_EQ(w.Count(), 1);  // the wake-up pipe
    EXPECT_EQ(w.HighIndex(), 0);
    EXPECT_EQ(w.RecordSize(), static_cast<int>(sizeof(TWaiter2Resource)));
  }
  TWaiter2Socket none(0);
  try {
    none.AddResource(nullptr, 0);
    FAIL() << "capacity 0 took a resource";
  } catch (const EWaiterNoFreeResources& e) {
    EXPECT_STREQ(e.what(), "No free wait resources");
  }
  TWaiter2Socket one(1);
  TWaiter2Resource* r = one.AddResource(&one, 0);
  EXPECT_EQ(r->Index, 1);
  EXPECT_EQ(r->Events, 0);
  EXPECT_EQ(r->Owner, &one);
  EXPECT_THROW(one.AddResource(nullptr, 1), EWaiterNoFreeResources);
  one.RemoveResource(r);
  EXPECT_NE(one.AddResource(nullptr, 1), nullptr);
}

TEST(Waiter, PipeIsCloseOnExecAndNonBlocking) {
  TWaiter2Socket w(0);
  int fd = w.PipeReadDescriptor();
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST(Waiter, TimeoutLimits) {
  TWaiter2Socket w(0);
  EXPECT_EQ(w.Wait(0), wr_Timeout);
  try {
    w.Wait(86400000u);
    FAIL();
  } catch (const EWaiterTooLargeTime& e) {
    EXPECT_STREQ(e.what(), "Timeout is too large: 86400000");
  }
  EXPECT_THROW(w.Wait(4294967294u), EWaiterTooLargeTime);
  // The largest finite timeout and the unlimited one are accepted; a pending
  // wake-up ends them at once.
  w.Signal();
  EXPECT_EQ(w.Wait(86399999u), wr_Interrupt);
  w.Signal();
  EXPECT_EQ(w.Wait(kWaiterInfinite), wr_Interrupt);
}

TEST(Waiter, SignalsCollapseIntoOneInterrupt) {
  TWaiter2Socket w(0);
  // The wake-up empties the pipe whether it took one read or more: just
  // a read buffer (1024), one byte beyond it, and far more wake-ups than
  // the pipe holds (the overflow is not an error).
  for (int count : {1, 3, 1023, 1024, 1025, 2048, 200000}) {
    for (int i = 0; i < count; ++i) w.Signal();
    EXPECT_EQ(w.WaitOne(1000), wr_Interrupt) << count;
    EXPECT_EQ(w.WaitOne(0), wr_Timeout) << count;
  }
  for (int count : {1, 1024, 1025}) {
    for (int i = 0; i < count; ++i) w.Signal();
    w.ClearSignal();
    EXPECT_EQ(w.WaitOne(0), wr_Timeout) << count;
  }
  w.Signal();
  w.ClearSignal();
  EXPECT_EQ(w.WaitOne(30), wr_Timeout);
}

TEST(Waiter, SignalFromAnotherThreadEndsAnUnlimitedWait) {
  TWaiter2Socket w(0);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    w.Signal();
  });
  EXPECT_EQ(w.WaitOne(kWaiterInfinite), wr_Interrupt);
  t.join();
}

TEST(Waiter, WakeUpBeatsAReadyDescriptorWhichTheNextWaitReports) {
  SocketPair sp;
  TWaiter2Socket w(1);
  TWaiter2Resource* r = w.AddResource(nullptr, sp.fd[0]);
  // Registered but not asked for anything: data does not count.
  ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
  EXPECT_EQ(w.Wait(0), wr_Timeout);
  w.SetEvents(r, kWaiterRead);
  w.Signal();
  g_seen.clear();
  EXPECT_EQ(w.Wait(1000, Collect), wr_Interrupt);
  EXPECT_EQ(w.Wait(1000, Collect), wr_Descriptor);
  // Level-triggered: still readable, reported to the callback every time.
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0], r);
  EXPECT_EQ(g_seen[1], r);
  EXPECT_EQ(w.Wait(0), wr_Descriptor);
  w.SetEvents(r, 0);
  EXPECT_EQ(w.Wait(0), wr_Timeout);
}

TEST(Waiter, SetEventsRegistersOnlyOnChange) {
  SocketPair sp;
  TWaiter2Socket w(1);
  TWaiter2Resource* r = w.AddResource(nullptr, sp.fd[0]);
  const TWaiterEventQueue& q = w.Queue();
  EXPECT_EQ(q.Registrations(), 1u);  // the pipe
  uint64_t changes = q.Changes();
  w.SetEvents(r, kWaiterRead);
  w.SetEvents(r, kWaiterRead);
  EXPECT_EQ(q.Changes(), changes + 1);
  EXPECT_EQ(q.Registrations(), 2u);
  EXPECT_TRUE(r->ReadArmed);
  EXPECT_EQ(r->ReadFilter.Mask, 1);
  // 4 still means readability: no change to the registrations.
  w.SetEvents(r, 4);
  EXPECT_EQ(q.Changes(), changes + 1);
  w.SetEvents(r, 0);
  EXPECT_EQ(q.Registrations(), 1u);
  EXPECT_FALSE(r->ReadArmed);
  w.SetEvents(r, kWaiterRead | kWaiterWrite);
  EXPECT_EQ(q.Registrations(), 3u);
  EXPECT_TRUE(r->ReadArmed && r->WriteArmed);
  // An idle socket is writable, not readable: one notification, and its
  // user data leads back to the record.
  g_seen.clear();
  EXPECT_EQ(w.Wait(0, Collect), wr_Descriptor);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0], r);
  // Removing the record deletes its registrations.
  w.RemoveResource(r);
  EXPECT_EQ(q.Registrations(), 1u);
  EXPECT_EQ(w.Wait(0), wr_Timeout);
}

TEST(Waiter, WaitOneRefusesRegisteredSockets) {
  SocketPair sp;
  TWaiter2Socket w(1);
  TWaiter2Resource* r = w.AddResource(nullptr, sp.fd[0]);
  try {
    w.WaitOne(100);
    FAIL();
  } catch (const EWaiterTooManyResources& e) {
    EXPECT_STREQ(e.what(), "Too many resources");
  }
  w.RemoveResource(r);
  EXPECT_EQ(w.WaitOne(0), wr_Timeout);
}

TEST(Waiter, RemovingMovesLaterRecordsDown) {
  TWaiter2Socket w(3);
  TWaiter2Resource* a = w.AddResource(nullptr, 10);
  TWaiter2Resource* b = w.AddResource(nullptr, 11);
  TWaiter2Resource* c = w.AddResource(nullptr, 12);
  EXPECT_EQ(c->Index, 3);
  w.RemoveResource(a);
  EXPECT_EQ(w.Count(), 3);
  EXPECT_EQ(w.HighIndex(), 2);
  EXPECT_EQ(b->Index, 1);
  EXPECT_EQ(c->Index, 2);
  EXPECT_EQ(w.Resource(1), b);
  EXPECT_EQ(w.Resource(2), c);
  EXPECT_EQ(w.Resource(3), nullptr);
}

TEST(Waiter, ReportsADescriptorClosedBehindItsBack) {
  // A descriptor that is not open: the wait reports it instead of sleeping.
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  TWaiter2Socket w(1);
  TWaiter2Resource* r = w.AddResource(nullptr, fd);
  w.SetEvents(r, kWaiterRead);
  close(fd);
  EXPECT_EQ(w.Wait(1000), wr_Descriptor);
}

TEST(Waiter, AFailedWaitReturnsErrorWithItsNumber) {
  // poll refuses more descriptors than the open-file limit allows.
  SocketPair sp;
  TWaiter2Socket w(20);
  std::vector<int> fds;
  for (int i = 0; i < 20; ++i) {
    fds.push_back(fcntl(sp.fd[0], F_DUPFD_CLOEXEC, 0));
    w.SetEvents(w.AddResource(nullptr, fds.back()), kWaiterRead);
  }
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  TWaiterResult r = w.Wait(0);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(r, wr_Error);
  EXPECT_EQ(w.LastError(), EINVAL);
  // Still usable.
  w.Signal();
  EXPECT_EQ(w.Wait(0), wr_Interrupt);
  while (w.HighIndex() > 0) w.RemoveResource(w.Resource(w.HighIndex()));
  for (int fd : fds) close(fd);
}

// Handlers installed without SA_RESTART, so poll really fails with EINTR.
std::atomic<int> g_handled{0};
TWaiter2Socket* g_waiter = nullptr;
void CountSignal(int) { g_handled.fetch_add(1); }
void WakeFromHandler(int) { g_waiter->Signal(); }

void Install(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
}

TEST(Waiter, InterruptedWaitIsRestarted) {
  Install(CountSignal);
  g_handled = 0;
  std::atomic<bool> done{false};
  std::atomic<int> result{-1};
  std::atomic<bool> started{false};
  std::thread waiter([&] {
    TWaiter2Socket w(0);
    started = true;
    result = w.WaitOne(1000);
    done = true;
  });
  while (!started) std::this_thread::yield();
  // Into the wait, then signals until one was handled (each restarts it).
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_TRUE(vektest::WaitUntil([&] {
    if (!done && g_handled.load() == 0) pthread_kill(waiter.native_handle(), SIGUSR1);
    return done || g_handled.load() > 0;
  }, vektest::kPeerWaitMs, 1));
  waiter.join();
  EXPECT_GE(g_handled.load(), 1);
  EXPECT_EQ(result.load(), wr_Timeout);
  signal(SIGUSR1, SIG_DFL);
}

TEST(Waiter, SignalIsSafeInASignalHandler) {
  Install(WakeFromHandler);
  TWaiter2Socket w(0);
  g_waiter = &w;
  std::atomic<bool> started{false};
  pthread_t main_thread = pthread_self();
  std::thread killer([&] {
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pthread_kill(main_thread, SIGUSR1);
  });
  started = true;
  EXPECT_EQ(w.WaitOne(kWaiterInfinite), wr_Interrupt);
  killer.join();
  signal(SIGUSR1, SIG_DFL);
  g_waiter = nullptr;
}

}  // namespace
