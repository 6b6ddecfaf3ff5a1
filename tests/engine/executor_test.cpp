#include "engine/executor.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "support/case_name.h"
#include "support/child_process.h"
#include "support/test_files.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

std::u16string U(const std::string& s) { return DaxUtf8ToUnicode(s); }

using vektest::Exists;
using vektest::TempDir;
using vektest::WriteFile;

// Every name in the directory, hidden ones included.
std::vector<std::string> Entries(const TempDir& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.path().c_str());
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
  closedir(d);
  return out;
}

std::string WriteScript(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream f(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(f, line);) out.push_back(line);
  return out;
}

// Shell lines that wait until the file `path` (a shell word) exists, for
// kPeerWaitMs at most, so a failed test leaves no process behind.
std::string WaitForFileShell(const std::string& path) {
  return "i=0; while [ ! -e " + path + " ] && [ $i -lt " + std::to_string(vektest::kPeerWaitMs / 10) +
         " ]; do sleep 0.01; i=$((i+1)); done\n";
}

// Polls a condition for up to kPeerWaitMs; scripts and process exits take
// their time.
template <class F>
bool Eventually(F f) {
  return vektest::WaitUntil(f, vektest::kPeerWaitMs, 10);
}

struct Recorder {
  std::mutex lock;
  int done = 0;
  std::vector<std::u16string> errors;
  void Attach(TVEKExecutorProcess& e) {
    e.OnDone = [this] {
      std::lock_guard<std::mutex> g(lock);
      ++done;
    };
    e.OnError = [this](const std::u16string& t) {
      std::lock_guard<std::mutex> g(lock);
      errors.push_back(t);
    };
  }
  int Done() {
    std::lock_guard<std::mutex> g(lock);
    return done;
  }
  size_t ErrorCount() {
    std::lock_guard<std::mutex> g(lock);
    return errors.size();
  }
};

class Executor : public testing::Test {
 protected:
  void SetUp() override { DaxInitSystemCharset(); }
};

TEST_F(Executor, ScriptOutputLinesAreTrimmedAndQueuedAndFilesDeleted) {
  TempDir scripts, tmp;
  // Records its three parameters, then answers with two names and blanks.
  const std::string script = WriteScript(scripts, "answer.sh",
                                         "printf '%s\\n' \"$1\" \"$2\" \"$3\" > \"" + (scripts / "params") +
                                             "\"\n"
                                             "printf 'first.wav\\n\\n \\t second name.wav  \\r\\n' > \"$2\"\n"
                                             ": > \"$1\"\n");
  const std::string hostile = "$(touch " + (tmp / "pwned") + "); y `touch " + (tmp / "pwned2") + "` Grüße";
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(tmp.path()));
  ASSERT_TRUE(Eventually([&] { return e.Started(); }));
  e.Run(U(script), U(hostile));
  ASSERT_TRUE(Eventually([&] { return r.Done() == 1 && !e.Busy(); }));

  std::u16string line;
  ASSERT_TRUE(e.PopOutput(line));
  EXPECT_EQ(line, u"first.wav");
  ASSERT_TRUE(e.PopOutput(line));
  EXPECT_EQ(line, u"second name.wav");
  EXPECT_FALSE(e.PopOutput(line));

  const auto params = ReadLines(scripts / "params");
  ASSERT_EQ(params.size(), 3u);
  // Both names lie in a folder of the run below the temporary directory.
  const std::string folder = params[0].substr(0, params[0].rfind('/'));
  EXPECT_EQ(folder.rfind(tmp / ".fx", 0), 0u) << folder;
  EXPECT_EQ(folder.size(), (tmp / ".fx").size() + 10);
  EXPECT_EQ(params[0].rfind(folder + "/.fi", 0), 0u) << params[0];
  EXPECT_EQ(params[1].rfind(folder + "/.fo", 0), 0u) << params[1];
  EXPECT_EQ(params[0].size(), (folder + "/.fi").size() + 10);
  EXPECT_EQ(params[2], hostile);
  EXPECT_TRUE(Entries(tmp).empty()) << "temporary files left behind, or a shell ran the argument";
  EXPECT_EQ(r.ErrorCount(), 0u);
}

