// The parent of a daemon start in-process: forked children of this test
// take the daemon child's part. A bound a case runs into is short; one it
// only waits within is generous, since load can stretch any step.
#include "app/daemon.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/signals.h"
#include "foundation/charset.h"
#include "foundation/types.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

void Report(int fd, unsigned char code) {
  if (write(fd, &code, 1) != 1) _exit(100);
}

[[noreturn]] void WaitForever() {
  for (;;) pause();
}

// Stop signals back to their defaults: they end the child.
void StopSignalsEndMe() {
  const sigset_t stop = VekStopSignals();
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
}

class DaemonStart : public ::testing::Test {
 protected:
  DaemonStart() { pthread_sigmask(SIG_SETMASK, nullptr, &saved_mask_); }
  ~DaemonStart() override {
    // Children the parent left running (it reaps those that ended).
    for (pid_t pid : children_)
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
  }

  sigset_t saved_mask_;
  std::vector<pid_t> children_;
};

TEST_F(DaemonStart, ParentEndsWithTheChildsResult) {
  const auto generous = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::milliseconds(vektest::kPeerWaitMs));
  const TVEKDaemonBounds waits{generous, generous};
  const struct {
    const char* name;
    void (*child)(int report_fd);
    bool parent_interrupted;
    TVEKDaemonBounds bounds;
    int code;
    std::u16string error;  // "{pid}" stands for the child's PID
  } cases[] = {
      {"reports its start",
       [](int fd) {
         Report(fd, 0);
         WaitForever();
       },
       false, waits, 0, u""},
      {"ends without a word", [](int) { _exit(6); }, false, waits, 6, u""},
      {"never reports, ends on SIGTERM",
       [](int) {
         StopSignalsEndMe();
         WaitForever();
       },
       false, {1s, generous}, 3, u"Daemon start not confirmed within 1 s"},
      {"never reports, does not end",
       [](int) { WaitForever(); },
       false, {1s, 1s}, 3, u"Daemon start not confirmed within 1 s: process {pid} has not ended"},
      {"is stopped with its parent",
       [](int) {
         StopSignalsEndMe();
         WaitForever();
       },
       true, waits, 3, u"Daemon start interrupted [SIGINT]"},
  };
  for (const auto& c : cases) {
    TVEKDaemonStart start;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) c.child(start.TakeChildEnd());
    children_.push_back(child);
    if (c.parent_interrupted) kill(getpid(), SIGINT);  // blocked: read by the parent's wait
    const TVEKDaemonEnd end = start.AwaitChild(child, c.bounds);
    std::u16string error = c.error;
    const size_t at = error.find(u"{pid}");
    if (at != std::u16string::npos) error.replace(at, 5, DaxIntToStrW(child));
    EXPECT_EQ(end.ExitCode, c.code) << c.name;
    EXPECT_EQ(DaxUnicodeToUtf8(end.Error), DaxUnicodeToUtf8(error)) << c.name;
  }
}

TEST_F(DaemonStart, TheRealBounds) {
  const TVEKDaemonBounds bounds;
  EXPECT_EQ(bounds.Start, 30s);
  // A child told to stop has its own stop bound to end in.
  EXPECT_EQ(bounds.End, 2 * kVekStopBound);
}

}  // namespace
