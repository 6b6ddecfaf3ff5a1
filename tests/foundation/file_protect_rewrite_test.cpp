#include "foundation/file_protect_rewrite.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "support/test_files.h"

namespace {

using vektest::TempDir;
using vektest::WriteFile;
using vektest::ReadFile;
using vektest::Exists;

// Points the protector's temporary area (TEMP) at a directory of the test;
// an empty one leaves every temporary-directory variable unset.
class TempEnv {
 public:
  explicit TempEnv(const std::string& dir) {
    for (const char* n : {"TEMP", "TMP", "TMPDIR", "TEMPDIR"}) {
      const char* v = ::getenv(n);
      saved_.push_back({n, v ? v : "", v != nullptr});
      ::unsetenv(n);
    }
    if (!dir.empty()) ::setenv("TEMP", dir.c_str(), 1);
  }
  ~TempEnv() {
    for (auto& s : saved_) s.set ? ::setenv(s.name, s.value.c_str(), 1) : ::unsetenv(s.name);
  }

 private:
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  };
  std::vector<Saved> saved_;
};

std::set<std::string> Entries(const std::string& dir) {
  std::vector<TDaxSearchRec> recs;
  DaxListDirectory(dir, "*", kDaxAttrAnyFile, recs);
  std::set<std::string> names;
  for (auto& r : recs)
    if (!DaxIsDotEntry(r.Name)) names.insert(r.Name);
  return names;
}

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<none>";
}

std::vector<std::string> g_steps;
void RecordStep(const char* step) { g_steps.push_back(step); }

// A PID no process has any more: a child that has ended and been reaped.
pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// A staging name of the writer `pid`, as the protector makes them.
std::string StagingName(pid_t pid) { return ".tmp$0123456789." + std::to_string(pid); }

}  // namespace

TEST(FileRewrite, NewFileCommitLeavesOnlyTheFile) {
  TempDir base, target;
  TempEnv env(base.path());
  const std::string file = target / "sub/backupserver1.dat";
  {
    TFileRewriteProtector p(file);
    EXPECT_EQ(p.WritePath().rfind(base.path() + "/.tmp$", 0), 0u) << p.WritePath();
    EXPECT_EQ(p.WritePath().substr(p.WritePath().size() - 20), "/M/backupserver1.dat");
    struct stat st {};
    const std::string area = p.WritePath().substr(0, p.WritePath().size() - 20);  // B/T
    ASSERT_EQ(::stat(area.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    WriteFile(p.WritePath(), "new");
    p.Commit();
  }
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(Entries(target / "sub"), std::set<std::string>{"backupserver1.dat"});
  EXPECT_TRUE(Entries(base.path()).empty());
}

TEST(FileRewrite, ExistingFileReplacedOrKeptWithoutCommit) {
  TempDir base, target;
  TempEnv env(base.path());
  const std::string file = target / "dynpass1.dat";
  WriteFile(file, "old");
  {
    TFileRewriteProtector p(file);
    WriteFile(p.WritePath(), "half-written");
  }  // freed without commit
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"dynpass1.dat"});
  EXPECT_TRUE(Entries(base.path()).empty());

  {
    TFileRewriteProtector p(file);
    WriteFile(p.WritePath(), "new");
    p.Commit();
  }
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"dynpass1.dat"});
  EXPECT_TRUE(Entries(base.path()).empty());
}

TEST(FileRewrite, AcrossFileSystemsTheAreaIsCopied) {
  TempDir base("/dev/shm"), target("/tmp");
  ASSERT_FALSE(base.path().empty());
  TempEnv env(base.path());
  const std::string file = target / "f.dat";
  WriteFile(file, "old");
  g_steps.clear();
  DaxFileMoverStepHook = RecordStep;
  {
    TFileRewriteProtector p(file);
    WriteFile(p.WritePath(), "new");
    p.Commit();
  }
  DaxFileMoverStepHook = nullptr;
  EXPECT_EQ(g_steps, (std::vector<std::string>{"copy", "link", "fsync", "rename"}));
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"f.dat"});
  EXPECT_TRUE(Entries(base.path()).empty());
}

