// The protocol thread's loop against the fake server: keep-alives and the
// receive timeout, the markers that depend on the server's extension flags,
// requests and the disconnect path, the link reset, and the client's
// command lines.
#include "net/proto.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/conn_sock.h"
#include "net/proto_harness.h"
#include "support/held_wakeup_connection.h"

using namespace vektest;
using prototest::ProtoHarness;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

int CountLines(const FakeVekServer& fake, const std::string& line) {
  const auto lines = fake.Lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

TEST(Proto, IdleWithKeepAlivesNeverTimesOut) {
  // The receive timeout shortened to 0.3 s; the link idles three times as long.
  Script s;
  s.Login().KeepAlives(75).Sleep(900).KeepAlives(0).Sleep(100);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.proto->ReceiveTimeoutMs = 300;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  ASSERT_TRUE(fake.WaitForScripts(1));
  EXPECT_EQ(h.Count("ServerTimeout"), 0);
  EXPECT_EQ(h.Count("Disconnected"), 0);
  EXPECT_GE(h.Count("KeepAlive"), 8);
  // Every keep-alive acknowledged (plus the networks list).
  EXPECT_EQ(CountLines(fake, "P"), h.Count("KeepAlive") + 1);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
}

TEST(Proto, SilenceForTheReceiveTimeoutEndsTheSession) {
  Script s;
  s.Login().Sleep(10000);
  FakeVekServer fake(s);
  ProtoHarness h;
  // Eight seconds on a real link; shortened so the test need not wait them.
  EXPECT_EQ(h.proto->ReceiveTimeoutMs.load(), 8000u);
  h.proto->ReceiveTimeoutMs = 500;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  ASSERT_TRUE(h.WaitEvent("Disconnected"));
  const int timeout = h.IndexOf("ServerTimeout");
  const int disconnecting = h.IndexOf("Disconnecting");
  ASSERT_GE(timeout, 0);
  EXPECT_LT(timeout, h.IndexOf("Disconnected"));
  if (disconnecting >= 0) {
    EXPECT_LT(timeout, disconnecting);
  }
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
  EXPECT_TRUE(fake.WaitForDisconnects(1));
}

TEST(Proto, ConditionalMarkersFollowTheExtensionFlags) {
  struct {
    uint8_t marker;
    const char* sef;
    bool dropped;
    int acks;  // after the networks list
  } cases[] = {
      {0x88, "0", true, 0},  {0x89, "0", true, 0}, {0x8A, "0", true, 0}, {0x80, "0", true, 0},
      {0x7F, "15", true, 0}, {0x80, "1", false, 2}, {0x89, "4", false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.marker) + " with SEF " + c.sef);
    HandshakeReply r;
    r.sef = c.sef;
    Script s;
    s.Login(r).Marker(c.marker).KeepAlive().Sleep(400);
    FakeVekServer fake(s);
    ProtoHarness h;
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Initiated"));
    if (c.dropped) {
      ASSERT_TRUE(h.WaitEvent("ThreadError:"));
      ASSERT_TRUE(fake.WaitForDisconnects(1));
      EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
      EXPECT_EQ(h.Find("ThreadError:"), "ThreadError:Unknown marker: " + std::to_string(c.marker));
      uint8_t m = 0;
      ASSERT_TRUE(h.proto->PopUnknownMarker(m));
      EXPECT_EQ(m, c.marker);
      EXPECT_EQ(CountLines(fake, "P"), 1);
    } else {
      ASSERT_TRUE(fake.WaitForScripts(1));
      EXPECT_EQ(h.Count("Disconnected"), 0);
      EXPECT_EQ(CountLines(fake, "P"), 1 + c.acks);
      EXPECT_EQ(h.Count("KeepAlive"), 2);
    }
  }
}

TEST(Proto, ApprovalMarkerConsumesItsValueInEveryState) {
  // Not waiting for approval: the value's bytes 0x02 0x02 must not be read as
  // a sound marker.
  Script s;
  s.Login().Marker(0x01, Be16(0x0202)).KeepAlive().Sleep(300);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  ASSERT_TRUE(fake.WaitForScripts(1));
  EXPECT_EQ(h.Count("ThreadError:"), 0);
  EXPECT_EQ(CountLines(fake, "P"), 3);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
}

