// Connection supervision of the engine against fake VEK servers and a fake
// system manager on loopback: logging in and reconnecting, backup servers,
// the password cycle, time-outs, and the disconnect paths that have no
// protocol event to end them. The engine's clock is the test's.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/cli_backup_file.h"
#include "engine/mngr.h"
#include "engine/sound_modes.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/paths.h"
#include "foundation/types.h"
#include "net/checkmain.h"
#include "net/dyn_pass.h"
#include "net/dyn_pass_file.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "support/case_name.h"
#include "support/engine_rig.h"
#include "support/fake_manager.h"
#include "support/fake_vek_server.h"
#include "support/proxy_peers.h"
#include "support/wait.h"

using namespace vektest;

// Runs the engine's server switch; only from an owner callback, while the
// engine thread waits for it.
struct TVEKManagerLinkPeer {
  static void SwitchServer(TVEKManager& e, const std::u16string& host, int32_t port,
                           const std::u16string& network) {
    e.SwitchServer(host, port, network);
  }
  static void SetSoundMode(TVEKManager& e, uint8_t mode) { e.sound_mode_.store(mode); }
};

namespace {

constexpr uint32_t kInterval = 3000;
// Longer than any wait: a request the engine does not cancel outlasts it.
constexpr int32_t kUnansweredMs = 2 * kPeerWaitMs;

// The login line of each connection the fake saw.
std::vector<std::string> LoginLines(const FakeVekServer& fake) {
  std::vector<std::string> out;
  for (const std::string& l : fake.Lines())
    if (l.rfind("CT:", 0) == 0) out.push_back(l);
  return out;
}

std::string TagOf(const std::string& line, const std::string& tag) { return TagValue(line, tag).value_or("?"); }

// Stored passwords of op@example.org, oldest first. The file's stamps have
// whole seconds, so two stores in a row may or may not share one, and that
// decides which is the newest: the stamps here are fixed.
void StorePasswords(const TVEKSystemParameters& system,
                    std::initializer_list<std::pair<std::u16string, std::u16string>> oldest_first) {
  TDynPassArray entries;
  int second = 10;
  for (const auto& [host, password] : oldest_first)
    entries.push_back({u"op@example.org", host, password, "202001010000" + std::to_string(second++)});
  VekSaveDynPassFile(VekFileInWriteDir(DaxUnicodeToSys(system.DynamicPasswordFileName), system), entries);
}

// One engine with its login data and server entry; tables make one per case.
struct LinkRig {
  LinkRig() {
    account.Callsign = u"GW1";
    account.OperatorName = u"Op";
    account.EMailAddress = u"op@example.org";
    account.Password = u"Static1";
    account.CharsetName = u"ASCII";
    account.ClientType = clt_PC;
    rig.UseManualClock(1000);
    rig.setup.Server.ServerReconnectCount = 2;
    rig.setup.Server.ServerReconnectInterval = kInterval;
  }

  // The engine with its login data and server entry, not yet online.
  TVEKManager& Start(int main_port, uint8_t password_mode = dpm_NO,
                     const std::function<void(TVEKManager&)>& customize = {}) {
    rig.setup.Manager.DynamicPasswordMode = password_mode;
    info = std::make_unique<TVEKLoginInfo>(account);
    server.SetMainServer(u"127.0.0.1", main_port);
    TVEKManager& e = rig.Create(mopt_NoSoundCard | mopt_NoTimers, [&](TVEKManager& m) {
      m.OnSearchDynamicPassword = [this](const std::u16string& email, const std::u16string& host,
                                         TVEKLoginInfo& login) {
        std::u16string newest, exact;
        VekFindDynamicPassword(rig.setup.System, email, host, newest, exact);
        login.SetOldDynamicPassword(exact);
        login.SetNewDynamicPassword(newest);
        rig.log.Add("Search:" + Narrow(host));
      };
      m.OnSaveDynamicPassword = [this](const std::u16string& email, const std::u16string& host,
                                       const std::u16string& password) {
        VekStoreDynamicPassword(rig.setup.System, email, host, password);
        rig.log.Add("Save:" + Narrow(host) + ":" + Narrow(password));
      };
      if (customize) customize(m);
    });
    e.SetLoginInfo(info.get());
    e.SetServerEntry(&server);
    e.SetNetwork(u"Test");
    e.SetReconnectCount(2);
    e.SetReconnectInterval(kInterval);
    e.DynamicPasswordMode = password_mode;
    e.Checker()->PeriodMs = 100;
    e.Checker()->RetryDelayMs = 50;
    e.DynPass()->AnswerTimeoutMs = 400;
    e.ManagerLatency = 0;
    return e;
  }

  // The engine's password requests go to the manager at 127.0.0.1:port.
  void AskManagerAt(int port) {
    rig.engine().ManagerAddress = u"127.0.0.1";
    rig.engine().ManagerPort = port;
  }

