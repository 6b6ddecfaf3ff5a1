#include "engine/mngr.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/exception.h"
#include "foundation/types.h"
#include "net/checkmain.h"
#include "net/dyn_pass.h"
#include "net/proto.h"
#include "support/engine_rig.h"

// Private state the tests read.
struct TVEKManagerProbe {
  static uint32_t PlayDelay(const TVEKManager& e) { return e.play_delay_ms_.load(); }
  static int32_t PostCaptureWait(const TVEKManager& e) { return e.voice_.PostCaptureWait; }
  static int32_t HoldAfterCapture(const TVEKManager& e) { return e.voice_.HoldAfterCapture; }
  static int32_t HoldAfterPlayback(const TVEKManager& e) { return e.voice_.HoldAfterPlayback; }
  static int32_t ReconnectCount(const TVEKManager& e) { return e.link_.ReconnectCount; }
  static uint32_t ReconnectInterval(const TVEKManager& e) { return e.link_.ReconnectInterval; }
  // Only from an owner callback, while the engine thread waits in a handler.
  static void RaiseNow(TVEKManager& e, TVEKManagerEvent event) { e.RaiseNow(event); }
  // As a worker's receiver does.
  static void Raise(TVEKManager& e, TVEKManagerEvent event) { e.Raise(event); }
  static bool Pending(TVEKManager& e, TVEKManagerEvent event) {
    std::lock_guard<std::mutex> guard(e.lock_);
    return e.pending_[event] != 0;
  }
};

namespace {

using vektest::EngineRig;

// Strips the arguments of recorded events: "Name:args" -> "Name".
std::vector<std::string> Names(const std::vector<std::string>& events) {
  std::vector<std::string> out;
  for (const std::string& e : events) out.push_back(e.substr(0, e.find(':')));
  return out;
}

// Blocks the engine inside OnReopenLog until the test pumps: whatever
// receivers raise meanwhile is handled by one later pass.
void HoldEngine(EngineRig& rig) {
  rig.engine().RequestLogReopen();
  while (rig.engine().Dispatcher().QueuedCalls() == 0) std::this_thread::yield();
}

// An empty pool stays empty for many passes: its first underflow is told,
// later ones at a doubling interval from one second on, each with the count
// of those held back.
TEST(EngineLife, RepeatedPoolUnderflowsAreSpacedAndCounted) {
  const struct {
    TVEKManagerEvent event;
    std::string told, counted;
  } rows[] = {
      {me_Evn_Audio_PoolUnderflow, "AudioPoolUnderflow", "InfoText:Audio: "},
      {me_Evn_Proto_PoolUnderflow, "RxPoolUnderflow", "InfoText:RX: "},
  };
  const std::string more = " more buffer pool underflows since the last report";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.told);
    EngineRig rig;
    rig.UseManualClock(1000);
    TVEKManager& e = rig.Create();
    // Underflows at these times (ms); the engine takes each in a pass.
    for (uint32_t at : {0u, 100u, 200u, 500u, 800u, 999u, 1000u, 1500u, 2999u, 3000u}) {
      rig.Advance(at + 1000 - rig.Clock());
      TVEKManagerProbe::Raise(e, row.event);
      ASSERT_TRUE(rig.Pump([&] { return !TVEKManagerProbe::Pending(e, row.event); }));
    }
    ASSERT_TRUE(rig.Pump([&] { return rig.CountOf(row.told) == 3; }));
    rig.PumpFor(50);
    EXPECT_EQ(rig.CountOf(row.told), 3);
    EXPECT_EQ(rig.CountOf(row.counted), 2);
    EXPECT_EQ(rig.CountOf(row.counted + "5" + more), 1);
    EXPECT_EQ(rig.CountOf(row.counted + "2" + more), 1);
  }
}

