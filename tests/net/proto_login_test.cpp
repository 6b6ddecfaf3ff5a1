// Handshake and versioned login: the pure pieces on their own, then the
// protocol thread logging in to the fake server with every answer variant
// that changes the outcome.
#include "net/proto_login.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/proto_harness.h"
#include "net/proto_versions.h"
#include "support/proxy_peers.h"

using namespace vektest;
using prototest::ProtoHarness;
using ::testing::HasSubstr;

namespace {

TEST(ProtoLoginPure, ChallengeReplyDigitOrder) {
  EXPECT_EQ(VekChallengeReply("000000"), "30000");  // N = 30 -> 00030
  EXPECT_EQ(VekChallengeReply("999999"), "12081");  // N = 21018
  EXPECT_EQ(VekChallengeReply("123456"), ChallengeReply("123456"));
  EXPECT_EQ(VekChallengeReply("010203"), ChallengeReply("010203"));
  EXPECT_THROW(VekChallengeReply(" 12345"), Exception);
  try {
    VekChallengeReply("12a456");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Not digit character");
  }
}

TEST(ProtoLoginPure, ControlValueAndClassTable) {
  struct {
    const char* kp;
    bool ok;
  } kps[] = {{"000000", true}, {"999999", true}, {" 12345", true}, {"12345", false},
             {"1234567", false}, {"-12345", false}, {"12x456", false}, {"", false}};
  for (const auto& c : kps) EXPECT_EQ(VekIsValidControlValue(c.kp), c.ok) << c.kp;

  struct {
    int32_t sv, client;
    TVekProtoClass want;
  } table[] = {
      {2010002, 2014004, vpc_2010002}, {2011999, 2014004, vpc_2010002}, {2012000, 2014004, vpc_2012000},
      {2012001, 2014004, vpc_2010002}, {2013002, 2011002, vpc_2010002}, {2013002, 2014004, vpc_2012000},
      {2013999, 2014004, vpc_2010002}, {2014000, 2011002, vpc_2012000}, {2020000, 2014004, vpc_2012000},
  };
  for (const auto& c : table) EXPECT_EQ(VekSelectProtoClass(c.sv, c.client), c.want) << c.sv << "/" << c.client;
}

TEST(ProtoLoginPure, NewestVersionAndBackupAnnouncement) {
  EXPECT_EQ(VekNewestClientVersion("2014004"), 2014004);
  EXPECT_EQ(VekNewestClientVersion("abc"), 9999999);
  EXPECT_EQ(VekNewestClientVersion(""), 9999999);

  struct {
    const char* line;
    bool ok;
    const char16_t* host;
    int32_t port;
  } table[] = {
      {"<BN>backup.example</BN><BP>7000</BP>", true, u"backup.example", 7000},
      {"<BN>xn--bcher-kva.example</BN><BP>65535</BP>", true, u"b\u00fccher.example", 65535},
      {"<BN>backup.example</BN><BP>65536</BP>", false, u"", 0},
      {"<BN>backup.example</BN><BP>0</BP>", false, u"", 0},
      {"<BN></BN><BP>7000</BP>", false, u"", 0},
      {"<BN>backup.example</BN>", false, u"", 0},
      {"<BP>7000</BP>", false, u"", 0},
      // Blanks, control bytes and characters that disguise a line: no host.
      {"<BN>back\x1b[2Jup.example</BN><BP>7000</BP>", false, u"", 0},
      {"<BN>backup.example\r\x07</BN><BP>7000</BP>", false, u"", 0},
      {"<BN>backup example</BN><BP>7000</BP>", false, u"", 0},
      {"<BN>xn--evil-ud7a.example</BN><BP>7000</BP>", false, u"", 0},  // U+202E
      {"<BN>back\x85up.example</BN><BP>7000</BP>", false, u"", 0},
  };
  for (const auto& c : table) {
    std::u16string host;
    int32_t port = 0;
    EXPECT_EQ(VekParseBackupAnnouncement(c.line, host, port), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.line;
      EXPECT_EQ(port, c.port);
    }
  }
}

// ---------------------------------------------------------------------------
// Against the fake server

struct LoginCase {
  const char* name;
  const char* sv;
  int32_t client;
  const char* kp;  // nullptr: none sent
  TVekProtoClass want;
  const char* reply;  // expected challenge line, or nullptr
};

TEST(ProtoLogin, VersionClassesAndChallengeReply) {
  const LoginCase cases[] = {
      {"old server", "2010002", 2014004, "000000", vpc_2010002, "30000"},
      {"2012000 no challenge", "2012000", 2014004, nullptr, vpc_2012000, nullptr},
      {"2013002 with 2011002", "2013002", 2011002, "999999", vpc_2010002, "12081"},
      {"2013002 with 2014004", "2013002", 2014004, nullptr, vpc_2012000, nullptr},
      {"2014000", "2014000", 2014004, nullptr, vpc_2012000, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandshakeReply r;
    r.sv = c.sv;
    if (c.kp) r.kp = c.kp;
    Script s;
    s.Login(r).Sleep(200);
    FakeVekServer fake(s);
    ProtoHarness h;
    h.proto->ClientVersion = c.client;
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent("Initiated"));
    EXPECT_EQ(h.proto->ProtoClass(), c.want);
    EXPECT_EQ(h.proto->State(), PROTO_STATE_IDLE);
    EXPECT_EQ(h.proto->Privilege(), clpr_USER);
    ASSERT_TRUE(fake.WaitForScripts(1));
    EXPECT_TRUE(fake.Failures().empty()) << fake.Failures().front();
    const auto lines = fake.Lines();
    if (c.reply) {
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[1], c.reply);
    }
    // The connection string carries the version the thread was given.
    EXPECT_THAT(lines.at(0), HasSubstr("<VX>" + std::to_string(c.client) + "</VX>"));
  }
}