  bool Until(const std::string& prefix, int count = 1, uint32_t ms = kPeerWaitMs) {
    return rig.Pump([&] { return rig.CountOf(prefix) >= count; }, ms);
  }
  bool UntilState(TVEKManagerState state, uint32_t ms = kPeerWaitMs) {
    return rig.Pump([&] { return rig.engine().LinkState() == state; }, ms);
  }
  // Moves the engine's clock and lets its passes see it.
  void Advance(uint32_t ms, uint32_t pump_ms = 250) {
    rig.Advance(ms);
    rig.PumpFor(pump_ms);
  }
  std::vector<std::string> Events(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& e : rig.log.Events())
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    return out;
  }

  // The failed attempts against a dead server, each waited out.
  bool FailAttempts(int n) {
    const int before = rig.CountOf("ServerConnectError:");
    for (int i = 1; i <= n; ++i) {
      if (!Until("ServerConnectError:", before + i)) return false;
      Advance(kInterval);
    }
    return true;
  }
  std::vector<std::string> Targets() { return Events("ServerConnecting:"); }

  TVEKAccount account;
  std::unique_ptr<TVEKLoginInfo> info;
  TVEKServer server;
  EngineRig rig;  // last: the engine goes before the data it uses
};

class Link : public ::testing::Test, public LinkRig {};

std::string Target(int port) { return "ServerConnecting:127.0.0.1:" + std::to_string(port); }

TEST_F(Link, LogsInWaitsTheIntervalAfterADropAndLogsInAgain) {
  Script first;
  first.Login().Sleep(200).Close();
  FakeVekServer fake({first, StayingLoggedIn()});
  TVEKManager& e = Start(fake.Port());
  EXPECT_EQ(e.LinkState(), mst_Offline);
  e.SetOnline(true);
  ASSERT_TRUE(Until("SessionInitiated"));
  ASSERT_TRUE(Until("PeerDisconnected"));
  EXPECT_EQ(e.LinkState(), mst_Offline);

  Advance(kInterval - 1, 400);
  EXPECT_EQ(fake.Connections(), 1);
  rig.Advance(1);
  ASSERT_TRUE(Until("SessionInitiated", 2));
  EXPECT_EQ(e.LinkState(), mst_Idle);
  EXPECT_EQ(fake.Connections(), 2);
  const auto logins = LoginLines(fake);
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(TagOf(logins[1], "PW"), "Static1");
  EXPECT_EQ(TagOf(logins[1], "NT"), "Test");

  e.SetOnline(false);
  ASSERT_TRUE(Until("Disconnected"));
  EXPECT_TRUE(fake.WaitForDisconnects(2));
  EXPECT_EQ(e.LinkState(), mst_Offline);
  EXPECT_EQ(rig.CountOf("OnlineChanged"), 2);
  EXPECT_EQ(rig.OffThreadCalls(), 0);
}

// ServerReconnectCount 2 with the main server down: the third attempt goes
// wherever the backup mode says.
struct BackupModeCase {
  const char* name;
  uint8_t mode;
  bool backup_host;  // the entry holds the backup server
  bool backup_port;  // ... with its port
  bool forced;       // the forced server is configured
  bool to_backup;    // the third attempt reaches the second server
};

const BackupModeCase kBackupModeCases[] = {
    {"yes", bsm_YES, true, true, false, true},
    {"no", bsm_NO, true, true, false, false},
    {"forced", bsm_FORCED, false, false, true, true},
    {"yes without host", bsm_YES, false, true, false, false},
    {"yes with port 0", bsm_YES, true, false, false, false},
    {"forced without address", bsm_FORCED, true, true, false, false},
};

class BackupModes : public ::testing::TestWithParam<BackupModeCase> {};

TEST_P(BackupModes, ThirdAttemptFollowsTheBackupMode) {
  const BackupModeCase& c = GetParam();
  HandshakeReply forced_reply;
  forced_reply.nt = "Forced";
  FakeVekServer second(StayingLoggedIn(forced_reply));
  const DeadPort dead;
  const int main_port = dead.Port();
  LinkRig r;
  r.rig.setup.Server.BackupServerMode = c.mode;
  if (c.forced) {
    r.rig.setup.Server.ForcedBackupServerAddress = u"127.0.0.1";
    r.rig.setup.Server.ForcedBackupServerPort = second.Port();
    r.rig.setup.Server.ForcedBackupServerNetwork = u"Forced";
  }
  r.server.SetBackup(c.backup_host ? u"127.0.0.1" : u"", c.backup_port ? second.Port() : 0);
  TVEKManager& e = r.Start(main_port);
  e.SetOnline(true);
  ASSERT_TRUE(r.FailAttempts(2));
  if (c.to_backup) {
    ASSERT_TRUE(r.Until("SessionInitiated"));
    EXPECT_EQ(r.Events("BackupServerMode:"), std::vector<std::string>{"BackupServerMode:1"});
    EXPECT_EQ(e.Checker()->Mode(), TVEKCheckMain::kChecking);
    EXPECT_EQ(e.GetBackupState(), c.mode == bsm_FORCED ? bm_FORCED : bm_BACKUP);
    const auto logins = LoginLines(second);
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(TagOf(logins[0], "NT"), c.forced ? "Forced" : "Test");
  } else {
    ASSERT_TRUE(r.Until("ServerConnectError:", 3));
    EXPECT_EQ(r.Targets().size(), 3u);
    EXPECT_EQ(r.Targets().back(), Target(main_port));
    EXPECT_EQ(r.rig.CountOf("BackupServerMode:"), 0);
    EXPECT_FALSE(r.server.OnBackup());
    EXPECT_EQ(e.GetBackupState(), bm_MAIN);
    EXPECT_EQ(second.Connections(), 0);
  }
  const auto targets = r.Targets();
  ASSERT_GE(targets.size(), 3u);
  EXPECT_EQ(targets[0], Target(main_port));
  EXPECT_EQ(targets[1], Target(main_port));
}

