// The runner's text helpers (the level bar and network texts made safe for
// one log line), its password handlers and the system proxy in a whole run.
#include "app/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "foundation/charset.h"
#include "foundation/paths.h"
#include "foundation/text_output.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "net/dyn_pass_file.h"
#include "net/link_attr.h"
#include "net/server.h"
#include "support/env_guard.h"
#include "support/fake_manager.h"
#include "support/fake_vek_server.h"
#include "support/fake_vek_wire.h"
#include "support/proxy_peers.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"
#include "support/wait.h"

using namespace vektest;

namespace {

TEST(RunTexts, LevelBar) {
  EXPECT_EQ(VekLevelBarText(16384, 10), u"  16384  |XXXXX     |");
  EXPECT_EQ(VekLevelBarText(0, 2), u"      0  |  |");
  EXPECT_EQ(VekLevelBarText(32767, 3), u"  32767  |XXX|");
  // A wide bar of a full level: no 32-bit overflow, never more than width.
  const std::u16string wide = VekLevelBarText(32767, 200000);
  EXPECT_EQ(wide.size(), 7u + 3u + 200000u + 1u);
  // (32767 * 200000 + 16384) / 32768
  EXPECT_EQ(std::count(wide.begin(), wide.end(), u'X'), 199994);
  // A level word beyond the range still fills the bar only.
  EXPECT_EQ(VekLevelBarText(70000, 4), u"  70000  |XXXX|");
}

TEST(RunTexts, NetworkTextsLoseTheirControlCharacters) {
  EXPECT_EQ(VekSafeNetText(u"a\tb"), u"a\tb");
  EXPECT_EQ(VekSafeNetText(u"line\r\n2026-01-01 00:00:00.000: Forged"),
            u"line??2026-01-01 00:00:00.000: Forged");
  EXPECT_EQ(VekSafeNetText(std::u16string(u"\x1b[2J\x7f\x85\x2028")), u"?[2J???");
  EXPECT_EQ(VekSafeNetText(u"Привет"), u"Привет");
}

// The runner in-process with its own owner callbacks: an engine without a
// sound card logging in to a fake VEK server and asking a fake system
// manager, its log in a file. Run() serves the callbacks on this thread
// until the log shows the line waited for; then the run is stopped. The
// main thread's safety period is far beyond the shared bound, so a line or
// an end that nothing wakes it for fails the test.
class RunRig {
 public:
  RunRig() {
    const std::u16string home = DaxAnsiToUnicodeRaw(dir.path());
    VekSetupDefaults(setup, home, home, home);
    setup.System.TempDir = home;
    TVEKAccount& a = setup.Account;
    a.Callsign = u"GW1";
    a.OperatorName = u"Op";
    a.EMailAddress = u"op@example.org";
    a.Password = u"Static1";
    a.CharsetName = u"ASCII";
    setup.Server.ServerAddress = u"127.0.0.1";
    setup.Server.ServerReconnectInterval = 3000;
    setup.Manager.DynamicPasswordMode = dpm_YES;
    setup.Manager.ManagerAddress = u"127.0.0.1";
    setup.Manager.Latency = 0;
    WriteFile(dir / "vek.cfg", "");
    output.OpenLog(dir / "vek.log");
  }

  void UseServer(const FakeVekServer& server) { setup.Server.ServerPort = server.Port(); }
  void UseManager(const FakeManager& manager) { setup.Manager.ManagerPort = manager.Port(); }

  // Stored passwords of op@example.org: server, password, stamp.
  void StorePasswords(std::initializer_list<std::array<const char*, 3>> entries) {
    TDynPassArray file;
    for (const auto& [host, password, stamp] : entries)
      file.push_back({u"op@example.org", DaxAnsiToUnicodeRaw(host), DaxAnsiToUnicodeRaw(password), stamp});
    VekSaveDynPassFile(VekFileInWriteDir(DaxUnicodeToSys(setup.System.DynamicPasswordFileName), setup.System),
                       file);
  }

