#include "foundation/paths.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <fstream>
#include <sstream>

#include "foundation/charset.h"
#include "foundation/setup_data.h"
#include "support/test_files.h"

namespace {

using vektest::TempDir;
using vektest::WriteFile;
using vektest::ReadFile;
using vektest::Exists;

template <typename F>
std::string Message(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<none>";
}

std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

TEST(ResolvePath, RelativeJoinedAndExpandedAbsoluteUnchanged) {
  struct {
    std::u16string path, base, expected;
  } cases[] = {
      {u"sub/../x.cfg", u"/opt/app", u"/opt/app/x.cfg"},
      {u"x.cfg", u"/opt/app/", u"/opt/app/x.cfg"},
      {u"./a//b/", u"/opt", u"/opt/a/b"},
      {u"../../../x", u"/opt/app", u"/x"},
      {u"/etc/x.cfg", u"/opt/app", u"/etc/x.cfg"},
      {u"/etc/../x//", u"/opt/app", u"/etc/../x//"},  // absolute paths are not normalised
  };
  for (auto& c : cases) EXPECT_EQ(DaxResolvePath(c.path, c.base), c.expected);
}

TEST(ResolvePath, FileNameSettingsWithDefaultsAndBareNames) {
  const std::u16string prog = u"/opt/vek";
  struct {
    std::u16string name, expected;
  } pid[] = {
      {u"abc.pid", u"/var/run/abc.pid"},
      {u"run/abc.pid", u"/opt/vek/run/abc.pid"},
      {u"/tmp/abc.pid", u"/tmp/abc.pid"},
      {u" \t", u"/var/run/vekclient.pid"},
      {u" x.pid\u3000", u"/var/run/x.pid"},
  };
  for (auto& c : pid)
    EXPECT_EQ(VekResolveFileNameInDir(c.name, u"vekclient.pid", u"/var/run/", prog), c.expected);
  EXPECT_EQ(VekResolveFileNameDef(u"", u"vekclient.log", prog), u"/opt/vek/vekclient.log");
  EXPECT_EQ(VekResolveFileNameDef(u" logs/a.log ", u"vekclient.log", prog),
            u"/opt/vek/logs/a.log");
  EXPECT_EQ(VekResolveFileNameDef(u"/var/log/a.log", u"x", prog), u"/var/log/a.log");
}

TEST(ResolvePath, WriteAndTempDirectories) {
  const std::u16string prog = W(DaxGetProgramDir());
  EXPECT_EQ(VekWriteDir(u""), prog);
  EXPECT_EQ(VekWriteDir(u"data//"), prog + u"/data");
  EXPECT_EQ(VekWriteDir(u"/var/lib/vek/"), u"/var/lib/vek");
  EXPECT_EQ(VekTempDir(u""), W(DaxGetTempDir()));
  EXPECT_EQ(VekTempDir(u"tmp/"), prog + u"/tmp");
  EXPECT_EQ(VekTempDir(u"/"), u"/");
  EXPECT_EQ(VekFileInWriteDir("f.dat", u"/w//"), "/w/f.dat");
  EXPECT_EQ(Message([] { VekFileInWriteDir("", u"/w"); }), "no file name");

  TVEKSystemParameters system;
  system.ProgramDir = u"/opt/vek";
  EXPECT_EQ(VekWriteDir(system), u"/opt/vek");
  system.WriteDir = u"state/";
  system.TempDir = u"../tmp//";
  EXPECT_EQ(VekWriteDir(system), u"/opt/vek/state");
  EXPECT_EQ(VekTempDir(system), u"/opt/tmp");
  EXPECT_EQ(VekFileInWriteDir("dynpass1.dat", system), "/opt/vek/state/dynpass1.dat");
  EXPECT_EQ(Message([&] { VekFileInWriteDir("", system); }), "no file name");
}

TEST(WriteTest, SucceedsAndLeavesNothing) {
  TempDir dir;
  DaxCheckWritable(dir / "probe");
  EXPECT_FALSE(Exists(dir / "probe.$tmp$"));
  WriteFile(dir / "probe.$tmp$", "old");  // an existing probe is truncated and removed
  DaxCheckWritable(dir / "probe");
  EXPECT_FALSE(Exists(dir / "probe.$tmp$"));
}

TEST(WriteTest, CreateFailureNamesTheFileWithoutTheSuffix) {
  TempDir dir;
  EXPECT_EQ(Message([&] { DaxCheckWritable(dir / "none/f"); }),
            "error [2] of creating file \"" + (dir / "none/f") + "\": No such file or directory");
  // A link under the probe's name is refused and its target left alone.
  WriteFile(dir / "target", "precious");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "l.$tmp$").c_str()), 0);
  EXPECT_EQ(Message([&] { DaxCheckWritable(dir / "l"); }).rfind("error [40] of creating file", 0),
            0u);
  EXPECT_EQ(ReadFile(dir / "target"), "precious");
  if (::geteuid() != 0) {
    ::mkdir((dir / "ro").c_str(), 0555);
    EXPECT_EQ(Message([&] { DaxCheckWritable(dir / "ro/f"); }),
              "error [13] of creating file \"" + (dir / "ro/f") + "\": Permission denied");
    EXPECT_FALSE(Exists(dir / "ro/f.$tmp$"));
  }
}

