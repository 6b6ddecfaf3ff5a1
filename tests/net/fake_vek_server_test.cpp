// The test server checked with a plain POSIX client, so that the protocol
// tests built on it stand on a known peer.
#include "support/fake_vek_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace vektest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect failed";
  }
  ~Client() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& s) {
    ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }
  // Up to n bytes, waiting at most timeout_ms for them; fewer at EOF.
  std::string Read(size_t n, uint32_t timeout_ms = kPeerWaitMs) {
    std::string out;
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(timeout_ms)) <= 0) break;
      char buf[4096];
      ssize_t r = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) {
        eof_ = true;
        break;
      }
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  std::string ReadLine(uint32_t timeout_ms = kPeerWaitMs) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      std::string c = Read(1, timeout_ms);
      if (c.empty()) break;
      line += c;
    }
    return line;
  }
  bool WaitEof(uint32_t timeout_ms = kPeerWaitMs) {
    while (!eof_) {
      std::string s = Read(1, timeout_ms);
      if (s.empty()) break;
    }
    return eof_;
  }

 private:
  int fd_ = -1;
  bool eof_ = false;
};

std::string Login(int vx) { return "CT:" + Tag("VX", std::to_string(vx)) + Tag("EA", "a@b") + "\r\n"; }

double Energy(const std::vector<int16_t>& pcm, size_t from = 0) {
  double e = 0;
  for (size_t i = from; i < pcm.size(); ++i) e += double(pcm[i]) * pcm[i];
  return pcm.size() > from ? e / double(pcm.size() - from) : 0;
}

// Normalised correlation of two equally long signals.
double Correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t from) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = from; i < a.size() && i < b.size(); ++i) {
    ab += double(a[i]) * b[i];
    aa += double(a[i]) * a[i];
    bb += double(b[i]) * b[i];
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

FakeClient Named(std::string id, std::string name, std::string city = {}) {
  FakeClient c;
  c.id = std::move(id);
  c.name = std::move(name);
  c.city = std::move(city);
  return c;
}

}  // namespace

TEST(FakeVekServerBuilders, EncodingsFollowTheWireFormats) {
  // Hex length prefixes at their boundaries.
  const std::pair<size_t, const char*> lens[] = {
      {0, "00"}, {127, "7F"}, {128, "8180"}, {255, "81FF"}, {256, "820100"}, {70000, "83011170"}};
  for (auto [n, text] : lens) EXPECT_EQ(HexLen(n), text) << n;
  std::string big(300, 'x');
  EXPECT_EQ(ReadHexLenFields("TME:" + HexLenField("") + HexLenField(big) + HexLenField("a\r\nb"), 4, 3),
            (std::vector<std::string>{"", big, "a\r\nb"}));
  EXPECT_EQ(ReadHexLenFields("0" "3ab", 0, 1), std::nullopt);  // runs past the end
  EXPECT_EQ(ReadHexLenFields("8", 0, 1), std::nullopt);

  EXPECT_EQ(ChallengeReply("000000"), "30000");
  EXPECT_EQ(ChallengeReply("999999"), "12081");
  EXPECT_EQ(ChallengeReply("12345"), "");
  EXPECT_EQ(ChallengeReply(" 12345"), "");

  FakeClient c;
  c.id = "42";
  c.name = "DL1ABC";
  c.visible = 1;
  c.client_type = 1;
  c.utf8 = true;
  c.lo = true;
  EXPECT_EQ(ClientLineTlv(c), "95" "206DL1ABC" "300" "400" "500" "600" "80242");
  EXPECT_EQ(DiffStatus(10, c), "000A*95");
  EXPECT_EQ(DiffDelete(3, 2), "0003-2");
  EXPECT_THAT(ClientLineTags(c), HasSubstr("<S>6</S><M>0</M><CL>1</CL>"));
  EXPECT_EQ(ClientListTlvPayload({c}), std::string("\0\0", 2) + "1\r\n" + ClientLineTlv(c) + "\r\n");
  // N counts the sender and the flag line.
  EXPECT_EQ(TextMessagePayload("7", {"a", "b"}, true), "4\r\n7\r\na\r\nb\r\nP\r\n");

  HandshakeReply r;
  r.mt.reset();
  r.sef = "16";
  r.kp = "123456";
  r.bn = "backup.example";
  r.bp = "5200";
  EXPECT_EQ(r.Line2(), "<SV>2014000</SV><SEF>16</SEF><AL>OK</AL><KP>123456</KP><BN>backup.example</BN><BP>5200</BP>");
}