TEST(Proto, ConnectRequestWhileConnectedIsServedOnceTheLinkIsDown) {
  std::atomic<bool> asked{false};
  Script first;
  // The server closes only once the request is in, however late.
  first.Login().Hold([&] { return asked.load(); }).Sleep(300).Close();
  Script later;
  later.Login().Sleep(3000);
  FakeVekServer fake({first, later});
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->RequestConnect();  // ignored for now, not lost
  asked = true;
  ASSERT_TRUE(h.WaitEvent("PeerDisconnected"));
  ASSERT_TRUE(h.WaitEvent("Initiated", 2));
  EXPECT_EQ(fake.Connections(), 2);

  // The engine's server switch: disconnect and connect at once.
  h.proto->RequestDisconnect();
  h.proto->RequestConnect();
  ASSERT_TRUE(h.WaitEvent("Initiated", 3));
  EXPECT_EQ(fake.Connections(), 3);
  EXPECT_GE(h.Count("Disconnecting"), 1);

  // A disconnect after a pending connect overtakes it.
  h.proto->RequestDisconnect();
  ASSERT_TRUE(h.WaitEvent("Disconnected", 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(fake.Connections(), 3);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
}

// A connection that runs a hook once, on the protocol thread, when the
// protocol, logged in and idle, first looks at its link, first reads or
// first writes (the acknowledgement of the networks list).
class LinkLookHookConnection : public TVEKConnSock {
 public:
  enum TLook { look_Check, look_Read, look_Write };
  explicit LinkLookHookConnection(TLook look) : TVEKConnSock(false), look_(look) {}
  bool IsConnected() override {
    Look(look_Check);
    return TVEKConnSock::IsConnected();
  }
  std::uint8_t ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) override {
    Look(look_Read);
    return TVEKConnSock::ReadRaw(buffer, length, count);
  }
  std::uint8_t WriteRaw(const void* buffer, std::int32_t length, std::int32_t& count) override {
    Look(look_Write);
    return TVEKConnSock::WriteRaw(buffer, length, count);
  }
  TVEKProtocol* proto = nullptr;
  std::function<void()> hook;
  std::atomic<bool> fired{false};

 private:
  void Look(TLook look) {
    if (look == look_ && proto && proto->State() == PROTO_STATE_IDLE && !fired.exchange(true) && hook) hook();
  }
  TLook look_;
};

const char* LookName(LinkLookHookConnection::TLook look) {
  switch (look) {
    case LinkLookHookConnection::look_Check: return "link check";
    case LinkLookHookConnection::look_Read: return "read";
    case LinkLookHookConnection::look_Write: return "write";
  }
  return "?";
}

constexpr LinkLookHookConnection::TLook kLinkLooks[] = {
    LinkLookHookConnection::look_Check, LinkLookHookConnection::look_Read, LinkLookHookConnection::look_Write};

// The engine's server switch (disconnect, then connect) landing while the
// thread is between its look at the requests and its look at the link, or
// in its read or its write: the link's end is the request's, announced as
// such, and the connect follows.
TEST(Proto, ServerSwitchDuringTheLinkLookIsServedAsRequested) {
  for (auto look : kLinkLooks) {
    SCOPED_TRACE(LookName(look));
    Script first;
    first.Login().Sleep(3000);
    Script second;
    second.Login().Sleep(3000);
    FakeVekServer fake({first, second});
    ProtoHarness h;
    LinkLookHookConnection& hooked = h.RestartWith<LinkLookHookConnection>(look);
    hooked.proto = h.proto.get();
    hooked.hook = [&] {
      h.proto->RequestDisconnect();
      h.proto->RequestConnect();
    };
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Initiated", 2));
    EXPECT_TRUE(hooked.fired.load());
    EXPECT_EQ(h.Count("Disconnecting"), 1);
    EXPECT_EQ(h.Count("PeerDisconnected"), 0);
    EXPECT_EQ(fake.Connections(), 2);
  }
}

// The wake-up of a connect request must not reach the connect it asked for:
// a wake-up ends a connect as timed out.
TEST(Proto, ConnectRequestsOwnWakeupNeverEndsItsConnect) {
  Script s;
  s.Login().Sleep(200);
  FakeVekServer fake(s);
  ProtoHarness h;
  TVEKHeldWakeupConnection& held = h.RestartWith<TVEKHeldWakeupConnection>(false);
  held.HoldNextWakeup();
  h.Connect(fake);
  ASSERT_TRUE(h.log.WaitUntil(
      [](const std::vector<std::string>& events) {
        return ProtoHarness::CountIn(events, "Initiated") + ProtoHarness::CountIn(events, "ServerConnectError:") > 0;
      }));
  EXPECT_EQ(h.Find("ServerConnectError:"), "");
  EXPECT_EQ(h.Count("Initiated"), 1);
}

TEST(Proto, LinkResetForgetsTheClientList) {
  std::vector<FakeClient> clients(1);
  clients[0].id = "7";
  clients[0].name = "SEVEN";
  std::atomic<bool> listSeen{false};
  Script first;
  // The close waits until the test has seen the list.
  first.Login().Marker(0x03, ClientListTagsPayload(clients)).ExpectAck().Hold([&] { return listSeen.load(); }).Close();
  Script second;
  second.Login().Sleep(300).Sound(1, Tone(500, 8000, 1600)).ExpectAck().Sleep(500);
  FakeVekServer fake({first, second});
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("ClientList"));
  ASSERT_EQ(h.proto->Clients().size(), 1u);
  listSeen = true;
  ASSERT_TRUE(h.WaitEvent("PeerDisconnected"));
  EXPECT_TRUE(h.proto->Clients().empty());
  h.proto->RequestConnect();
  ASSERT_TRUE(h.WaitEvent("Initiated", 2));
  h.proto->EnableReceive();
  ASSERT_TRUE(h.WaitEvent("PlayStart"));
  auto cmds = h.DrainQueue();
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds[0].Command, QCMD_PLAY_START);
  EXPECT_EQ(cmds[0].Client.ID, "");
  h.ReturnBlocks(cmds);
}

