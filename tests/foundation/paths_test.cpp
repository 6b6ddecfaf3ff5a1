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
#include "support/thrown.h"

namespace {

using vektest::TempDir;
using vektest::ThrownMessage;
using vektest::WriteFile;
using vektest::ReadFile;
using vektest::Exists;

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
  EXPECT_EQ(ThrownMessage([] { VekFileInWriteDir("", u"/w"); }), "no file name");

  TVEKSystemParameters system;
  system.ProgramDir = u"/opt/vek";
  EXPECT_EQ(VekWriteDir(system), u"/opt/vek");
  EXPECT_EQ(VekConfiguredTempDir(system), "");  // not the fallback of VekTempDir
  system.WriteDir = u"state/";
  system.TempDir = u"../tmp//";
  EXPECT_EQ(VekWriteDir(system), u"/opt/vek/state");
  EXPECT_EQ(VekTempDir(system), u"/opt/tmp");
  EXPECT_EQ(VekConfiguredTempDir(system), "/opt/tmp");
  EXPECT_EQ(VekFileInWriteDir("dynpass1.dat", system), "/opt/vek/state/dynpass1.dat");
  EXPECT_EQ(ThrownMessage([&] { VekFileInWriteDir("", system); }), "no file name");
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
  EXPECT_EQ(ThrownMessage([&] { DaxCheckWritable(dir / "none/f"); }),
            "error [2] of creating file \"" + (dir / "none/f") + "\": No such file or directory");
  // A link under the probe's name is refused and its target left alone.
  WriteFile(dir / "target", "precious");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "l.$tmp$").c_str()), 0);
  EXPECT_EQ(ThrownMessage([&] { DaxCheckWritable(dir / "l"); }).rfind("error [40] of creating file", 0),
            0u);
  EXPECT_EQ(ReadFile(dir / "target"), "precious");
  if (::geteuid() != 0) {
    ::mkdir((dir / "ro").c_str(), 0555);
    EXPECT_EQ(ThrownMessage([&] { DaxCheckWritable(dir / "ro/f"); }),
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
    std::string got = ThrownMessage([&] { DaxCheckWritable(dir / "f"); });
    bool ok = got == "error [27] of writing file \"" + (dir / "f") + "\": File too large" &&
              !Exists(dir / "f.$tmp$");
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
