#include "foundation/types_base.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "foundation/exception.h"

namespace {

// One row: a parser, the input, whether it matches and the value wanted.
struct ParseCase {
  const char* parser;
  std::u16string text;
  bool ok;
  int value;
};

using Parser = std::function<bool(const std::u16string&, int&)>;

template <typename T, bool (*F)(const std::u16string&, T&)>
Parser Wrap() {
  return [](const std::u16string& s, int& out) {
    T v{};
    if (!F(s, v)) return false;
    out = v;
    return true;
  };
}

Parser ParserNamed(const std::string& name) {
  if (name == "proxy") return Wrap<TVEKProxyType, VekParseProxyType>();
  if (name == "clienttype") return Wrap<TVEKClientType, VekParseClientType>();
  if (name == "listformat") return Wrap<TVEKProtoListFormat, VekParseProtoListFormat>();
  if (name == "backup") return Wrap<TVEKBackupServerMode, VekTryParseBackupServerMode>();
  if (name == "subdir") return Wrap<TVEKWriterSubdirMode, VekTryParseWriterSubdirMode>();
  if (name == "recdir") return Wrap<TVEKRecorderDirection, VekTryParseRecorderDirection>();
  if (name == "fileformat")
    return Wrap<TVEKWriterFileNameFormat, VekTryParseWriterFileNameFormat>();
  if (name == "ifctype") return Wrap<TVEKRadioIfcType, VekParseRadioIfcType>();
  if (name == "wire") return Wrap<TVEKWireInvertedMode, VekParseWireInverted>();
  if (name == "dynpass") return Wrap<TVEKDynamicPasswordMode, VekParseDynamicPasswordMode>();
  if (name == "informer") return Wrap<TVEKInformerMode, VekParseInformerMode>();
  if (name == "showmode") return Wrap<TVEKClientListShowMode, VekParseClientListShowMode>();
  if (name == "quality") return Wrap<TVEKAudioConvertQuality, VekTryStrToConvertQuality>();
  return nullptr;
}

TEST(TypesBase, ParsersAcceptTheirSpellingsOnly) {
  const ParseCase cases[] = {
      {"proxy", u"socks5", true, VEK_PROXY_TYPE_SOCKS5},
      {"proxy", u"S5", true, VEK_PROXY_TYPE_SOCKS5},
      {"proxy", u"s4", true, VEK_PROXY_TYPE_SOCKS4},
      {"proxy", u"syst", true, VEK_PROXY_TYPE_SYSTEM},
      {"proxy", u"ht", true, VEK_PROXY_TYPE_HTTP},
      {"proxy", u"non", true, VEK_PROXY_TYPE_NONE},
      {"proxy", u" HTTP", false, 0},  // not trimmed
      {"proxy", u"socks", false, 0},
      {"clienttype", u"pconly", true, clt_PC},
      {"clienttype", u"Cross", true, clt_CROSSLINK},
      {"clienttype", u"g", true, clt_GATEWAY},
      {"clienttype", u"GATEWAYS", false, 0},
      {"listformat", u"2", true, ProtoListFormat_COUNT},
      {"listformat", u"count", true, ProtoListFormat_COUNT},
      {"listformat", u" f ", true, ProtoListFormat_VEK},
      {"listformat", u"4", false, 0},
      {"listformat", u"-1", false, 0},
      {"backup", u" forced ", true, bsm_FORCED},
      {"backup", u"none", true, bsm_NO},
      {"backup", u"yes", true, bsm_YES},
      {"backup", u"YEP", false, 0},
      {"subdir", u"Y-M-D", true, fwsm_YYYY_MM_DD},
      {"subdir", u"y/m/d", true, fwsm_YYYY_MM_DD},
      {"subdir", u"YYYY_MM_DD", true, fwsm_YYYY_MM_DD},
      {"subdir", u"ym-d", true, fwsm_YYYYMM_DD},
      {"subdir", u"ymd", true, fwsm_YYYYMMDD},
      {"subdir", u"Y_MD", true, fwsm_YYYY_MMDD},
      {"subdir", u"N", true, fwsm_NONE},
      {"subdir", u"D/M/Y", false, 0},
      {"recdir", u"radio", true, frd_RADIO},
      {"recdir", u"s", true, frd_SERVER},
      {"recdir", u"X", false, 0},
      {"fileformat", u"short", true, fwff_SHORT},
      {"fileformat", u"L", true, fwff_LONG},
      {"ifctype", u" vox ", true, rit_VOX},
      {"ifctype", u"com", true, rit_COM},
      {"ifctype", u"File", true, rit_FILE},
      {"ifctype", u"UNKNOWN", false, 0},
      {"wire", u"0", true, wim_NORMAL},
      {"wire", u"-1", true, wim_INVERTED},
      {"wire", u"5", true, wim_INVERTED},
      {"wire", u"99999999999", true, wim_INVERTED},  // 64-bit reading
      {"wire", u"inv", true, wim_INVERTED},
      {"wire", u" Norm ", true, wim_NORMAL},
      {"wire", u"x", false, 0},
      {"dynpass", u"soft", true, dpm_SOFT},
      {"dynpass", u"y", true, dpm_YES},
      {"dynpass", u"MAYBE", false, 0},
      {"informer", u"rnd", true, infm_Random},
      {"informer", u"seq", true, infm_Sequence},
      {"informer", u"X", false, 0},
      {"showmode", u"0", true, clsm_NONE},
      {"showmode", u"7", true, clsm_NUMBER},
      {"showmode", u" ful ", true, clsm_FULL},
      {"showmode", u"on", true, clsm_NUMBER},
      {"showmode", u"off", true, clsm_NONE},
      {"showmode", u"all", false, 0},
      {"quality", u"7", true, acq_HIGH},
      {"quality", u"-2", true, acq_NO},
      {"quality", u"2", true, acq_MEDIUM},
      {"quality", u"med", true, acq_MEDIUM},
      {"quality", u"hi", true, acq_HIGH},
      {"quality", u"best", false, 0},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(std::string(c.parser) + " '" + std::string(c.text.begin(), c.text.end()) + "'");
    int got = -100;
    const bool ok = ParserNamed(c.parser)(c.text, got);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(got, c.ok ? c.value : -100);  // untouched on failure
  }
}

TEST(TypesBase, DefaultFormsFallBack) {
  EXPECT_EQ(VekParseWriterSubdirModeDef(u"whatever"), fwsm_YYYY_MM_DD);
  EXPECT_EQ(VekParseWriterSubdirModeDef(u"no"), fwsm_NONE);
  EXPECT_EQ(VekParseRecorderDirectionDef(u""), frd_BOTH);
  EXPECT_EQ(VekParseWriterFileNameFormatDef(u"?"), fwff_LONG);
  EXPECT_EQ(VekParseBackupServerModeDef(u"?", bsm_NO), bsm_NO);
  EXPECT_EQ(VekStrToConvertQuality(u"?", acq_LOW), acq_LOW);
}

TEST(TypesBase, HoursInterval) {
  const std::pair<std::u16string, int> cases[] = {
      {u"15", 15}, {u"7", 60},    {u"0", 60},   {u"1", 2},     {u"90", 60},
      {u"120", 120}, {u"500", 120}, {u"abc", 60}, {u"-5", 60}, {u"2", 2},
      {u"30", 30}, {u"45", 60}};
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(VekParseHoursInterval(text), want) << std::string(text.begin(), text.end());
  }
}

