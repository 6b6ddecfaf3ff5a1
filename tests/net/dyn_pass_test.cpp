#include "net/dyn_pass.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/setup_data.h"
#include "foundation/types.h"
#include "net/conn_mk.h"
#include "net/conn_sock.h"
#include "support/event_log.h"
#include "support/fake_manager.h"
#include "support/held_wakeup_connection.h"
#include "support/proxy_peers.h"
#include "support/wait.h"

namespace {

using vektest::Answer;
using vektest::FakeManager;
using vektest::ManagerAct;
using vektest::ManagerReply;
using vektest::Misbehave;

std::string Narrow(const std::u16string& s) { return DaxUnicodeToAnsiRaw(s); }

// The events of one client, as "Name:arguments", in order, and a wait for
// the events that end a request.
class EventLog : public vektest::EventLog {
 public:
  bool WaitFinal(size_t finals, uint32_t ms = vektest::kPeerWaitMs) {
    return WaitUntil([finals](const std::vector<std::string>& events) { return Finals(events) >= finals; }, ms);
  }

 private:
  static size_t Finals(const std::vector<std::string>& events) {
    size_t n = 0;
    for (const auto& e : events)
      for (const char* f : {"ProxyError:", "ConnectError:", "AnswerError:", "Error:", "Registered",
                            "NewPassword:", "InvalidStaticPassword:"})
        if (e.rfind(f, 0) == 0) ++n;
    return n;
  }
};

// The manager connection that tells when its owner begins the latency wait
// before a password is published, which nothing else shows.
constexpr uint32_t kLatencyMs = 500000;  // far beyond any wait of a test
class LatencyWatch : public TVEKConnSock {
 public:
  LatencyWatch() : TVEKConnSock(false) {}
  TWaiterResult DoWaitWakeup(uint32_t ms) override {
    if (ms == kLatencyMs) waits.Add("latency");
    return TVEKConnSock::DoWaitWakeup(ms);
  }
  vektest::EventLog waits;
};

TVEKInternetParameters Direct() {
  TVEKInternetParameters p;
  p.ConnectTimeout = 5;
  p.ProxyType = VEK_PROXY_TYPE_NONE;
  return p;
}

struct Client {
  TVEKConnectionMaker maker;
  EventLog log;
  std::unique_ptr<TVEKDynamicPassword> dp;

