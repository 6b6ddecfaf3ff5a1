// The output file's line writing: a line that cannot be written is dropped
// whole and counted, never raised, and the count is told once writing
// works again; every line is made safe on the way.
#include "app/log_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "support/small_tmpfs.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

using namespace vektest;

namespace {

TEST(LogOutput, LinesThatCannotBeWrittenAreCountedAndToldOnceWritingWorks) {
  std::string why;
  std::unique_ptr<SmallTmpfs> fs = SmallTmpfs::Mount(64 * 1024, &why);
  if (!fs) GTEST_SKIP() << why;
  const std::string name = *fs / "vek.log";
  TVEKOutputFile out;
  out.OpenLog(name);
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  out.WriteLines(u"S: ", {u"first"});
  fs->Fill();
  // More than the room left in the log's last page: all three go.
  const std::u16string wide(5000, u'x');
  EXPECT_NO_THROW(out.WriteLines(u"S: ", {wide, wide}));
  EXPECT_NO_THROW(out.WriteLines(u"S: ", {wide}));
  EXPECT_EQ(out.LostLines(), 3u);
  EXPECT_EQ(ReadFile(name), "S: first\n");
  fs->Unfill();
  // A peer's text cannot start a line of its own or drive the terminal.
  out.WriteLines(u"S: ", {u"second\r\n\x1b[2J\x07"});
  EXPECT_EQ(out.LostLines(), 0u);
  out.WriteLines(u"S: ", {u"third"});
  const std::vector<std::string> lines = Lines(ReadFile(name));
  ASSERT_EQ(lines.size(), 4u) << ReadFile(name);
  EXPECT_EQ(lines[0], "S: first");
  EXPECT_EQ(Unstamped(lines[1]), "Log: 3 lines could not be written (No space left on device)");
  EXPECT_NE(Unstamped(lines[1]), lines[1]);  // a stamped line
  EXPECT_EQ(lines[2], "S: second???[2J?");
  EXPECT_EQ(lines[3], "S: third");
}

TEST(LogOutput, AClosedConsoleNeverRaises) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  TVEKOutputFile out;
  out.AttachDescriptor(fds[1], "stdout");
  // No reader: EPIPE (SIGPIPE is ignored by the program, and here).
  signal(SIGPIPE, SIG_IGN);
  EXPECT_NO_THROW(out.WriteLines(u"", {u"one"}, TVEKLineCharset::Utf8));
  EXPECT_NO_THROW(out.WriteLines(u"", {u"two"}));
  EXPECT_EQ(out.LostLines(), 2u);
  ::close(fds[1]);
}

}  // namespace