  // Runs `command` on a runner of this setup and `watch` on another thread;
  // once `watch` has returned, the command must end within the bound.
  void WithRunner(const std::function<void(TVEKRun&)>& command,
                  const std::function<void(TVEKRun&)>& watch) {
    TVEKRun run(ropt_NoSoundCard | ropt_NoTimers, setup, DaxAnsiToUnicodeRaw(dir / "vek.cfg"), &output,
                false);
    TDaxSyncDispatcher& dispatcher = run.Engine()->Dispatcher();
    dispatcher.SetSafetyPeriod(4 * kPeerWaitMs);
    std::atomic<bool> ended{false};
    std::thread watcher([&] {
      watch(run);
      if (!WaitUntil([&] { return ended.load(); })) {
        ADD_FAILURE() << "the engine's end did not wake the runner";
        dispatcher.Wake();
      }
    });
    command(run);
    ended = true;
    watcher.join();
  }

  // True when a line holding `text` was logged before the bound.
  bool WaitForLine(const std::string& text) const {
    return WaitUntil([&] { return ReadFile(dir / "vek.log").find(text) != std::string::npos; });
  }

  // Runs until `text` was logged (true) or the bound ran out, then stops.
  bool RunUntil(const std::string& text) {
    bool seen = false;
    WithRunner([](TVEKRun& run) { run.Run(); },
               [&](TVEKRun& run) {
                 seen = WaitForLine(text);
                 run.RequestStop(u"test");
               });
    return seen;
  }

  // Logged lines holding `text`.
  int LinesWith(const std::string& text) const {
    int n = 0;
    for (const std::string& line : Lines(ReadFile(dir / "vek.log")))
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }

  TempDir dir;
  TVEKSetupData setup;
  TVEKOutputFile output;
};

// The password of each login the server saw.
std::vector<std::string> PasswordsSent(const FakeVekServer& server) {
  std::vector<std::string> out;
  for (const std::string& l : server.Lines())
    if (l.rfind("CT:", 0) == 0) out.push_back(TagValue(l, "PW").value_or("?"));
  return out;
}

const std::string kLoggedIn = DaxUnicodeToAnsiRaw(VekMsgVekProtocolIsInitiated());

// The login tries the account's newest stored password before the one
// stored for this server, and a server without an entry of its own gets
// the newest too, without the system manager.
TEST(RunPasswords, StoredPasswordsNewestFirstThenThisServers) {
  struct Case {
    const char* name;
    const char* exact_host;  // the server of the oldest entry
    std::vector<std::string> answers;
    std::vector<std::string> sent;
  } cases[] = {
      {"older entry for this server", "127.0.0.1", {"WRONG", "WRONG", "OK"}, {"Static1", "New1", "Old1"}},
      {"no entry for this server", "third.example", {"WRONG", "OK"}, {"Static1", "New1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Script> scripts;
    for (const std::string& al : c.answers) scripts.push_back(al == "OK" ? StayingLoggedIn() : RefusingLogin(al));
    FakeVekServer server(scripts);
    FakeManager manager({Answer("Fresh1")});
    RunRig r;
    r.UseServer(server);
    r.UseManager(manager);
    // The newest entry is neither the first nor the last in the file.
    r.StorePasswords({{c.exact_host, "Old1", "20200101000000"},
                      {"other.example", "New1", "20200301000000"},
                      {"fourth.example", "Mid1", "20200201000000"}});
    ASSERT_TRUE(r.RunUntil(kLoggedIn));
    EXPECT_EQ(PasswordsSent(server), c.sent);
    EXPECT_EQ(manager.Connections(), 0);
  }
}

// A dynamic-password file that cannot be opened (its directory is a plain
// file) is reported once per search or store and holds nothing: the login
// still gets its first password from the system manager.
TEST(RunPasswords, UnopenablePasswordFileIsReportedAndTheLoginGoesOn) {
  FakeVekServer server({RefusingLogin("WRONG"), StayingLoggedIn()});
  FakeManager manager({Answer("Fresh1")});
  RunRig r;
  r.UseServer(server);
  r.UseManager(manager);
  WriteFile(r.dir / "plain", "");
  r.setup.System.DynamicPasswordFileName = u"plain/dp.dat";
  ASSERT_TRUE(r.RunUntil(kLoggedIn));
  EXPECT_EQ(PasswordsSent(server), (std::vector<std::string>{"Static1", "Fresh1"}));
  EXPECT_EQ(manager.Requests().size(), 1u);
  EXPECT_EQ(r.LinesWith("searching dynamic password: "), 1);
  EXPECT_EQ(r.LinesWith("saving dynamic password: "), 1);
  EXPECT_EQ(r.LinesWith("Not a directory"), 2);
  EXPECT_EQ(r.LinesWith("VEK main loop error"), 0);
}

// ProxyType=SYSTEM with HTTP_PROXY in its usual form, with a trailing
// slash: the login goes through that proxy, a real tinyproxy in front of
// the fake VEK server. A value that cannot be read is an error line naming
// the variable, and the client never goes around the proxy.
TEST(RunProxy, SystemProxyFromTheEnvironmentCarriesTheLogin) {
  if (ProxySkipAllowed(ProxyKind::Tinyproxy)) GTEST_SKIP() << "tinyproxy not installed";
  std::string why;
  auto proxy = ProxyPeer::Start(ProxyKind::Tinyproxy, {}, &why);
  ASSERT_NE(proxy, nullptr) << why;
  EnvGuard lower("http_proxy"), upper("HTTP_PROXY");
  lower.Unset();
  const std::string via = "http://127.0.0.1:" + std::to_string(proxy->Port());
  struct Case {
    const char* name;
    std::string value;
    bool through;
  } cases[] = {
      {"trailing slash", via + "/", true},
      {"path", via + "/any/path", true},
      {"no port", "http://127.0.0.1/", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeVekServer server({StayingLoggedIn()});
    RunRig r;
    r.UseServer(server);
    r.setup.Manager.DynamicPasswordMode = dpm_NO;
    r.setup.Internet.ProxyType = VEK_PROXY_TYPE_SYSTEM;
    upper.Set(c.value);
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(server.Port()) + " ";
    if (c.through) {
      ASSERT_TRUE(r.RunUntil(kLoggedIn)) << ReadFile(r.dir / "vek.log");
      EXPECT_EQ(r.LinesWith("Connecting to proxy-server: HTTP:127.0.0.1:" + std::to_string(proxy->Port())), 1);
      EXPECT_NE(proxy->LogText().find(connect), std::string::npos) << proxy->LogText();
    } else {
      ASSERT_TRUE(r.RunUntil("Error of connecting to VEK Server: Invalid default proxy: cannot read HTTP_PROXY "
                             "(wanted [http://]host:port)"))
          << ReadFile(r.dir / "vek.log");
      EXPECT_EQ(server.Connections(), 0);
    }
  }
}

// The protocol thread's announcement reaches the log at once, although
// nothing else wakes the main thread in an idle run (the keep-alives keep
// the link up and reach no owner callback).
TEST(RunWakeups, BackupServerAnnouncedWhileIdleIsLogged) {
  FakeVekServer server(Script::Parse("login SV=2014000 AL=OK MT=Welcome NT=Test ID=1\n"
                                     "skip-acks on\nkeepalives 1000\nloop\nsleep 5000\n"));
  RunRig r;
  r.UseServer(server);
  r.setup.Manager.DynamicPasswordMode = dpm_NO;
  bool logged = false;
  r.WithRunner([](TVEKRun& run) { run.Run(); },
               [&](TVEKRun& run) {
                 if (r.WaitForLine(kLoggedIn)) {
                   run.Engine()->LinkAttr()->Server()->SetBackupServer(u"127.0.0.9", 5300);
                   logged = r.WaitForLine("New Backup server: 127.0.0.9:5300");
                 }
                 run.RequestStop(u"test");
               });
  EXPECT_TRUE(logged);
  EXPECT_EQ(r.LinesWith("saving backup server info: "), 0);
  EXPECT_EQ(r.LinesWith("Aborted [test]"), 1);
}

// The command ends with the engine, which the manager's answer stops, or
// which the command stops itself when the manager's address is missing.
TEST(RunWakeups, RegisterEndsWithTheEngine) {
  struct Case {
    const char* name;
    const char16_t* address;
    bool registered;
    const char* line;
  } cases[] = {
      {"answered", u"127.0.0.1", true, "New static password was sent by email: op@example.org"},
      {"no address", u"", false, "Error: SystemManager address is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeManager manager({Answer("OK")});
    RunRig r;
    r.UseManager(manager);
    r.setup.Manager.ManagerAddress = c.address;
    bool registered = !c.registered;
    r.WithRunner([&](TVEKRun& run) { registered = run.RegisterAccount(r.setup); }, [](TVEKRun&) {});
    EXPECT_EQ(registered, c.registered);
    EXPECT_EQ(r.LinesWith(c.line), 1);
    EXPECT_EQ(manager.Connections(), c.registered ? 1 : 0);
  }
}

}  // namespace