TEST(ProtoLogin, AnswerFieldsReachTheThread) {
  HandshakeReply r;
  r.line1 = "abc";
  r.sef = "16";
  r.al = "NETOWNER";
  r.nt = "Other";
  r.id = "42";
  r.bn = "backup.example";
  r.bp = "7001";
  Script s;
  s.Login(r, {"Alpha", "other"}).Sleep(300);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.server.SetMainServer(u"127.0.0.1", fake.Port());
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  EXPECT_EQ(h.proto->NewestClientVersion(), 9999999);
  EXPECT_EQ(h.Find("Handshaked:"), "Handshaked:9999999:2014000");
  EXPECT_EQ(h.proto->PacketHeaderDigit(), '8');
  EXPECT_EQ(h.proto->Privilege(), clpr_NETOWNER);
  // NT names a listed network (in another case): it stays as the server gave it.
  EXPECT_EQ(h.proto->CurrentNetwork(), u"Other");
  EXPECT_EQ(h.server.Network(), u"Other");
  EXPECT_EQ(h.proto->OwnClientId(), u"42");
  EXPECT_EQ(h.proto->ServerMessage(), u"Welcome");
  EXPECT_EQ(h.proto->RawServerMessage(), "Welcome");
  EXPECT_EQ(h.server.BackupHost(), u"backup.example");
  EXPECT_EQ(h.server.BackupPort(), 7001);
}

TEST(ProtoLogin, HeaderDigitAndNetworkChoice) {
  struct {
    const char* sef;  // nullptr: absent
    char digit;
    std::vector<std::string> networks;
    const char16_t* configured;
    const char16_t* chosen;
  } cases[] = {
      {nullptr, '1', {"Alpha", "Test"}, u"Test", u"Test"},
      {"x16", '1', {"Alpha", "Beta"}, u"Test", u"Alpha"},
      {"16", '8', {"Alpha", "TEST"}, u"test", u"TEST"},
      {"4", '1', {"Alpha"}, u"", u"Alpha"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sef ? c.sef : "none");
    HandshakeReply r;
    if (c.sef) r.sef = c.sef;
    Script s;
    s.Login(r, c.networks).Sleep(200);
    FakeVekServer fake(s);
    ProtoHarness h;
    h.Connect(fake, c.configured);
    ASSERT_TRUE(h.WaitEvent("Initiated"));
    EXPECT_EQ(h.proto->PacketHeaderDigit(), c.digit);
    EXPECT_EQ(h.proto->CurrentNetwork(), c.chosen);
  }
}

// A login whose networks list holds no network cannot choose one: its own
// protocol error, not a generic invalid response, and no session.
TEST(ProtoLogin, EmptyNetworksListEndsTheLogin) {
  Script s;
  s.Login(HandshakeReply(), {}).Sleep(500);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("ProtocolError:"));
  EXPECT_EQ(h.Find("ProtocolError:").rfind("ProtocolError:empty networks list|", 0), 0u) << h.Find("ProtocolError:");
  EXPECT_EQ(h.Find("Initiated"), "");
}

TEST(ProtoLogin, BackupLeftAloneByUnusableAnnouncement) {
  HandshakeReply r;
  r.bn = "backup.example";
  r.bp = "65536";
  Script s;
  s.Login(r).Sleep(200);
  FakeVekServer fake(s);
  ProtoHarness h;
  h.server.SetBackup(u"old.example", 6000);
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("Initiated"));
  EXPECT_EQ(h.server.BackupHost(), u"old.example");
  EXPECT_EQ(h.server.BackupPort(), 6000);
}