TEST(FakeVekServerVoice, SilenceBlockIsLibgsmsSilenceAndToneSurvivesTheCodec) {
  GsmCodec enc, dec;
  EXPECT_EQ(enc.Encode(std::vector<int16_t>(kPcmBlock, 0)), GsmSilenceBlock());

  auto tone = Tone(440, 8000, 10 * kPcmBlock);
  std::string gsm = enc.Encode(tone);
  ASSERT_EQ(gsm.size(), 10 * kGsmBlock);
  int bad = 0;
  auto back = dec.Decode(gsm, &bad);
  EXPECT_EQ(bad, 0);
  ASSERT_EQ(back.size(), tone.size());
  EXPECT_GT(Correlation(tone, back, kPcmBlock), 0.9);

  GsmCodec fresh;
  auto silent = fresh.Decode(GsmSilenceBlock() + GsmSilenceBlock());
  EXPECT_LT(Energy(silent), 1000.0);  // rms about 30 against a tone of 8000
  EXPECT_THROW(enc.Encode(std::vector<int16_t>(100)), std::invalid_argument);
}

TEST(FakeVekServerHandshake, AnswerLinesAsScripted) {
  HandshakeReply r;
  r.line1 = "abc";
  r.sv = "2012000";
  r.al = "WRONG";
  FakeVekServer server(Script().ExpectLogin().Handshake(r).ExpectClose());
  Client c(server.Port());
  c.Send(Login(2014004));
  EXPECT_EQ(c.ReadLine(), "abc\r\n");
  EXPECT_EQ(c.ReadLine(), "<SV>2012000</SV><AL>WRONG</AL><MT>Welcome</MT>\r\n");
  c.Close();
  ASSERT_TRUE(server.WaitForDisconnects(1));
  EXPECT_THAT(server.Failures(), IsEmpty());
}

// The standard login across the version classes: the server asks for the
// challenge reply only where the class calls for it.
TEST(FakeVekServerHandshake, LoginChecksTheChallengeByVersionClass) {
  struct Case {
    const char* sv;
    int vx;
    const char* kp;
    std::vector<std::string> client_sends;  // after the handshake
    bool accepted;
  };
  const Case cases[] = {
      {"2011000", 2014004, "000000", {"30000", "RX0"}, true},
      {"2011000", 2014004, "999999", {"12081", "ST:2", "RX0"}, true},
      {"2011000", 2014004, "999999", {"21018", "RX0"}, false},  // digits not reordered
      {"2011000", 2014004, "999999", {"RX0"}, false},           // reply missing
      {"2012000", 2014004, "123456", {"RX0"}, true},
      {"2013002", 2011002, "000000", {"30000", "RX0"}, true},
      {"2013002", 2014004, "000000", {"RX0"}, true},
      {"2013500", 2014004, "000000", {"30000", "RX0"}, true},
      {"2014000", 2014004, "000000", {"RX0"}, true},
      {"2014000", 2014004, "000000", {"ST:1", "P"}, false},     // RX0 missing
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.sv) + " " + std::to_string(k.vx) + " " + k.client_sends.front());
    HandshakeReply r;
    r.sv = k.sv;
    r.kp = k.kp;
    FakeVekServer server(Script().Login(r, {"Net A", "Net B"}).ExpectClose());
    Client c(server.Port());
    c.Send(Login(k.vx));
    c.ReadLine();
    c.ReadLine();
    for (const auto& l : k.client_sends) c.Send(l + "\r\n");
    std::string list = c.Read(std::strlen("\x05" "2\r\nNet A\r\nNet B\r\n"));
    if (k.accepted) {
      EXPECT_EQ(list, "\x05" "2\r\nNet A\r\nNet B\r\n");
      c.Send("P\r\n");
      c.Close();
      ASSERT_TRUE(server.WaitForDisconnects(1));
      EXPECT_THAT(server.Failures(), IsEmpty());
    } else {
      EXPECT_EQ(list, "");
      EXPECT_TRUE(c.WaitEof());
      ASSERT_TRUE(server.WaitForDisconnects(1));
      ASSERT_EQ(server.Failures().size(), 1u);
      EXPECT_THAT(server.Failures()[0], HasSubstr("expected line"));
    }
  }
}

