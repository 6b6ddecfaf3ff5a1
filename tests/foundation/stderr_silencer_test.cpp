#include "foundation/stderr_silencer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(StdErrSilencer, SilencedStdErrWritesNowhere) {
  int pipefd[2];
  ASSERT_EQ(pipe2(pipefd, O_CLOEXEC | O_NONBLOCK), 0);
  const int original = dup(2);
  ASSERT_GE(original, 0);
  dup2(pipefd[1], 2);

  int saved = DaxSilenceStdErr();
  ASSERT_GE(saved, 0);
  EXPECT_EQ(write(2, "hidden", 6), 6);
  DaxRestoreStdErr(saved);
  EXPECT_EQ(fcntl(saved, F_GETFD), -1);  // the saved copy is closed
  EXPECT_EQ(write(2, "shown", 5), 5);
  DaxRestoreStdErr(-1);  // no effect

  dup2(original, 2);
  close(original);
  close(pipefd[1]);
  char buf[32] = {0};
  EXPECT_EQ(read(pipefd[0], buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "shown");
  close(pipefd[0]);
}

}  // namespace