// Without a temporary directory from the environment (the usual case under
// a service manager) the area goes beside the file, never beside the
// program; a variable naming a missing directory counts as none. A
// temporary directory given by the caller comes first.
TEST(FileRewrite, WithoutATemporaryDirectoryTheAreaIsBesideTheFile) {
  TempDir target, given;
  for (const char* temp : {"", "/nonexistent/vek-temp"}) {
    SCOPED_TRACE(temp);
    TempEnv env(temp);
    const std::string file = target / "sub/dynpass1.dat";
    TFileRewriteProtector p(file);
    EXPECT_EQ(p.WritePath().rfind(target / "sub/.tmp$", 0), 0u) << p.WritePath();
    WriteFile(p.WritePath(), temp);
    p.Commit();
    EXPECT_EQ(ReadFile(file), temp);
    EXPECT_EQ(Entries(target / "sub"), std::set<std::string>{"dynpass1.dat"});
  }
  TempEnv env("");
  TFileRewriteProtector p(target / "f.dat", given.path());
  EXPECT_EQ(p.WritePath().rfind(given / ".tmp$", 0), 0u) << p.WritePath();
}

// What writers that are gone left behind goes at the next rewrite of the
// file: their areas beside the file and in the temporary directory, and
// their backups of the file; also an area named with this process's PID
// that none of its rewrites holds (an earlier process had the PID). A
// running writer's area, other files' backups, names of other forms, and
// entries that are links stay.
TEST(FileRewrite, TheNextRewriteRemovesWhatDeadWritersLeft) {
  TempDir base, target, victim;
  TempEnv env(base.path());
  const std::string dead = StagingName(DeadPid());
  const std::string live = StagingName(::getppid());
  const std::string earlier = StagingName(::getpid());
  WriteFile(target / "f.dat", "old");
  for (const std::string& area :
       {target / dead, base / dead, target / live, base / live, target / earlier, base / earlier})
    ASSERT_EQ(::mkdir(area.c_str(), 0700), 0) << area;
  ASSERT_EQ(::mkdir((target / (dead + "/M")).c_str(), 0700), 0);
  WriteFile(target / (dead + "/M/f.dat"), "half");
  WriteFile(target / (dead + ".f.dat"), "old");    // the target is there too
  WriteFile(target / (dead + ".g.dat"), "other");  // another file's
  WriteFile(target / ".tmp$short.1", "");
  WriteFile(target / "notes.txt", "");
  WriteFile(victim / "keep", "keep");
  const std::string link = base / StagingName(DeadPid());
  ASSERT_EQ(::symlink(victim.path().c_str(), link.c_str()), 0);
  {
    TFileRewriteProtector p(target / "f.dat");
    WriteFile(p.WritePath(), "new");
    p.Commit();
  }
  EXPECT_EQ(ReadFile(target / "f.dat"), "new");
  EXPECT_EQ(Entries(target.path()), (std::set<std::string>{"f.dat", live, dead + ".g.dat",
                                                           ".tmp$short.1", "notes.txt"}));
  EXPECT_EQ(Entries(base.path()), (std::set<std::string>{live, link.substr(link.rfind('/') + 1)}));
  EXPECT_EQ(ReadFile(victim / "keep"), "keep");
}

// A writer killed between its two renames, where no hard link could be
// made, left the old file only under its backup name: the next rewrite
// puts it back before anything else happens.
TEST(FileRewrite, TheOnlyCopyOfTheOldFileIsPutBack) {
  TempDir target;
  TempEnv env("");
  const std::string backup = target / (StagingName(DeadPid()) + ".f.dat");
  WriteFile(backup, "old");
  TFileRewriteProtector p(target / "f.dat");
  EXPECT_EQ(ReadFile(target / "f.dat"), "old");
  EXPECT_FALSE(Exists(backup));
}

// Rewrites of the same file still running keep their areas, one in another
// process and one on this process's own PID; each commits or rolls back
// as it would alone.
TEST(FileRewrite, ARunningRewritesAreaIsLeftAlone) {
  TempDir target;
  TempEnv env("");
  const std::string file = target / "f.dat";
  int to_child[2], from_child[2];
  ASSERT_EQ(::pipe2(to_child, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(from_child, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 1;
    try {
      TFileRewriteProtector p(file);
      WriteFile(p.WritePath(), "first");
      char c = 0;
      if (::write(from_child[1], "r", 1) == 1 && ::read(to_child[0], &c, 1) == 1) {
        p.Commit();
        code = 0;
      }
    } catch (...) {
    }
    ::_exit(code);
  }
  char c = 0;
  ASSERT_EQ(::read(from_child[0], &c, 1), 1);  // the child's area is made
  {
    TFileRewriteProtector p(file);
    {
      TFileRewriteProtector q(file);
      WriteFile(q.WritePath(), "second");
      EXPECT_EQ(Entries(target.path()).size(), 3u);  // the three areas
      ASSERT_EQ(::write(to_child[1], "c", 1), 1);
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(ReadFile(file), "first");
    }  // q freed without a commit
    EXPECT_EQ(ReadFile(file), "first");
    WriteFile(p.WritePath(), "third");
    p.Commit();
  }
  for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
  EXPECT_EQ(ReadFile(file), "third");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"f.dat"});
}

