// The program's runs against the fake VEK server: log lines of the events,
// signals at any moment of the start, the radio files, messages.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sstream>

#include "support/child_process.h"
#include "support/env_guard.h"
#include "support/fake_manager.h"
#include "support/fake_vek_server.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"
#include "support/wait.h"

namespace vektest {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The server's login with two other clients in the list, the script's
// steps after it, and then the server stays until the run ends.
std::string AfterLogin(const std::string& steps) {
  return "login SV=2014000 AL=OK MT=Welcome NT=Test ID=1\n"
         "skip-acks on\n"
         "clients tlv 1:TEST1:Here 2:TEST2:There\n" +
         steps + "loop\nsleep 5000\n";
}

const std::string kLoginScript = AfterLogin("keepalives 1000\n");

// One server and one "debug" run of the program against it, with a sound
// card of ALSA file PCMs on pipes paced in real time.
class VekClientRun : public ::testing::Test {
 protected:
  void StartServer(const std::string& script) {
    server_ = std::make_unique<FakeVekServer>(Script::Parse(script));
    table_ = BaseConfig(dir_.path(), server_->Port());
    table_["Audio"] = PacedSoundCard::AudioSection();
  }
  void StartClient(const std::string& command = "debug") {
    WriteIni(dir_ / "vek.cfg", table_);
    client_ = std::make_unique<ChildProcess>(VekClientPath(),
                                             std::vector<std::string>{command, dir_ / "vek.cfg"});
  }
  // Stops the run with SIGINT; expects a clean end.
  ProcessResult Stop() {
    client_->Signal(SIGINT);
    ProcessResult r = client_->Wait();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  // A received sound is playing when the playback pipe's reader goes away:
  // the write fails, and the reopen that follows hangs in the pipe's open.
  void LoseThePlaybackPipeInASound(int talk_ms = 30000) {
    StartServer(AfterLogin("keepalives 1000\nsleep 300\ntalk 2 440 " + std::to_string(talk_ms) + "\n"));
    table_["System"]["LogRx"] = "yes";
    StartClient();
    ASSERT_TRUE(client_->WaitForOutput("RX is started")) << client_->Out();
    sound_.drainer.reset();
    ASSERT_TRUE(client_->WaitForOutput("Pa_WriteStream")) << client_->Out();
  }

  PacedSoundCard sound_;
  TempDir dir_;
  IniTable table_;
  std::unique_ptr<FakeVekServer> server_;
  std::unique_ptr<ChildProcess> client_;
};

TEST_F(VekClientRun, LogsTheLoginAndTheClientList) {
  StartServer(kLoginScript);
  table_["System"]["LogClientList"] = "FULL";
  StartClient();
  ASSERT_TRUE(client_->WaitForOutput("Client: ")) << client_->Out();
  const ProcessResult r = Stop();
  const std::vector<std::string> raw = Lines(r.out);
  const std::vector<std::string> lines = UnstampedLines(r.out);
  ASSERT_GE(lines.size(), 5u);
  // The banner and its three lines carry no stamp.
  EXPECT_EQ(raw[0], "VEKClient-console (Linux-amd64) revision 5000r");
  EXPECT_EQ(raw[1].rfind("Site: ", 0), 0u);
  EXPECT_EQ(raw[2].rfind("Origin: ", 0), 0u);
  EXPECT_EQ(raw[3].rfind("E-Mail: ", 0), 0u);
  const std::string port = std::to_string(server_->Port());
  for (const std::string& line : std::vector<std::string>{
           "Check configuration ...", "Started",
           "Connecting to VEK Server: 127.0.0.1:" + port + " ...",
           std::string("Connected to VEK Server: OK"), std::string("Login phase 1 ..."),
           std::string("Logged in at phase 1 as USER"), std::string("Logged in at phase 3"),
           "VEK protocol is initiated: MAIN SERVER: 127.0.0.1:" + port + ":Test",
           std::string("Access information: Welcome"), std::string("Clients: 2"),
           std::string("Aborted [SIGINT]")})
    EXPECT_TRUE(Has(lines, line)) << line << "\n" << r.out;
  // The list's lines share one stamp.
  auto first = std::find_if(raw.begin(), raw.end(),
                            [](const std::string& l) { return Unstamped(l) == "Clients: 2"; });
  ASSERT_NE(first, raw.end());
  ASSERT_LT(first + 2, raw.end());
  EXPECT_EQ(Unstamped(first[1]), "Client: AV;;;;;TEST1;Here;;");
  EXPECT_EQ(Unstamped(first[2]), "Client: AV;;;;;TEST2;There;;");
  EXPECT_EQ(first[1].substr(0, 23), first[0].substr(0, 23));
  EXPECT_EQ(first[2].substr(0, 23), first[0].substr(0, 23));
  EXPECT_EQ(lines.back(), "Aborted [SIGINT]");
}

TEST_F(VekClientRun, NewBackupServerIsStoredAndLogged) {
  // Announced during the login, in the protocol's thread; stored and logged
  // by the main thread.
  StartServer(R"(login SV=2014000 AL=OK MT=Welcome NT=Test ID=1 BN=127.0.0.9 BP=5300
skip-acks on
loop
sleep 5000
)");
  StartClient();
  ASSERT_TRUE(client_->WaitForOutput("New Backup server: ")) << client_->Out();
  const std::vector<std::string> lines = UnstampedLines(Stop().out);
  EXPECT_TRUE(Has(lines, "New Backup server: 127.0.0.9:5300")) << client_->Out();
  EXPECT_EQ(CountPrefix(lines, "saving backup server info: "), 0u);
  // The backup-server file in the write folder holds the pair.
  Sh("grep -rlq --exclude=vek.cfg 127.0.0.9 " + dir_.path());
}

TEST_F(VekClientRun, ClientListNumberAndNone) {
  for (const char* mode : {"NUMBER", "NO"}) {
    // The list and the talk share the player's queue: the talk's start is
    // logged after the list was handled.
    StartServer(AfterLogin("keepalives 1000\nsleep 300\ntalk 2 440 200\n"));
    table_["System"]["LogClientList"] = mode;
    table_["System"]["LogRx"] = "yes";
    StartClient();
    ASSERT_TRUE(client_->WaitForOutput("RX is started")) << client_->Out();
    const std::vector<std::string> lines = UnstampedLines(Stop().out);
    EXPECT_EQ(CountPrefix(lines, "Clients: "), std::string(mode) == "NUMBER" ? 1u : 0u) << mode;
    EXPECT_EQ(CountPrefix(lines, "Client: "), 0u) << mode;
  }
}

TEST_F(VekClientRun, NoStdoutWritesOnlyTheLog) {
  StartServer(kLoginScript);
  StartClient("nostdout");
  const std::string log = dir_ / "vekclient.log";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(log).find("Clients: ") != std::string::npos; }))
      << ReadFile(log);
  const ProcessResult r = Stop();
  EXPECT_EQ(r.out, "");
  const std::vector<std::string> lines = UnstampedLines(ReadFile(log));
  EXPECT_TRUE(Has(lines, "Logged in at phase 3")) << ReadFile(log);
  EXPECT_TRUE(Has(lines, "Aborted [SIGINT]")) << ReadFile(log);
}