TEST_F(Executor, BusyAbortAndNoOutput) {
  TempDir scripts, tmp;
  const std::string go = scripts / "go";
  const std::string script = WriteScript(scripts, "slow.sh",
                                         "echo line > \"$2\"\n" + WaitForFileShell("\"" + go + "\""));
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(tmp.path()));

  // Busy: refused while running, the running script is left alone.
  e.Run(U(script), u"1");
  try {
    e.Run(U(script), u"2");  // still pending or already running
    FAIL() << "second Run accepted";
  } catch (const Exception& ex) {
    EXPECT_STREQ(ex.what(), "Busy");
  }
  ASSERT_TRUE(Eventually([&] { return e.Running(); }));
  EXPECT_THROW(e.Run(U(script), u"3"), Exception);
  WriteFile(go, "");
  ASSERT_TRUE(Eventually([&] { return r.Done() == 1 && !e.Busy(); }));
  std::u16string line;
  EXPECT_TRUE(e.PopOutput(line));
  EXPECT_EQ(line, u"line");

  // Abort: the script runs to its end, its output is thrown away.
  unlink(go.c_str());
  e.Run(U(script), u"4");
  ASSERT_TRUE(Eventually([&] { return e.Running(); }));
  e.Abort();
  WriteFile(go, "");
  ASSERT_TRUE(Eventually([&] { return !e.Busy(); }));
  EXPECT_FALSE(e.PopOutput(line));
  EXPECT_EQ(r.Done(), 1);
  EXPECT_TRUE(Entries(tmp).empty());

  // Only blank lines, or no output file at all: no lines and no OnDone.
  const std::string blank = WriteScript(scripts, "blank.sh", "printf ' \\n\\t\\n' > \"$2\"\n");
  const std::string none = WriteScript(scripts, "none.sh", "exit 3\n");
  for (const std::string& s : {blank, none}) {
    e.Run(U(s), u"");
    ASSERT_TRUE(Eventually([&] { return !e.Busy(); }));
  }
  EXPECT_FALSE(e.PopOutput(line));
  EXPECT_EQ(r.Done(), 1);
  EXPECT_EQ(r.ErrorCount(), 0u);
  EXPECT_TRUE(Entries(tmp).empty());
}

TEST_F(Executor, AbortWithdrawsARunNotYetTakenUp) {
  TempDir scripts, tmp;
  const std::string ran = scripts / "ran";
  const std::string script = WriteScript(scripts, "echo.sh", "echo x >> \"" + ran + "\"\necho line > \"$2\"\n");
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(tmp.path()));
  ASSERT_TRUE(Eventually([&] { return e.Started(); }));
  // Aborted at once, mostly before the thread woke: whichever moment the
  // abort hits, no output may come of it, and the executor stays usable.
  for (int i = 0; i < 30; ++i) {
    e.Run(U(script), u"");
    e.Abort();
    ASSERT_TRUE(Eventually([&] { return !e.Busy(); }));
  }
  EXPECT_EQ(r.Done(), 0);
  std::u16string line;
  EXPECT_FALSE(e.PopOutput(line));
  EXPECT_LT(ReadLines(ran).size(), 30u) << "no run was withdrawn";

  // Each run has its own number; OnDone can tell which run finished.
  std::atomic<uint32_t> doneRun{0};
  e.OnDone = [&] { doneRun.store(e.CurrentRun()); };
  const uint32_t first = e.Run(U(script), u"");
  ASSERT_TRUE(Eventually([&] { return doneRun.load() == first && !e.Busy(); }));
  const uint32_t second = e.Run(U(script), u"");
  EXPECT_NE(second, first);
  EXPECT_NE(second, 0u);
  ASSERT_TRUE(Eventually([&] { return doneRun.load() == second && !e.Busy(); }));
  EXPECT_TRUE(Entries(tmp).empty());
}

// The file names stand on the script's command line, where every local user
// can read them: another user must not be able to put a link in their way.
TEST_F(Executor, AnotherUserCannotRedirectTheScriptFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  TempDir scripts, shared;
  ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);  // a shared temporary directory
  const std::string victim = shared / "victim";
  WriteFile(victim, "keep\n");
  // Before it answers, the script lets nobody try links at both names and
  // into their folder; it leaves a folder of its own with a link to the
  // victim behind.
  const std::string script = WriteScript(
      scripts, "watched.sh",
      "r=$(setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "
      "'ln -s \"$0\" \"$1\" 2>/dev/null; a=$?; ln -s \"$0\" \"$2\" 2>/dev/null; b=$?; "
      "ln -s \"$0\" \"${1%/*}/x\" 2>/dev/null; echo $a$b$?' \"" + victim + "\" \"$1\" \"$2\")\n"
      "echo \"$r\" > \"" + (scripts / "planted") + "\"\n"
      "mkdir \"${2%/*}/left\" && ln -s \"" + victim + "\" \"${2%/*}/left/link\"\n"
      "printf 'good.wav\\n' > \"$2\"\n");
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(shared.path()));
  e.Run(U(script), u"");
  ASSERT_TRUE(Eventually([&] { return r.Done() == 1 && !e.Busy(); }));
  EXPECT_EQ(vektest::ReadFile(scripts / "planted"), "111\n") << "a link was planted";
  std::u16string line;
  ASSERT_TRUE(e.PopOutput(line));
  EXPECT_EQ(line, u"good.wav");
  EXPECT_EQ(vektest::ReadFile(victim), "keep\n");
  EXPECT_EQ(Entries(shared), std::vector<std::string>{"victim"});
  EXPECT_EQ(r.ErrorCount(), 0u);
}