// Threads rewriting one file at once each clear leftovers first: none may
// take another's area, made a moment ago, so every rewrite commits.
TEST(FileRewrite, RewritesInSeveralThreadsAllCommit) {
  TempDir target;
  TempEnv env("");
  const std::string file = target / "f.dat";
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        try {
          TFileRewriteProtector p(file);
          WriteFile(p.WritePath(), std::to_string(t));
          p.Commit();
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"f.dat"});
}

TEST(FileRewrite, BadNamesRaise) {
  TempDir base;
  TempEnv env(base.path());
  EXPECT_EQ(Message([] { TFileRewriteProtector p("backupserver1.dat"); }),
            "File name must have a directory and a name: \"backupserver1.dat\"");
  EXPECT_EQ(Message([] { TFileRewriteProtector p("/tmp/a/../f"); }),
            "Relative path is not allowed: \"/tmp/a/..\"");
  EXPECT_EQ(Message([] { TFileRewriteProtector p("/tmp/./f"); }),
            "Relative path is not allowed: \"/tmp/.\"");
  EXPECT_TRUE(Entries(base.path()).empty());
}

TEST(FileMover, StatesAndTheirErrors) {
  TempDir base, target;
  EXPECT_EQ(Message([] { DaxFileMoverCopyUp(nullptr); }), "Mover=NIL");
  EXPECT_EQ(Message([] { DaxFileMoverAddFile(nullptr, "x"); }), "Syncro=NIL");
  TFileMoverData bogus;
  bogus.Mark = 1;
  EXPECT_EQ(Message([&] { DaxFileMoverCommit(&bogus); }), "Invalid mover context");

  TFileMoverData* m = DaxFileMoverCreate("tmp", base.path());
  TFileMoverSync* s = DaxFileMoverAddSynchro(m, target.path());
  // ".tmp$" + 10 characters + "." + the writer's PID.
  const std::string pid = "." + std::to_string(::getpid());
  EXPECT_EQ(s->TempName.rfind(".tmp$", 0), 0u);
  EXPECT_EQ(s->TempName.size(), 15u + pid.size());
  EXPECT_EQ(s->TempName.substr(15), pid);
  std::string path = DaxFileMoverAddFile(s, "f");
  EXPECT_EQ(Message([&] { DaxFileMoverAddFile(s, "g"); }),
            "Master file is already set for Syncro=\"" + target.path() + "\"");
  EXPECT_EQ(Message([&] { DaxFileMoverMoveUp(m); }),
            "Unable fullfil MoveUp without previous CopyUp");
  EXPECT_EQ(Message([&] { DaxFileMoverCommit(m); }), "Unable perform Commit without MoveUp");
  WriteFile(path, "new");
  DaxFileMoverCopyUp(m);
  EXPECT_EQ(Message([&] { DaxFileMoverCopyUp(m); }), "Unable do CopyUp procedure");
  EXPECT_EQ(Message([&] { DaxFileMoverAddSynchro(m, target.path()); }), "Unable add synchro");
  EXPECT_EQ(Message([&] { DaxFileMoverAddFile(s, "h"); }), "Unable add file");
  DaxFileMoverMoveUp(m);
  EXPECT_EQ(ReadFile(target / "f"), "new");
  // Rollback after move up of a file that did not exist deletes it.
  DaxFileMoverRollback(m);
  DaxFileMoverRollback(m);  // repeated: nothing
  EXPECT_FALSE(Exists(target / "f"));
  EXPECT_EQ(Message([&] { DaxFileMoverCommit(m); }), "Unable perform Commit after Rollback");
  DaxFileMoverFree(m);
  EXPECT_TRUE(Entries(target.path()).empty());
  EXPECT_TRUE(Entries(base.path()).empty());

  m = DaxFileMoverCreate("", base.path());
  s = DaxFileMoverAddSynchro(m, target.path());
  EXPECT_EQ(s->TempName.rfind(".TMP$", 0), 0u);
  WriteFile(target / "f", "old");
  WriteFile(DaxFileMoverAddFile(s, "f"), "new");
  DaxFileMoverCopyUp(m);
  DaxFileMoverMoveUp(m);
  EXPECT_TRUE(Exists(target / (s->TempName + ".f")));  // the backup beside the target
  DaxFileMoverRollback(m);
  EXPECT_EQ(ReadFile(target / "f"), "old");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"f"});
  DaxFileMoverFree(m);

  m = DaxFileMoverCreate("tmp", base.path());
  WriteFile(DaxFileMoverAddFile(DaxFileMoverAddSynchro(m, target.path()), "f"), "new");
  DaxFileMoverCopyUp(m);
  DaxFileMoverMoveUp(m);
  DaxFileMoverCommit(m);
  DaxFileMoverCommit(m);  // repeated: nothing
  EXPECT_EQ(Message([&] { DaxFileMoverRollback(m); }), "File mover data are already commited");
  DaxFileMoverFree(m);
  EXPECT_EQ(ReadFile(target / "f"), "new");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"f"});
  EXPECT_TRUE(Entries(base.path()).empty());
}