TEST_F(VekClientRun, PrivateMessageGetsOneAutomaticReplyPublicNone) {
  StartServer(AfterLogin(R"(sleep 300
message 2 private Hello\nsecond\x01line
message 2 private Again
message 1 public To\sall
expect-message
)"));
  table_["Message"]["PrivateAutoResponse"] = "Gone fishing";
  StartClient();
  // The last line the three messages bring.
  ASSERT_TRUE(client_->WaitForOutput("> To all")) << client_->Out();
  ASSERT_TRUE(server_->WaitFor([](const std::vector<ClientItem>& items) {
    return std::any_of(items.begin(), items.end(),
                       [](const ClientItem& i) { return i.kind == ItemKind::Message; });
  }));
  const std::vector<std::string> lines = UnstampedLines(Stop().out);
  // The server has read all the client sent once it saw the connection end.
  ASSERT_TRUE(server_->WaitFor([](const std::vector<ClientItem>& items) {
    return std::any_of(items.begin(), items.end(),
                       [](const ClientItem& i) { return i.kind == ItemKind::Disconnected; });
  }));
  EXPECT_TRUE(Has(lines, "Private message from: TEST2; There")) << client_->Out();
  EXPECT_TRUE(Has(lines, "> Hello"));
  // A control character from the network cannot start a line of its own.
  EXPECT_TRUE(Has(lines, "> second?line"));
  EXPECT_TRUE(Has(lines, "Public message from: TEST1; Here"));
  EXPECT_TRUE(Has(lines, "> To all"));
  // Two private messages of one sender within a minute: one reply.
  EXPECT_EQ(CountPrefix(lines, "Automatic private reply is sent"), 1u);
  size_t replies = 0;
  for (const ClientItem& item : server_->Items())
    if (item.kind == ItemKind::Message) {
      ++replies;
      EXPECT_NE(item.text.find("Gone fishing"), std::string::npos) << item.text;
    }
  EXPECT_EQ(replies, 1u);
}

TEST_F(VekClientRun, DebugMarkerAddsDetail) {
  StartServer(AfterLogin(R"(sleep 200
message 2 public Hi
)"));
  // The marker sits beside the program, so this run uses a copy of it.
  TempDir bin;
  const std::string copy = CopyVekClient(bin.path());
  WriteFile(bin / ".debug", "");
  WriteIni(dir_ / "vek.cfg", table_);
  client_ = std::make_unique<ChildProcess>(copy,
                                           std::vector<std::string>{"debug", dir_ / "vek.cfg"});
  ASSERT_TRUE(client_->WaitForOutput("> Hi")) << client_->Out();
  const std::vector<std::string> lines = UnstampedLines(Stop().out);
  EXPECT_TRUE(Has(lines, "Public message from: TEST2; There; 2")) << client_->Out();
}

TEST_F(VekClientRun, ReceptionKeysThePttFile) {
  StartServer(AfterLogin(R"(keepalives 1000
sleep 300
talk 2 440 1200
)"));
  const std::string ptt = dir_ / "ptt";
  table_["Radio"] = {{"PTT", "FILE:" + ptt + ":FILE"}};
  table_["System"]["LogRx"] = "yes";
  StartClient();
  EXPECT_TRUE(WaitUntil([&] { return Exists(ptt); }));
  ASSERT_TRUE(client_->WaitForOutput("RX is stopped")) << client_->Out();
  const std::vector<std::string> lines = UnstampedLines(Stop().out);
  EXPECT_TRUE(Has(lines, "RX is started: TEST2; There")) << client_->Out();
  EXPECT_TRUE(Has(lines, "PTT wire: config OK"));
  EXPECT_FALSE(Exists(ptt));
}

TEST_F(VekClientRun, CarrierRequestsTheChannelWithoutRxLines) {
  StartServer(AfterLogin(R"(keepalives 1000
tx approve 100
sleep 300
talk 2 440 400
)"));
  const std::string cos = dir_ / "cos";
  table_["Radio"] = {{"COS", "FILE:" + cos + ":FILE"}};
  table_["System"]["LogRx"] = "no";
  // The closing tone of the reception marks its end in the log.
  table_["Sounds"]["EnableRoger"] = "yes";
  table_["System"]["LogControlSound"] = "yes";
  StartClient();
  ASSERT_TRUE(client_->WaitForOutput("Service sound is started: ROGER")) << client_->Out();
  ASSERT_TRUE(client_->WaitForOutput("Service sound is stopped")) << client_->Out();
  WriteFile(cos, "");
  ASSERT_TRUE(client_->WaitForOutput("TX is requested")) << client_->Out();
  unlink(cos.c_str());
  const std::vector<std::string> lines = UnstampedLines(Stop().out);
  EXPECT_EQ(CountPrefix(lines, "RX is "), 0u) << client_->Out();
}

TEST_F(VekClientRun, StopSignalAtAnyMomentOfTheStartEndsCleanly) {
  StartServer(kLoginScript);
  WriteIni(dir_ / "vek.cfg", table_);
  struct Case {
    int sig;
    uint32_t delay_ms;
    std::unique_ptr<ChildProcess> child;
  };
  std::vector<Case> cases;
  for (int sig : {SIGTERM, SIGINT})
    for (uint32_t delay : {0u, 10u, 50u, 200u, 500u, 2000u}) cases.push_back({sig, delay, nullptr});
  // All at once: the server serves one client at a time, which is enough
  // for the later ones to be waiting in their connection attempts.
  const uint64_t start = MonotonicMs();
  for (Case& c : cases)
    c.child = std::make_unique<ChildProcess>(
        VekClientPath(), std::vector<std::string>{"debug", dir_ / "vek.cfg"});
  std::vector<bool> sent(cases.size(), false);
  for (size_t done = 0; done < cases.size();) {
    for (size_t i = 0; i < cases.size(); ++i)
      if (!sent[i] && MonotonicMs() - start >= cases[i].delay_ms) {
        cases[i].child->Signal(cases[i].sig);
        sent[i] = true;
        ++done;
      }
    usleep(1000);
  }
  for (Case& c : cases) {
    const ProcessResult r = c.child->Wait();
    const std::string name = c.sig == SIGTERM ? "SIGTERM" : "SIGINT";
    const std::string what = name + " after " + std::to_string(c.delay_ms) + " ms";
    EXPECT_FALSE(r.timed_out) << what;
    if (r.signal != 0) {
      // Only before the program blocked its signals: nothing written yet.
      EXPECT_EQ(r.out, "") << what;
      EXPECT_EQ(r.signal, c.sig) << what;
      continue;
    }
    EXPECT_EQ(r.exit_code, 0) << what << "\n" << r.out << r.err;
    if (r.out.find("Check configuration") != std::string::npos) {
      EXPECT_TRUE(Has(UnstampedLines(r.out), "Aborted [" + name + "]")) << what << "\n" << r.out;
    }
  }
}

TEST_F(VekClientRun, StopEndsTheProcessWhenTheSoundDeviceHangs) {
  LoseThePlaybackPipeInASound();
  client_->Signal(SIGTERM);
  const ProcessResult r = client_->Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = UnstampedLines(r.out);
  EXPECT_TRUE(Has(lines, "Aborted [SIGTERM]")) << r.out;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Stop is not done within 5 s: ending the process");
}

// The sound card stops answering during a reception: the engine's request
// to it times out at the end of the sound and the program stops itself.
// That stop hangs in the sound card's reopen as a signal's stop does, and
// is bounded the same way, ending as a run that ended by itself.
TEST_F(VekClientRun, StopOfItsOwnThatHangsIsBoundedAndExitsSeven) {
  LoseThePlaybackPipeInASound(2000);
  ASSERT_TRUE(client_->WaitForOutput("Aborting ...")) << client_->Out();
  const ProcessResult r = client_->Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 7) << r.err;
  const std::vector<std::string> lines = UnstampedLines(r.out);
  EXPECT_TRUE(Has(lines, "Audio hardware issues: check sound card or power supply")) << r.out;
  EXPECT_EQ(CountPrefix(lines, "Aborted"), 0u) << r.out;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Stop is not done within 5 s: ending the process");
  EXPECT_TRUE(ProcessesWithArgument(dir_ / "vek.cfg").empty());
}

// The same as a daemon: the forced end removes the PID file and leaves no
// process of the daemon's session behind. The test takes the orphaned
// daemon as its own child for the while, to see its exit code.
TEST_F(VekClientRun, DaemonsStopOfItsOwnThatHangsIsBoundedAndExitsSeven) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct Reaper {
    ~Reaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } reaper;
  StartServer(AfterLogin("keepalives 1000\nsleep 300\ntalk 2 440 2000\n"));
  table_["System"]["LogRx"] = "yes";
  StartClient("daemon");
  const ProcessResult start = client_->Wait();
  ASSERT_EQ(start.exit_code, 0) << start.out << start.err;
  const std::string log = dir_ / "vekclient.log";
  const std::string pid_file = dir_ / "vekclient.pid";
  ASSERT_TRUE(Exists(pid_file));
  const pid_t daemon = static_cast<pid_t>(std::stol(ReadFile(pid_file)));
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(log).find("RX is started") != std::string::npos; }));
  sound_.drainer.reset();
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(log).find("Aborting ...") != std::string::npos; }))
      << ReadFile(log);
  int status = 0;
  ASSERT_TRUE(WaitUntil([&] { return waitpid(daemon, &status, WNOHANG) == daemon; })) << ReadFile(log);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_FALSE(Exists(pid_file));
  errno = 0;
  EXPECT_EQ(kill(-daemon, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  const std::vector<std::string> lines = UnstampedLines(ReadFile(log));
  EXPECT_TRUE(Has(lines, "Audio hardware issues: check sound card or power supply")) << ReadFile(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Stop is not done within 5 s: ending the process");
}

TEST_F(VekClientRun, SecondStopSignalEndsAHangingStop) {
  LoseThePlaybackPipeInASound();
  client_->Signal(SIGTERM);
  // Logged once the engine has ended: the stop now waits for the sound card.
  ASSERT_TRUE(client_->WaitForOutput("Aborted [SIGTERM]")) << client_->Out();
  client_->Signal(SIGINT);
  const ProcessResult r = client_->Wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = UnstampedLines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Second stop signal [SIGINT]: ending the process") << r.out;
}

// The connect sound's script outlasts every wait of the test, with a child
// of its own: the stop ends both instead of waiting for them, well within
// the forced end of a stop.
TEST_F(VekClientRun, StopEndsAHangingConnectSoundScriptAndItsChild) {
  StartServer(kLoginScript);
  const std::string pids = dir_ / "pids";
  const std::string script = dir_ / "connect.sh";
  WriteFile(script, "#!/bin/sh\nsleep " + std::to_string(2 * kPeerWaitMs / 1000) + " &\necho $$ $! > '" + pids +
                        ".tmp'\nmv '" + pids + ".tmp' '" + pids + "'\nwait\n");
  chmod(script.c_str(), 0755);
  table_["Sounds"] = {{"EnableConnect", "yes"}, {"ConnectSoundExtEnabled", "yes"}, {"ConnectSoundExtScript", script}};
  StartClient();
  ASSERT_TRUE(WaitUntil([&] { return Exists(pids); })) << client_->Out();
  pid_t shell = 0, child = 0;
  std::istringstream(ReadFile(pids)) >> shell >> child;
  ASSERT_TRUE(ProcessRunning(shell));
  ASSERT_TRUE(ProcessRunning(child));
  const std::vector<std::string> lines = UnstampedLines(Stop().out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Aborted [SIGINT]") << client_->Out();
  EXPECT_EQ(CountPrefix(lines, "Stop is not done"), 0u);
  EXPECT_FALSE(ProcessRunning(shell));
  EXPECT_TRUE(WaitUntil([&] { return !ProcessRunning(child); }));
}

TEST_F(VekClientRun, RunThatEndsByItselfExitsSeven) {
  // A PTT interface of an unknown type stops the start: the run ends
  // without a stop signal.
  StartServer(kLoginScript);
  table_["Radio"] = {{"PTT", "SIDEWAYS:/dev/null:X"}};
  StartClient();
  const ProcessResult r = client_->Wait();
  EXPECT_EQ(r.exit_code, 7) << r.out << r.err;
  const std::vector<std::string> lines = UnstampedLines(r.out);
  EXPECT_EQ(CountPrefix(lines, "Error: Radio: PTT: "), 1u) << r.out;
  EXPECT_EQ(CountPrefix(lines, "Aborted"), 0u);
}

// Under a service manager no temporary-directory variable is set, and a
// packaged program's directory is not writable: the password the system
// manager hands out is still stored, staged beside the password file, and
// nothing lands beside the program. Root ignores permission bits, so the
// program's directory is a read-only bind mount in a mount namespace of the
// run's own.
TEST(VekClientStore, DynamicPasswordStoredWithoutATempDirFromAReadOnlyProgramDir) {
  TempDir bin, dir;
  const std::string program = CopyVekClient(bin.path());
  const std::string ro_mount = "mount --bind -o ro " + bin.path() + " " + bin.path();
  if (RunShell("unshare -m /bin/sh -c '" + ro_mount + "'").exit_code != 0)
    GTEST_SKIP() << "no private read-only mount here (unshare -m, mount --bind -o ro)";
  PacedSoundCard sound;
  FakeVekServer server({RefusingLogin("WRONG"), StayingLoggedIn()});
  FakeManager manager({Answer("Fresh1")});
  IniTable t = BaseConfig(dir.path(), server.Port());
  t["System"].erase("TempDir");
  t["Audio"] = PacedSoundCard::AudioSection();
  t["Manager"] = {{"DynamicPasswordMode", "YES"}, {"ManagerAddress", "127.0.0.1"},
                  {"ManagerPort", std::to_string(manager.Port())}, {"Latency", "0"}};
  WriteIni(dir / "vek.cfg", t);
  EnvGuard temp("TEMP"), tmp("TMP"), tmpdir("TMPDIR"), tempdir("TEMPDIR");
  for (EnvGuard* g : {&temp, &tmp, &tmpdir, &tempdir}) g->Unset();
  ChildProcess client("/usr/bin/unshare",
                      {"-m", "/bin/sh", "-c", ro_mount + " && exec " + program + " debug " + dir / "vek.cfg"});
  ASSERT_TRUE(WaitUntil([&] {
    const std::string out = client.Out();
    return out.find("New dynamic password is saved") != std::string::npos ||
           out.find("saving dynamic password: ") != std::string::npos;
  })) << client.Out() << client.Err();
  ASSERT_TRUE(client.WaitForOutput("VEK protocol is initiated")) << client.Out();
  client.Signal(SIGINT);
  const ProcessResult r = client.Wait();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::vector<std::string> lines = UnstampedLines(r.out);
  EXPECT_TRUE(Has(lines, "New dynamic password is saved")) << r.out;
  EXPECT_EQ(CountPrefix(lines, "saving dynamic password: "), 0u) << r.out;
  EXPECT_NE(ReadFile(dir / "dynpass1.dat").find("|Fresh1|"), std::string::npos);
  Sh("test \"$(ls -A " + bin.path() + ")\" = vekclient");
}

}  // namespace
}  // namespace vektest