// Each refusal or malformed answer ends in its own event and a closed link.
TEST(ProtoLogin, FailuresMapToTheirEvents) {
  struct Case {
    const char* name;
    std::function<void(HandshakeReply&)> edit;
    const char* event;  // prefix of the expected event
    const char* text;   // substring of it
  };
  const Case cases[] = {
      {"no SV", [](HandshakeReply& r) { r.sv.reset(); }, "ProtocolError:", "No server version tag"},
      {"bad SV", [](HandshakeReply& r) { r.sv = "20140a0"; }, "ProtocolError:",
       "Invalid server version: \"20140a0\""},
      {"no AL", [](HandshakeReply& r) { r.al.reset(); }, "ProtocolError:", "No access level tag"},
      {"lower-case ok", [](HandshakeReply& r) { r.al = "ok"; }, "ProtocolError:",
       "Unknown access level: \"ok\""},
      {"wrong", [](HandshakeReply& r) { r.al = "WRONG"; r.mt = "bad pw"; }, "LoginWrong:",
       "secret|bad pw"},
      {"blocked", [](HandshakeReply& r) { r.al = "BLOCK"; r.mt = "go away"; }, "LoginBlocked:", "go away"},
      {"error", [](HandshakeReply& r) { r.al = "ERROR"; }, "LoginError:", "Welcome"},
      {"dupl", [](HandshakeReply& r) { r.al = "DUPL"; }, "ProtocolError:", "ACCOUNT IS ALREADY CONNECTED"},
      {"no MT", [](HandshakeReply& r) { r.mt.reset(); }, "ProtocolError:", "No access info tag"},
      {"KP too short", [](HandshakeReply& r) { r.sv = "2010002"; r.kp = "12345"; }, "ProtocolError:",
       "Invalid control value: \"12345\""},
      {"KP too long", [](HandshakeReply& r) { r.sv = "2010002"; r.kp = "1234567"; }, "ProtocolError:",
       "Invalid control value"},
      {"KP missing", [](HandshakeReply& r) { r.sv = "2010002"; }, "ProtocolError:", "No control value tag"},
      {"KP blank", [](HandshakeReply& r) { r.sv = "2010002"; r.kp = " 12345"; }, "ProtocolError:",
       "Not digit character|PROTO_STATE_LOGIN_P2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HandshakeReply r;
    c.edit(r);
    Script s;
    s.ExpectLogin().Handshake(r).Sleep(3000);
    FakeVekServer fake(s);
    ProtoHarness h;
    h.info->SetPasswordToSend(u"secret");
    h.Connect(fake);
    ASSERT_TRUE(h.WaitEvent(c.event));
    EXPECT_THAT(h.Find(c.event), HasSubstr(c.text));
    ASSERT_TRUE(h.WaitEvent("Disconnected"));
    EXPECT_TRUE(fake.WaitForDisconnects(1));
    EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);
    EXPECT_EQ(h.Count("Initiated"), 0);
  }
}

TEST(ProtoLogin, ConnectFailuresReportAndWait) {
  // A port nobody listens on, kept bound so that no other test takes it.
  const DeadPort dead;
  ProtoHarness h;
  h.proto->TargetHost = u"127.0.0.1";
  h.proto->TargetPort = dead.Port();
  h.proto->TargetUseProxy = VEK_USE_PROXY_NEVER;
  h.proto->RequestConnect();
  ASSERT_TRUE(h.WaitEvent("ServerConnectError:"));
  EXPECT_EQ(h.proto->State(), PROTO_STATE_DISCONNECTED);

  // The server closing before its answer is complete.
  Script s;
  s.ExpectLogin().SendLine("2014004").Close();
  FakeVekServer fake(s);
  h.Connect(fake);
  ASSERT_TRUE(h.WaitEvent("ServerConnectError:", 2));
  EXPECT_TRUE(ProtoHarness::WaitUntil([&] { return h.proto->State() == PROTO_STATE_DISCONNECTED; }));
}

TEST(ProtoLogin, ConnectNeedsLinkAttributes) {
  ProtoHarness h;
  h.proto->SetLinkAttr(nullptr);
  try {
    h.proto->RequestConnect();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "connect attributes server not provided");
  }
  TVEKLinkAttr bare;
  h.proto->SetLinkAttr(&bare);
  try {
    h.proto->RequestConnect();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "server not provided");
  }
}

}  // namespace