TEST(FileMover, FailedMoveUpRestoresTheOldFile) {
  TempDir base, target;
  WriteFile(target / "f", "old");
  TFileMoverData* m = DaxFileMoverCreate("tmp", base.path());
  TFileMoverSync* s = DaxFileMoverAddSynchro(m, target.path());
  std::string path = DaxFileMoverAddFile(s, "f");
  // The caller never wrote the new file: syncing it fails during move up.
  DaxFileMoverCopyUp(m);
  EXPECT_NE(Message([&] { DaxFileMoverMoveUp(m); }).find("of opening file"), std::string::npos);
  EXPECT_EQ(m->State, 3);
  EXPECT_EQ(ReadFile(target / "f"), "old");
  EXPECT_EQ(Entries(target.path()), std::set<std::string>{"f"});
  DaxFileMoverFree(m);
  EXPECT_TRUE(Entries(base.path()).empty());
}

namespace {

int g_kill_at = 0;
void KillAtStep(const char*) {
  if (--g_kill_at == 0) ::kill(::getpid(), SIGKILL);
}

// Replaces the target in a child killed at step k, for k = 1, 2, ... until
// the child runs to the end; after each the target is old or new, whole.
// Each child's rewrite removes what the killed one before it left, so in the
// end only the file is there. An empty base: no temporary directory.
void CrashAtEveryStep(const std::string& base, const std::string& target_dir) {
  const std::string file = target_dir + "/dynpass1.dat";
  const std::string old_content(100000, 'o'), new_content(150000, 'n');
  int killed = 0;
  for (int k = 1; k < 50; ++k) {
    WriteFile(file, old_content);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (const char* n : {"TEMP", "TMP", "TMPDIR", "TEMPDIR"}) ::unsetenv(n);
      if (!base.empty()) ::setenv("TEMP", base.c_str(), 1);
      g_kill_at = k;
      DaxFileMoverStepHook = KillAtStep;
      try {
        TFileRewriteProtector p(file);
        std::ofstream(p.WritePath(), std::ios::binary) << new_content;
        p.Commit();
      } catch (...) {
        ::_exit(2);
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::string now = ReadFile(file);
    EXPECT_TRUE(now == old_content || now == new_content) << "step " << k << ": " << now.size();
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(now, new_content);
      break;
    }
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ++killed;
  }
  EXPECT_GE(killed, 3);
  EXPECT_EQ(Entries(target_dir), std::set<std::string>{"dynpass1.dat"});
  if (!base.empty()) {
    EXPECT_TRUE(Entries(base).empty());
  }
}

}  // namespace

TEST(FileRewriteCrash, TargetIsOldOrNewAfterAKillAtEveryStep) {
  TempDir base, target;
  CrashAtEveryStep(base.path(), target.path());
}

TEST(FileRewriteCrash, BesideTheFileToo) {
  TempDir target;
  CrashAtEveryStep("", target.path());
}

TEST(FileRewriteCrash, AcrossFileSystemsToo) {
  TempDir base("/dev/shm"), target("/tmp");
  CrashAtEveryStep(base.path(), target.path());
}