INSTANTIATE_TEST_SUITE_P(LinkBackup, BackupModes, ::testing::ValuesIn(kBackupModeCases), RowName());

// Both ends of the link the protocol reports ask whether the sound mode
// silences the output: a value beyond the modes is an error of the pass,
// before anything of the handler acts.
struct UnknownSoundModeCase {
  const char* name;
  void (*report)(TVEKProtocol&);
  const char* callback;
};

const UnknownSoundModeCase kUnknownSoundModeCases[] = {
    {"disconnecting", [](TVEKProtocol& p) { p.OnDisconnecting(); }, "Disconnecting"},
    {"peer disconnected", [](TVEKProtocol& p) { p.OnPeerDisconnected(); }, "PeerDisconnected"},
};

class UnknownSoundMode : public ::testing::TestWithParam<UnknownSoundModeCase> {};

TEST_P(UnknownSoundMode, AtTheLinksEndIsALoopError) {
  const UnknownSoundModeCase& c = GetParam();
  EngineRig rig;
  TVEKManager& e = rig.Create(mopt_NoSoundCard | mopt_NoTimers);
  e.WaitThreadsStarted();
  TVEKManagerLinkPeer::SetSoundMode(e, kVekSoundModeCount);
  c.report(*e.Protocol());
  ASSERT_TRUE(rig.PumpUntil("ErrorText:VEK main loop error: Unknown sound mode"));
  // The loop goes on: a later report of the same kind is handled again.
  TVEKManagerLinkPeer::SetSoundMode(e, msm_Normal);
  c.report(*e.Protocol());
  ASSERT_TRUE(rig.PumpUntil(c.callback));
  EXPECT_EQ(rig.CountOf(c.callback), 1);
  EXPECT_EQ(rig.CountOf("ErrorText:VEK main loop error: Unknown sound mode"), 1);
}

INSTANTIATE_TEST_SUITE_P(LinkEnd, UnknownSoundMode, ::testing::ValuesIn(kUnknownSoundModeCases), RowName());

