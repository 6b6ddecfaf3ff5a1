// Received voice against the fake server: talkers and their changes, the
// talker index at and past the list's ends, packets split at every byte,
// the receive switch, the receive alignment on a driven clock, and the pool
// running dry. The PCM that reaches the play queue is compared with an
// independent libgsm decoding of the very bytes the server sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/proto_harness.h"

using namespace vektest;
using prototest::ProtoHarness;

namespace {

struct Played {
  std::vector<std::string> commands;  // "start:<id>", "data", "stop"
  std::vector<int16_t> pcm;
};

Played Collect(ProtoHarness& h) {
  Played p;
  auto cmds = h.DrainQueue();
  for (const auto& c : cmds) {
    switch (c.Command) {
      case QCMD_PLAY_START: p.commands.push_back("start:" + c.Client.ID); break;
      case QCMD_PLAY_STOP: p.commands.push_back("stop"); break;
      case QCMD_PLAY_DATA: {
        p.commands.push_back("data");
        const auto* s = static_cast<const int16_t*>(c.Data);
        p.pcm.insert(p.pcm.end(), s, s + 320);
        break;
      }
      default: p.commands.push_back("other"); break;
    }
  }
  h.ReturnBlocks(cmds);
  return p;
}

std::vector<std::string> Expand(std::initializer_list<std::pair<const char*, int>> runs) {
  std::vector<std::string> out;
  for (const auto& r : runs)
    for (int i = 0; i < r.second; ++i) out.push_back(r.first);
  return out;
}

// What any decoder makes of the server's encoding of pcm, in order.
std::vector<int16_t> Reference(const std::vector<int16_t>& pcm) {
  GsmCodec enc, dec;
  return dec.Decode(enc.Encode(pcm));
}

std::vector<int16_t> Concat(std::initializer_list<std::vector<int16_t>> parts) {
  std::vector<int16_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<FakeClient> TwoClients() {
  std::vector<FakeClient> c(2);
  c[0].id = "11";
  c[0].name = "ELEVEN";
  c[1].id = "22";
  c[1].name = "TWENTYTWO";
  return c;
}

TEST(ProtoRx, TalkersChangesAndIndexEdges) {
  const auto a = Tone(440, 8000, 3200);       // two packets
  const auto b = Tone(700, 6000, 1600, 3200);  // one packet
  const auto c = Tone(300, 9000, 1600);
  const auto d = Tone(900, 5000, 1600);
  const auto e = Tone(500, 7000, 640);  // two short packets
  Script s;
  s.Login()
      .Marker(0x83, ClientListTlvPayload(TwoClients()))
      .Sleep(300)
      .Sound(1, a)
      .Sound(2, b)
      .Sound(0, c)   // index 0: nobody in the list
      .Sound(9, d)   // past the list: the same empty talker goes on
      .Sound(2, e, true)
      .KeepAlive()
      .Sleep(800);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("ClientList"));
  h.proto->EnableReceive();
  ASSERT_TRUE(fake.WaitForScripts(1));
  ASSERT_TRUE(h.WaitEvent("PlayStop", 4));
  const Played p = Collect(h);
  std::vector<std::string> want;
  for (auto part : {Expand({{"start:11", 1}, {"data", 10}, {"stop", 1}}),
                    Expand({{"start:22", 1}, {"data", 5}, {"stop", 1}}),
                    Expand({{"start:", 1}, {"data", 10}, {"stop", 1}}),
                    Expand({{"start:22", 1}, {"data", 2}, {"stop", 1}})})
    want.insert(want.end(), part.begin(), part.end());
  EXPECT_EQ(p.commands, want);
  EXPECT_EQ(p.pcm, Reference(Concat({a, b, c, d, e})));
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
  EXPECT_EQ(h.pool.Buffers().Count(), 1050);
  EXPECT_EQ(h.Count("LogText"), 0);
}

TEST(ProtoRx, PacketsSplitAtEveryByte) {
  const auto a = Tone(440, 8000, 1600);
  const auto b = Tone(600, 8000, 320, 1600);
  Script s;
  s.Login().Sleep(300).SplitSends(Split{{}, 1, 1}).Sound(1, a).Sound(1, b, true).SplitSends(Split{}).KeepAlive().Sleep(
      500);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->EnableReceive();
  ASSERT_TRUE(fake.WaitForScripts(1));
  ASSERT_TRUE(h.WaitEvent("PlayStop"));
  const Played p = Collect(h);
  EXPECT_EQ(p.commands, Expand({{"start:", 1}, {"data", 6}, {"stop", 1}}));
  EXPECT_EQ(p.pcm, Reference(Concat({a, b})));
  EXPECT_EQ(h.Count("ThreadError:"), 0);
}

TEST(ProtoRx, ReceiveSwitchOffAcknowledgesAndPlaysNothing) {
  Script s;
  s.Login().Sleep(200).Sound(1, Tone(440, 8000, 3200)).Sleep(500);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(fake.WaitForScripts(1));
  const auto lines = fake.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "P"), 3);
  EXPECT_EQ(h.queue.Count(), 0);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
}