TEST(EngineLife, StartsAllThreadsAndStopsWithOneAbortingLine) {
  EngineRig rig;
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  EXPECT_TRUE(e.AllThreadsStarted());
  EXPECT_EQ(e.Audio(), nullptr);
  EXPECT_EQ(e.LinkState(), mst_Offline);
  EXPECT_EQ(rig.PoolBlocks(), 1050);
  rig.Destroy();
  EXPECT_EQ(rig.CountOf("InfoText:Aborting ..."), 1);
  EXPECT_EQ(rig.OffThreadCalls(), 0);
}

TEST(EngineLife, OptionBit2LeavesOutTheAbortingLine) {
  EngineRig rig;
  rig.Create(mopt_NoSoundCard | mopt_NoAbortingLine).WaitThreadsStarted();
  rig.Destroy();
  EXPECT_EQ(rig.CountOf("InfoText:Aborting"), 0);
}

TEST(EngineLoop, HandlesOnePassInTheFixedOrderWithTheLatestDataOnTheOwnersThread) {
  EngineRig rig;
  TVEKManager& e = rig.Create();
  e.WaitThreadsStarted();
  HoldEngine(rig);
  TVEKProtocol& p = *e.Protocol();
  TVEKDynamicPassword& d = *e.DynPass();
  e.Checker()->OnChecked(0, u"main", 1, 1, u"ok");
  p.OnRxAlignSkipped(120);
  p.OnNotices(0);
  p.OnModes(0);
  p.OnAccessList(0);
  p.OnAdminsList(0);
  p.OnMutedList(0);
  p.OnBannedList(0);
  p.OnNetworks(0);
  p.OnMessage();
  p.OnKeepAlive();
  p.OnUnknownMarker();
  p.OnLoggedInPhase3();
  p.OnLoginPhase3();
  p.OnLoggedInPhase2();
  p.OnLoginPhase2();
  p.OnLoggedInPhase1();
  p.OnLoginPhase1();
  p.OnHandshaked(2014004, 2014000, u"hs");
  p.OnHandshakeRequest(2014004, u"req");
  d.OnPasswordRequest(u"DP");
  d.OnRegistered();
  d.OnRegisterRequest(u"IG");
  d.OnConnected();
  d.OnResolving(u"manager", 10025);
  p.OnServerConnecting(u"first", 1);
  p.OnServerConnecting(u"second", 2);
  p.OnProxyConnected();
  p.OnProxyConnecting(VEK_PROXY_TYPE_SOCKS5, u"proxy", 1080);
  rig.log.Clear();
  ASSERT_TRUE(rig.PumpUntil("CheckServer"));
  const std::vector<std::string> expected = {
      "ProxyConnecting", "ProxyConnected", "ServerConnecting", "DynPassConnecting", "DynPassConnected",
      "StaticPasswordRequested", "NewStaticPasswordSent", "DynamicPasswordRequested", "HandshakeRequest",
      "Handshaked", "RxAlignSkipped", "Messages", "KeepAlive", "LoginPhase1", "LoggedInPhase1",
      "LoginPhase2", "LoggedInPhase2", "LoginPhase3", "BlockedList", "MutedList", "AdminsList", "Modes",
      "AccessList", "Notices", "Networks", "LoggedInPhase3", "Markers", "CheckServer"};
  std::vector<std::string> got = Names(rig.log.Events());
  got.erase(got.begin());  // the held ReopenLog
  EXPECT_EQ(got, expected);
  EXPECT_EQ(rig.CountOf("ServerConnecting:second:2"), 1);
  EXPECT_EQ(rig.CountOf("ServerConnecting"), 1);
  EXPECT_EQ(rig.CountOf("ProxyConnecting:" + std::to_string(VEK_PROXY_TYPE_SOCKS5) + ":proxy:1080"), 1);
  EXPECT_EQ(rig.CountOf("Handshaked:2014004:2014000:hs"), 1);
  EXPECT_EQ(rig.OffThreadCalls(), 0);
}