// A kernel-picked port kept bound (never listening) for a whole test:
// connects are refused while no server listens there, and no other test can
// take it between two servers; the servers' listeners (SO_REUSEADDR) still
// bind it.
class HeldPort {
 public:
  HeldPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~HeldPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

// On the backup, the checker watches the main server; once it answers three
// times the engine leaves the backup and logs in to the main server at once.
TEST(LinkBackup, ConfirmedMainServerTakesTheLinkBackAtOnce) {
  FakeVekServer backup(StayingLoggedIn());
  // The main server's port stays ours while that server is down.
  HeldPort held;
  ASSERT_NE(held.Port(), 0);
  LinkRig r;
  r.rig.setup.Server.BackupServerMode = bsm_YES;
  // The backup the main server announces goes to the backup-server file.
  r.server.OnNewBackupServer = [&](const std::u16string& main_host, const std::u16string& backup_host,
                                   int32_t main_port, int32_t backup_port) {
    VekBackupFileStore(r.rig.setup.System, main_host, backup_host, main_port, backup_port);
  };
  int main_port = 0;
  {
    HandshakeReply announce;
    announce.bn = "127.0.0.1";
    announce.bp = std::to_string(backup.Port());
    Script s;
    s.Login(announce).Sleep(200).Close();
    FakeVekServer main_server({s}, held.Port());
    main_port = main_server.Port();
    r.Start(main_port).SetOnline(true);
    ASSERT_TRUE(r.Until("PeerDisconnected"));
  }  // the main server goes down
  TVEKManager& e = r.rig.engine();
  std::u16string stored_host;
  int32_t stored_port = 0;
  ASSERT_TRUE(VekBackupFileLookup(r.rig.setup.System, u"127.0.0.1", main_port, stored_host, stored_port));
  EXPECT_EQ(stored_port, backup.Port());
  r.Advance(kInterval, 0);
  ASSERT_TRUE(r.FailAttempts(2));
  ASSERT_TRUE(r.Until("SessionInitiated", 2));
  EXPECT_EQ(r.Targets().back(), Target(backup.Port()));
  ASSERT_TRUE(r.Until("CheckServer:0:127.0.0.1:" + std::to_string(main_port) + ":0"));

  // The main server comes back on its port: three probes, then the engine.
  Script probe;
  probe.ExpectLogin().Handshake(HandshakeReply{}).ExpectClose();
  FakeVekServer main_server({probe, probe, probe, StayingLoggedIn()}, static_cast<uint16_t>(main_port));
  ASSERT_TRUE(r.Until("BackupServerMode:0"));
  ASSERT_TRUE(r.Until("SessionInitiated", 3));  // no clock moved: at once
  EXPECT_EQ(r.Targets().back(), Target(main_port));
  EXPECT_TRUE(backup.WaitForDisconnects(1));
  EXPECT_EQ(e.LinkState(), mst_Idle);
  EXPECT_FALSE(r.server.OnBackup());
  EXPECT_EQ(e.GetBackupState(), bm_MAIN);
  EXPECT_TRUE(r.Until("Disconnected"));
  EXPECT_EQ(r.rig.CountOf("PeerDisconnected"), 1);  // the first main server's
  const auto logins = LoginLines(main_server);
  ASSERT_FALSE(logins.empty());
  EXPECT_EQ(TagOf(logins.back(), "PW"), "Static1");
}

// The password cycle over per-connection login answers: which password each
// connection sends, the texts, the system manager's part and what is stored.
struct PasswordCycleCase {
  const char* name;
  uint8_t mode;
  bool on_backup;
  std::vector<std::string> answers;  // AL per connection; the last logs in when "OK"
  std::vector<std::string> passwords;
  std::string error;  // the ProtocolError that ends the cycle, "" for none
  size_t manager_requests;
  bool stored = true;  // the file holds passwords for the account
};

const PasswordCycleCase kPasswordCycleCases[] = {
    {"all refused, the manager's password works", dpm_YES, false, {"WRONG", "WRONG", "WRONG", "OK"},
     {"Static1", "New1", "Old1", "Fresh1"}, "ProtocolError:INVALID PASSWORD: Static: Dynamic: Dynamic|Welcome", 1},
    {"blocked once", dpm_YES, false, {"BLOCK", "WRONG", "WRONG"}, {"Static1", "New1", "Old1"},
     "ProtocolError:ACCOUNT IS BLOCKED|", 0},
    {"server errors", dpm_YES, false, {"ERROR", "ERROR", "ERROR"}, {"Static1", "New1", "Old1"},
     "ProtocolError:UNKNOWN SERVER ERROR|", 0},
    {"static only", dpm_NO, false, {"WRONG"}, {"Static1"}, "ProtocolError:INVALID PASSWORD: Static|Welcome", 0},
    {"static refused on the backup", dpm_NO, true, {"WRONG"}, {"Static1"},
     "ProtocolError:ACCOUNT IS BLOCKED or INVALID PASSWORD|", 0},
    // No dynamic password obtained yet: the manager hands out the first.
    {"nothing stored, static refused", dpm_YES, false, {"WRONG", "OK"}, {"Static1", "Fresh1"},
     "ProtocolError:INVALID PASSWORD: Static|Welcome", 1, false},
    {"soft, nothing stored, static refused", dpm_SOFT, false, {"WRONG", "OK"}, {"Static1", "Fresh1"},
     "ProtocolError:INVALID PASSWORD: Static|Welcome", 1, false},
    {"nothing stored, static refused on the backup", dpm_YES, true, {"WRONG", "OK"}, {"Static1", "Fresh1"},
     "ProtocolError:ACCOUNT IS BLOCKED or INVALID PASSWORD|", 1, false},
};

class PasswordCycle : public ::testing::TestWithParam<PasswordCycleCase> {};

TEST_P(PasswordCycle, CycleOverTheLoginAnswers) {
  const PasswordCycleCase& c = GetParam();
  std::vector<Script> scripts;
  for (const std::string& al : c.answers) scripts.push_back(al == "OK" ? StayingLoggedIn() : RefusingLogin(al));
  FakeVekServer fake(scripts);
  FakeManager manager({Answer("Fresh1")});
  LinkRig r;
  // The newest stored password is for another server, the exact one for
  // this one.
  if (c.stored) StorePasswords(r.rig.setup.System, {{u"127.0.0.1", u"Old1"}, {u"other.example", u"New1"}});
  int main_port = fake.Port();
  const DeadPort dead;
  if (c.on_backup) {
    main_port = dead.Port();
    r.rig.setup.Server.BackupServerMode = bsm_YES;
    r.server.SetBackup(u"127.0.0.1", fake.Port());
  }
  TVEKManager& e = r.Start(main_port, c.mode);
  r.AskManagerAt(manager.Port());
  e.SetOnline(true);
  if (c.on_backup) {
    ASSERT_TRUE(r.FailAttempts(2));
  }
  if (c.error.empty() || c.answers.back() == "OK") {
    ASSERT_TRUE(r.Until("SessionInitiated"));
    EXPECT_EQ(e.LinkState(), mst_Idle);
  } else {
    ASSERT_TRUE(r.Until("ProtocolError:"));
    ASSERT_TRUE(r.UntilState(mst_Offline));
    r.rig.PumpFor(300);
    EXPECT_EQ(e.LinkState(), mst_Offline);  // a reconnect wait, not a new attempt
  }
  std::vector<std::string> sent;
  for (const std::string& l : LoginLines(fake)) sent.push_back(TagOf(l, "PW"));
  EXPECT_EQ(sent, c.passwords);
  const auto errors = r.Events("ProtocolError:");
  if (c.error.empty()) {
    EXPECT_TRUE(errors.empty());
  } else {
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], c.error);
  }
  EXPECT_EQ(manager.Requests().size(), c.manager_requests);
  if (c.manager_requests > 0) {
    EXPECT_EQ(manager.Requests()[0], "DP:<EA>op@example.org</EA><PW>Static1</PW><Sr>127.0.0.1</Sr>");
    EXPECT_EQ(r.Events("Save:"), std::vector<std::string>{"Save:127.0.0.1:Fresh1"});
    std::u16string newest, exact;
    VekFindDynamicPassword(r.rig.setup.System, u"op@example.org", u"127.0.0.1", newest, exact);
    EXPECT_EQ(Narrow(exact), "Fresh1");
  }
}