TEST(TypesBase, DisplayTexts) {
  EXPECT_EQ(VekEnumText(clpr_SERVOWNER), u"OWNER");
  EXPECT_EQ(VekEnumText(VEK_PROXY_TYPE_SOCKS4), u"SOCKS4");
  EXPECT_EQ(VekEnumText(dpc_EMail), u"Dynamic/EMail");
  EXPECT_EQ(VekEnumText(ProtoListFormat_DIFF), u"DIFF");
  EXPECT_EQ(VekEnumText(bm_FORCED), u"FORCED SERVER");
  EXPECT_EQ(VekEnumText(fwsm_YYYYMM_DD), u"YM/D");
  EXPECT_EQ(VekEnumText(fwsm_NONE), u"NO");
  EXPECT_EQ(VekEnumText(msm_AnnonExt), u"ANNONCE_EXT");
  EXPECT_EQ(VekEnumText(msm_Transit), u"TRANSIT");
  EXPECT_EQ(VekEnumText(csnd_Roger), u"ROGER (RADIO EOT)");
  EXPECT_EQ(VekEnumText(csnd_CourtesyEmptyNet), u"COURTESY EMPTY NETWORK");
  EXPECT_EQ(VekEnumText(csnd_ServerEOT), u"SERVER EOT");
  EXPECT_EQ(VekEnumText(pu_DynamicOld), u"old DYNAMIC");
  EXPECT_EQ(VekEnumText(acq_NO), u"NONE");
  EXPECT_EQ(VekEnumText(clsm_NONE), u"NO");
  EXPECT_EQ(VekEnumText(ist_LIGHT), u"LIGHT");
  EXPECT_EQ(VekClientTypeShortText(clt_GATEWAY), u"GW");
  EXPECT_EQ(VekVisibleStatusShortText(vs_Absent), u"AB");
  // A byte from the wire outside the enumeration must not index past a table.
  EXPECT_EQ(VekEnumText(static_cast<TVEKVisibleStatus>(200)), u"");
  EXPECT_EQ(VekVisibleStatusShortText(static_cast<TVEKVisibleStatus>(3)), u"");
}