  explicit Client(const TVEKInternetParameters& internet = Direct(),
                  std::unique_ptr<TVEKConnection> connection = nullptr)
      : maker(internet, nullptr) {
    dp = std::make_unique<TVEKDynamicPassword>(maker, std::move(connection));
    auto& d = *dp;
    d.OnConnected = [this] { log.Add("Connected"); };
    d.OnProxyError = [this](uint8_t code, const std::u16string& m) {
      log.Add("ProxyError:" + std::to_string(code) + ":" + Narrow(m));
    };
    d.OnConnectError = [this](const std::u16string& m) { log.Add("ConnectError:" + Narrow(m)); };
    d.OnAnswerError = [this](const std::u16string& t, const std::u16string& a) {
      log.Add("AnswerError:" + Narrow(t) + "|" + Narrow(a));
    };
    d.OnError = [this](const std::u16string& m) { log.Add("Error:" + Narrow(m)); };
    d.OnPasswordRequest = [this](const std::u16string& l) { log.Add("PasswordRequest:" + Narrow(l)); };
    d.OnRegisterRequest = [this](const std::u16string& l) { log.Add("RegisterRequest:" + Narrow(l)); };
    d.OnRegistered = [this] { log.Add("Registered"); };
    d.OnNewPassword = [this](const std::u16string& p) { log.Add("NewPassword:" + Narrow(p)); };
    d.OnInvalidStaticPassword = [this](const std::u16string& p) {
      log.Add("InvalidStaticPassword:" + Narrow(p));
    };
    d.EMail = u"op@example.org";
    d.StaticPassword = u"secret";
    d.ServerHost = u"vek.example";
    d.NameText = u"R1ABC Ivan";
    d.BandText = u"PC";
    d.Description = u"desc";
    d.Country = u"Country";
    d.PlaceText = u"City";
    d.ManagerHost = u"127.0.0.1";
    vektest::WaitUntil([&] { return d.Started(); });
  }
  void Target(const FakeManager& m) { dp->ManagerPort = m.Port(); }
  // Runs one request and returns its final event; the thread is idle after it.
  std::string Run(bool password) {
    log.Clear();
    password ? dp->RequestPassword() : dp->RequestRegister();
    if (!log.WaitFinal(1)) return "timeout";
    vektest::WaitUntil([&] { return dp->State() == TVEKDynamicPassword::kIdle; });
    return log.Last();
  }
};

TEST(DynamicPassword, PasswordAnswers) {
  FakeManager manager;
  Client c;
  c.Target(manager);
  struct Case {
    ManagerReply reply;
    std::string final_event;
  } cases[] = {
      {Answer("  A \t"), "InvalidStaticPassword:secret"},
      {Answer(""), "AnswerError:no answer|"},
      {Answer(" - "), "AnswerError:no answer|-"},
      {Answer("ab-c"), "AnswerError:invalid answer|ab-c"},
      {Answer("ab c"), "AnswerError:invalid answer|ab c"},
      {Answer("p\xE9"), "AnswerError:invalid answer|p\xE9"},
      {Answer("AA"), "NewPassword:AA"},
      {Answer(" Xyz123 "), "NewPassword:Xyz123"},
      {vektest::InPieces("Frag42", 1, 10), "NewPassword:Frag42"},
  };
  int n = 0;
  for (const auto& cs : cases) {
    manager.SetReplies({cs.reply});
    EXPECT_EQ(c.Run(true), cs.final_event);
    ++n;
    EXPECT_EQ(manager.Connections(), n);
  }
  EXPECT_EQ(Narrow(c.dp->ReceivedPassword()), "Frag42");
  auto requests = manager.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0], "DP:<EA>op@example.org</EA><PW>secret</PW><Sr>vek.example</Sr>");
  const auto events = c.log.Events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], "Connected");
  EXPECT_EQ(events[1], "PasswordRequest:" + requests[0]);
}

// A request's wake-up must not reach the exchange's connect: a wake-up ends
// a connect as timed out, a failed request.
TEST(DynamicPassword, RequestsOwnWakeupNeverEndsItsConnect) {
  FakeManager manager({Answer("AA"), Answer("OK")});
  for (const bool password : {true, false}) {
    SCOPED_TRACE(password ? "password" : "register");
    auto connection = std::make_unique<TVEKHeldWakeupConnection>(false);
    connection->HoldNextWakeup();
    Client c(Direct(), std::move(connection));
    c.Target(manager);
    EXPECT_EQ(c.Run(password), password ? "NewPassword:AA" : "Registered");
  }
}

TEST(DynamicPassword, RequestLinesNarrowAndEncodeTheirTexts) {
  FakeManager manager({Answer("OK")});
  Client c;
  c.Target(manager);
  c.dp->EMail = u"op\u0141@x";  // U+0141: low byte 0x41
  c.dp->ServerHost = u"b\u00fccher.example";
  c.dp->NameText = u"\u00c5 \u4e2d";
  EXPECT_EQ(c.Run(true), "NewPassword:OK");
  EXPECT_EQ(c.Run(false), "Registered");
  const auto requests = manager.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], "DP:<EA>opA@x</EA><PW>secret</PW><Sr>xn--bcher-kva.example</Sr>");
  EXPECT_EQ(requests[1],
            "IG:<ON>\xC5 ?</ON><EA>op?@x</EA><BC>PC</BC><DS>desc</DS><NN>Country</NN><CT>City</CT>");
}

TEST(DynamicPassword, RegistrationAnswers) {
  FakeManager manager;
  Client c;
  c.Target(manager);
  struct Case {
    ManagerReply reply;
    std::string final_event;
  } cases[] = {
      {Answer(" OK "), "Registered"},
      {Answer("NU"), "AnswerError:Callsign/User \"R1ABC Ivan\" already in use|NU"},
      {Answer("NOK"), "AnswerError:Wrong auth value(s) or user is online|NOK"},
      {Answer("ok"), "AnswerError:got unknown answer|ok"},
      {Answer(""), "AnswerError:got unknown answer|"},
      {Answer("Pass1"), "AnswerError:got unknown answer|Pass1"},
      // Without the peer-close switch a hang-up reads as an empty answer.
      {Misbehave(ManagerAct::CloseAfterRequest), "AnswerError:got unknown answer|"},
  };
  for (const auto& cs : cases) {
    manager.SetReplies({cs.reply});
    EXPECT_EQ(c.Run(false), cs.final_event);
  }
}

