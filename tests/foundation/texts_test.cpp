#include "foundation/texts.h"

#include <gtest/gtest.h>

#include "foundation/exception.h"

namespace {

TEST(Texts, FixedTextsAreExact) {
  // A sample across the table, chosen where a slip is easy (case, hyphens,
  // prefixes that other code matches on).
  EXPECT_EQ(VekMsgAccountIsBlockedOrInvalidPassword(), u"ACCOUNT IS BLOCKED or INVALID PASSWORD");
  EXPECT_EQ(VekMsgErrorOfConnectingToProxyServer(), u"Error of connecting to proxy-server");
  EXPECT_EQ(VekMsgRecorderFileIsWritten(), u"RECORDER: file is written");
  EXPECT_EQ(VekMsgTxHaveBeenAbortedByServer(), u"TX have been aborted by server");
  EXPECT_EQ(VekMsgRxBufferPoolUnderflow(), u"RX: Buffer pool underflow");
  EXPECT_EQ(VekMsgAudioHardwareIssuesCheckSoundCardOrPowerSupply(),
            u"Audio hardware issues: check sound card or power supply");
  EXPECT_EQ(VekMsgServerTimeoutHard(), u"Server timeout HARD");
  EXPECT_EQ(VekMsgInternal(), u"INTERNAL");
  EXPECT_EQ(VekMsgAccessList(), u"Access list");
  EXPECT_EQ(VekMsgNewStaticPasswordWasSentByEmail(u"x@y"),
            u"New static password was sent by email: x@y");
}

TEST(Texts, ConnectingTexts) {
  EXPECT_EQ(VekBackupServerModeText(true), u"Backup server mode: ON");
  EXPECT_EQ(VekBackupServerModeText(false), u"Backup server mode: OFF");
  EXPECT_EQ(VekConnectingToServerText(u"vek.example.org", 10025),
            u"Connecting to VEK Server: vek.example.org:10025 ...");
  EXPECT_EQ(VekConnectingToServerText(u"::1", 7), u"Connecting to VEK Server: [::1]:7 ...");
  EXPECT_EQ(VekConnectingToProxyText(VEK_PROXY_TYPE_SOCKS5, u"proxy", 1080),
            u"Connecting to proxy-server: SOCKS5:proxy:1080 ...");
  EXPECT_EQ(VekDynPassRequestedText(false, u"x"), u"Dynamic password is requested");
  EXPECT_EQ(VekDynPassRequestedText(true, u"x"), u"Dynamic password is requested: x");
  EXPECT_EQ(VekStaticPassRequestedText(true, u""), u"Static password is requested: ");
  EXPECT_EQ(VekQuotedText(u"Answer", "\xE9t"), u"Answer: \"\u00e9t\"");
  EXPECT_EQ(VekAccessInfoText(u"ok"), u"Access information: ok");
  EXPECT_EQ(VekBracketPair(u"a", u"b"), u"[a/b]");
}

TEST(Texts, ProtoInitiatedShowsAddressOnlyWhenItDiffers) {
  EXPECT_EQ(VekProtoInitiatedText(bm_MAIN, u"vek.example.org", "192.0.2.7", 10024, u"t"),
            u"VEK protocol is initiated: MAIN SERVER: vek.example.org[192.0.2.7]:10024:t");
  EXPECT_EQ(VekProtoInitiatedText(bm_BACKUP, u"Host.Example", "host.EXAMPLE", 1, u""),
            u"VEK protocol is initiated: BACKUP SERVER: Host.Example:1:");
  EXPECT_EQ(VekProtoInitiatedText(bm_FORCED, u"h", "", 2, u"x"),
            u"VEK protocol is initiated: FORCED SERVER: h:2:x");
}

TEST(Texts, ProtoExtensions) {
  EXPECT_EQ(VekProtoExtensionsText(0), u"VEK protocol extensions: ");
  EXPECT_EQ(VekProtoExtensionsText(0x1F),
            u"VEK protocol extensions: ClientList=DIFF; SoundAck; UTF8; ShortFrames");
  EXPECT_EQ(VekProtoExtensionsText(0x09), u"VEK protocol extensions: ClientList=NOLIST; UTF8");
  EXPECT_EQ(VekProtoExtensionsText(0x10), u"VEK protocol extensions: ShortFrames");
  EXPECT_EQ(VekProtoExtensionsText(0xFFFFFFE0u), u"VEK protocol extensions: ");
}

TEST(Texts, ClientRecAndCheckServer) {
  TVEKClientRec r;
  EXPECT_EQ(VekClientRecText(r, u';'), u"AV;;;;;;;;");
  r.VisibleStatus = vs_NotAvailable;
  r.MarkM = 1;
  r.MarkLO = 1;
  r.BC = u"2m";
  r.DS = u"d";
  r.ON = u"CALL, Op";
  r.CT = u"Town";
  r.NN = u"RU";
  EXPECT_EQ(VekClientRecText(r, u'|'), u"NA|M|LO|2m|d|CALL, Op|Town|RU|");
  r.VisibleStatus = 9;  // a status byte no list should carry
  EXPECT_EQ(VekClientRecText(r, u'|'), u"|M|LO|2m|d|CALL, Op|Town|RU|");

  EXPECT_EQ(VekCheckServerText(0, u"h", 5, true, u"r"), u"Checking VEK server: MAIN: h:5 is ONLINE");
  EXPECT_EQ(VekCheckServerText(1, u"h", 5, false, u"refused"),
            u"Checking VEK server: BACKUP: h:5 is OFFLINE: refused");
  EXPECT_EQ(VekCheckServerText(7, u"h", 5, true, u""), u"Checking VEK server: ?: h:5 is ONLINE");
}

TEST(Texts, AccountTexts) {
  TVEKAccount a;
  a.City = u"   ";
  a.CityPart = u" North ";
  EXPECT_EQ(VekCityText(a), u"North");
  a.City = u" Town";
  EXPECT_EQ(VekCityText(a), u"Town - North");
  a.CityPart = u"";
  EXPECT_EQ(VekCityText(a), u"Town");

  a.Callsign = u" CALL ";
  EXPECT_EQ(VekNameText(a), u"CALL");
  a.OperatorName = u"Op";
  EXPECT_EQ(VekNameText(a), u"CALL, Op");
  a.Callsign = u"";
  EXPECT_EQ(VekNameText(a), u"Op");

  a.BandChannel = u"  145.500 ";
  a.ClientType = clt_GATEWAY;
  EXPECT_EQ(VekClientTypeText(a), u"145.500");
  a.ClientType = clt_CROSSLINK;
  EXPECT_EQ(VekClientTypeText(a), u"Crosslink");
  a.ClientType = clt_PC;
  EXPECT_EQ(VekClientTypeText(a), u"PC Only");
  a.ClientType = 3;
  try {
    VekClientTypeText(a);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unknown Account.ClientType");
  }
}

TEST(Texts, QuoteIfSpaces) {
  EXPECT_EQ(VekQuoteIfSpaces(u""), u"\"\"");
  EXPECT_EQ(VekQuoteIfSpaces(u"a b"), u"\"a b\"");
  EXPECT_EQ(VekQuoteIfSpaces(u"a\u3000b"), u"\"a\u3000b\"");
  EXPECT_EQ(VekQuoteIfSpaces(u"a\u00a0"), u"\"a\u00a0\"");
  EXPECT_EQ(VekQuoteIfSpaces(u"a\u2003b"), u"a\u2003b");  // not in the set
  EXPECT_EQ(VekQuoteIfSpaces(u"plain"), u"plain");
}

}  // namespace