TEST(TypesBase, ClientTypeFromListText) {
  EXPECT_EQ(VekClientTypeFromShort("Crosslink", 9), clt_CROSSLINK);
  EXPECT_EQ(VekClientTypeFromShort("PC Only", 7), clt_PC);
  EXPECT_EQ(VekClientTypeFromShort("PC Only!", 7), clt_PC);
  EXPECT_EQ(VekClientTypeFromShort("crosslink", 9), clt_GATEWAY);
  EXPECT_EQ(VekClientTypeFromShort("PC Only", 6), clt_GATEWAY);
  EXPECT_EQ(VekClientTypeFromShort("145.500 MHz", 11), clt_GATEWAY);
}

TEST(TypesBase, ClampsAtTheirBoundaries) {
  struct Case {
    const char* name;
    std::function<int64_t(int32_t)> f;
    std::vector<std::pair<int32_t, int64_t>> io;
  };
  const Case cases[] = {
      {"2To10", DaxClamp2To10, {{1, 2}, {2, 2}, {10, 10}, {11, 10}}},
      {"3000To300000", [](int32_t v) { return DaxClamp3000To300000(v); },
       {{-1, 300000}, {0, 3000}, {2999, 3000}, {3000, 3000}, {300001, 300000}}},
      {"0To60000", DaxClamp0To60000, {{-1, 0}, {60000, 60000}, {60001, 60000}}},
      {"0To2000", DaxClamp0To2000, {{-1, 0}, {2000, 2000}, {2001, 2000}}},
      {"ConnectTimeout", DaxClampConnectTimeout,
       {{-1, 10}, {0, 10}, {1, 3}, {3, 3}, {30, 30}, {31, 30}}},
      {"ProxyTimeout", DaxClampProxyTimeout, {{0, 5}, {-7, 5}, {1, 1}, {20, 20}, {21, 20}}},
      {"0To5000", DaxClamp0To5000, {{-1, 0}, {5000, 5000}, {5001, 5000}}},
      {"1To10000", DaxClamp1To10000, {{0, 1}, {1, 1}, {10000, 10000}, {10001, 10000}}},
      {"Min1000", [](int32_t v) { return DaxMin1000(v); }, {{-1, 1000}, {0, 0}, {1001, 1000}}},
      {"3To300", DaxClamp3To300, {{0, 10}, {-1, 10}, {2, 3}, {300, 300}, {301, 300}}},
      {"0To1000", DaxClamp0To1000, {{-1, 0}, {1000, 1000}, {1001, 1000}}},
      {"400to3000", VekCheckRange400to3000, {{-1, 1200}, {0, 400}, {3000, 3000}, {3001, 3000}}},
      {"1to5", VekCheckRange1to5, {{-1, 2}, {0, 1}, {5, 5}, {6, 5}}},
      {"2to10", VekCheckRange2to10, {{-1, 5}, {1, 2}, {10, 10}, {11, 10}}},
      {"0to3", VekCheckRange0to3, {{-1, 0}, {3, 3}, {4, 0}}},
      {"SampleRate", VekCheckSampleRate,
       {{-1, 44100}, {22000, 44100}, {22050, 22050}, {8000, 8000}, {48000, 48000}}},
      {"Percent50to100", VekCheckPercent50to100, {{-1, 95}, {0, 50}, {100, 100}, {101, 100}}},
      {"AgcMode", VekCheckAgcMode, {{-1, 2}, {0x0109, 0x0107}, {0x10405, 0x0405}, {7, 7}}},
      {"5to500", VekCheckRange5to500, {{-1, 50}, {4, 5}, {500, 500}, {501, 500}}},
  };
  for (const Case& c : cases) {
    for (const auto& [in, want] : c.io) EXPECT_EQ(c.f(in), want) << c.name << "(" << in << ")";
  }
  EXPECT_FALSE(VekIsValidSampleRate(44000));
  EXPECT_TRUE(VekIsValidSampleRate(11025));
}