TEST(FakeVekServerScript, ExpectFailuresEndTheConnection) {
  struct Case {
    Script script;
    std::string client_sends;
    const char* failure;
  };
  Case cases[] = {
      {Script().ExpectLine("RX0"), "RX1\r\n", "got line 'RX1'"},
      {Script().Expect(Match::Regex, "^ST:[0-2]$"), "ST:3\r\n", "got line 'ST:3'"},
      {Script().Expect(Match::Any, {}, 200), "", "timed out"},
      {Script().ExpectTx(), "TX0\r\n", "expected TX packet"},
      {Script().ExpectChallengeReply(), "", "no six-digit KP"},
      {Script().Hold([] { return false; }, 200), "", "not released within 200 ms"},
      // A client that never ends its line cannot make the server grow without end.
      {Script().Expect(Match::Any), std::string((1 << 20) + 10, 'a'), "without an item end"},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.failure);
    FakeVekServer server(k.script);
    Client c(server.Port());
    if (!k.client_sends.empty()) c.Send(k.client_sends);
    EXPECT_TRUE(c.WaitEof());
    ASSERT_TRUE(server.WaitForDisconnects(1));
    ASSERT_EQ(server.Failures().size(), 1u);
    EXPECT_THAT(server.Failures()[0], HasSubstr(k.failure));
  }
}

TEST(FakeVekServerScript, RecordsEverythingTheClientSendsInOrder) {
  FakeVekServer server(Script().ExpectLogin().SendLine("go").Stall(150));
  Client c(server.Port());
  c.Send(Login(2014004) + "P\r");
  ASSERT_EQ(c.ReadLine(), "go\r\n");
  GsmCodec enc;
  std::string gsm5 = enc.Encode(Tone(300, 6000, 5 * kPcmBlock));
  std::string gsm1 = enc.Encode(Tone(300, 6000, kPcmBlock, 5 * kPcmBlock));
  std::string tme = "TME:" + HexLenField("") + HexLenField("x\r\ny") + HexLenField("x\r\ny") + "\r\n";
  uint32_t start = FakeTickMs();
  c.Send("\nTX1\r\n" + gsm5.substr(0, 100));
  c.Send(gsm5.substr(100) + "TX8\r\n" + gsm1 + "TM:<ID></ID><MS>a\r\nb</MS>\r\n");
  c.Send(tme + "RX0\r\nST:2");  // the last line never ends
  c.Close();
  ASSERT_TRUE(server.WaitForDisconnects(1));
  EXPECT_THAT(server.Failures(), IsEmpty());

  auto items = server.Items();
  ASSERT_EQ(items.size(), 9u);
  std::vector<ItemKind> kinds;
  for (const auto& i : items) kinds.push_back(i.kind);
  EXPECT_THAT(kinds, ElementsAre(ItemKind::Line, ItemKind::Line, ItemKind::TxPacket, ItemKind::TxPacket,
                                 ItemKind::Message, ItemKind::Message, ItemKind::Line, ItemKind::Partial,
                                 ItemKind::Disconnected));
  EXPECT_EQ(items[1].text, "P");
  EXPECT_EQ(items[2].text, "TX1");
  EXPECT_EQ(items[2].gsm, gsm5);
  EXPECT_EQ(items[2].pcm.size(), 5 * kPcmBlock);
  EXPECT_EQ(items[3].text, "TX8");
  EXPECT_EQ(items[3].pcm.size(), kPcmBlock);
  EXPECT_EQ(items[4].text, "TM:<ID></ID><MS>a\r\nb</MS>");
  EXPECT_EQ(items[5].text, tme.substr(0, tme.size() - 2));
  EXPECT_EQ(items[6].text, "RX0");
  EXPECT_EQ(items[7].text, "ST:2");
  EXPECT_THAT(server.Lines(), ElementsAre(Login(2014004).substr(0, Login(2014004).size() - 2), "P", "RX0"));
  // The stall held the reads back: what was sent meanwhile is stamped after it.
  EXPECT_GE(static_cast<int32_t>(items[2].tick - start), 50);
  for (size_t i = 1; i < items.size(); ++i) EXPECT_GE(static_cast<int32_t>(items[i].tick - items[i - 1].tick), 0);
}