INSTANTIATE_TEST_SUITE_P(LinkPasswords, PasswordCycle, ::testing::ValuesIn(kPasswordCycleCases), RowName());

// A server that refuses every password: a dead manager, or one that keeps
// handing out a password the server refuses, costs at most one manager
// exchange per reconnect interval.
struct RefusingServerCase {
  const char* name;
  bool stored;  // passwords in the file; else only the account's
  bool manager_alive;
};

const RefusingServerCase kRefusingServerCases[] = {
    {"manager on a closed port, nothing obtained yet", false, false},
    {"manager on a closed port, stored passwords", true, false},
    {"manager repeats a refused password", true, true},
};

class RefusingServer : public ::testing::TestWithParam<RefusingServerCase> {};

TEST_P(RefusingServer, CostsOneManagerExchangePerInterval) {
  const RefusingServerCase& c = GetParam();
  FakeVekServer fake(RefusingLogin("WRONG"));
  FakeManager manager({Answer("Fresh1")});
  LinkRig r;
  if (c.stored) {
    StorePasswords(r.rig.setup.System, {{u"127.0.0.1", u"Old1"}, {u"other.example", u"New1"}});
  } else {
    r.account.DynamicPassword = u"Acc1";
  }
  TVEKManager& e = r.Start(fake.Port(), dpm_YES);
  const DeadPort dead_manager;
  r.AskManagerAt(c.manager_alive ? manager.Port() : dead_manager.Port());
  e.SetOnline(true);
  int asked = 0;
  for (int interval = 0; interval < 5; ++interval) {
    r.rig.PumpFor(700);  // a loop would show here
    EXPECT_EQ(e.LinkState(), mst_Offline);
    const int now = r.rig.CountOf("DynPassRequestStart");
    EXPECT_LE(now - asked, 1) << interval << "\n" << ::testing::PrintToString(r.rig.log.Events());
    asked = now;
    r.Advance(kInterval, 0);
  }
  EXPECT_GE(asked, 4);
  EXPECT_EQ(manager.Requests().size(), c.manager_alive ? static_cast<size_t>(asked) : 0u);
  EXPECT_EQ(r.rig.CountOf("DynPassError:"), c.manager_alive ? 0 : asked);
}

INSTANTIATE_TEST_SUITE_P(LinkPasswords, RefusingServer, ::testing::ValuesIn(kRefusingServerCases), RowName());