TEST(WriteTest, WriteFailureIsReportedAsWritingError) {
  TempDir dir;
  pid_t child = ::fork();
  if (child == 0) {
    // A file size limit of one byte makes the second byte fail with EFBIG.
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {1, 1};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    std::string got = Message([&] { DaxCheckWritable(dir / "f"); });
    bool ok = got == "error [27] of writing file \"" + (dir / "f") + "\": File too large" &&
              !Exists(dir / "f.$tmp$");
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(PidFile, WriteReplacesAndReadParsesStrictly) {
  TempDir dir;
  const std::string name = dir / "v.pid";
  WriteFile(name, "old content that is longer");
  VekWritePidFile(name, 4321);
  EXPECT_EQ(ReadFile(name), "4321\n");
  pid_t pid = 0;
  VekReadPidFile(name, pid);
  EXPECT_EQ(pid, 4321);

  // A link in the PID file's place is replaced, not written through.
  WriteFile(dir / "target", "precious");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "l.pid").c_str()), 0);
  VekWritePidFile(dir / "l.pid", 99);
  EXPECT_EQ(ReadFile(dir / "target"), "precious");
  EXPECT_EQ(ReadFile(dir / "l.pid"), "99\n");

  struct {
    std::string content;
    pid_t expected;  // 0: "invalid PID value"
  } cases[] = {
      {"1234\nmore text", 1234},
      {" \t77 \r\n", 77},
      {std::string("12\0 34", 6), 12},
      {"12345678901234567890123", 0},  // the first 20 digits overflow
      {"                   5 and more", 5},
      {"                    5", 0},  // the digit is beyond the first 20 bytes
      {"", 0},
      {"0", 0},
      {"-1", 0},
      {"-4321", 0},
      {"12 34", 0},
      {"0x10", 0},
      {"2147483647", 2147483647},
  };
  for (auto& c : cases) {
    WriteFile(name, c.content);
    pid = -7;
    std::string got = Message([&] { VekReadPidFile(name, pid); });
    if (c.expected == 0) {
      EXPECT_EQ(got, "invalid PID value") << c.content;
      EXPECT_EQ(pid, -7);
    } else {
      EXPECT_EQ(got, "<none>") << c.content;
      EXPECT_EQ(pid, c.expected) << c.content;
    }
  }
  EXPECT_EQ(Message([&] { VekReadPidFile(dir / "none", pid); }), "No such file or directory");
  EXPECT_EQ(Message([&] { VekReadPidFile(dir.path(), pid); }), "Is a directory");
}

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