TEST(FakeVekServerScript, SplitSendsAtTheGivenBoundaries) {
  std::string marker = "\x05" + NetworksPayload({"Main"});
  struct Case {
    Split split;
    std::vector<std::string> chunks;
  };
  const Case cases[] = {
      {Split{{1, 3}, 0, 5}, {marker.substr(0, 1), marker.substr(1, 2), marker.substr(3)}},
      {Split{{}, 4, 5}, {marker.substr(0, 4), marker.substr(4, 4), marker.substr(8)}},
      {Split{}, {marker}},
  };
  for (const auto& k : cases) {
    FakeVekServer server(Script().SplitSends(k.split).Send(marker).KeepAlive());
    Client c(server.Port());
    EXPECT_EQ(c.Read(marker.size() + 1), marker + std::string(1, '\0'));
    ASSERT_TRUE(server.WaitForScripts(1));
    auto sent = server.Sent();
    ASSERT_EQ(sent.size(), k.chunks.size() + 1);
    for (size_t i = 0; i < k.chunks.size(); ++i) EXPECT_EQ(sent[i].bytes, k.chunks[i]);
    EXPECT_EQ(sent.back().bytes, std::string(1, '\0'));
  }
}

TEST(FakeVekServerScript, BackgroundKeepAlivesAndSkippedAcks) {
  FakeVekServer server(Script().SkipAcks(true).KeepAlives(40).ExpectLine("ST:1").KeepAlives(0).KeepAlive());
  Client c(server.Port());
  std::string got = c.Read(3);
  EXPECT_EQ(got, std::string(3, '\0'));
  c.Send("P\r\nP\r\nP\r\nST:1\r\n");
  ASSERT_TRUE(server.WaitForScripts(1));
  EXPECT_THAT(server.Failures(), IsEmpty());
}

TEST(FakeVekServerScript, HoldServesTheLinkUntilTheTestReleasesIt) {
  std::atomic<bool> released{false};
  FakeVekServer server(Script().KeepAlives(40).Hold([&] { return released.load(); }).KeepAlives(0).SendLine("after"));
  Client c(server.Port());
  // Background keep-alives go on and the client is read meanwhile.
  EXPECT_EQ(c.Read(2), std::string(2, '\0'));
  c.Send("seen\r\n");
  ASSERT_TRUE(server.WaitForLine("seen"));
  EXPECT_EQ(server.FinishedScripts(), 0);
  for (const auto& chunk : server.Sent()) EXPECT_EQ(chunk.bytes.find("after"), std::string::npos);
  released = true;
  std::string got;
  while (got.find("after\r\n") == std::string::npos) {
    const std::string line = c.ReadLine();
    if (line.empty()) break;
    got += line;
  }
  EXPECT_THAT(got, HasSubstr("after\r\n"));
  ASSERT_TRUE(server.WaitForScripts(1));
  EXPECT_THAT(server.Failures(), IsEmpty());
}

TEST(FakeVekServerScript, ConnectionsRunTheirOwnScripts) {
  FakeVekServer server({Script().SendLine("first").Close(), Script().SendLine("second")});
  for (const char* want : {"first\r\n", "second\r\n", "second\r\n"}) {
    Client c(server.Port());
    EXPECT_EQ(c.ReadLine(), want);
  }
  EXPECT_TRUE(server.WaitForDisconnects(3));
  EXPECT_EQ(server.Connections(), 3);
}