TEST(TypesBase, AgcParametersNormalised) {
  EXPECT_EQ(VekCheckFloat20to72(0.0f), 72.0f);
  EXPECT_EQ(VekCheckFloat20to72(10.0f), 20.0f);
  EXPECT_EQ(VekCheckFloat20to72(50.0f), 50.0f);
  EXPECT_EQ(VekCheckFloat20to72(80.0f), 72.0f);
  EXPECT_EQ(VekCheckFloat30to60(-1.0f), 30.0f);
  EXPECT_EQ(VekCheckFloat30to60(0.0f), 0.0f);
  EXPECT_EQ(VekCheckFloat30to60(61.0f), 60.0f);
  EXPECT_EQ(VekCheckFloat30to60(std::numeric_limits<float>::quiet_NaN()), 30.0f);

  TVEKLevelParams p;
  VekNormalizeLevelParams(p, TVEKAgcCfgParams{});  // every key unset
  EXPECT_FALSE(p.Enabled);
  EXPECT_EQ(p.Level, 95);
  EXPECT_EQ(p.MaxGain, 30.0f);
  EXPECT_EQ(p.Mode, 2);
  EXPECT_EQ(p.TimeConst, 50);
  EXPECT_EQ(p.Threshold, 72.0f);
  VekNormalizeLevelParams(p, TVEKAgcCfgParams{1, 120, 12.5f, 0x0209, 3, 30.0f});
  EXPECT_TRUE(p.Enabled);
  EXPECT_EQ(p.Level, 100);
  EXPECT_EQ(p.MaxGain, 12.5f);
  EXPECT_EQ(p.Mode, 0x0207);
  EXPECT_EQ(p.TimeConst, 5);
  EXPECT_EQ(p.Threshold, 30.0f);
  EXPECT_FALSE(VekCheckPositiveFlag(0));
  EXPECT_FALSE(VekCheckPositiveFlag(-1));
}

TVEKClientRec Named(const char* id) {
  TVEKClientRec r;
  r.ID = id;
  return r;
}

std::string Ids(const TVEKClientsArray& list) {
  std::string s;
  for (const auto& r : list) s += r.ID;
  return s;
}

