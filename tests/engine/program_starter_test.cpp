#include "engine/program_starter.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "engine/mngr.h"
#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "net/proto.h"
#include "support/child_process.h"
#include "support/engine_rig.h"
#include "support/event_log.h"
#include "support/fake_vek_server.h"
#include "support/test_files.h"
#include "support/wait.h"

extern char** environ;

namespace {

using vektest::TempDir;

std::u16string U(const std::string& s) { return DaxUtf8ToUnicode(s); }

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream f(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(f, line);) out.push_back(line);
  return out;
}

// A script that waits until `go` exists (at most kPeerWaitMs, so a failed
// test leaves nothing behind), then appends its first argument to `done`.
std::string GatedScript(const TempDir& dir, const std::string& go, const std::string& done) {
  const std::string path = dir / "gated.sh";
  vektest::WriteFile(path, "#!/bin/sh\ni=0; while [ ! -e '" + go + "' ] && [ $i -lt " +
                               std::to_string(vektest::kPeerWaitMs / 200) +
                               " ]; do sleep 0.2; i=$((i+1)); done\necho \"$1\" >> '" + done + "'\n");
  chmod(path.c_str(), 0755);
  return path;
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST(ProgramStarter, RunsABoundedNumberQueuesAFewAndDropsTheRest) {
  DaxInitSystemCharset();
  TempDir dir;
  const std::string go = dir / "go", done = dir / "done";
  const std::string script = GatedScript(dir, go, done);
  vektest::EventLog warnings, errors;
  TVEKProgramStarter s(2, 3);
  s.OnWarning = [&](const std::u16string& t) { warnings.Add(DaxUnicodeToUtf8(t)); };
  s.OnError = [&](const std::u16string& t) { errors.Add(DaxUnicodeToUtf8(t)); };
  for (int i = 0; i < 6; ++i) EXPECT_EQ(s.StartProgram(U(script), {U(std::to_string(i))}), 0) << i;
  EXPECT_EQ(s.Running(), 2u);
  EXPECT_EQ(s.Waiting(), 3u);
  EXPECT_EQ(vektest::ChildStates().size(), 2u);
  EXPECT_EQ(warnings.Events(), (std::vector<std::string>{
                                   "2 scripts are running, further ones wait for their turn",
                                   "script \"" + script + "\" not started for \"5\": 2 are running and 3 waiting"}));

  vektest::WriteFile(go, "");
  ASSERT_TRUE(vektest::WaitUntil([&] { return Lines(done).size() == 5 && s.Running() == 0; }));
  std::vector<std::string> ran = Lines(done);
  std::sort(ran.begin(), ran.end());
  EXPECT_EQ(ran, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
  EXPECT_TRUE(vektest::WaitUntil([] { return vektest::ChildStates().empty(); }));

  // A start that fails at once says so; one that fails from the queue is
  // reported. The queue's next use is warned about again.
  EXPECT_EQ(s.StartProgram(U(dir / "missing"), {}), ENOENT);
  unlink(go.c_str());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(s.StartProgram(U(script), {u"again"}), 0);
  EXPECT_EQ(s.StartProgram(U(dir / "missing"), {}), 0);
  vektest::WriteFile(go, "");
  ASSERT_TRUE(errors.WaitCount(1));
  EXPECT_EQ(errors.Events()[0], DaxFormatExecuteError(ENOENT, dir / "missing"));
  EXPECT_EQ(warnings.Events().size(), 3u);
  EXPECT_TRUE(vektest::WaitUntil([&] { return s.Running() == 0 && vektest::ChildStates().empty(); }));
}

// Other children of the process are waited for by their own code (the
// executor's scripts): the starter collects only its own.
TEST(ProgramStarter, LeavesOtherChildrenToTheirOwner) {
  DaxInitSystemCharset();
  TVEKProgramStarter s;
  pid_t other;
  char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>("exit 7"), nullptr};
  ASSERT_EQ(posix_spawn(&other, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  const std::string zombie = std::to_string(other) + ":Z";
  ASSERT_TRUE(vektest::WaitUntil([&] {
    const auto c = vektest::ChildStates();
    return std::find(c.begin(), c.end(), zombie) != c.end();
  }));
  // Own children end and are collected meanwhile.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.StartProgram(u"/bin/true", {}), 0);
  ASSERT_TRUE(vektest::WaitUntil([&] { return s.Running() == 0; }));
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

// A server that changes talkers with every block makes every block an over
// of its own, a recording and a script: the scripts run a bounded number at
// once, the rest wait, and no recording waits for them.
TEST(RecorderScripts, TalkerChangesEveryBlockRunABoundedNumberOfScripts) {
  constexpr int kOvers = 150;
  vektest::FakeClient one, two;
  one.id = "1";
  one.name = "One";
  two.id = "2";
  two.name = "Two";
  vektest::Script talk;
  talk.Login().KeepAlives(250).Marker(0x03, vektest::ClientListTagsPayload({one, two})).Sleep(300);
  for (int i = 0; i < kOvers; ++i) talk.Talk(1 + i % 2, vektest::Tone(440, 8000, 320), true);
  talk.Sleep(vektest::kPeerWaitMs);
  vektest::FakeVekServer fake(talk);

  vektest::EngineRig rig;
  const std::string go = rig.Path("go"), done = rig.Path("done");
  const std::string script = GatedScript(rig.dir, go, done);
  rig.setup.Recorder.Enabled = true;
  rig.setup.Recorder.Dir = U(rig.Path("rec"));
  rig.setup.Recorder.Script = U(script);
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  vektest::ServerLink link(e, rig.setup.Account);
  link.Connect(e, fake.Port());
  ASSERT_TRUE(rig.PumpUntil("Networks"));
  e.Protocol()->EnableReceive();

  size_t most_scripts = 0;
  int most_threads = 0;
  const bool all = rig.Pump([&] {
    most_scripts = std::max(most_scripts, vektest::ChildStates().size());
    most_threads = std::max(most_threads, ThreadCount());
    return rig.CountOf("RecorderFile:") == kOvers;
  });
  ASSERT_TRUE(all) << rig.CountOf("RecorderFile:") << " recordings";
  EXPECT_EQ(most_scripts, TVEKProgramStarter::kMaxRunning);
  EXPECT_LT(most_threads, 40);
  EXPECT_EQ(rig.CountOf("WarningText:RECORDER: 16 scripts are running"), 1);
  EXPECT_EQ(rig.CountOf("WarningText:RECORDER: script"), 0);

  // Every recording is complete while its script still waits.
  std::vector<std::string> files;
  for (const std::string& ev : rig.log.Events())
    if (ev.rfind("RecorderFile:", 0) == 0) files.push_back(ev.substr(13));
  for (const std::string& f : files) {
    const std::string bytes = vektest::ReadFile(f);
    ASSERT_GE(bytes.size(), 44u) << f;
    const uint32_t data = static_cast<uint8_t>(bytes[40]) | static_cast<uint8_t>(bytes[41]) << 8 |
                          static_cast<uint8_t>(bytes[42]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[43])) << 24;
    EXPECT_EQ(data, 640u) << f;
    EXPECT_EQ(bytes.size(), 44u + data) << f;
  }

  // Released, every script runs in its turn and is collected.
  vektest::WriteFile(go, "");
  ASSERT_TRUE(rig.Pump([&] {
    most_scripts = std::max(most_scripts, vektest::ChildStates().size());
    return Lines(done).size() == files.size() && vektest::ChildStates().empty();
  })) << Lines(done).size() << " of " << files.size() << " scripts ran";
  EXPECT_EQ(most_scripts, TVEKProgramStarter::kMaxRunning);
  std::vector<std::string> ran = Lines(done);
  std::sort(ran.begin(), ran.end());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(ran, files);
}

}  // namespace