TEST(FakeVekServerVoiceFlow, TalkSendsPacedSoundMarkers) {
  const auto tone = Tone(500, 8000, 10 * kPcmBlock);
  FakeVekServer server(Script()
                           .Talk(3, tone)
                           .Talk(1, Tone(500, 8000, kPcmBlock), true)
                           .Sound(2, Tone(500, 8000, 100))  // padded to one packet
                           .KeepAlive());
  Client c(server.Port());
  GsmCodec dec;
  std::vector<int16_t> heard;
  for (int i = 0; i < 2; ++i) {
    std::string packet = c.Read(1 + 2 + 5 * kGsmBlock);
    ASSERT_EQ(packet.size(), 1 + 2 + 5 * kGsmBlock);
    EXPECT_EQ(packet.substr(0, 3), "\x02" + Be16(3));
    auto pcm = dec.Decode(packet.substr(3));
    heard.insert(heard.end(), pcm.begin(), pcm.end());
  }
  EXPECT_GT(Correlation(tone, heard, kPcmBlock), 0.9);
  std::string short_packet = c.Read(1 + 2 + kGsmBlock);
  EXPECT_EQ(short_packet.substr(0, 3), "\x81" + Be16(1));
  std::string burst = c.Read(1 + 2 + 5 * kGsmBlock);
  EXPECT_EQ(burst.substr(0, 3), "\x02" + Be16(2));
  EXPECT_EQ(burst.size(), 1 + 2 + 5 * kGsmBlock);
  EXPECT_EQ(c.Read(1), std::string(1, '\0'));

  // Paced: the second packet leaves no sooner than 200 ms after the first.
  ASSERT_TRUE(server.WaitForScripts(1));
  auto sent = server.Sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_GE(static_cast<int32_t>(sent[1].tick - sent[0].tick), 200);
}

TEST(FakeVekServerVoiceFlow, ChannelRequestsApprovedIgnoredOrTakenAway) {
  {
    // Background keep-alives (0x89 here, to tell them apart) pause while the
    // client holds the channel: a keep-alive would end its turn.
    FakeVekServer server(Script()
                             .KeepAlives(30, 0x89)
                             .TxPolicy(TxMode::Approve, 100, 300)
                             .ExpectLine("TX0")
                             .ExpectTx()
                             .ExpectLine("RX0")
                             .KeepAlives(0)
                             .KeepAlive());
    Client c(server.Port());
    auto read_until = [&](char end) {
      std::string before;
      for (std::string b = c.Read(1); !b.empty() && b[0] != end; b = c.Read(1)) before += b;
      return before;
    };
    uint32_t asked = FakeTickMs();
    c.Send("TX0\r\n");
    std::string before = read_until('\x01');
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(before.find_first_not_of('\x89'), std::string::npos);
    EXPECT_GE(static_cast<int32_t>(FakeTickMs() - asked), 100);
    EXPECT_EQ(c.Read(2), Be16(0));
    GsmCodec enc;
    c.Send("TX1\r\n" + enc.Encode(Tone(700, 8000, 5 * kPcmBlock)));
    EXPECT_EQ(c.Read(1), std::string(1, '\0'));  // the turn taken away, no 0x89 before
    c.Send("RX0\r\n");
    EXPECT_EQ(read_until('\0').find_first_not_of('\x89'), std::string::npos);
    ASSERT_TRUE(server.WaitForScripts(1));
    EXPECT_THAT(server.Failures(), IsEmpty());
    auto items = server.Items();
    ASSERT_GE(items.size(), 3u);
    EXPECT_EQ(items[1].kind, ItemKind::TxPacket);
    EXPECT_EQ(items[1].bad_blocks, 0);
    EXPECT_GT(Energy(items[1].pcm, kPcmBlock), 1e6);
  }
  {
    FakeVekServer server(Script().TxPolicy(TxMode::Ignore).ExpectLine("TX0").Sleep(300).KeepAlive());
    Client c(server.Port());
    c.Send("TX0\r\n");
    EXPECT_EQ(c.Read(1), std::string(1, '\0'));  // never an approval first
  }
  // A policy reached only after the request came in still answers it: the
  // request arrives in the same read as the line awaited before the policy,
  // or an expect has already taken it.
  for (bool expectFirst : {false, true}) {
    SCOPED_TRACE(expectFirst ? "taken by an expect" : "same read");
    Script s;
    s.ExpectLine("A");
    if (expectFirst) s.ExpectLine("TX0");
    s.TxPolicy(TxMode::Approve).Sleep(500);
    FakeVekServer server(s);
    Client c(server.Port());
    c.Send("A\r\nTX0\r\n");
    EXPECT_EQ(c.Read(3), std::string("\x01", 1) + Be16(0));
  }
}