TEST(TypesBase, ClientListInsertAndDelete) {
  TVEKClientsArray list;
  VekClientsInsert(list, Named("b"), 0);
  VekClientsInsert(list, Named("d"), 1);  // index = length appends
  VekClientsInsert(list, Named("a"), 0);
  VekClientsInsert(list, Named("c"), 2);
  EXPECT_EQ(Ids(list), "abcd");

  auto expectError = [&](auto op, const char* text) {
    try {
      op();
      ADD_FAILURE() << "no error, wanted " << text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), text);
    }
    EXPECT_EQ(Ids(list), "abcd");  // unchanged
  };
  expectError([&] { VekClientsInsert(list, Named("x"), 5); }, "Invalid index");
  expectError([&] { VekClientsInsert(list, Named("x"), -1); }, "Invalid index");
  expectError([&] { VekClientsDelete(list, 4, 0); }, "Invalid index");
  expectError([&] { VekClientsDelete(list, -1, 1); }, "Invalid index");
  expectError([&] { VekClientsDelete(list, 2, 3); }, "Invalid delete count");
  expectError([&] { VekClientsDelete(list, 0, -1); }, "Invalid delete count");

  VekClientsDelete(list, 1, 0);
  EXPECT_EQ(Ids(list), "abcd");
  VekClientsDelete(list, 1, 2);
  EXPECT_EQ(Ids(list), "ad");
  VekClientsDelete(list, 0, 2);
  EXPECT_TRUE(list.empty());
}

TEST(TypesBase, IndexOfTextIgnoresAsciiCase) {
  const std::vector<std::u16string> list = {u"alpha", u"Beta", u"\u00e9t\u00e9"};
  EXPECT_EQ(DaxIndexOfText(list, u"BETA"), 1);
  EXPECT_EQ(DaxIndexOfText(list, u"Alpha"), 0);
  EXPECT_EQ(DaxIndexOfText(list, u"\u00c9T\u00c9"), -1);  // ASCII only
  EXPECT_EQ(DaxIndexOfText(list, u"\u00e9T\u00e9"), 2);
  EXPECT_EQ(DaxIndexOfText({}, u"x"), -1);
}

TEST(TypesBase, LevelRms) {
  std::vector<int16_t> block(320, 1000);
  EXPECT_EQ(DaxLevelRms(block.data(), 320), 2000);
  std::fill(block.begin(), block.end(), 0);
  EXPECT_EQ(DaxLevelRms(block.data(), 320), 0);
  for (size_t i = 0; i < block.size(); ++i) block[i] = i % 2 ? 32767 : -32767;
  EXPECT_EQ(DaxLevelRms(block.data(), 320), 32767);
  const int16_t minimum[] = {-32768, -32768};
  EXPECT_EQ(DaxLevelRms(minimum, 2), 32767);
  EXPECT_EQ(DaxLevelRms(block.data(), 0), 0);
  EXPECT_EQ(DaxLevelRms(block.data(), -3), 0);
  // 2 * sqrt(1/4) = 1; 2 * sqrt(9/16) = 1.5 rounds to even 2; sqrt(25/16)*2=2.5 -> 2.
  const int16_t one[] = {1, 0, 0, 0};
  EXPECT_EQ(DaxLevelRms(one, 4), 1);
  const int16_t three[] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(DaxLevelRms(three, 16), 2);
  const int16_t five[] = {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(DaxLevelRms(five, 16), 2);
}

TEST(TypesBase, IniMarkersAndUnescape) {
  EXPECT_EQ(VekIniValueOrEmpty(u"[<{$NOT@EXIST$}>]"), u"");
  EXPECT_EQ(VekIniValueOrEmpty(u"[<{$IS@EMPTY$}>]"), u"");
  EXPECT_EQ(VekIniValueOrEmpty(u"value"), u"value");

  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"plughw:1,0", u"plughw:1,0"},
      {u"a\\\\b", u"a\\b"},
      {u"a\\sb\\tc\\gd", u"a b\tc\ad"},
      {u"a\\xb", u"ab"},          // unknown pair dropped
      {u"abc\\", u"abc"},         // lone backslash at the end
      {u"\\S", u""},              // case matters
      {u"", u""},
  };
  for (const auto& [in, want] : cases)
    EXPECT_EQ(VekUnescapeText(in), want) << std::string(in.begin(), in.end());
}

}  // namespace
