#include "foundation/pid_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "foundation/exception.h"
#include "support/test_files.h"
#include "support/thrown.h"

namespace {

using vektest::ReadFile;
using vektest::TempDir;
using vektest::ThrownMessage;
using vektest::WriteFile;

}  // namespace

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
    std::string got = ThrownMessage([&] { VekReadPidFile(name, pid); });
    if (c.expected == 0) {
      EXPECT_EQ(got, "invalid PID value") << c.content;
      EXPECT_EQ(pid, -7);
    } else {
      EXPECT_EQ(got, "<none>") << c.content;
      EXPECT_EQ(pid, c.expected) << c.content;
    }
  }
  EXPECT_EQ(ThrownMessage([&] { VekReadPidFile(dir / "none", pid); }), "No such file or directory");
  EXPECT_EQ(ThrownMessage([&] { VekReadPidFile(dir.path(), pid); }), "Is a directory");
}
