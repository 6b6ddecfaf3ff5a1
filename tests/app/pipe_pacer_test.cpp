// The pipe pacer of scripts/run: feeds the capture pipe, drains the
// playback pipe, ends on SIGTERM; refuses bad arguments.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"
#include "support/wait.h"

namespace vektest {
namespace {

TEST(PipePacer, FeedsDrainsAndStops) {
  TempDir dir;
  const std::string capture = dir / "capture", playback = dir / "playback";
  ASSERT_EQ(mkfifo(capture.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(playback.c_str(), 0600), 0);
  ChildProcess pacer(PipePacerPath(), {"-c", capture, "-p", playback, "-r", "8000", "-f", "320"});
  // The reader of the capture pipe gets whole buffers of 320 samples.
  const int in = open(capture.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(in, 0);
  size_t got = 0;
  char buffer[4096];
  const uint64_t deadline = MonotonicMs() + kPeerWaitMs;
  while (got < 1280 && MonotonicMs() < deadline) {
    pollfd p{in, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      const ssize_t n = read(in, buffer, sizeof buffer);
      if (n > 0) got += static_cast<size_t>(n);
    }
  }
  close(in);
  EXPECT_GE(got, 1280u);
  // A writer of the playback pipe finds a reader (the pacer may open its read
  // end after the capture pipe's write end).
  int out = -1;
  EXPECT_TRUE(WaitUntil([&] {
    out = open(playback.c_str(), O_WRONLY | O_NONBLOCK);
    return out >= 0;
  }));
  if (out >= 0) {
    EXPECT_EQ(write(out, buffer, 640), 640);
    close(out);
  }
  pacer.Signal(SIGTERM);
  const ProcessResult r = pacer.Wait();
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(PipePacer, BadArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-r", "0", "-c", "x"}, {"-f", "abc", "-c", "x"}, {"-x"}}) {
    const ProcessResult r = RunProcess(PipePacerPath(), args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("usage: "), std::string::npos);
  }
}

}  // namespace
}  // namespace vektest