// A callback that raises (a full log disk) ends its pass; the flags the pass
// had not reached yet are handled at the next one.
TEST(EngineLoop, AThrowingCallbackIsReportedAndLaterEventsOfItsPassStillArrive) {
  EngineRig rig;
  int throws = 1;
  TVEKManager& e = rig.Create(mopt_NoSoundCard, [&](TVEKManager& m) {
    m.OnServerConnecting = [&](const std::u16string&, int32_t) {
      if (throws-- > 0) throw Exception("log disk full");
    };
  });
  e.WaitThreadsStarted();
  HoldEngine(rig);
  e.Protocol()->OnHandshaked(1, 2, u"later");
  e.Protocol()->OnServerConnecting(u"host", 1);
  ASSERT_TRUE(rig.PumpUntil("Handshaked"));
  EXPECT_EQ(rig.CountOf("ErrorText:VEK main loop error: log disk full"), 1);
}

// A handler raises events for its own pass (the checker report's owner
// callback stands in for it): ReopenLog, still ahead, comes in this pass;
// ServerConnecting, whose turn has passed, is dropped, neither handled in
// this pass nor carried into the next (the second report marks that pass).
TEST(EngineLoop, AnEventRaisedForThisPassAfterItsTurnIsDropped) {
  EngineRig rig;
  bool raised = false;
  TVEKManager& e = rig.Create(mopt_NoSoundCard, [&](TVEKManager& m) {
    m.OnCheckServer = [&rig, &raised, engine = &m](uint8_t, const std::u16string&, int32_t, bool,
                                                   const std::u16string&) {
      rig.log.Add("CheckServer");
      if (std::exchange(raised, true)) return;
      TVEKManagerProbe::RaiseNow(*engine, me_Evn_Proto_ServerConnecting);
      TVEKManagerProbe::RaiseNow(*engine, me_Evn_Cmd_ReopenLog);
    };
  });
  e.WaitThreadsStarted();
  HoldEngine(rig);
  e.Protocol()->OnServerConnecting(u"host", 1);
  e.Checker()->OnChecked(0, u"main", 1, 1, u"ok");
  rig.log.Clear();
  ASSERT_TRUE(rig.Pump([&] { return rig.CountOf("ReopenLog") == 2; }));
  e.Checker()->OnChecked(0, u"main", 1, 1, u"ok");
  ASSERT_TRUE(rig.Pump([&] { return rig.CountOf("CheckServer") == 2; }));
  std::vector<std::string> got = rig.log.Events();
  got.erase(got.begin());  // the held ReopenLog
  EXPECT_EQ(got, (std::vector<std::string>{"ServerConnecting:host:1", "CheckServer", "ReopenLog",
                                           "CheckServer"}));
}

TEST(EngineLoop, ALoopErrorWhoseReportThrowsKeepsTheLoopAndTheTeardown) {
  EngineRig rig;
  TVEKManager& e = rig.Create(mopt_NoSoundCard, [&](TVEKManager& m) {
    m.OnServerConnecting = [](const std::u16string&, int32_t) { throw Exception("log disk full"); };
    m.OnErrorText = [] { throw Exception("log disk still full"); };
  });
  e.WaitThreadsStarted();
  HoldEngine(rig);
  e.Protocol()->OnHandshaked(1, 2, u"later");
  e.Protocol()->OnServerConnecting(u"host", 1);
  ASSERT_TRUE(rig.PumpUntil("Handshaked"));
  e.Protocol()->OnServerConnecting(u"host", 1);
  e.Protocol()->OnMessage();
  ASSERT_TRUE(rig.PumpUntil("Messages"));
  e.TerminateAndWake();
  ASSERT_TRUE(rig.Pump([&] { return e.Finished(); }));
  EXPECT_EQ(rig.CountOf("InfoText:Aborting ..."), 1);
  EXPECT_EQ(e.FatalErrorText(), u"");
}

