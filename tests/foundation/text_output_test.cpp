#include "foundation/text_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "foundation/charset.h"
#include "support/small_tmpfs.h"
#include "support/test_files.h"

#include <cerrno>
#include <memory>

using vektest::ReadFile;
using vektest::TempDir;
using vektest::WriteFile;

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

namespace {

using vektest::SmallTmpfs;

TEST(LineOutput, WholeWriteReportsAFullDevice) {
  TDaxTextFile f;
  f.Assign("/dev/full");
  ASSERT_EQ(DaxAppendTextNoRaise(f), 0);
  EXPECT_EQ(DaxWriteWholeNoRaise(f, "line\n"), ENOSPC);
  // Bytes still in the buffer go first, and their failure is the answer.
  DaxTextWriteBytes(f, "buffered", 8);
  EXPECT_EQ(DaxWriteWholeNoRaise(f, "line\n"), ENOSPC);
  TDaxTextFile closed;
  EXPECT_EQ(DaxWriteWholeNoRaise(closed, "line\n"), EBADF);
}

// A line that meets a full disk half-way is cut off again, and the next
// line follows the last whole one, with or without O_APPEND (standard
// output redirected to a file has none).
TEST(LineOutput, AFullDiskLeavesNoTornLine) {
  std::string why;
  std::unique_ptr<SmallTmpfs> fs = SmallTmpfs::Mount(64 * 1024, &why);
  if (!fs) GTEST_SKIP() << why;
  for (int flags : {O_WRONLY | O_APPEND, O_WRONLY}) {
    SCOPED_TRACE(flags & O_APPEND ? "append" : "plain");
    const std::string name = *fs / "log";
    WriteFile(name, "first\n");
    const int fd = ::open(name.c_str(), flags | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if ((flags & O_APPEND) == 0) ::lseek(fd, 0, SEEK_END);
    TDaxTextFile f;
    f.AttachOutput(fd, name);
    fs->Fill();
    // Longer than the room left in the file's last page.
    const std::string long_line = std::string(8000, 'x') + "\n";
    EXPECT_EQ(DaxWriteWholeNoRaise(f, long_line), ENOSPC);
    EXPECT_EQ(ReadFile(name), "first\n");
    fs->Unfill();
    EXPECT_EQ(DaxWriteWholeNoRaise(f, "second\n"), 0);
    EXPECT_EQ(DaxWriteWholeNoRaise(f, long_line), 0);
    EXPECT_EQ(ReadFile(name), "first\nsecond\n" + long_line);
    DaxCloseTextFile(f);
    ::close(fd);
    ::unlink(name.c_str());
  }
}

TEST(SafeText, ReplacesWhatCouldBreakOrDisguiseALine) {
  struct Case {
    std::u16string in, out;
  } cases[] = {
      {u"plain text", u"plain text"},
      {u"a\tb", u"a\tb"},
      {u"line\r\n2026-01-01 00:00:00.000: Forged", u"line??2026-01-01 00:00:00.000: Forged"},
      {std::u16string(u"nul\0end", 7), u"nul?end"},
      {u"\x1b[2J\x07\x7f", u"?[2J??"},
      {u"\x80\x85\x9f\xa0", u"???\xa0"},  // C1, then the first printable
      {u"\u2028\u2029", u"??"},
      {u"\u200e\u200f\u202a\u202b\u202c\u202d\u202e", u"???????"},
      {u"\u2066\u2067\u2068\u2069", u"????"},
      {u"\u200d\u2065\u206a\u202f", u"\u200d\u2065\u206a\u202f"},  // neighbours stay
      {u"Привет, 日本", u"Привет, 日本"},
  };
  for (const Case& c : cases) EXPECT_EQ(VekSafeNetText(c.in), c.out) << DaxUnicodeToUtf8(c.in);
}

}  // namespace
