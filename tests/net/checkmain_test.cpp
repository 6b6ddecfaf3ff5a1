#include "net/checkmain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/setup_data.h"
#include "foundation/types.h"
#include "net/conn_mk.h"
#include "net/link_attr.h"
#include "net/server.h"
#include "support/event_log.h"
#include "support/fake_vek_server.h"
#include "support/held_wakeup_connection.h"
#include "support/proxy_peers.h"
#include "support/wait.h"

namespace {

using vektest::FakeVekServer;
using vektest::HandshakeReply;
using vektest::Script;

// "C1" online check, "C0:<text>" offline check, "OK" confirmation.
using Log = vektest::EventLog;

struct Checker {
  TVEKSetupData setup;
  TVEKConnectionMaker maker{setup.Internet, nullptr};
  TVEKServer server;
  TVEKLinkAttr link;
  Log log;
  std::unique_ptr<TVEKCheckMain> checker;

  explicit Checker(uint16_t port, std::unique_ptr<TVEKConnection> connection = nullptr) {
    setup.Server.CheckServerInterval = 10;
    server.SetMainServer(u"127.0.0.1", port);
    server.SetMainUseProxy(1);
    link.SetServer(&server);
    link.SetNetwork(u"Net");
    link.SetClientVersion(2014004);
    checker = std::make_unique<TVEKCheckMain>(setup.Server, maker, std::move(connection));
    checker->RetryDelayMs = 30;
    checker->PeriodMs = 120;
    checker->OnChecked = [this](uint8_t target, const std::u16string& host, int32_t p,
                                uint8_t online, const std::u16string& text) {
      EXPECT_EQ(target, 0);
      EXPECT_EQ(host, u"127.0.0.1");
      EXPECT_EQ(p, server.MainPort());
      log.Add(online ? "C1" : "C0:" + DaxUnicodeToAnsiRaw(text));
    };
    checker->OnServerConfirmed = [this](uint8_t target) {
      EXPECT_EQ(target, 0);
      log.Add("OK");
    };
    checker->OnError = [this](const std::u16string& text) { log.Add("E:" + DaxUnicodeToAnsiRaw(text)); };
    checker->SetServerParams(&link);
  }
};

Script Good() {
  Script s;
  s.ExpectLogin().Handshake(HandshakeReply{}).ExpectClose();
  return s;
}

Script Answering(const HandshakeReply& reply) {
  Script s;
  s.ExpectLogin().Handshake(reply).ExpectClose();
  return s;
}

bool WaitMode(const TVEKCheckMain& c, uint32_t mode) {
  return vektest::WaitUntil([&] { return c.Mode() == mode; });
}

TEST(CheckMain, PeriodComesFromTheClampedInterval) {
  TVEKSetupData setup;
  TVEKConnectionMaker maker(setup.Internet, nullptr);
  for (auto [interval, seconds] : {std::pair{-1, 10}, {0, 10}, {1, 3}, {3, 3}, {60, 60}, {1000, 300}}) {
    setup.Server.CheckServerInterval = interval;
    TVEKCheckMain c(setup.Server, maker);
    EXPECT_EQ(c.PeriodSeconds(), seconds);
    EXPECT_EQ(c.PeriodMs.load(), static_cast<uint32_t>(seconds) * 1000u);
    EXPECT_EQ(c.Mode(), TVEKCheckMain::kIdle);
  }
}

TEST(CheckMain, ThreeGoodChecksInARowConfirm) {
  HandshakeReply no_mt;
  no_mt.mt.reset();
  // Good, bad (the countdown starts again), then good ones.
  FakeVekServer vek({Good(), Answering(no_mt), Good()});
  Checker c(vek.Port());
  c.checker->StartChecking();
  ASSERT_TRUE(c.log.WaitCount(7));
  c.checker->StopChecking();
  ASSERT_TRUE(WaitMode(*c.checker, TVEKCheckMain::kIdle));
  auto events = c.log.Events();
  events.resize(7);
  EXPECT_EQ(events, (std::vector<std::string>{"C1", "C0:Invalid server response: Could be not VEK server: \"<SV>2014000</SV><AL>OK</AL>\"", "C1", "C1",
                                              "C1", "OK", "C1"}))
      << ::testing::PrintToString(c.log.Events());
  // Once confirmed, every good check confirms again.
  const auto all = c.log.Events();
  if (all.size() > 7) {
    EXPECT_EQ(all[7], "OK");
  }

  // The probe is the placeholder account's connection string, without
  // extension tags.
  const auto lines = vek.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("CT:<VX>2014004</VX><EA>@</EA><PW>NoPassword</PW><ON>", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("<NT>Net</NT>"), std::string::npos);
  EXPECT_EQ(lines[0].find("CEF"), std::string::npos);
  EXPECT_TRUE(vek.Failures().empty()) << ::testing::PrintToString(vek.Failures());
}

// The start request's wake-up must not reach the first check's connect: a
// wake-up ends a connect as timed out, a spurious offline result.
TEST(CheckMain, StartRequestsOwnWakeupNeverEndsTheFirstCheck) {
  FakeVekServer vek(Good());
  auto connection = std::make_unique<TVEKHeldWakeupConnection>(true);
  connection->HoldNextWakeup();
  Checker c(vek.Port(), std::move(connection));
  c.checker->StartChecking();
  ASSERT_TRUE(c.log.WaitCount(1));
  EXPECT_EQ(c.log.Events()[0], "C1");
}

TEST(CheckMain, BadAnswersAndConnectFailuresAreOfflineResults) {
  HandshakeReply letters;
  letters.line1 = "abc";
  HandshakeReply no_al;
  no_al.al.reset();
  HandshakeReply no_sv;
  no_sv.sv.reset();
  Script closes;
  closes.ExpectLogin().Close();
  struct Case {
    Script script;
    std::string event;
  } cases[] = {
      {Answering(letters), "C0:Invalid server response: Invalid last client version: \"abc\""},
      {Answering(no_al), "C0:Invalid server response: Could be not VEK server: \"<SV>"},
      {Answering(no_sv), "C0:Invalid server response: Could be not VEK server: \"<AL>"},
      {closes, "C0:"},  // reset or peer disconnected, as the kernel has it
  };
  for (auto& k : cases) {
    FakeVekServer vek(k.script);
    Checker c(vek.Port());
    c.checker->StartChecking();
    ASSERT_TRUE(c.log.WaitCount(1));
    c.checker->StopChecking();
    EXPECT_EQ(c.log.Events()[0].rfind(k.event, 0), 0u) << c.log.Events()[0];
    EXPECT_EQ(c.checker->Countdown(), 3);
  }
  const vektest::DeadPort dead;
  Checker c(static_cast<uint16_t>(dead.Port()));
  c.checker->StartChecking();
  ASSERT_TRUE(c.log.WaitCount(1));
  EXPECT_EQ(c.log.Events()[0].rfind("C0:", 0), 0u);
}

TEST(CheckMain, StoppingInTheMiddleOfACheck) {
  Script silent;
  silent.ExpectLogin().Sleep(20000);
  FakeVekServer vek({silent});
  {
    Checker c(vek.Port());
    c.checker->IoTimeoutMs = 60000;
    c.checker->StartChecking();
    ASSERT_TRUE(vek.WaitFor([](const auto& items) { return !items.empty(); }));
    // The read would last a minute: StopChecking cuts it short, reports no
    // verdict and starts no further check.
    c.checker->StopChecking();
    ASSERT_TRUE(WaitMode(*c.checker, TVEKCheckMain::kIdle));
    ASSERT_TRUE(vek.WaitForDisconnects(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(vek.Connections(), 1);
    EXPECT_TRUE(c.log.Events().empty()) << ::testing::PrintToString(c.log.Events());
    // Checking starts again on request.
    c.checker->StartChecking();
    ASSERT_TRUE(vek.WaitFor([](const auto& items) { return items.size() >= 3; }));
    // Stop ends the thread in the middle of that check.
    c.checker->Stop();
    EXPECT_TRUE(vektest::WaitUntil([&] { return c.checker->Finished(); }));
  }
}

}  // namespace
