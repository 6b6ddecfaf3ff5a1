#include "foundation/pid_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include "foundation/exception.h"
#include "support/case_name.h"
#include "support/test_files.h"
#include "support/thrown.h"

namespace {

using vektest::ReadFile;
using vektest::TempDir;
using vektest::ThrownMessage;
using vektest::WriteFile;

// The PID of a process that has ended and been reaped.
pid_t GonePid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A child that has ended but is not collected yet: kill(pid, 0) still finds
// it. Collected when the object ends.
class TZombie {
 public:
  TZombie() : pid_(fork()) {
    if (pid_ == 0) _exit(0);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
  ~TZombie() { waitpid(pid_, nullptr, 0); }
  TZombie(const TZombie&) = delete;
  TZombie& operator=(const TZombie&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsRegular(const std::string& name) {
  struct stat st;
  return lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

TEST(PidFile, TakeReplacesAndReadParsesStrictly) {
  TempDir dir;
  const std::string name = dir / "v.pid";
  WriteFile(name, "old content that is longer");
  ASSERT_TRUE(VekTakePidFile(name, 4321).Taken);
  EXPECT_EQ(ReadFile(name), "4321\n");
  pid_t pid = 0;
  VekReadPidFile(name, pid);
  EXPECT_EQ(pid, 4321);

  // A link in the PID file's place is replaced, not written through.
  WriteFile(dir / "target", "precious");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "l.pid").c_str()), 0);
  ASSERT_TRUE(VekTakePidFile(dir / "l.pid", 99).Taken);
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

namespace {

// The PID a take writes; a file naming it is as old as one naming nobody.
constexpr pid_t kTaker = 2147483000;

enum TPidOf { po_Text, po_Test, po_Init, po_Gone, po_Zombie, po_Taker };

struct TakeCase {
  const char* name;
  enum { nothing, file, link, dangling_link, directory } stands;
  TPidOf pid_of;     // the PID the file names; po_Text: `text` instead
  std::string text;
  bool test_is_starter;  // the test's own PID is passed as the taker's starter
  TVEKPidHolder holder;
  bool taken;
};

void PrintTo(const TakeCase& c, std::ostream* os) { *os << c.name; }

class PidFileTake : public ::testing::TestWithParam<TakeCase> {};

TEST_P(PidFileTake, ReplacesOnlyAFileWhoseHolderIsGone) {
  const TakeCase& c = GetParam();
  TempDir dir;
  const std::string name = dir / "v.pid";
  const std::string holder_file = dir / "holder";
  pid_t pid = 0;
  std::optional<TZombie> zombie;
  switch (c.pid_of) {
    case po_Text: break;
    case po_Test: pid = getpid(); break;
    case po_Init: pid = 1; break;
    case po_Gone: pid = GonePid(); break;
    case po_Zombie: pid = zombie.emplace().pid(); break;
    case po_Taker: pid = kTaker; break;
  }
  const std::string text = pid > 0 ? std::to_string(pid) + "\n" : c.text;
  switch (c.stands) {
    case TakeCase::nothing: break;
    case TakeCase::file: WriteFile(name, text); break;
    case TakeCase::link:
      WriteFile(holder_file, text);
      ASSERT_EQ(symlink(holder_file.c_str(), name.c_str()), 0);
      break;
    case TakeCase::dangling_link: ASSERT_EQ(symlink(holder_file.c_str(), name.c_str()), 0); break;
    case TakeCase::directory: ASSERT_EQ(mkdir(name.c_str(), 0755), 0); break;
  }
  const std::vector<std::string> before = Names(dir.path());
  const pid_t starter = c.test_is_starter ? getpid() : 0;

  const TVEKPidFileState state = VekPidFileState(name, kTaker, starter);
  EXPECT_EQ(state.Holder, c.holder);
  EXPECT_EQ(state.Pid, pid);
  EXPECT_EQ(Names(dir.path()), before);
  if (c.stands == TakeCase::file) {
    EXPECT_EQ(ReadFile(name), text);
  }

  const TVEKPidTake take = VekTakePidFile(name, kTaker, starter);
  EXPECT_EQ(take.Taken, c.taken);
  EXPECT_EQ(take.Found.Holder, c.holder);
  EXPECT_EQ(take.Found.Pid, pid);
  // No staging file stays behind, and a link's target is never touched.
  EXPECT_EQ(Names(dir.path()), before.empty() ? std::vector<std::string>{"v.pid"} : before);
  if (c.stands == TakeCase::link) {
    EXPECT_EQ(ReadFile(holder_file), text);
  }
  if (c.taken) {
    EXPECT_TRUE(IsRegular(name));
    EXPECT_EQ(ReadFile(name), std::to_string(kTaker) + "\n");
  } else if (c.stands == TakeCase::directory) {
    EXPECT_TRUE(std::filesystem::is_directory(name));
  } else {
    EXPECT_EQ(ReadFile(name), text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stands, PidFileTake,
    ::testing::Values(
        TakeCase{"nothing", TakeCase::nothing, po_Text, "", false, pfh_None, true},
        TakeCase{"this test's PID", TakeCase::file, po_Test, "", false, pfh_Live, false},
        TakeCase{"init's PID", TakeCase::file, po_Init, "", false, pfh_Live, false},
        TakeCase{"a link to a live holder's file", TakeCase::link, po_Test, "", false, pfh_Live,
                 false},
        TakeCase{"a directory", TakeCase::directory, po_Text, "", false, pfh_Unknown, false},
        TakeCase{"a gone process's PID", TakeCase::file, po_Gone, "", false, pfh_Gone, true},
        TakeCase{"an ended, uncollected process's PID", TakeCase::file, po_Zombie, "", false,
                 pfh_Gone, true},
        TakeCase{"the taker's own PID", TakeCase::file, po_Taker, "", false, pfh_Gone, true},
        TakeCase{"the starter's PID", TakeCase::file, po_Test, "", true, pfh_Gone, true},
        TakeCase{"a link to a gone holder's file", TakeCase::link, po_Gone, "", false, pfh_Gone,
                 true},
        TakeCase{"an empty file", TakeCase::file, po_Text, "", false, pfh_Gone, true},
        TakeCase{"no number", TakeCase::file, po_Text, "running\n", false, pfh_Gone, true},
        TakeCase{"a link to nothing", TakeCase::dangling_link, po_Text, "", false, pfh_Gone,
                 true}),
    vektest::RowName());

TEST(PidFileTakeErrors, AMissingDirectoryRaisesTheCreateError) {
  TempDir dir;
  const std::string name = dir / "none/v.pid";
  EXPECT_EQ(VekPidFileState(name, kTaker).Holder, pfh_None);
  EXPECT_EQ(ThrownMessage([&] { VekTakePidFile(name, kTaker); }),
            "error [2] of creating file \"" + name + "\": No such file or directory");
}

// Takes from several threads at one time, each for the PID of a live
// process of its own: exactly one wins.
struct RaceCase {
  const char* name;
  bool gone_holder;  // the file of a gone process stands there
};

void PrintTo(const RaceCase& c, std::ostream* os) { *os << c.name; }

class PidFileRace : public ::testing::TestWithParam<RaceCase> {
 protected:
  static constexpr int kRacers = 8;
  PidFileRace() {
    EXPECT_EQ(pipe2(hold_, O_CLOEXEC), 0);
    for (int i = 0; i < kRacers; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        char byte;
        close(hold_[1]);
        (void)!read(hold_[0], &byte, 1);  // lives until the test ends
        _exit(0);
      }
      holders_.push_back(pid);
    }
    close(hold_[0]);
  }
  ~PidFileRace() override {
    close(hold_[1]);
    for (pid_t pid : holders_) waitpid(pid, nullptr, 0);
  }

  int hold_[2] = {-1, -1};
  std::vector<pid_t> holders_;
};

TEST_P(PidFileRace, ExactlyOneTakeWins) {
  ASSERT_EQ(holders_.size(), static_cast<size_t>(kRacers));
  for (int round = 0; round < 30; ++round) {
    TempDir dir;
    const std::string name = dir / "v.pid";
    if (GetParam().gone_holder) WriteFile(name, std::to_string(GonePid()) + "\n");
    std::latch start(kRacers);
    std::atomic<int> winners{0}, raised{0};
    std::atomic<pid_t> winner{0};
    std::vector<std::thread> racers;
    for (pid_t pid : holders_)
      racers.emplace_back([&, pid] {
        start.arrive_and_wait();
        try {
          if (VekTakePidFile(name, pid).Taken) {
            ++winners;
            winner = pid;
          }
        } catch (...) {
          ++raised;
        }
      });
    for (std::thread& t : racers) t.join();
    ASSERT_EQ(winners.load(), 1) << "round " << round;
    EXPECT_EQ(raised.load(), 0);
    EXPECT_EQ(ReadFile(name), std::to_string(winner.load()) + "\n");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"v.pid"});
  }
}

INSTANTIATE_TEST_SUITE_P(Takes, PidFileRace,
                         ::testing::Values(RaceCase{"a free name", false},
                                           RaceCase{"a gone holder's file", true}),
                         vektest::RowName());

}  // namespace
