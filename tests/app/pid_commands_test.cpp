// The PID-file commands in-process, on a PID file in a fresh folder. A
// forked child of this test runs the same program file, so it counts as a
// running copy of the program and takes the daemon's part.
#include "app/pid_commands.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "app/program.h"
#include "foundation/charset.h"
#include "support/child_process.h"
#include "support/test_files.h"
#include "support/wait.h"

using namespace vektest;

namespace {

// What the child's handlers touch (set before the fork).
char g_child_file[PATH_MAX];

class PidCommands : public ::testing::Test {
 protected:
  PidCommands() {
    program_.PidFileName = DaxUtf8ToUnicode(pid_file_);
    program_.LogFileName = DaxUtf8ToUnicode(log_file_);
    ClearErrors();
  }
  ~PidCommands() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
  }

  // A child that waits for `sig` and runs `handler` on it; returns once the
  // handler is in place.
  void StartChild(int sig, void (*handler)(int), const std::string& file) {
    std::strncpy(g_child_file, file.c_str(), sizeof g_child_file - 1);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      struct sigaction action {};
      action.sa_handler = handler;
      sigaction(sig, &action, nullptr);
      const char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(100);
      for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
  }
  // The child's exit code (-1 when a signal ended it, -2 when it did not
  // end: then it is killed).
  int ChildEnd() {
    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(child_, &status, WNOHANG) == child_; });
    EXPECT_TRUE(ended);
    if (!ended) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    child_ = -1;
    if (!ended) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void ClearErrors() {
    WriteFile(err_, "");
    program_.Error.OpenLog(err_);
  }
  std::string Errors() const { return ReadFile(err_); }

  TempDir dir_;
  const std::string pid_file_ = dir_ / "vekclient.pid";
  const std::string log_file_ = dir_ / "vekclient.log";
  const std::string err_ = dir_ / "err.txt";
  TVEKProgram program_;
  pid_t child_ = -1;
};

TEST_F(PidCommands, ReachARunningCopyOfTheProgram) {
  const struct {
    const char* name;
    void (*command)(TVEKProgram&);
    int sig;
    void (*handler)(int);
    const char* file;  // what the handler touches
    int code;          // the child's exit code
    bool pid_file_stays;
    bool log_exists;
  } cases[] = {
      {"stop", &VekStopDaemon, SIGTERM,
       [](int) {
         unlink(g_child_file);
         _exit(42);
       },
       "vekclient.pid", 42, false, false},
      // The wait for the PID file ends by itself.
      {"stop, PID file stays", &VekStopDaemon, SIGTERM, [](int) { _exit(44); }, "vekclient.pid", 44,
       true, false},
      {"reopenlog", &VekReopenDaemonLog, SIGHUP,
       [](int) {
         close(open(g_child_file, O_WRONLY | O_CREAT, 0644));
         _exit(43);
       },
       "vekclient.log", 43, true, true},
  };
  for (const auto& c : cases) {
    unlink(log_file_.c_str());
    StartChild(c.sig, c.handler, dir_ / c.file);
    WriteFile(pid_file_, std::to_string(child_) + "\n");
    c.command(program_);
    EXPECT_EQ(ChildEnd(), c.code) << c.name;
    EXPECT_EQ(Exists(pid_file_), c.pid_file_stays) << c.name;
    EXPECT_EQ(Exists(log_file_), c.log_exists) << c.name;
    EXPECT_EQ(Errors(), "") << c.name;
  }
}

TEST_F(PidCommands, SignalOnlyARunningCopyOfTheProgram) {
  ChildProcess bystander("/bin/sleep", {"30"});
  const pid_t gone = fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) _exit(0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);

  const std::string head = "ERROR: read PID-file [" + pid_file_ + "]: ";
  auto not_running = [&](pid_t pid) {
    return "ERROR: PID-file [" + pid_file_ + "]: process " + std::to_string(pid) +
           " is not a running vekclient\n";
  };
  const struct {
    bool file;
    std::string content;
    std::string error;  // the whole output; one ending in ": " is the head of one line
  } cases[] = {
      {false, "", head},
      {true, "x", head + "invalid PID value\n"},
      {true, "0", head + "invalid PID value\n"},
      {true, "-1", head + "invalid PID value\n"},
      {true, "", head + "invalid PID value\n"},
      // This process runs the program too; a stop must not end it.
      {true, std::to_string(getpid()), not_running(getpid())},
      {true, std::to_string(bystander.pid()), not_running(bystander.pid())},
      {true, std::to_string(gone), not_running(gone)},
  };
  for (const auto& c : cases)
    for (void (*command)(TVEKProgram&) : {&VekStopDaemon, &VekReopenDaemonLog}) {
      unlink(pid_file_.c_str());
      if (c.file) WriteFile(pid_file_, c.content + "\n");
      ClearErrors();
      command(program_);
      const std::string errors = Errors();
      const std::string label = c.file ? "\"" + c.content + "\"" : "no file";
      if (c.error.size() >= 2 && c.error.compare(c.error.size() - 2, 2, ": ") == 0) {
        EXPECT_EQ(errors.rfind(c.error, 0), 0u) << label << ": " << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << label;
      } else {
        EXPECT_EQ(errors, c.error) << label;
      }
    }
  EXPECT_EQ(kill(bystander.pid(), 0), 0);
}

TEST_F(PidCommands, DeletePidFile) {
  WriteFile(pid_file_, "12345\n");
  VekDeletePidFile(program_);
  EXPECT_FALSE(Exists(pid_file_));
  EXPECT_EQ(Errors(), "");
  VekDeletePidFile(program_);
  EXPECT_EQ(Errors().rfind("ERROR: delete PID-file [" + pid_file_ + "]: ", 0), 0u) << Errors();
}

}  // namespace