// Whatever raises inside a connect attempt (here the owner's search of
// the password file) costs one attempt per reconnect interval, like any
// other failure, not one per pass. The clock stands still between the
// steps, so no second attempt is due before it moves.
TEST_F(Link, RaisingAttemptWaitsTheReconnectInterval) {
  FakeVekServer fake(StayingLoggedIn());
  bool broken = true;
  TVEKManager& e = Start(fake.Port(), dpm_YES, [&](TVEKManager& m) {
    m.OnSearchDynamicPassword = [&](const std::u16string&, const std::u16string&, TVEKLoginInfo&) {
      rig.log.Add("Search");
      if (broken) throw Exception("no password file");
    };
  });
  e.SetOnline(true);
  ASSERT_TRUE(Until("ErrorText:"));
  rig.PumpFor(500);  // a retry at the pass rate would show here
  EXPECT_EQ(rig.log.Events(), (std::vector<std::string>{"OnlineChanged", "Search",
                                                        "ErrorText:VEK main loop error: no password file"}));
  EXPECT_EQ(e.LinkState(), mst_Offline);
  Advance(kInterval - 1, 300);
  EXPECT_EQ(rig.CountOf("Search"), 1);
  rig.Advance(1);
  ASSERT_TRUE(Until("Search", 2));
  ASSERT_TRUE(Until("ErrorText:", 2));
  rig.PumpFor(300);
  EXPECT_EQ(rig.CountOf("Search"), 2);

  broken = false;  // the attempt after the next wait goes through
  Advance(kInterval, 0);
  ASSERT_TRUE(Until("SessionInitiated"));
  EXPECT_EQ(rig.CountOf("ErrorText:"), 2);
  EXPECT_EQ(TagOf(LoginLines(fake).back(), "PW"), "Static1");
}

// The manager's client still busy (here with a registration) when the
// engine needs a password: the engine waits for the next attempt instead of
// sitting in the password state for ever.
TEST_F(Link, BusyManagerClientLeadsToAReconnectWait) {
  // Refused until the manager's password comes.
  const Script refuse = RefusingLogin("WRONG");
  FakeVekServer fake({refuse, refuse, refuse, refuse, refuse, refuse, StayingLoggedIn()});
  FakeManager manager({Misbehave(ManagerAct::Silent), Answer("Fresh1")});
  // Three refusals per cycle: the static, the newest and the exact password.
  StorePasswords(rig.setup.System, {{u"127.0.0.1", u"Old1"}, {u"other.example", u"New1"}});
  TVEKManager& e = Start(fake.Port(), dpm_YES);
  AskManagerAt(manager.Port());
  // The registration lasts until the manager hangs up.
  e.DynPass()->AnswerTimeoutMs = kUnansweredMs;
  e.RegisterAccount(account);
  ASSERT_TRUE(manager.WaitForConnections(1));
  e.SetOnline(true);
  ASSERT_TRUE(Until("ProtocolError:"));
  ASSERT_TRUE(UntilState(mst_Offline));
  EXPECT_EQ(rig.CountOf("DynPassRequestStart"), 0);
  manager.EndSilence();
  ASSERT_TRUE(Until("DynPassError:"));  // the registration ends
  Advance(kInterval, 50);
  ASSERT_TRUE(Until("SessionInitiated"));
  EXPECT_EQ(rig.CountOf("DynPassRequestStart"), 1);
  EXPECT_EQ(TagOf(LoginLines(fake).back(), "PW"), "Fresh1");
}

// Switching offline while the manager is asked: nothing is connected, so
// the engine ends the disconnect itself, once.
TEST_F(Link, OfflineDuringAPasswordRequestEndsAtOnce) {
  Script refuse = RefusingLogin("WRONG");
  FakeVekServer fake({refuse, refuse, StayingLoggedIn()});
  FakeManager manager({Misbehave(ManagerAct::Silent), Answer("Fresh1")});
  // The newest password is the exact one: two refusals, then the manager.
  StorePasswords(rig.setup.System, {{u"other.example", u"New1"}, {u"127.0.0.1", u"Old1"}});
  TVEKManager& e = Start(fake.Port(), dpm_YES);
  AskManagerAt(manager.Port());
  e.DynPass()->AnswerTimeoutMs = kUnansweredMs;
  e.SetOnline(true);
  ASSERT_TRUE(UntilState(mst_DynPassword));
  ASSERT_TRUE(manager.WaitForConnections(1));
  const int disconnected = rig.CountOf("Disconnected");
  e.SetOnline(false);
  ASSERT_TRUE(UntilState(mst_Offline));
  EXPECT_TRUE(manager.WaitForClosed(1));  // the request was cancelled
  rig.PumpFor(300);
  EXPECT_EQ(rig.CountOf("Disconnected"), disconnected + 1);
  EXPECT_EQ(rig.CountOf("DynPassError:"), 0);

  e.SetOnline(true);
  ASSERT_TRUE(Until("SessionInitiated"));
  EXPECT_EQ(fake.Connections(), 3);
  EXPECT_EQ(TagOf(LoginLines(fake).back(), "PW"), "Static1");
}

// Switching offline right after an attempt started: whether or not the
// protocol took the connect, the engine ends offline and not logged in.
TEST_F(Link, OfflineRightAfterAnAttemptNeverSticks) {
  Script s = StayingLoggedIn();
  s.Loop();
  FakeVekServer fake(s);
  TVEKManager& e = Start(fake.Port());
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE(i);
    e.SetOnline(true);
    ASSERT_TRUE(rig.Pump([&] { return e.LinkState() != mst_Offline; }));
    e.SetOnline(false);
    ASSERT_TRUE(rig.Pump(
        [&] { return e.LinkState() == mst_Offline && e.Protocol()->State() == PROTO_STATE_DISCONNECTED; }))
        << VekManagerStateName(e.LinkState());
  }
  rig.PumpFor(300);
  EXPECT_EQ(e.LinkState(), mst_Offline);
  EXPECT_FALSE(e.Protocol()->HasLinkOrAttempt());
  EXPECT_EQ(rig.CountOf("OnlineChanged"), 400);
}