// Only a regular file is read as output: a link (whoever made it) or a pipe
// gives no lines, and nothing waits for a writer.
TEST_F(Executor, OutputThatIsNoRegularFileIsNotRead) {
  TempDir scripts, tmp;
  const std::string listed = scripts / "listed";
  WriteFile(listed, "evil.wav\n");
  const struct {
    std::string make;
    int code;
  } cases[] = {{"ln -s \"" + listed + "\" \"$2\"", ELOOP}, {"mkfifo \"$2\"", EINVAL}};
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(tmp.path()));
  size_t errors = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    const std::string script = WriteScript(scripts, "odd.sh", c.make + "\n");
    e.Run(U(script), u"");
    ASSERT_TRUE(Eventually([&] { return r.ErrorCount() == errors + 1 && !e.Busy(); }));
    const std::string text = DaxUnicodeToUtf8(r.errors[errors++]);
    EXPECT_EQ(text.rfind("Main loop: error [" + std::to_string(c.code) + "] of opening file \"" + tmp.path() + "/.fx", 0),
              0u)
        << text;
    std::u16string line;
    EXPECT_FALSE(e.PopOutput(line));
    EXPECT_TRUE(Entries(tmp).empty());
  }
  EXPECT_EQ(r.Done(), 0);
}

TEST_F(Executor, ErrorsAreReported) {
  TempDir tmp;
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(tmp.path()));

  const std::string missing = tmp / "no-such-script";
  e.Run(U(missing), u"x");
  ASSERT_TRUE(Eventually([&] { return r.ErrorCount() == 1 && !e.Busy(); }));
  EXPECT_EQ(r.errors[0], U(DaxFormatExecuteError(ENOENT, missing)));
  std::u16string line;
  EXPECT_FALSE(e.PopOutput(line));
  EXPECT_TRUE(Entries(tmp).empty());

  // No temporary directory: the name search fails inside the pass.
  e.SetTempDir(U(tmp / "gone"));
  e.Run(u"/bin/true", u"x");
  ASSERT_TRUE(Eventually([&] { return r.ErrorCount() == 2 && !e.Busy(); }));
  EXPECT_EQ(r.errors[1].rfind(u"Main loop: ", 0), 0u);
  EXPECT_NE(r.errors[1].find(u"tmpin"), std::u16string::npos);
  EXPECT_EQ(r.Done(), 0);
  // The thread goes on serving requests.
  e.SetTempDir(U(tmp.path()));
  EXPECT_NO_THROW(e.Run(u"/bin/true", u""));
  e.Stop();
  e.WaitFor();
  EXPECT_TRUE(e.Finished());
}

// A script that outlasts every wait of the test, and the child it started,
// whether or not they take SIGTERM: a stop ends both instead of waiting.
struct HangingScriptCase {
  const char* name;
  const char* prologue;
};

const HangingScriptCase kHangingScriptCases[] = {
    {"takes SIGTERM", ""},
    {"ignores SIGTERM", "trap '' TERM\n"},  // its child inherits that
};

class ExecutorStop : public testing::TestWithParam<HangingScriptCase> {
 protected:
  void SetUp() override { DaxInitSystemCharset(); }
};

TEST_P(ExecutorStop, EndsTheRunningScriptWithItsChildren) {
  TempDir scripts, tmp;
  const std::string pids = scripts / "pids";
  const std::string script = WriteScript(
      scripts, "hang.sh",
      std::string(GetParam().prologue) + ": > \"$1\"\necho late.wav > \"$2\"\nsleep " +
          std::to_string(2 * vektest::kPeerWaitMs / 1000) + " &\necho $$ $! > \"" + pids + ".tmp\"\nmv \"" +
          pids + ".tmp\" \"" + pids + "\"\nwait\n");
  TVEKExecutorProcess e;
  Recorder r;
  r.Attach(e);
  e.SetTempDir(U(tmp.path()));
  e.Run(U(script), u"");
  ASSERT_TRUE(Eventually([&] { return Exists(pids); }));
  pid_t shell = 0, child = 0;
  std::istringstream(vektest::ReadFile(pids)) >> shell >> child;
  ASSERT_TRUE(vektest::ProcessRunning(shell));
  ASSERT_TRUE(vektest::ProcessRunning(child));

  e.Stop();
  ASSERT_TRUE(Eventually([&] { return e.Finished(); })) << "the stop waits for the script";
  EXPECT_FALSE(vektest::ProcessRunning(shell));
  EXPECT_TRUE(Eventually([&] { return !vektest::ProcessRunning(child); }));
  EXPECT_EQ(r.Done(), 0);
  EXPECT_EQ(r.ErrorCount(), 0u);
  EXPECT_TRUE(Entries(tmp).empty());
}

