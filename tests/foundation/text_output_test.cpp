#include "foundation/text_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "foundation/charset.h"
#include "support/test_files.h"

using vektest::ReadFile;
using vektest::TempDir;

TEST(LineOutput, FlushingFormReachesTheFileAtOnce) {
  TempDir dir;
  TDaxTextFile f;
  DaxCreateTextBuffered(f, dir / "log", 1 << 16);
  DaxWriteLn(f, u"first");
  EXPECT_EQ(ReadFile(dir / "log"), "");
  DaxWriteLnFlush(f, u"second");
  EXPECT_EQ(ReadFile(dir / "log"), "first\nsecond\n");
  DaxWriteLn(f, u"third");
  DaxFlushText(f);
  EXPECT_EQ(ReadFile(dir / "log"), "first\nsecond\nthird\n");
  EXPECT_EQ(DaxHookUnicodeToSys(u"\u00e9"), DaxUnicodeToSys(u"\u00e9"));
  DaxWriteLnFlush(f, u"\u00e9");
  EXPECT_EQ(ReadFile(dir / "log"), "first\nsecond\nthird\n" + DaxUnicodeToSys(u"\u00e9") + "\n");
  DaxCloseTextFile(f);
  EXPECT_THROW(DaxWriteLnFlush(f, u"closed"), EFileException);
}

TEST(LineOutput, ConsoleDescriptorIsFlushedButNotClosed) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  {
    TDaxTextFile console;
    console.AttachOutput(fds[1], "stdout");
    DaxWriteLnFlush(console, u"line one");
    DaxWriteLn(console, u"line two");
    EXPECT_EQ(DaxCloseTextFile(console), 0);  // flushes the second line
  }
  EXPECT_NE(::fcntl(fds[1], F_GETFD), -1);  // still open
  ::close(fds[1]);
  char buf[64] = {0};
  std::string got;
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  EXPECT_EQ(got, "line one\nline two\n");
}