// The protocol and the system-manager client both report proxy steps; the
// owner must always see one report's host with the same report's port.
TEST(EngineLoop, EventDataFromTwoWritersArrivesWhole) {
  EngineRig rig;
  std::atomic<int> torn{0};
  std::atomic<int> calls{0};
  std::atomic<int32_t> last_port{-1};
  TVEKManager& e = rig.Create(mopt_NoSoundCard, [&](TVEKManager& m) {
    m.OnProxyConnecting = [&](uint8_t kind, const std::u16string& host, int32_t port) {
      ++calls;
      last_port = port;
      if (host != DaxAnsiToUnicodeRaw("proxy-" + std::to_string(port) + std::string(40, 'x')) ||
          kind != port % 2)
        ++torn;
    };
  });
  e.WaitThreadsStarted();
  const auto report = [](const std::function<void(uint8_t, const std::u16string&, int32_t)>& to, int i) {
    to(static_cast<uint8_t>(i % 2), DaxAnsiToUnicodeRaw("proxy-" + std::to_string(i) + std::string(40, 'x')), i);
  };
  auto writer = [&](const std::function<void(uint8_t, const std::u16string&, int32_t)>& to, int first) {
    for (int i = first; i < first + 4000; i += 2) report(to, i);
  };
  std::thread a(writer, e.Protocol()->OnProxyConnecting, 0);
  std::thread b(writer, e.DynPass()->OnProxyConnecting, 1);
  rig.Pump([&] { return false; }, 300);
  a.join();
  b.join();
  // A last report after both writers: once it is in, every earlier one was
  // served or overtaken.
  report(e.Protocol()->OnProxyConnecting, 4000);
  EXPECT_TRUE(rig.Pump([&] { return last_port.load() == 4000; }));
  EXPECT_GT(calls.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

TEST(EngineLoop, ALogReopenFromASignalHandlerNeverWaitsForTheLock) {
  EngineRig rig;
  TVEKManager& e = rig.Create(mopt_NoSoundCard, [](TVEKManager& m) { m.OnServerConnecting = nullptr; });
  e.WaitThreadsStarted();
  static TVEKManager* target = nullptr;
  target = &e;
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = [](int) { target->RequestLogReopen(); };
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR2, &action, &old), 0);
  std::atomic<bool> stop{false};
  // The receiver holds the engine's lock while it stores a long text, over
  // and over; signals land inside.
  const std::u16string host(1 << 18, u'h');
  std::atomic<int> raises{0};
  std::thread raiser([&] {
    while (!stop.load()) {
      e.Protocol()->OnServerConnecting(host, 1);
      ++raises;
    }
  });
  while (raises.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 300; ++i) {
    pthread_kill(raiser.native_handle(), SIGUSR2);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  stop = true;
  raiser.join();
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_TRUE(rig.PumpUntil("ReopenLog"));
}

TEST(EngineSetters, ClampTheirValues) {
  EngineRig rig;
  TVEKManager& e = rig.Create();
  using P = TVEKManagerProbe;
  struct Case {
    std::function<void()> set;
    std::function<int64_t()> get;
    int64_t want;
  };
  const std::vector<Case> cases = {
      {[&] { e.SetPlayDelay(1500); }, [&] { return P::PlayDelay(e); }, 1000},
      {[&] { e.SetPlayDelay(300); }, [&] { return P::PlayDelay(e); }, 300},
      {[&] { e.SetPostCaptureWait(-5); }, [&] { return P::PostCaptureWait(e); }, 0},
      {[&] { e.SetPostCaptureWait(2500); }, [&] { return P::PostCaptureWait(e); }, 2000},
      {[&] { e.SetCosHoldAfterCapture(0); }, [&] { return P::HoldAfterCapture(e); }, 1},
      {[&] { e.SetCosHoldAfterCapture(20000); }, [&] { return P::HoldAfterCapture(e); }, 10000},
      {[&] { e.SetCosHoldAfterPlayback(0); }, [&] { return P::HoldAfterPlayback(e); }, 1},
      {[&] { e.SetReconnectCount(1); }, [&] { return P::ReconnectCount(e); }, 2},
      {[&] { e.SetReconnectCount(11); }, [&] { return P::ReconnectCount(e); }, 10},
      {[&] { e.SetReconnectInterval(100); }, [&] { return P::ReconnectInterval(e); }, 3000},
      {[&] { e.SetReconnectInterval(400000); }, [&] { return P::ReconnectInterval(e); }, 300000},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    cases[i].set();
    EXPECT_EQ(cases[i].get(), cases[i].want) << "case " << i;
  }
}

TEST(EngineTexts, LoopStatsFormat) {
  struct Case {
    uint32_t a, b;
    int32_t c, d;
    const char* want;
  };
  const Case cases[] = {
      {2000, 1500, 100, 50, "LP=50.0; WT=25.0; PT=2.000; ST=1.50"},
      {0, 40, 3, 1, "LP=INFINITY; WT=INFINITY; PT=0.000; ST=0.04"},
      {1, 0, 1, 1, "LP=1000.0; WT=1000.0; PT=0.001; ST=0.00"},
      {2147483648u, 0, 0, 0, "LP=0.0; WT=0.0; PT=2147483.750; ST=0.00"},
      {1000, 1000, -10, 0, "LP=-10.0; WT=0.0; PT=1.000; ST=1.00"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(vektest::Narrow(VekFormatLoopStats(c.a, c.b, c.c, c.d)), c.want) << c.a;
}

// By number; the tick (65) is line upkeep's, before the handlers.
TEST(EngineEvents, APassHandlesTheEventsInTheFixedOrder) {
  const int fixed[] = {74, 76, 75, 71, 84, 83, 85, 72, 77, 78, 80, 68, 19, 20, 21, 22, 23, 24, 25, 28,
                       29, 30, 34, 31, 32, 33, 35, 36, 26, 44, 27, 45, 40, 38, 37, 39, 69, 70, 66, 42,
                       73, 41, 43, 55, 56, 81, 67, 54, 46, 47, 48, 49, 50, 58, 59, 60, 62, 61, 63, 57,
                       51, 53, 89, 87, 52, 64, 79, 16, 18, 10, 11, 0, 3, 4, 6, 13, 14, 17, 12, 86};
  std::vector<std::string> want, got;
  for (int n : fixed) want.push_back(VekManagerEventName(static_cast<TVEKManagerEvent>(n)));
  for (TVEKManagerEvent e : kVekManagerHandlingOrder) got.push_back(VekManagerEventName(e));
  EXPECT_EQ(got, want);
}

TEST(EngineEvents, NamesOfHandledUnhandledAndForeignNumbers) {
  EXPECT_STREQ(VekManagerEventName(me_Evn_Proto_Disconnected), "me_Evn_Proto_Disconnected");
  EXPECT_STREQ(VekManagerEventName(me_Evn_Timer_Tick), "me_Evn_Timer_Tick");
  EXPECT_STREQ(VekManagerEventName(me_Evn_Unused88), "me_Evn_Unused88");
  EXPECT_STREQ(VekManagerEventName(static_cast<TVEKManagerEvent>(kVekManagerEventCount)), "me_Evn_?");
}

TEST(EngineStates, PropertyWordsOfTheLinkStates) {
  EXPECT_TRUE(VekStateHas(mst_Idle, msp_LoggedIn | msp_MayRequestTx));
  EXPECT_FALSE(VekStateHas(mst_Connecting, msp_LoggedIn));
  EXPECT_EQ(VekManagerStateProps(mst_TxEnding), 0x3A3u);
  EXPECT_EQ(VekManagerStateProps(mst_RxDraining), 0xE5u);
  EXPECT_EQ(VekManagerStateProps(mst_Init), 0xA0u);
}

}  // namespace