INSTANTIATE_TEST_SUITE_P(Executor, ExecutorStop, testing::ValuesIn(kHangingScriptCases), vektest::RowName());

TEST(RunProcess, PassesOnlyCountArgumentsVerbatim) {
  TempDir dir;
  const std::string out = dir / "argv";
  const std::string script = WriteScript(dir, "argv.sh",
                                         "printf '%s\\n' \"$#\" \"$@\" > \"" + out + ".tmp\"\n"
                                         "mv \"" + out + ".tmp\" \"" + out + "\"\n");
  const std::string hostile = "$(touch " + (dir / "x") + "); y";
  ASSERT_EQ(VekRunProcess(U(script), 2, U(hostile), u"two  words", u"3", u"4", u"5", u"6", u"7"), 0);
  ASSERT_TRUE(Eventually([&] { return Exists(out); }));
  EXPECT_EQ(ReadLines(out), (std::vector<std::string>{"2", hostile, "two  words"}));
  EXPECT_FALSE(Exists(dir / "x"));

  ASSERT_EQ(VekRunProcess(U(script), 0), 0);
  ASSERT_TRUE(Eventually([&] { return ReadLines(out) == std::vector<std::string>{"0"}; }));

  errno = 0;
  EXPECT_EQ(VekRunProcess(U(dir / "missing"), 1, u"a"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(VekRunScriptWait(U(dir / "missing"), u"a", u"b", u"c"), -1);
}

TEST(RunProcess, ChildStartsWithDefaultSignalsAndEmptyMask) {
  TempDir dir;
  const std::string out = dir / "status";
  // The caller ignores SIGPIPE and blocks SIGUSR1, as daemons and threads do.
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old);
  sigset_t usr1, oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);
  // grep reads its own status: a shell may block signals around its forks.
  const int rc =
      VekRunScriptWait(u"/bin/sh", u"-c", u"exec grep -E '^Sig(Blk|Ign)' /proc/self/status > \"$0\"", U(out));
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &old, nullptr);
  ASSERT_EQ(rc, 0);
  // VekRunScriptWait has waited: the file is complete.
  const auto lines = ReadLines(out);
  ASSERT_EQ(lines.size(), 2u);
  const unsigned long long blocked = std::stoull(lines[0].substr(lines[0].find(':') + 1), nullptr, 16);
  const unsigned long long ignored = std::stoull(lines[1].substr(lines[1].find(':') + 1), nullptr, 16);
  EXPECT_EQ(blocked, 0u) << lines[0];
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << lines[1];
}

// Where descriptor fd of process pid points ("pipe:[123]", a path, ...).
std::string FdTarget(const std::string& pid, int fd) {
  char buf[512];
  const std::string link = "/proc/" + pid + "/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The targets of every descriptor above 2 of a process.
std::set<std::string> OpenFilesAbove2(const std::string& pid) {
  std::set<std::string> out;
  DIR* d = opendir(("/proc/" + pid + "/fd").c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd > 2 && !(pid == "self" && fd == dirfd(d))) out.insert(FdTarget(pid, fd));
  }
  closedir(d);
  out.erase("");
  return out;
}

TEST(RunProcess, ManyStartsLeaveNoZombieAndNoInheritedDescriptor) {
  TempDir dir;
  const std::string go = dir / "go";
  int leaky[2];
  ASSERT_EQ(pipe(leaky), 0);  // deliberately without close-on-exec
  ASSERT_TRUE(Eventually([] { return vektest::ChildStates().empty(); }));  // earlier tests' children
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(VekRunProcess(u"/bin/sh", 3, u"-c", U(WaitForFileShell("\"$0\"")), U(go)), 0);

  // The 20 shells wait for the go file; look at their descriptors from here.
  std::vector<std::string> children = vektest::ChildStates();
  ASSERT_EQ(children.size(), 20u) << testing::PrintToString(children);
  // What this process holds above the standard three (the leaky pipe among
  // them) must not show up in any child; the shell's own descriptors may.
  const std::set<std::string> ours = OpenFilesAbove2("self");
  ASSERT_EQ(ours.count(FdTarget("self", leaky[1])), 1u);
  for (const std::string& c : children) {
    const std::string pid = c.substr(0, c.find(':'));
    for (const std::string& target : OpenFilesAbove2(pid))
      EXPECT_EQ(ours.count(target), 0u) << "child " << pid << " inherited " << target;
  }
  close(leaky[0]);
  close(leaky[1]);

  WriteFile(go, "");
  EXPECT_TRUE(Eventually([] { return vektest::ChildStates().empty(); })) << testing::PrintToString(vektest::ChildStates());
}

}  // namespace