// A manager that fails after the connection is made ends the request with
// one protocol error (the event the owner logs, so a register command ends),
// and the client goes back to sleep instead of asking again.
TEST(DynamicPassword, MisbehavingManagerEndsTheRequestOnce) {
  struct Case {
    ManagerReply reply;
    bool password;
    std::string final_event;  // a prefix
  } cases[] = {
      {Misbehave(ManagerAct::CloseAtOnce), true, "AnswerError:"},
      {Misbehave(ManagerAct::CloseAfterRequest), true, "AnswerError:"},
      {Misbehave(ManagerAct::Silent), true, "AnswerError:Read timed out|"},
      {Misbehave(ManagerAct::Flood, 20000), true, "AnswerError:Read timed out|"},
      {Misbehave(ManagerAct::Silent), false, "AnswerError:Read timed out|"},
      {Misbehave(ManagerAct::Flood, 40000), false, "AnswerError:Read timed out|"},
  };
  for (const auto& cs : cases) {
    FakeManager manager({cs.reply});
    Client c;
    c.Target(manager);
    c.dp->AnswerTimeoutMs = 300;
    const std::string final_event = c.Run(cs.password);
    EXPECT_EQ(final_event.rfind(cs.final_event, 0), 0u) << final_event;
    // Give a busy loop the time to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(manager.Connections(), 1) << final_event;
    EXPECT_EQ(c.dp->State(), TVEKDynamicPassword::kIdle);
    size_t errors = 0;
    for (const auto& e : c.log.Events()) errors += e.find("Error:") != std::string::npos;
    EXPECT_EQ(errors, 1u);
  }
}

TEST(DynamicPassword, ConnectAndProxyFailures) {
  {
    Client c;
    const vektest::DeadPort dead;
    c.dp->ManagerPort = dead.Port();
    EXPECT_EQ(c.Run(true).rfind("ConnectError:", 0), 0u) << c.log.Last();
    EXPECT_EQ(c.Run(false).rfind("ConnectError:", 0), 0u) << c.log.Last();
  }
  {
    // A proxy type without a proxy address fails at the proxy.
    TVEKInternetParameters p = Direct();
    p.ProxyType = VEK_PROXY_TYPE_SOCKS5;
    Client c(p);
    const vektest::DeadPort dead;
    c.dp->ManagerPort = dead.Port();
    EXPECT_EQ(c.Run(true).rfind("ProxyError:2:", 0), 0u) << c.log.Last();
  }
}

TEST(DynamicPassword, BusyCancelAndStop) {
  FakeManager manager({Misbehave(ManagerAct::Silent)});
  Client c;
  c.Target(manager);
  // Only the Cancel below can end the read in time.
  c.dp->AnswerTimeoutMs = 3600000;
  // Cancel while idle does nothing; the next request runs.
  c.dp->Cancel();
  c.dp->RequestPassword();
  ASSERT_TRUE(manager.WaitForConnections(1));
  ASSERT_TRUE(vektest::WaitUntil([&] { return !manager.Requests().empty(); }));
  try {
    c.dp->RequestPassword();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "busy");
  }
  EXPECT_THROW(c.dp->RequestRegister(), Exception);
  // Cancel ends the read in progress at once and quietly.
  c.dp->Cancel();
  ASSERT_TRUE(manager.WaitForClosed(1, vektest::kPeerWaitMs));
  EXPECT_TRUE(vektest::WaitUntil([&] { return c.dp->State() == TVEKDynamicPassword::kIdle; }));
  // Stop in the middle of the next exchange ends the thread.
  c.dp->RequestRegister();
  ASSERT_TRUE(manager.WaitForConnections(2));
  c.dp->Stop();
  EXPECT_TRUE(vektest::WaitUntil([&] { return c.dp->Finished(); }));
  for (const auto& e : c.log.Events()) EXPECT_EQ(e.find("Error"), std::string::npos) << e;
}

