// The engine wired to real workers on the network: the system manager
// (directly and through a SOCKS5 proxy), a VEK server reached through the
// protocol accessor, and recordings of received voice.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "engine/mngr.h"
#include "foundation/types.h"
#include "net/conn_mk.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"
#include "support/engine_rig.h"
#include "support/fake_manager.h"
#include "support/fake_vek_server.h"
#include "support/proxy_peers.h"

namespace {

using vektest::EngineRig;
using vektest::ServerLink;
using vektest::FakeVekServer;
using vektest::Script;

TEST(EngineNet, RegistrationReportsEachStepDirectlyAndThroughASocks5Proxy) {
  vektest::FakeManager manager({vektest::Answer("OK")});
  EngineRig rig;
  rig.setup.Manager.ManagerAddress = u"127.0.0.1";
  rig.setup.Manager.ManagerPort = manager.Port();
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  e.RegisterAccount(rig.setup.Account);
  ASSERT_TRUE(rig.PumpUntil("NewStaticPasswordSent"));
  const std::string port = std::to_string(manager.Port());
  const std::vector<std::string> events = rig.log.Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], "DynPassConnecting:127.0.0.1:" + port);
  EXPECT_EQ(events[1], "DynPassConnected");
  EXPECT_EQ(events[2].rfind("StaticPasswordRequested:IG:", 0), 0u) << events[2];
  EXPECT_EQ(events[3], "NewStaticPasswordSent");

  if (vektest::ProxySkipAllowed(vektest::ProxyKind::Microsocks)) GTEST_SKIP() << "microsocks not installed";
  std::string why;
  auto proxy = vektest::ProxyPeer::Start(vektest::ProxyKind::Microsocks, {}, &why);
  ASSERT_NE(proxy, nullptr) << why;
  TVEKInternetParameters internet = rig.setup.Internet;
  internet.ProxyType = VEK_PROXY_TYPE_SOCKS5;
  internet.ProxyAddress = u"127.0.0.1";
  internet.ProxyPort = proxy->Port();
  e.ApplyProtocolSettings(internet);
  rig.log.Clear();
  e.RegisterAccount(rig.setup.Account);
  ASSERT_TRUE(rig.PumpUntil("NewStaticPasswordSent"));
  // A SOCKS connection reports no proxy steps (only the HTTP tunnel does);
  // the proxy's own log shows the way.
  EXPECT_NE(proxy->LogText().find("connected to 127.0.0.1:" + port), std::string::npos) << proxy->LogText();
  EXPECT_EQ(manager.Connections(), 2);
  EXPECT_EQ(rig.OffThreadCalls(), 0);
}

TEST(EngineNet, LoginListsMessagesAndMarkersReachTheOwner) {
  Script s;
  s.Login({}, {"Test", "Other"})
      .Marker(0x04, vektest::TextMessagePayload("77", {"hello"}, false))
      .Sleep(200)
      .Marker(0x7F)
      .Sleep(1000);
  FakeVekServer fake(s);
  EngineRig rig;
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  ServerLink link(e, rig.setup.Account);
  link.Connect(e, fake.Port());
  if (!rig.PumpUntil("Markers")) {
    for (auto& ev : rig.log.Events()) ADD_FAILURE() << ev;
    std::u16string t;
    while (e.PopErrorText(t)) ADD_FAILURE() << vektest::Narrow(t);
    for (auto& f : fake.Failures()) ADD_FAILURE() << "fake: " << f;
    FAIL();
  }
  for (const char* step : {"ServerConnecting:127.0.0.1:", "ServerConnected", "Handshaked:", "LoginPhase1",
                           "LoggedInPhase1", "LoginPhase2", "LoggedInPhase2", "Networks:2", "Messages"})
    EXPECT_GE(rig.CountOf(step), 1) << step;
  std::unique_ptr<TVEKMessage> message = e.PopMessage();
  ASSERT_NE(message, nullptr);
  uint8_t marker = 0;
  EXPECT_TRUE(e.PopUnknownMarker(marker));
  EXPECT_EQ(marker, 0x7F);
  EXPECT_EQ(rig.OffThreadCalls(), 0);
}

TEST(EngineNet, ReceivedVoiceIsRecordedAndTheScriptGetsTheTalker) {
  vektest::FakeClient talker;
  talker.id = "42";
  talker.name = "Talker";
  talker.city = "Town";
  talker.band = "2m";
  talker.description = "desc";
  talker.country = "Land";
  Script s;
  s.Login()
      .KeepAlives(250)
      .Marker(0x03, vektest::ClientListTagsPayload({talker}))
      .Sleep(300)
      .Talk(1, vektest::Tone(440, 8000, 8000))
      .Sleep(1500);
  FakeVekServer fake(s);
  EngineRig rig;
  const std::string args_file = rig.Path("script-args");
  vektest::WriteFile(rig.Path("rec.sh"), "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + args_file + "\n");
  vektest::Sh("chmod +x " + rig.Path("rec.sh"));
  rig.setup.Recorder.Enabled = true;
  rig.setup.Recorder.Dir = DaxAnsiToUnicodeRaw(rig.Path("rec"));
  rig.setup.Recorder.Script = DaxAnsiToUnicodeRaw(rig.Path("rec.sh"));
  rig.setup.Manager.DynamicPasswordMode = dpm_NO;
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  ServerLink link(e, rig.setup.Account);
  link.Connect(e, fake.Port());
  ASSERT_TRUE(rig.PumpUntil("Networks"));
  e.Protocol()->EnableReceive();
  ASSERT_TRUE(rig.PumpUntil("RecorderFile:"));
  ASSERT_TRUE(rig.Pump([&] { return vektest::Exists(args_file) && !vektest::ReadFile(args_file).empty(); }));
  std::string wav;
  for (const std::string& ev : rig.log.Events())
    if (ev.rfind("RecorderFile:", 0) == 0) wav = ev.substr(13);
  const std::string info = rig.Path("soxi");
  vektest::Sh("soxi -r '" + wav + "' > " + info + " && soxi -c '" + wav + "' >> " + info + " && soxi -D '" +
              wav + "' >> " + info);
  std::istringstream lines(vektest::ReadFile(info));
  int rate = 0, channels = 0;
  double seconds = 0;
  lines >> rate >> channels >> seconds;
  EXPECT_EQ(rate, 8000);
  EXPECT_EQ(channels, 1);
  EXPECT_NEAR(seconds, 1.0, 0.45);
  const std::string args = vektest::ReadFile(args_file);
  EXPECT_EQ(args, wav + "\nS\n2m\ndesc\nTalker\nTown\nLand\n");
}

}  // namespace