TEST(Proto, DisconnectDuringReceptionStopsPlayFirst) {
  Script s;
  // Ten seconds of voice: the disconnect must come while it is still being
  // received, however slowly this test gets to it.
  s.Login().Sleep(200).Talk(1, Tone(300, 8000, 80000)).Sleep(2000);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->EnableReceive();
  ASSERT_TRUE(h.WaitEvent("PlayStart"));
  h.proto->RequestDisconnect();
  ASSERT_TRUE(h.WaitEvent("Disconnected"));
  const int aborted = h.IndexOf("RxAborted");
  ASSERT_GE(aborted, 0);
  EXPECT_LT(aborted, h.IndexOf("Disconnecting"));
  auto cmds = h.DrainQueue();
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds.back().Command, QCMD_PLAY_STOP);
  h.ReturnBlocks(cmds);
  EXPECT_EQ(h.pool.Buffers().Count(), 1050);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
}

TEST(Proto, AbortEndsTheLinkAsDisconnectedNotAsClosedByTheServer) {
  Script s;
  s.Login().Sleep(3000);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->Abort();
  ASSERT_TRUE(h.WaitEvent("Disconnected"));
  EXPECT_TRUE(fake.WaitForDisconnects(1));
  EXPECT_EQ(h.Count("PeerDisconnected"), 0);
  EXPECT_EQ(h.Count("ThreadError:"), 0);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
}

// An abort landing in the thread's look at the link, its read or its write:
// the socket it shut down fails that read or write, which is the abort's
// doing, not the server's close nor a fault of the thread.
TEST(Proto, AbortDuringTheLinkLookEndsTheLinkAsDisconnected) {
  for (auto look : kLinkLooks) {
    SCOPED_TRACE(LookName(look));
    Script s;
    s.Login().Sleep(3000);
    FakeVekServer fake(s);
    ProtoHarness h;
    LinkLookHookConnection& hooked = h.RestartWith<LinkLookHookConnection>(look);
    hooked.proto = h.proto.get();
    hooked.hook = [&] { h.proto->Abort(); };
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Disconnected"));
    EXPECT_TRUE(hooked.fired.load());
    EXPECT_EQ(h.Count("Initiated"), 1);
    EXPECT_EQ(h.Count("PeerDisconnected"), 0);
    EXPECT_EQ(h.Find("ThreadError:"), "");
    EXPECT_TRUE(fake.WaitForDisconnects(1));
    EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
  }
}

