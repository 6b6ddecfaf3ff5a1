// Transmitted voice against the fake server on a clock the test drives: the
// packets must carry exactly the bytes an independent libgsm encoder makes of
// the captured blocks, in order, with silence only where the protocol pads.
// Also the channel request and its refusals, the repeat rule on keep-alives
// and the server taking the turn away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/proto_harness.h"

using namespace vektest;
using prototest::ProtoHarness;

namespace {

// Distinct blocks, so a lost, doubled or swapped block changes the bytes.
std::vector<int16_t> Blocks(int n) {
  std::vector<int16_t> pcm;
  for (int i = 0; i < n; ++i) {
    auto b = Tone(300 + 70 * i, 3000 + 500 * i, 320, static_cast<size_t>(i) * 320);
    pcm.insert(pcm.end(), b.begin(), b.end());
  }
  return pcm;
}

std::string Encoded(const std::vector<int16_t>& pcm) {
  GsmCodec enc;
  return enc.Encode(pcm);
}

struct Sent {
  std::vector<std::string> headers;
  std::string gsm;
};

Sent Packets(const FakeVekServer& fake) {
  Sent s;
  for (const auto& it : fake.Items())
    if (it.kind == ItemKind::TxPacket) {
      s.headers.push_back(it.text);
      s.gsm += it.gsm;
    }
  return s;
}

int CountLines(const FakeVekServer& fake, const std::string& line) {
  const auto lines = fake.Lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// The login sends one RX0 already.
bool WaitLineCount(FakeVekServer& fake, const std::string& line, int n) {
  return fake.WaitFor([&](const std::vector<ClientItem>& items) {
    return std::count_if(items.begin(), items.end(), [&](const ClientItem& i) {
             return i.kind == ItemKind::Line && i.text == line;
           }) >= n;
  });
}

void Advance(ProtoHarness& h, uint32_t ms) { h.clock += ms; }

bool WaitPackets(FakeVekServer& fake, size_t n) {
  return fake.WaitFor([n](const std::vector<ClientItem>& items) {
    return static_cast<size_t>(std::count_if(items.begin(), items.end(), [](const ClientItem& i) {
             return i.kind == ItemKind::TxPacket;
           })) >= n;
  });
}

// A server that logs the client in and answers its channel request as the
// policy says; the test adds what follows the request.
Script TxServer(TxMode mode = TxMode::Approve, const HandshakeReply& reply = {},
                uint32_t take_away_ms = 0) {
  Script s;
  s.TxPolicy(mode, 0, take_away_ms).Login(reply).ExpectLine("TX0");
  return s;
}

// Logs in and asks for the channel; returns once the server approved.
void StartTurn(ProtoHarness& h, const FakeVekServer& fake) {
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->RequestTX();
  ASSERT_TRUE(h.WaitEvent("TxApproved"));
}

TEST(ProtoTx, SevenBlocksMakeAFullAndAPaddedPacket) {
  ProtoHarness h(true);
  FakeVekServer fake(TxServer().Sleep(4000));
  ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
  const auto pcm = Blocks(7);
  h.Capture(pcm);
  // The first packet is due at once, without the clock moving.
  ASSERT_TRUE(WaitPackets(fake, 1));
  h.proto->TxDataState = 1;
  Advance(h, 80);   // the last two blocks
  Advance(h, 120);  // and three slots for silence
  ASSERT_TRUE(h.WaitEvent("TxDataEnded"));
  h.proto->RequestStopTX();
  ASSERT_TRUE(WaitLineCount(fake, "RX0", 2));
  const Sent sent = Packets(fake);
  ASSERT_EQ(sent.headers, (std::vector<std::string>{"TX1", "TX1"}));
  const std::string silence = GsmSilenceBlock();
  EXPECT_EQ(sent.gsm, Encoded(pcm) + silence + silence + silence);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
  EXPECT_EQ(h.proto->TxDataState.load(), 2);
  EXPECT_TRUE(ProtoHarness::WaitUntil([&] { return h.pool.Buffers().Count() == 1050; }));
}

TEST(ProtoTx, ShortFramesSendEveryBlockAloneWithoutSilence) {
  ProtoHarness h(true);
  HandshakeReply r;
  r.sef = "16";
  FakeVekServer fake(TxServer(TxMode::Approve, r).Sleep(4000));
  ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
  const auto pcm = Blocks(7);
  h.Capture(pcm);
  ASSERT_TRUE(WaitPackets(fake, 1));
  h.proto->TxDataState = 1;
  Advance(h, 6 * 40 + 200);
  ASSERT_TRUE(h.WaitEvent("TxDataEnded"));
  h.proto->RequestStopTX();
  ASSERT_TRUE(WaitLineCount(fake, "RX0", 2));
  const Sent sent = Packets(fake);
  EXPECT_EQ(sent.headers, std::vector<std::string>(7, "TX8"));
  EXPECT_EQ(sent.gsm, Encoded(pcm));
}

TEST(ProtoTx, LateWakeUpSendsEveryDueBlockOnce) {
  ProtoHarness h(true);
  FakeVekServer fake(TxServer().Sleep(4000));
  ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
  const auto pcm = Blocks(22);
  h.Capture(pcm);
  ASSERT_TRUE(WaitPackets(fake, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(Packets(fake).headers.size(), 1u);  // nothing more while no time passes
  Advance(h, 600);  // fifteen slots at once
  ASSERT_TRUE(WaitPackets(fake, 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const Sent sent = Packets(fake);
  ASSERT_EQ(sent.headers.size(), 4u);
  EXPECT_EQ(sent.gsm, Encoded(pcm).substr(0, 20 * 65));
  EXPECT_EQ(h.captured.Count(), 0);  // the last two wait in the batch
}

TEST(ProtoTx, VoiceLeavesBeforeApprovalAndPreCaptureIsKept) {
  struct {
    int32_t preCaptureMs;
    int keep;
  } cases[] = {{200, 5}, {0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preCaptureMs);
    ProtoHarness h(true, false, c.preCaptureMs);
    EXPECT_EQ(h.proto->PreCaptureBlocks(), c.keep);
    FakeVekServer fake(TxServer(TxMode::Ignore).Sleep(1500));
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Initiated"));
    const auto pcm = Blocks(8);
    h.Capture(pcm);
    h.proto->RequestTX();
    ASSERT_TRUE(fake.WaitForLine("TX0"));
    if (c.keep > 0) {
      // Sent while the request still waits for approval.
      ASSERT_TRUE(WaitPackets(fake, 1));
      EXPECT_EQ(h.proto->State(), PROTO_STATE_TX_REQ_WAITS_APPROVE);
      const std::vector<int16_t> newest(pcm.end() - 5 * 320, pcm.end());
      EXPECT_EQ(Packets(fake).gsm, Encoded(newest));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_TRUE(Packets(fake).headers.empty());
      EXPECT_EQ(h.captured.Count(), 0);
    }
    h.proto->RequestStopTX();
    ASSERT_TRUE(h.WaitEvent("TxRejected"));
    EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
    EXPECT_EQ(CountLines(fake, "RX0"), 1);  // only the login's
  }
}

TEST(ProtoTx, RequestRepeatsOnTheGridOfTheFirst) {
  ProtoHarness h(true);
  const uint32_t t0 = h.clock.load();
  Script s = TxServer(TxMode::Ignore);
  // Keep-alives at these offsets from the first request; after the gap
  // from 1000 to 2700 only one request follows. Each is handled before the
  // clock moves on: a keep-alive read late would meet the next offset.
  int sent = 0;
  for (uint32_t at : {200u, 400u, 600u, 800u, 1000u, 2700u, 2900u, 3000u}) {
    ++sent;
    s.Call([&h, t0, at] { h.clock = t0 + at; }).KeepAlive().Hold([&h, sent] {
      return h.Count("KeepAlive") + h.Count("TxRequestRepeated") >= sent;
    });
  }
  s.Sleep(200);
  FakeVekServer fake(s);
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->RequestTX();
  ASSERT_TRUE(fake.WaitForScripts(1));
  // Each keep-alive's acknowledgement follows its repeated request.
  ASSERT_TRUE(WaitLineCount(fake, "P", 1 + sent));
  EXPECT_EQ(CountLines(fake, "TX0"), 1 + 4);  // at 600, 1000, 2700, 3000
  EXPECT_EQ(h.Count("TxRequestRepeated"), 4);
  EXPECT_EQ(h.Count("KeepAlive"), 4);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_TX_REQ_WAITS_APPROVE);
}

TEST(ProtoTx, RepeatedRequestStillStartsTheClockAtTheFirstBlock) {
  // No voice before the repeat: the first block must start the pacing, not
  // a clock left from before.
  ProtoHarness h(true);
  const uint32_t t0 = h.clock.load();
  Script s = TxServer(TxMode::Ignore);
  s.Call([&h, t0] { h.clock = t0 + 600; }).KeepAlive().ExpectLine("TX0").Sleep(1500);
  FakeVekServer fake(s);
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->RequestTX();
  ASSERT_TRUE(h.WaitEvent("TxRequestRepeated"));
  const auto pcm = Blocks(10);
  h.Capture(pcm);
  ASSERT_TRUE(WaitPackets(fake, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(Packets(fake).gsm, Encoded(pcm).substr(0, 5 * 65));  // one packet's worth, no burst
  Advance(h, 200);
  ASSERT_TRUE(WaitPackets(fake, 2));
  EXPECT_EQ(Packets(fake).gsm, Encoded(pcm));
}

TEST(ProtoTx, LinkEndingInTheMiddleOfATransmissionLosesNoBlock) {
  // Blocks wait both in the thread's batch and in the ring when the link
  // goes: by request (ring emptied but for pre-capture) or by the server
  // closing (the ring stays the engine's).
  for (bool byRequest : {true, false}) {
    SCOPED_TRACE(byRequest ? "disconnect request" : "server closes");
    ProtoHarness h(true);
    Script s = TxServer();
    s.SkipAcks(true).ExpectTx();
    if (byRequest) s.Sleep(3000);
    else s.Close();
    FakeVekServer fake(s);
    ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
    h.Capture(Blocks(7));
    ASSERT_TRUE(WaitPackets(fake, 1));
    h.Capture(Blocks(3));
    if (byRequest) h.proto->RequestDisconnect();
    ASSERT_TRUE(h.WaitEvent(byRequest ? "Disconnected" : "PeerDisconnected"));
    EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
    EXPECT_TRUE(ProtoHarness::WaitUntil([&] { return h.pool.Buffers().Count() + h.captured.Count() == 1050; }));
    if (byRequest) {
      EXPECT_EQ(h.captured.Count(), 0);
    }
  }
}

TEST(ProtoTx, ServerTakesTheTurnAway) {
  ProtoHarness h;
  FakeVekServer fake(TxServer(TxMode::Approve, {}, 300).Sleep(1500));
  ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
  h.Capture(Blocks(3));
  ASSERT_TRUE(h.WaitEvent("TxAbortedByServer"));
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
  EXPECT_TRUE(ProtoHarness::WaitUntil([&] { return h.pool.Buffers().Count() == 1050; }));
  EXPECT_EQ(h.captured.Count(), 0);
}

TEST(ProtoTx, RequestOutsideIdleEndsWhatRuns) {
  // During reception: the player gets its stop.
  {
    ProtoHarness h;
    Script s;
    s.Login().Sleep(200).Talk(1, Tone(440, 8000, 8000)).Sleep(500);
    FakeVekServer fake(s);
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Initiated"));
    h.proto->EnableReceive();
    ASSERT_TRUE(h.WaitEvent("PlayStart"));
    h.proto->RequestTX();
    ASSERT_TRUE(h.WaitEvent("TxRejected"));
    EXPECT_GE(h.IndexOf("PlayStop"), 0);
    EXPECT_LT(h.IndexOf("PlayStop"), h.IndexOf("TxRejected"));
    EXPECT_GE(h.queue.PlayStopCount(), 1);
    EXPECT_EQ(CountLines(fake, "TX0"), 0);
  }
  // During transmission: the server gets the channel back.
  {
    ProtoHarness h;
    FakeVekServer fake(TxServer().Sleep(1000));
    ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
    h.proto->RequestTX();
    ASSERT_TRUE(h.WaitEvent("TxRejected"));
    EXPECT_TRUE(WaitLineCount(fake, "RX0", 2));
    EXPECT_EQ(CountLines(fake, "RX0"), 2);
    EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
  }
}

TEST(ProtoTx, FailingApprovalHandlerGivesTheChannelBack) {
  ProtoHarness h;
  h.failApproval = true;
  FakeVekServer fake(TxServer().ExpectRxState(0).Sleep(300));
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->RequestTX();
  ASSERT_TRUE(h.WaitEvent("Error:"));
  EXPECT_EQ(h.Find("Error:"), "Error:approval handler failed");
  ASSERT_TRUE(h.WaitEvent("TxRejected"));
  ASSERT_TRUE(fake.WaitForScripts(1));
  EXPECT_TRUE(fake.Failures().empty()) << fake.Failures().front();
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
}

}  // namespace

namespace {

TEST(ProtoTx, RefusalsThatMustNotDisturbTheLink) {
  // Not logged in: refused, and the link state stays as it is.
  {
    ProtoHarness h;
    h.proto->RequestTX();
    ASSERT_TRUE(h.WaitEvent("TxRejected"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
    EXPECT_EQ(h.Count("Disconnected"), 0);
  }
  // A capture that ends before its first block still ends the data.
  {
    ProtoHarness h;
    FakeVekServer fake(TxServer().Sleep(800));
    ASSERT_NO_FATAL_FAILURE(StartTurn(h, fake));
    h.proto->TxDataState = 1;
    ASSERT_TRUE(h.WaitEvent("TxDataEnded"));
    h.proto->RequestStopTX();
    ASSERT_TRUE(WaitLineCount(fake, "RX0", 2));
    EXPECT_TRUE(Packets(fake).headers.empty());
  }
}

}  // namespace