TEST(ProtoRx, AlignmentDropsABurstOnceAndRecoversFromALastingDelay) {
  struct Case {
    const char* name;
    uint32_t lateMs;  // the second packet's lateness against the audio
    int burst;        // packets sent at the same instant after it
    int paced;        // packets that then follow 200 ms apart
    int played;       // data blocks expected
    int skipped;      // RX-align events
  };
  const Case cases[] = {
      // 1000 ms late: 25 frames to drop, that packet and four more go.
      {"burst", 1000, 5, 0, 10, 1},
      // The delay lasts: after the drops the audio re-anchors, the rest plays.
      {"lasting", 1000, 0, 8, 5 + 4 * 5, 1},
      {"just inside", 599, 0, 2, 20, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProtoHarness h(true, true);
    const auto pcm = Tone(440, 8000, 1600);
    Script s;
    h.clock = 200000;
    s.Login().Sleep(200).Sound(1, pcm);
    uint32_t t = 200000 + 200 + c.lateMs;
    // The pause lets the client take the first packet at the old time.
    s.Sleep(100).Call([&h, t] { h.clock = t; }).Sound(1, pcm);
    for (int i = 0; i < c.burst; ++i) s.Sound(1, pcm);
    for (int i = 0; i < c.paced; ++i) {
      t += 200;
      s.Sleep(80).Call([&h, t] { h.clock = t; }).Sound(1, pcm);
    }
    s.Sleep(300);
    FakeVekServer fake(s);
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Initiated"));
    h.proto->EnableReceive();
    ASSERT_TRUE(fake.WaitForScripts(1));
    // Every packet acknowledged means every packet handled.
    const int packets = 2 + c.burst + c.paced;
    ASSERT_TRUE(fake.WaitFor([&](const std::vector<ClientItem>& items) {
      return std::count_if(items.begin(), items.end(), [](const ClientItem& i) { return i.text == "P"; }) >=
             1 + packets;
    }));
    const Played p = Collect(h);
    EXPECT_EQ(static_cast<int>(std::count(p.commands.begin(), p.commands.end(), "data")), c.played);
    EXPECT_EQ(h.Count("RxAlignSkipped:"), c.skipped);
    if (c.skipped) {
      EXPECT_EQ(h.Find("RxAlignSkipped:"), "RxAlignSkipped:" + std::to_string(c.lateMs / 40 * 40));
    }
  }
}

TEST(ProtoRx, PoolRunningDryLosesOnlyWhatHasNoBlock) {
  Script s;
  s.Login().Sleep(300).Sound(1, Tone(440, 8000, 1600)).KeepAlive().Sleep(300);
  FakeVekServer fake(s);
  ProtoHarness h;
  std::vector<void*> held(1048);
  ASSERT_EQ(h.pool.Buffers().PopMany(held.data(), 1048), 1048);
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->EnableReceive();
  ASSERT_TRUE(h.WaitEvent("PoolUnderflow"));
  ASSERT_TRUE(h.WaitEvent("PlayStop"));
  const Played p = Collect(h);
  EXPECT_EQ(p.commands, Expand({{"start:", 1}, {"data", 2}, {"stop", 1}}));
  EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
  h.pool.Buffers().PushMany(held.data(), 1048);
  EXPECT_EQ(h.pool.Buffers().Count(), 1050);
}

}  // namespace

namespace {

TEST(ProtoRx, PayloadCutShortByADisconnectIsNeverPlayed) {
  GsmCodec enc;
  const std::string packet = SoundPayload(1, enc.Encode(Tone(440, 8000, 1600)));
  Script s;
  s.Login().Sleep(300).Send(std::string("\x02") + packet.substr(0, 100)).Stall(6000);
  FakeVekServer fake(s);
  ProtoHarness h;
  // A read timeout far beyond the wait for the disconnect: only the request
  // can end the payload wait in time.
  h.proto->ReceiveTimeoutMs = 3600000;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  h.proto->EnableReceive();
  // The client now waits inside the payload.
  ASSERT_TRUE(fake.WaitFor([](const std::vector<ClientItem>&) { return true; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  h.proto->RequestDisconnect();
  ASSERT_TRUE(h.WaitEvent("Disconnected"));
  EXPECT_EQ(h.queue.Count(), 0);
  EXPECT_EQ(h.Count("PlayStart"), 0);
  EXPECT_EQ(h.Count("ThreadError:"), 0);
  const auto lines = fake.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "P"), 1);
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
}

}  // namespace