TEST(Proto, CommandLinesByteForByte) {
  HandshakeReply r;
  Script s;
  s.Login(r).Sleep(300).ExpectMessage(Match::Any).ExpectMessage(Match::Any).ExpectLine("ST:2").Sleep(300);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  auto m = VekCreateMessage("", u"a");
  m->AddLine(u"b  ");
  h.proto->QueueTextMessage(std::move(m));
  // Nothing is sent for the two malformed ones.
  h.proto->QueueTextMessage(VekCreateMessage("", u"x"));
  auto privateNoId = std::make_unique<TVEKMessage>();
  privateNoId->Private = true;
  privateNoId->AddLine(u"y");
  h.proto->QueueTextMessage(std::move(privateNoId));
  auto publicWithId = std::make_unique<TVEKMessage>();
  publicWithId->ReceiverId = "5";
  publicWithId->AddLine(u"z");
  h.proto->QueueTextMessage(std::move(publicWithId));
  ASSERT_TRUE(h.WaitEvent("Error:", 2));
  h.proto->SetStatus(2);
  ASSERT_TRUE(fake.WaitForScripts(1));
  EXPECT_TRUE(fake.Failures().empty()) << fake.Failures().front();
  std::vector<std::string> messages;
  for (const auto& it : fake.Items())
    if (it.kind == ItemKind::Message) messages.push_back(it.text);
  EXPECT_THAT(messages, ElementsAre("TM:<ID></ID><MS>a\r\nb</MS>", "TM:<ID></ID><MS>x</MS>"));
  EXPECT_EQ(h.Find("Error:"), "Error:Private message without recevier id");
  EXPECT_EQ(h.Count("Error:Public message with receiver id"), 1);
}

TEST(Proto, Utf8MessageCarriesThreeLengthFields) {
  HandshakeReply r;
  r.sef = "8";
  Script s;
  s.Login(r).ExpectMessage(Match::Prefix, "TME:").Sleep(200);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->QueueTextMessage(VekCreateMessage(" 17 ", u"h\u00e9"));
  ASSERT_TRUE(fake.WaitForScripts(1));
  std::string text;
  for (const auto& it : fake.Items())
    if (it.kind == ItemKind::Message) text = it.text;
  auto fields = ReadHexLenFields(text, 4, 3);
  ASSERT_TRUE(fields.has_value()) << text;
  EXPECT_EQ((*fields)[0], "17");
  EXPECT_EQ((*fields)[2], "h\xc3\xa9");
}

}  // namespace

namespace {

TEST(Proto, ListMarkersReachTheirLists) {
  std::vector<FakeClient> clients(2);
  clients[0].id = "11";
  clients[0].name = "ELEVEN";
  clients[0].city = "Town";
  clients[1].id = "22";
  clients[1].name = "TWENTYTWO";
  FakeAccount acc;
  acc.ai = "0";
  acc.name = "BANNED";
  acc.id = "33";
  Script s;
  s.Login()
      .Marker(0x03, ClientListTagsPayload(clients))
      .Marker(0x08, CountedLines({BlockMuteLineTags(acc)}))
      .Marker(0x87, CountedLines({BlockMuteLineTlv(acc), BlockMuteLineTlv(acc)}))
      .Marker(0x06, CountedLines({AdminLineTags(acc)}))
      .Marker(0x07, CountedLines({AccessLineTags(acc)}))
      .Marker(0x0A, CountedLines({"1", "-2"}))
      .Marker(0x0B, NoticesPayload({"first", "second"}))
      .Marker(0x04, TextMessagePayload("11", {"hello"}, true))
      .Marker(0x05, NetworksPayload({"Test", "Other"}))
      .KeepAlive()
      .Sleep(300);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(fake.WaitForScripts(1));
  ASSERT_TRUE(h.WaitEvent("KeepAlive"));
  EXPECT_EQ(CountLines(fake, "P"), 11);
  EXPECT_EQ(h.Count("ThreadError:"), 0);
  ASSERT_EQ(h.proto->Clients().size(), 2u);
  EXPECT_EQ(h.proto->Clients()[1].ID, "22");
  TVEKClientsArray published;
  EXPECT_TRUE(h.proto->ClientListQueue().PopLatest(published));
  EXPECT_EQ(published.size(), 2u);
  ASSERT_EQ(h.proto->BannedList().size(), 1u);
  EXPECT_EQ(h.proto->BannedList()[0].ON, u"BANNED");
  EXPECT_EQ(h.proto->MutedList().size(), 2u);
  EXPECT_EQ(h.proto->AdminList().size(), 1u);
  EXPECT_EQ(h.proto->AccessList().size(), 1u);
  EXPECT_EQ(h.proto->AccessModes(), (TVEKModesArray{1, -2}));
  EXPECT_EQ(h.proto->Notices(), (TVEKNoticesArray{u"first", u"second"}));
  EXPECT_EQ(h.proto->Networks(), (TVEKNetworksArray{u"Test", u"Other"}));
  EXPECT_EQ(h.proto->CurrentNetwork(), u"Test");
  auto m = h.proto->PopMessage();
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->Private);
  EXPECT_EQ(m->SenderName, u"ELEVEN");
  EXPECT_EQ(m->Lines, (std::vector<std::u16string>{u"hello"}));
}