// A server that stops sending while the client idles: the protocol's own
// time-out ends the session and the engine logs in again at once.
TEST_F(Link, StalledServerTimesOutAndTheEngineReconnects) {
  Script stalled;
  stalled.Login().Stall(450);  // the fake serves one client at a time
  Script alive;
  alive.Login().KeepAlives(100).Sleep(60000);
  FakeVekServer fake({stalled, alive});
  TVEKManager& e = Start(fake.Port());
  e.Protocol()->ReceiveTimeoutMs = 400;
  e.SetOnline(true);
  ASSERT_TRUE(Until("SessionInitiated"));
  ASSERT_TRUE(Until("ServerTimedOut"));
  ASSERT_TRUE(Until("SessionInitiated", 2));
  EXPECT_EQ(fake.Connections(), 2);
  EXPECT_EQ(rig.CountOf("ServerTimedOut"), 1);
  EXPECT_EQ(rig.CountOf("ServerTimeoutHard"), 0);
  EXPECT_EQ(e.LinkState(), mst_Idle);
}

// Under sound acknowledgement the client answers no keep-alive, so an idle
// link sends nothing: the keep-alives themselves keep the hard time-out
// away. Once they stop, the link is dropped after more than 8999 ms.
TEST_F(Link, KeepAlivesHoldOffTheHardTimeoutUntilTheServerFallsSilent) {
  HandshakeReply reply;
  reply.sef = "4";
  std::atomic<bool> silent{false};
  Script s;
  s.Login(reply).KeepAlives(50, 0x89).Sleep(2500).KeepAlives(0).Call([&] { silent = true; }).Sleep(60000);
  FakeVekServer fake(s);
  rig.setup.Server.ProtoSoundAck = true;
  TVEKManager& e = Start(fake.Port());
  e.Protocol()->ReceiveTimeoutMs = 60000;
  e.SetOnline(true);
  ASSERT_TRUE(Until("SessionInitiated"));
  ASSERT_EQ(e.Protocol()->ServerFlags() & 4u, 4u);
  // The login's lines, its acknowledgement among them, are in before the
  // first keep-alive: the server's script takes them first.
  ASSERT_TRUE(Until("KeepAlive"));
  const size_t lines = fake.Lines().size();
  // 32 s of clock, 4 s between keep-alives: few real keep-alives needed, so
  // a loaded machine still gets them all within the server's phase of them.
  for (int step = 0; step < 8; ++step) {
    const int seen = rig.CountOf("KeepAlive");
    rig.Advance(4000);
    ASSERT_TRUE(Until("KeepAlive", seen + 1)) << step;
  }
  EXPECT_EQ(rig.CountOf("ServerTimeoutHard"), 0);
  EXPECT_EQ(e.LinkState(), mst_Idle);
  EXPECT_EQ(fake.Lines().size(), lines);  // nothing acknowledged

  // Silence: the server sends no more, and the last of them has come in.
  ASSERT_TRUE(rig.Pump([&] { return silent.load(); }));
  int seen = rig.CountOf("KeepAlive");
  for (int quiet = 0; quiet < 4;) {
    rig.PumpFor(100);
    const int now = rig.CountOf("KeepAlive");
    quiet = now == seen ? quiet + 1 : 0;
    seen = now;
  }
  Advance(8999);
  EXPECT_EQ(rig.CountOf("ServerTimeoutHard"), 0);
  rig.Advance(1);
  ASSERT_TRUE(Until("ServerTimeoutHard"));
  EXPECT_TRUE(Until("ServerTimedOut"));
  EXPECT_TRUE(fake.WaitForDisconnects(1));
  ASSERT_TRUE(UntilState(mst_Offline));
  EXPECT_EQ(fake.Connections(), 1);  // a reconnect wait follows
}

// A DTMF server switch: the new main server with the backup the backup-server
// file knows for it; a file that cannot be read is reported and the switch
// still happens.
class SwitchBackup : public ::testing::TestWithParam<bool> {};