TEST(DynamicPassword, LatencyDelaysThePasswordUntilWokenAndStopDropsIt) {
  FakeManager manager({Answer("Late1")});
  {
    auto connection = std::make_unique<LatencyWatch>();
    LatencyWatch& watch = *connection;
    Client c(Direct(), std::move(connection));
    c.Target(manager);
    c.dp->Latency = kLatencyMs;
    c.dp->RequestPassword();
    ASSERT_TRUE(manager.WaitForClosed(1));
    ASSERT_TRUE(watch.waits.WaitCount(1));
    EXPECT_FALSE(c.log.WaitFinal(1, 200));
    EXPECT_EQ(c.dp->State(), TVEKDynamicPassword::kRequestingPassword);
    // A wake-up shortens the wait: the password is published then.
    c.dp->Cancel();
    ASSERT_TRUE(c.log.WaitFinal(1));
    EXPECT_EQ(c.log.Last(), "NewPassword:Late1");
  }
  {
    auto connection = std::make_unique<LatencyWatch>();
    LatencyWatch& watch = *connection;
    Client c(Direct(), std::move(connection));
    c.Target(manager);
    c.dp->Latency = kLatencyMs;
    c.dp->RequestPassword();
    ASSERT_TRUE(manager.WaitForClosed(2));
    ASSERT_TRUE(watch.waits.WaitCount(1));
    c.dp->Stop();
    c.dp->WaitFor();
    for (const auto& e : c.log.Events()) EXPECT_EQ(e.find("NewPassword"), std::string::npos);
  }
}

}  // namespace

namespace {

// The owner may ask again from the event that ends an exchange: the client
// is idle by then, and a Cancel that landed just before does not drop the
// new request.
TEST(DynamicPassword, OwnerCanAskAgainFromTheFinalEvent) {
  struct Case {
    ManagerReply first;
    bool cancel_late;  // Cancel lands while the answer is held back
    std::string final_event;
  } cases[] = {
      {Answer("Late1"), true, "NewPassword:Late1"},
      {Answer("A"), false, "InvalidStaticPassword:secret"},
      {Answer("-"), false, "AnswerError:no answer|-"},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.final_event);
    FakeManager manager({cs.first, Answer("Next2")});
    auto connection = std::make_unique<LatencyWatch>();
    LatencyWatch& watch = *connection;
    Client c(Direct(), std::move(connection));
    c.Target(manager);
    if (cs.cancel_late) c.dp->Latency = kLatencyMs;
    std::atomic<int> finals{0};
    std::atomic<bool> idle_in_event{false};
    auto again = [&] {
      if (finals++ > 0) return;
      idle_in_event = c.dp->State() == TVEKDynamicPassword::kIdle;
      c.dp->Latency = 0;
      c.dp->RequestPassword();
    };
    c.dp->OnNewPassword = [&](const std::u16string& p) {
      c.log.Add("NewPassword:" + Narrow(p));
      again();
    };
    c.dp->OnInvalidStaticPassword = [&](const std::u16string& p) {
      c.log.Add("InvalidStaticPassword:" + Narrow(p));
      again();
    };
    c.dp->OnAnswerError = [&](const std::u16string& t, const std::u16string& a) {
      c.log.Add("AnswerError:" + Narrow(t) + "|" + Narrow(a));
      again();
    };
    c.dp->RequestPassword();
    if (cs.cancel_late) {
      ASSERT_TRUE(manager.WaitForClosed(1));
      ASSERT_TRUE(watch.waits.WaitCount(1));
      c.dp->Cancel();
    }
    ASSERT_TRUE(c.log.WaitFinal(2));
    EXPECT_TRUE(idle_in_event);
    const auto events = c.log.Events();
    EXPECT_NE(std::find(events.begin(), events.end(), cs.final_event), events.end());
    EXPECT_EQ(c.log.Last(), "NewPassword:Next2");
    EXPECT_EQ(manager.Connections(), 2);
    for (const auto& e : events) EXPECT_EQ(e.rfind("Error:", 0), std::string::npos) << e;
  }
}

}  // namespace