TEST(Proto, FailingClientListChangeDropsTheLinkUnpublished) {
  std::vector<FakeClient> clients(2);
  clients[0].id = "11";
  clients[1].id = "22";
  FakeClient added;
  added.id = "44";
  Script s;
  s.Login()
      .Marker(0x83, ClientListTlvPayload(clients))
      .Marker(0x84, ClientDiffPayload({DiffInsert(2, added), DiffDelete(0, 1), "0001?"}))
      .Sleep(500);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("ThreadError:"));
  EXPECT_THAT(h.Find("ThreadError:"), HasSubstr("Unknown client list format: Wrong command"));
  EXPECT_EQ(h.Count("ClientList"), 1);
  EXPECT_TRUE(fake.WaitForDisconnects(1));
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
  EXPECT_EQ(CountLines(fake, "P"), 2);  // networks and the first list
}

}  // namespace

namespace {

TEST(Proto, FailureEscapingAPassIsReportedAndTheThreadGoesOn) {
  ProtoHarness h;
  h.proto->OnTxRejected = [] { throw Exception("handler failed"); };
  h.proto->RequestTX();
  ASSERT_TRUE(h.WaitEvent("ThreadError:"));
  EXPECT_EQ(h.Find("ThreadError:"), "ThreadError:Proto thread execute: Exception: handler failed");
  Script s;
  s.Login().Sleep(200);
  FakeVekServer fake(s);
  h.Connect(fake);
  EXPECT_TRUE(h.WaitEvent("Initiated"));
}

}  // namespace

namespace {

// The engine's view of a connect it may still take back: a withdrawn
// request never connects, one the thread took always shows as an attempt.
TEST(Proto, WithdrawnConnectNeverConnectsAndATakenOneShows) {
  Script s;
  s.Login().Sleep(20000);
  FakeVekServer fake(s);
  ProtoHarness h;
  EXPECT_FALSE(h.proto->HasLinkOrAttempt());
  EXPECT_FALSE(h.proto->WithdrawConnect());
  int withdrawn = 0;
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    const int before = fake.Connections();
    h.Connect(fake);
    if (i % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(50 * i));
    if (h.proto->WithdrawConnect()) {
      ++withdrawn;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_FALSE(h.proto->HasLinkOrAttempt());
      EXPECT_EQ(fake.Connections(), before);
      continue;
    }
    EXPECT_TRUE(h.proto->HasLinkOrAttempt());
    ASSERT_TRUE(h.WaitEvent("Initiated", i + 1 - withdrawn));
    h.proto->RequestDisconnect();
    ASSERT_TRUE(h.WaitEvent("Disconnected", i + 1 - withdrawn));
    ASSERT_TRUE(ProtoHarness::WaitUntil([&] { return !h.proto->HasLinkOrAttempt(); }));
  }
  EXPECT_GT(withdrawn, 0);
}

TEST(Proto, ResetStatsZeroesTheLastReceptionsCounters) {
  Script s;
  s.Login().Sleep(200).Talk(1, Tone(300, 8000, 3200)).KeepAlive().Sleep(20000);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->EnableReceive();
  ASSERT_TRUE(h.WaitEvent("PlayStop"));
  const TVEKProtoRxStats before = h.proto->GetRxStats();
  EXPECT_GT(before.Audio, 0);
  EXPECT_GT(before.Passes, 0);
  h.proto->ResetStats();
  const TVEKProtoRxStats after = h.proto->GetRxStats();
  EXPECT_EQ(after.Duration, 0);
  EXPECT_EQ(after.Audio, 0);
  EXPECT_LE(after.Passes, 1);  // the idle thread may just have woken
  EXPECT_LE(after.Waits, 1);
  auto cmds = h.DrainQueue();
  h.ReturnBlocks(cmds);
}

}  // namespace