TEST_P(SwitchBackup, SwitchesToTheNewServerWithItsStoredBackup) {
  const bool broken_file = GetParam();
  HandshakeReply net2;
  net2.nt = "Net2";
  FakeVekServer first(StayingLoggedIn());
  FakeVekServer second(StayingLoggedIn(net2));
  LinkRig r;
  const TVEKSystemParameters& system = r.rig.setup.System;
  if (broken_file) {
    const std::string path = VekFileInWriteDir(DaxUnicodeToSys(system.BackupServersFileName), system);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  } else {
    VekBackupFileStore(system, u"127.0.0.1", u"backup.example", second.Port(), 4000);
  }
  bool switched = false;
  TVEKManager& e = r.Start(first.Port(), dpm_NO, [&](TVEKManager& m) {
    m.OnSessionInitiated = [&, engine = &m] {
      r.rig.log.Add("SessionInitiated");
      if (switched) return;
      switched = true;
      TVEKManagerLinkPeer::SwitchServer(*engine, u"127.0.0.1", second.Port(), u"Net2");
    };
  });
  e.SetOnline(true);
  ASSERT_TRUE(r.Until("SessionInitiated"));
  EXPECT_TRUE(first.WaitForDisconnects(1));
  ASSERT_TRUE(r.UntilState(mst_Offline));
  EXPECT_EQ(r.Events("ServerSwitch:"),
            std::vector<std::string>{"ServerSwitch:127.0.0.1:" + std::to_string(second.Port()) + ":Net2"});
  if (broken_file) {
    EXPECT_TRUE(r.Until("ErrorText:"));
  }
  r.rig.PumpFor(100);
  EXPECT_EQ(r.rig.CountOf("ErrorText:"), broken_file ? 1 : 0);
  EXPECT_EQ(r.rig.CountOf("ErrorText:VEK main loop error"), 0);
  const TVEKServerPair pair = r.server.GetServers();
  EXPECT_EQ(pair.MainPort, second.Port());
  EXPECT_EQ(Narrow(pair.BackupHost), broken_file ? "127.0.0.1" : "backup.example");
  EXPECT_EQ(pair.BackupPort, broken_file ? second.Port() : 4000);

  r.Advance(kInterval, 0);
  ASSERT_TRUE(r.Until("SessionInitiated", 2));
  EXPECT_EQ(r.Targets().back(), Target(second.Port()));
  const auto logins = LoginLines(second);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(TagOf(logins[0], "NT"), "Net2");
}

INSTANTIATE_TEST_SUITE_P(LinkSwitch, SwitchBackup, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& i) {
  return std::string(i.param ? "BrokenBackupServerFile" : "StoredBackup");
});

// The main server comes back while the engine, on the backup, waits for the
// system manager: nothing is connected, so the engine ends the disconnect
// itself and logs in to the main server at once.
TEST(LinkBackup, ConfirmationDuringAPasswordRequestGoesToTheMainAtOnce) {
  // The backup refuses the static password as a server error and the
  // manager's first password as invalid: the manager is asked again and
  // keeps silent.
  FakeVekServer backup({RefusingLogin("ERROR"), RefusingLogin("WRONG"), StayingLoggedIn()});
  FakeManager manager({Answer("Dyn1"), Misbehave(ManagerAct::Silent)});
  LinkRig r;
  r.account.DynamicPassword = u"Acc1";
  r.rig.setup.Server.BackupServerMode = bsm_YES;
  r.server.SetBackup(u"127.0.0.1", backup.Port());
  DeadPort dead;
  const int main_port = dead.Port();
  TVEKManager& e = r.Start(main_port, dpm_YES);
  r.AskManagerAt(manager.Port());
  e.DynPass()->AnswerTimeoutMs = kUnansweredMs;
  e.SetOnline(true);
  ASSERT_TRUE(r.FailAttempts(2));
  ASSERT_TRUE(manager.WaitForConnections(2));
  ASSERT_TRUE(r.UntilState(mst_DynPassword));
  ASSERT_EQ(r.Events("BackupServerMode:"), std::vector<std::string>{"BackupServerMode:1"});
  std::vector<std::string> sent;
  for (const std::string& l : LoginLines(backup)) sent.push_back(TagOf(l, "PW"));
  EXPECT_EQ(sent, (std::vector<std::string>{"Static1", "Dyn1"}));

  Script probe;
  probe.ExpectLogin().Handshake(HandshakeReply{}).ExpectClose();
  dead.Release();
  FakeVekServer main_server({probe, probe, probe, StayingLoggedIn()}, static_cast<uint16_t>(main_port));
  ASSERT_TRUE(r.Until("BackupServerMode:0"));
  ASSERT_TRUE(r.Until("SessionInitiated"));  // no clock moved: at once
  EXPECT_EQ(e.LinkState(), mst_Idle);
  EXPECT_EQ(r.Targets().back(), Target(main_port));
  EXPECT_EQ(backup.Connections(), 2);
  EXPECT_TRUE(manager.WaitForClosed(2));  // the request was cancelled
  EXPECT_EQ(r.rig.CountOf("DynPassError:"), 0);
  // The checker's own thread takes the stop.
  EXPECT_TRUE(r.rig.Pump([&] { return e.Checker()->Mode() == TVEKCheckMain::kIdle; }));
}

}  // namespace