TEST(FakeVekServerScript, TextFormParsesAndReportsTheLine) {
  Script s = Script::Parse(
      "# all steps\n"
      "expect-login\n"
      "handshake LINE1=abc SV=2011000 KP=000000 -MT MT=Hi\\sthere\n"
      "expect-challenge\n"
      "expect-rx-state 2\n"
      "networks Main Other\n"
      "expect-ack\n"
      "clients tlv 1:ONE:Town 2:TWO\n"
      "message 1 private hello\n"
      "split 1 2\n"
      "send-hex 0B 31 0D0A\n"
      "split off\n"
      "expect exact TX0\n"
      "tx approve 0\n"
      "keepalives off\n"
      "close\n");
  EXPECT_EQ(s.StepCount(), 15u);

  FakeVekServer server(s);
  Client c(server.Port());
  c.Send(Login(2014004));
  EXPECT_EQ(c.ReadLine(), "abc\r\n");
  EXPECT_EQ(c.ReadLine(), "<SV>2011000</SV><AL>OK</AL><MT>Hi there</MT><KP>000000</KP>\r\n");
  c.Send("30000\r\nST:2\r\nRX0\r\n");
  std::string networks = "\x05" + NetworksPayload({"Main", "Other"});
  EXPECT_EQ(c.Read(networks.size()), networks);
  c.Send("P\r\n");
  std::string clients = "\x83" + ClientListTlvPayload({Named("1", "ONE", "Town"), Named("2", "TWO")});
  EXPECT_EQ(c.Read(clients.size()), clients);
  std::string message = "\x04" + TextMessagePayload("1", {"hello"}, true);
  EXPECT_EQ(c.Read(message.size()), message);
  EXPECT_EQ(c.Read(4), "\x0B" "1\r\n");
  c.Send("TX0\r\n");
  EXPECT_TRUE(c.WaitEof());
  ASSERT_TRUE(server.WaitForScripts(1));
  EXPECT_THAT(server.Failures(), IsEmpty());

  for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
           {"sleep 10\nfly 3\n", "script line 2: unknown step fly"},
           {"handshake SV\n", "script line 1: expected TAG=value"},
           {"send-hex 0G\n", "script line 1: bad hex digit"},
           {"expect sometimes x\n", "script line 1: unknown match rule"}}) {
    try {
      Script::Parse(text);
      ADD_FAILURE() << "no error for " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr(error));
    }
  }
}

// The standalone tool's default script: a client logs in and stays.
TEST(VekTestServerTool, DefaultScriptLogsInAndKeepsAlive) {
  // The build tree from the environment, else from where this test lives
  // (<build>/tests).
  std::string root;
  if (const char* bin = std::getenv("VEK_BINARY_DIR")) {
    root = bin;
  } else {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    root = n > 0 ? std::string(self, static_cast<size_t>(n)) : "./x";
    root = root.substr(0, root.rfind('/')) + "/..";
  }
  std::string path = root + "/tools/vek_test_server/vek_test_server";
  if (access(path.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << path;
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  ASSERT_EQ(spawned, 0);
  std::string first;
  char ch;
  while (read(out[0], &ch, 1) == 1 && ch != '\n') first += ch;
  close(out[0]);
  ASSERT_EQ(first.rfind("listening on 127.0.0.1:", 0), 0u) << first;
  uint16_t port = static_cast<uint16_t>(std::stoi(first.substr(first.rfind(':') + 1)));
  {
    Client c(port);
    c.Send(Login(2014004));
    c.ReadLine();
    EXPECT_EQ(c.ReadLine(), "<SV>2014000</SV><AL>OK</AL><MT>Welcome to the test server</MT><NT>Test</NT><ID>1</ID>\r\n");
    c.Send("RX0\r\n");
    std::string networks = "\x05" + NetworksPayload({"Test"});
    EXPECT_EQ(c.Read(networks.size()), networks);
    c.Send("P\r\n");
    std::string clients = c.Read(3);
    EXPECT_EQ(clients, std::string("\x83\0\0", 3));
    c.ReadLine();
    c.ReadLine();
    c.ReadLine();
    c.Send("P\r\n");
    EXPECT_EQ(c.Read(1), std::string(1, '\0'));  // a keep-alive
    c.Send("P\r\nTX0\r\n");
    EXPECT_EQ(c.Read(3), "\x01" + Be16(0));
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
