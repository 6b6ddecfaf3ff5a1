#include "net/link_attr.h"

#include <gtest/gtest.h>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/exception.h"
#include "net/logininfo.h"

namespace {

std::string Rep(const std::string& bytes, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += bytes;
  return s;
}

const char kZheUtf8[] = "\xD0\x96";  // U+0416 in UTF-8
const char kZheCp1251[] = "\xC6";    // U+0416 in CP1251

TVEKAccount PlainAccount() {
  TVEKAccount a;
  a.Callsign = u"R1ABC";
  a.OperatorName = u"Ivan";
  a.EMailAddress = u"ivan@example.org";
  a.City = u"Moscow";
  a.Country = u"Russia";
  a.Password = u"secret";
  a.Description = u"Test station";
  a.BandChannel = u"145.500";
  a.CharsetName = u"CP1251";
  a.ClientType = clt_GATEWAY;
  return a;
}

// Every field whose budget applies is above it.
TVEKAccount LongAccount(const std::u16string& charset) {
  TVEKAccount a;
  a.Callsign = u"UA1";
  a.City = std::u16string(45, u'\u0416');
  a.Country = u"RU";
  a.Description = std::u16string(55, u'\u0416');
  a.BandChannel = u"  " + std::u16string(25, u'\u0416') + u" ";
  a.CharsetName = charset;
  a.ClientType = clt_GATEWAY;
  return a;
}

std::string Line(TVEKLoginInfo& info, const std::u16string& network, uint32_t flags,
                 const std::u16string& charset, int32_t version = 2014004) {
  TAnsiUnicodeConverter conv;
  conv.SetCharset(charset);
  return VekBuildLoginLine(version, info, network, flags, conv);
}

TEST(LoginLine, PlainAccountWithoutExtensions) {
  TVEKLoginInfo info(PlainAccount());
  info.SetPasswordToSend(u"secret");
  EXPECT_EQ(Line(info, u"Main", 0, u"CP1251"),
            "CT:<VX>2014004</VX><EA>ivan@example.org</EA><PW>secret</PW><ON>R1ABC, Ivan</ON>"
            "<CL>1</CL><BC>145.500</BC><DS>Test station</DS><NN>Russia</NN><CT>Moscow</CT>"
            "<NT>Main</NT>\r\n");
}

TEST(LoginLine, AllExtensionsCarryTheAccountRecord) {
  TVEKLoginInfo info(PlainAccount());
  info.SetPasswordToSend(u"secret");
  EXPECT_EQ(Line(info, u"Main", 31, u"UTF-8"),
            "CT:<VX>2014004</VX><EA>ivan@example.org</EA><PW>secret</PW><ON>R1ABC, Ivan</ON>"
            "<CL>1</CL><BC>145.500</BC><DS>Test station</DS><NN>Russia</NN><CT>Moscow</CT>"
            "<NT>Main</NT><CEF>31</CEF><U8TF>1010ivan@example.org106secret20BR1ABC, Ivan"
            "307145.50040CTest station506Russia606Moscow704Main</U8TF>\r\n");
}

TEST(LoginLine, SoundAckOnlyHasNoAccountRecord) {
  TAnsiUnicodeConverter conv;
  TVEKAccount a = PlainAccount();
  a.Description = std::u16string(60, u'd');
  a.ClientType = clt_CROSSLINK;
  a.BandChannel = u"ignored";
  TVEKLoginInfo info(a);
  EXPECT_EQ(Line(info, u"ABCDEFGHIJKLMNOPQRST", 4, u"CP1251", -5),
            "CT:<VX>-5</VX><EA>ivan@example.org</EA><PW></PW><ON>R1ABC, Ivan</ON>"
            "<CL>0</CL><BC>Crosslink</BC><DS>" + std::string(50, 'd') +
            "</DS><NN>Russia</NN><CT>Moscow</CT><NT>ABCDEFGHIJKLMNOPQRST</NT>"
            "<CEF>4</CEF>\r\n");
}

TEST(LoginLine, BudgetsCountBytesOfTheServerCharset) {
  const std::u16string network(21, u'\u0416');
  {
    TVEKLoginInfo info(LongAccount(u"CP1251"));
    info.SetPasswordToSend(u"p");
    EXPECT_EQ(Line(info, network, 0, u"CP1251"),
              "CT:<VX>2014004</VX><EA></EA><PW>p</PW><ON>UA1</ON><CL>1</CL><BC>" +
                  Rep(kZheCp1251, 22) + "</BC><DS>" + Rep(kZheCp1251, 50) +
                  "</DS><NN>RU</NN><CT>" + Rep(kZheCp1251, 43) + "</CT><NT>" +
                  Rep(kZheCp1251, 20) + "</NT>\r\n");
  }
  {
    // Two bytes a character: the cut falls on whole characters (43 -> 42).
    TVEKLoginInfo info(LongAccount(u"UTF-8"));
    info.SetPasswordToSend(u"p");
    EXPECT_EQ(Line(info, network, 8, u"UTF-8"),
              "CT:<VX>2014004</VX><EA></EA><PW>p</PW><ON>UA1</ON><CL>1</CL><BC>" +
                  Rep(kZheUtf8, 11) + "</BC><DS>" + Rep(kZheUtf8, 25) +
                  "</DS><NN>RU</NN><CT>" + Rep(kZheUtf8, 21) + "</CT><NT>" +
                  Rep(kZheUtf8, 10) + "</NT><CEF>8</CEF><U8TF>1101p203UA1332" +
                  Rep(kZheUtf8, 25) + "46E" + Rep(kZheUtf8, 55) + "502RU65A" +
                  Rep(kZheUtf8, 45) + "72A" + Rep(kZheUtf8, 21) + "</U8TF>\r\n");
  }
}

TEST(LoginLine, ResetAccountSendsPlaceholders) {
  TVEKLoginInfo info(PlainAccount());
  info.Reset();
  TVEKLinkAttr attr;
  attr.SetClientVersion(2014004);
  attr.SetLoginInfo(&info);  // the default account's charset, ASCII
  EXPECT_EQ(attr.BuildConnectionString(u""),
            "CT:<VX>2014004</VX><EA>@</EA><PW>NoPassword</PW><ON>Callsign, Operator</ON>"
            "<CL>2</CL><BC>PC Only</BC><DS>Description</DS><NN>Country</NN>"
            "<CT>City - CityPart</CT><NT></NT>\r\n");
}

TEST(LoginLine, UnknownClientTypeFails) {
  TVEKAccount a = PlainAccount();
  a.ClientType = 3;
  TVEKLoginInfo info(a);
  try {
    Line(info, u"", 0, u"CP1251");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unknown Account.ClientType");
  }
}

TEST(LinkAttr, FlagSettersAndLoginInfo) {
  TVEKLinkAttr attr;
  EXPECT_EQ(attr.ClientFlags(), 0u);
  attr.SetProtoListFormat(ProtoListFormat_DIFF);
  attr.SetProtoSoundAck(true);
  attr.SetProtoUnicode(true);
  attr.SetProtoShortFrames(true);
  EXPECT_EQ(attr.ClientFlags(), 31u);
  attr.SetProtoListFormat(ProtoListFormat_NOLIST);
  attr.SetProtoUnicode(false);
  EXPECT_EQ(attr.ClientFlags(), 0x15u);

  EXPECT_THROW(attr.BuildConnectionString(u""), Exception);  // no login info yet

  TVEKLoginInfo good(PlainAccount());
  attr.SetLoginInfo(&good);
  TVEKAccount badAccount = PlainAccount();
  badAccount.CharsetName = u"NO-SUCH-CHARSET-X";
  TVEKLoginInfo bad(badAccount);
  EXPECT_THROW(attr.SetLoginInfo(&bad), EAnsiUnicodeConverterInvalidCharsetName);
  EXPECT_EQ(attr.LoginInfo(), &good);
  // The kept login info is still converted to its own charset.
  EXPECT_EQ(attr.UnicodeToServer(u"\u0416"), "\xC6");
  EXPECT_EQ(attr.ServerToUnicode("\xC6"), u"\u0416");
}

TEST(LoginInfo, DynamicPasswordsFallBackToTheAccount) {
  TVEKAccount a = PlainAccount();
  a.DynamicPassword = u"dyn";
  TVEKLoginInfo info(a);
  EXPECT_EQ(info.PasswordToSend(), u"");
  EXPECT_EQ(info.GetNewDynamicPassword(), u"dyn");
  EXPECT_EQ(info.GetOldDynamicPassword(), u"dyn");
  info.SetNewDynamicPassword(u"n1");
  info.SetOldDynamicPassword(u"o1");
  EXPECT_EQ(info.GetNewDynamicPassword(), u"n1");
  EXPECT_EQ(info.GetOldDynamicPassword(), u"o1");
  EXPECT_EQ(info.NameText(), u"R1ABC, Ivan");
  EXPECT_EQ(info.PlaceText(), u"Moscow");
  EXPECT_EQ(info.GetBandText(), u"145.500");
}

}  // namespace
