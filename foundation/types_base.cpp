#include "foundation/types_base.h"

#include <cmath>

#include "foundation/exception.h"
#include "foundation/types.h"

namespace {

template <size_t N>
std::u16string TextOf(const char16_t* const (&texts)[N], unsigned v) {
  return v < N ? std::u16string(texts[v]) : std::u16string();
}

// First exact match of the already upper-cased text in the table.
template <typename Rec, size_t N, typename T>
bool Lookup(const Rec (&table)[N], const std::u16string& upper, T& value) {
  for (const Rec& r : table) {
    if (upper == r.Text) {
      value = r.Value;
      return true;
    }
  }
  return false;
}

const char16_t* const kProxyTypeTexts[] = {u"NONE", u"SYSTEM", u"HTTP", u"SOCKS4", u"SOCKS5"};
const char16_t* const kClientPrivTexts[] = {u"NONE", u"USER", u"ADMIN", u"NETOWNER", u"OWNER"};
const char16_t* const kClientTypeTexts[] = {u"CROSSLINK", u"GATEWAY", u"PC"};
const char16_t* const kClientTypeShort[] = {u"CL", u"GW", u"PC"};
const char16_t* const kVisibleStatusTexts[] = {u"AVAILABLE", u"NOTAVAILABLE", u"ABSENT"};
const char16_t* const kVisibleStatusShort[] = {u"AV", u"NA", u"AB"};
const char16_t* const kPasswordCycleTexts[] = {u"Static", u"Dynamic/EMail", u"Dynamic/Server"};
const char16_t* const kListFormatTexts[] = {u"VEK", u"NOLIST", u"COUNT", u"DIFF"};
const char16_t* const kBackupModeTexts[] = {u"MAIN SERVER", u"BACKUP SERVER", u"FORCED SERVER"};
const char16_t* const kBackupServerModeTexts[] = {u"YES", u"NO", u"FORCED"};
const char16_t* const kSubdirModeTexts[] = {u"NO", u"Y/M/D", u"YM/D", u"YMD", u"Y/MD"};
const char16_t* const kRecDirTexts[] = {u"BOTH", u"SERVER", u"RADIO"};
const char16_t* const kFileFormatTexts[] = {u"LONG", u"SHORT"};
const char16_t* const kSoundModeTexts[] = {
    u"NORMAL",      u"CONTROL", u"CONTROL_BOT", u"HOUR",        u"HOUR_EXT", u"ANNONCE",
    u"ANNONCE_EXT", u"EXT_FILE", u"CONNECT",    u"CONNECT_EXT", u"TRANSIT"};
const char16_t* const kRadioIfcTexts[] = {u"UNKNOWN", u"COM", u"VOX", u"FILE"};
const char16_t* const kWireModeTexts[] = {u"NORMAL", u"INVERTED"};
const char16_t* const kControlSoundTexts[] = {
    u"COURTESY", u"COURTESY EMPTY NETWORK", u"ROGER (RADIO EOT)", u"NO CONNECTION", u"REJECT",
    u"CONNECT",  u"ERROR",                  u"RADIO BOT",         u"SERVER BOT",    u"SERVER EOT"};
const char16_t* const kSignalTypeTexts[] = {u"PTT", u"COS", u"LIGHT", u"STATIC"};
const char16_t* const kDynPassModeTexts[] = {u"NO", u"SOFT", u"YES"};
const char16_t* const kPasswordUsageTexts[] = {u"STATIC", u"new DYNAMIC", u"old DYNAMIC"};
const char16_t* const kQualityTexts[] = {u"NONE", u"LOW", u"MEDIUM", u"HIGH"};
const char16_t* const kInformerModeTexts[] = {u"SEQUENCE", u"RANDOM"};
const char16_t* const kListShowModeTexts[] = {u"NO", u"NUMBER", u"FULL"};

const TVEKProxyType_ConvertRec kProxyTypeRows[] = {
    {u"N", VEK_PROXY_TYPE_NONE},       {u"NO", VEK_PROXY_TYPE_NONE},
    {u"NOT", VEK_PROXY_TYPE_NONE},     {u"NON", VEK_PROXY_TYPE_NONE},
    {u"NONE", VEK_PROXY_TYPE_NONE},    {u"S", VEK_PROXY_TYPE_SYSTEM},
    {u"SY", VEK_PROXY_TYPE_SYSTEM},    {u"SYS", VEK_PROXY_TYPE_SYSTEM},
    {u"SYST", VEK_PROXY_TYPE_SYSTEM},  {u"SYSTEM", VEK_PROXY_TYPE_SYSTEM},
    {u"H", VEK_PROXY_TYPE_HTTP},       {u"HT", VEK_PROXY_TYPE_HTTP},
    {u"HTTP", VEK_PROXY_TYPE_HTTP},    {u"SOCKS4", VEK_PROXY_TYPE_SOCKS4},
    {u"S4", VEK_PROXY_TYPE_SOCKS4},    {u"SOCKS5", VEK_PROXY_TYPE_SOCKS5},
    {u"S5", VEK_PROXY_TYPE_SOCKS5}};

const TVEKClientType_ConvertRec kClientTypeRows[] = {
    {u"CROSSLINK", clt_CROSSLINK}, {u"CROSS", clt_CROSSLINK}, {u"CL", clt_CROSSLINK},
    {u"C", clt_CROSSLINK},         {u"GATEWAY", clt_GATEWAY}, {u"GATE", clt_GATEWAY},
    {u"GW", clt_GATEWAY},          {u"G", clt_GATEWAY},       {u"PC", clt_PC},
    {u"PCONLY", clt_PC},           {u"P", clt_PC}};

const _CONV_REC kListFormatRows[] = {
    {u"VEK", ProtoListFormat_VEK},       {u"F", ProtoListFormat_VEK},
    {u"NOLIST", ProtoListFormat_NOLIST}, {u"N", ProtoListFormat_NOLIST},
    {u"COUNT", ProtoListFormat_COUNT},   {u"C", ProtoListFormat_COUNT},
    {u"DIFF", ProtoListFormat_DIFF},     {u"D", ProtoListFormat_DIFF}};

const TVEKBackupServerMode_ConvertRec kBackupServerModeRows[] = {
    {u"Y", bsm_YES},    {u"YES", bsm_YES},  {u"N", bsm_NO},        {u"NO", bsm_NO},
    {u"NOT", bsm_NO},   {u"NON", bsm_NO},   {u"NONE", bsm_NO},     {u"F", bsm_FORCED},
    {u"FORCE", bsm_FORCED}, {u"FORCED", bsm_FORCED}};

const TVEKWriterSubdirMode_ConvertRec kSubdirModeRows[] = {
    {u"NONE", fwsm_NONE},           {u"NO", fwsm_NONE},
    {u"N", fwsm_NONE},              {u"YYYY_MM_DD", fwsm_YYYY_MM_DD},
    {u"YYYY-MM-DD", fwsm_YYYY_MM_DD}, {u"YYYY/MM/DD", fwsm_YYYY_MM_DD},
    {u"Y_M_D", fwsm_YYYY_MM_DD},    {u"Y-M-D", fwsm_YYYY_MM_DD},
    {u"Y/M/D", fwsm_YYYY_MM_DD},    {u"YYYYMM_DD", fwsm_YYYYMM_DD},
    {u"YYYYMM-DD", fwsm_YYYYMM_DD}, {u"YYYYMM/DD", fwsm_YYYYMM_DD},
    {u"YM_D", fwsm_YYYYMM_DD},      {u"YM-D", fwsm_YYYYMM_DD},
    {u"YM/D", fwsm_YYYYMM_DD},      {u"YYYYMMDD", fwsm_YYYYMMDD},
    {u"YMD", fwsm_YYYYMMDD},        {u"YYYY_MMDD", fwsm_YYYY_MMDD},
    {u"YYYY-MMDD", fwsm_YYYY_MMDD}, {u"YYYY/MMDD", fwsm_YYYY_MMDD},
    {u"Y_MD", fwsm_YYYY_MMDD},      {u"Y-MD", fwsm_YYYY_MMDD},
    {u"Y/MD", fwsm_YYYY_MMDD}};

const TVEKRecDir_ConvRec kRecDirRows[] = {{u"B", frd_BOTH},   {u"BOTH", frd_BOTH},
                                         {u"S", frd_SERVER}, {u"SERVER", frd_SERVER},
                                         {u"R", frd_RADIO},  {u"RADIO", frd_RADIO}};

const TVEKFileFormat_ConvertRec kFileFormatRows[] = {
    {u"L", fwff_LONG}, {u"LONG", fwff_LONG}, {u"S", fwff_SHORT}, {u"SHORT", fwff_SHORT}};

const TVEKRadioIfcWireMode_ConvertRec kWireModeRows[] = {
    {u"N", wim_NORMAL},   {u"NOR", wim_NORMAL},   {u"NORM", wim_NORMAL},
    {u"NORMAL", wim_NORMAL}, {u"I", wim_INVERTED}, {u"INV", wim_INVERTED},
    {u"INVER", wim_INVERTED}, {u"INVERTED", wim_INVERTED}};

const VEKDynPassModeCfg_ConvertRecord kDynPassModeRows[] = {
    {u"NO", dpm_NO},     {u"N", dpm_NO},   {u"SOFT", dpm_SOFT},
    {u"S", dpm_SOFT},    {u"YES", dpm_YES}, {u"Y", dpm_YES}};

const VEKInformerMode_ConvertRec kInformerModeRows[] = {
    {u"SEQUENCE", infm_Sequence}, {u"SEQ", infm_Sequence}, {u"S", infm_Sequence},
    {u"RANDOM", infm_Random},     {u"RAND", infm_Random},  {u"RND", infm_Random},
    {u"RAN", infm_Random},        {u"R", infm_Random}};

const TVEKClientListShowMode_ConvertRec kListShowModeRows[] = {
    {u"N", clsm_NONE},     {u"NO", clsm_NONE},      {u"OFF", clsm_NONE},
    {u"Y", clsm_NUMBER},   {u"YES", clsm_NUMBER},   {u"ON", clsm_NUMBER},
    {u"NUM", clsm_NUMBER}, {u"NUMBER", clsm_NUMBER}, {u"F", clsm_FULL},
    {u"FU", clsm_FULL},    {u"FUL", clsm_FULL},     {u"FULL", clsm_FULL}};

const TVEKQuality_ConvertRec kQualityRows[] = {
    {u"NONE", acq_NO},     {u"NO", acq_NO},     {u"N", acq_NO},    {u"LOW", acq_LOW},
    {u"L", acq_LOW},       {u"LO", acq_LOW},    {u"MEDIUM", acq_MEDIUM}, {u"MED", acq_MEDIUM},
    {u"M", acq_MEDIUM},    {u"HIGH", acq_HIGH}, {u"H", acq_HIGH},  {u"HI", acq_HIGH}};

}  // namespace

std::u16string VekEnumText(TVEKProxyType v) { return TextOf(kProxyTypeTexts, v); }
std::u16string VekEnumText(TVEKClientPriv v) { return TextOf(kClientPrivTexts, v); }
std::u16string VekEnumText(TVEKClientType v) { return TextOf(kClientTypeTexts, v); }
std::u16string VekEnumText(TVEKVisibleStatus v) { return TextOf(kVisibleStatusTexts, v); }
std::u16string VekEnumText(TVEKPasswordCycle v) { return TextOf(kPasswordCycleTexts, v); }
std::u16string VekEnumText(TVEKProtoListFormat v) { return TextOf(kListFormatTexts, v); }
std::u16string VekEnumText(TVEKBackupMode v) { return TextOf(kBackupModeTexts, v); }
std::u16string VekEnumText(TVEKBackupServerMode v) { return TextOf(kBackupServerModeTexts, v); }
std::u16string VekEnumText(TVEKWriterSubdirMode v) { return TextOf(kSubdirModeTexts, v); }
std::u16string VekEnumText(TVEKRecorderDirection v) { return TextOf(kRecDirTexts, v); }
std::u16string VekEnumText(TVEKWriterFileNameFormat v) { return TextOf(kFileFormatTexts, v); }
std::u16string VekEnumText(TVEKSoundMode v) { return TextOf(kSoundModeTexts, v); }
std::u16string VekEnumText(TVEKRadioIfcType v) { return TextOf(kRadioIfcTexts, v); }
std::u16string VekEnumText(TVEKWireInvertedMode v) { return TextOf(kWireModeTexts, v); }
std::u16string VekEnumText(TVEKControlSound v) { return TextOf(kControlSoundTexts, v); }
std::u16string VekEnumText(TVEKIfcSignalType v) { return TextOf(kSignalTypeTexts, v); }
std::u16string VekEnumText(TVEKDynamicPasswordMode v) { return TextOf(kDynPassModeTexts, v); }
std::u16string VekEnumText(TVEKPasswordUsage v) { return TextOf(kPasswordUsageTexts, v); }
std::u16string VekEnumText(TVEKAudioConvertQuality v) { return TextOf(kQualityTexts, v); }
std::u16string VekEnumText(TVEKInformerMode v) { return TextOf(kInformerModeTexts, v); }
std::u16string VekEnumText(TVEKClientListShowMode v) { return TextOf(kListShowModeTexts, v); }

std::u16string VekClientTypeShortText(TVEKClientType v) { return TextOf(kClientTypeShort, v); }
std::u16string VekVisibleStatusShortText(TVEKVisibleStatus v) {
  return TextOf(kVisibleStatusShort, v);
}

// --- Parsers ---------------------------------------------------------------

bool VekParseProxyType(const std::u16string& text, TVEKProxyType& value) {
  return Lookup(kProxyTypeRows, DaxUpperCaseAsciiW(text), value);
}

bool VekParseClientType(const std::u16string& text, TVEKClientType& value) {
  return Lookup(kClientTypeRows, DaxUpperCaseAsciiW(text), value);
}

bool VekParseProtoListFormat(const std::u16string& text, TVEKProtoListFormat& value) {
  const std::u16string t = DaxTrimW(text);
  int32_t n = 0;
  if (DaxTryStrToIntW(t, n)) {
    if (n < 0 || n > 3) return false;
    value = static_cast<TVEKProtoListFormat>(n);
    return true;
  }
  return Lookup(kListFormatRows, DaxUpperCaseAsciiW(t), value);
}

bool VekTryParseBackupServerMode(const std::u16string& text, TVEKBackupServerMode& value) {
  return Lookup(kBackupServerModeRows, DaxUpperCaseAsciiW(DaxTrimW(text)), value);
}

TVEKBackupServerMode VekParseBackupServerModeDef(const std::u16string& text,
                                                 TVEKBackupServerMode def) {
  TVEKBackupServerMode v = def;
  return VekTryParseBackupServerMode(text, v) ? v : def;
}

bool VekTryParseWriterSubdirMode(const std::u16string& text, TVEKWriterSubdirMode& value) {
  return Lookup(kSubdirModeRows, DaxUpperCaseAsciiW(text), value);
}

TVEKWriterSubdirMode VekParseWriterSubdirModeDef(const std::u16string& text) {
  TVEKWriterSubdirMode v = fwsm_YYYY_MM_DD;
  return VekTryParseWriterSubdirMode(text, v) ? v : fwsm_YYYY_MM_DD;
}

bool VekTryParseRecorderDirection(const std::u16string& text, TVEKRecorderDirection& value) {
  return Lookup(kRecDirRows, DaxUpperCaseAsciiW(text), value);
}

TVEKRecorderDirection VekParseRecorderDirectionDef(const std::u16string& text) {
  TVEKRecorderDirection v = frd_BOTH;
  return VekTryParseRecorderDirection(text, v) ? v : frd_BOTH;
}

bool VekTryParseWriterFileNameFormat(const std::u16string& text,
                                     TVEKWriterFileNameFormat& value) {
  return Lookup(kFileFormatRows, DaxUpperCaseAsciiW(text), value);
}

TVEKWriterFileNameFormat VekParseWriterFileNameFormatDef(const std::u16string& text) {
  TVEKWriterFileNameFormat v = fwff_LONG;
  return VekTryParseWriterFileNameFormat(text, v) ? v : fwff_LONG;
}

bool VekParseRadioIfcType(const std::u16string& text, TVEKRadioIfcType& value) {
  const std::u16string t = DaxUpperCaseAsciiW(DaxTrimW(text));
  for (unsigned i = rit_COM; i <= rit_FILE; ++i) {
    if (t == kRadioIfcTexts[i]) {
      value = static_cast<TVEKRadioIfcType>(i);
      return true;
    }
  }
  return false;
}

bool VekParseWireInverted(const std::u16string& text, TVEKWireInvertedMode& value) {
  const std::u16string t = DaxUpperCaseAsciiW(DaxTrimW(text));
  int64_t n = 0;
  if (DaxTryStrToInt64W(t, n)) {
    value = n != 0 ? wim_INVERTED : wim_NORMAL;
    return true;
  }
  return Lookup(kWireModeRows, t, value);
}

bool VekParseDynamicPasswordMode(const std::u16string& text, TVEKDynamicPasswordMode& value) {
  return Lookup(kDynPassModeRows, DaxUpperCaseAsciiW(text), value);
}

bool VekParseInformerMode(const std::u16string& text, TVEKInformerMode& value) {
  return Lookup(kInformerModeRows, DaxUpperCaseAsciiW(text), value);
}

bool VekParseClientListShowMode(const std::u16string& text, TVEKClientListShowMode& value) {
  const std::u16string t = DaxUpperCaseAsciiW(DaxTrimW(text));
  int32_t n = 0;
  if (DaxTryStrToIntW(t, n)) {
    value = n == 0 ? clsm_NONE : clsm_NUMBER;
    return true;
  }
  return Lookup(kListShowModeRows, t, value);
}

bool VekTryStrToConvertQuality(const std::u16string& text, TVEKAudioConvertQuality& value) {
  const std::u16string t = DaxUpperCaseAsciiW(text);
  int32_t n = 0;
  if (DaxTryStrToIntW(t, n)) {
    value = static_cast<TVEKAudioConvertQuality>(n < 0 ? 0 : (n > 3 ? 3 : n));
    return true;
  }
  return Lookup(kQualityRows, t, value);
}

TVEKAudioConvertQuality VekStrToConvertQuality(const std::u16string& text,
                                               TVEKAudioConvertQuality def) {
  TVEKAudioConvertQuality v = def;
  return VekTryStrToConvertQuality(text, v) ? v : def;
}

int32_t VekParseHoursInterval(const std::u16string& text) {
  int32_t n = 0;
  if (!DaxTryStrToIntW(text, n)) return 60;
  return VekCheckHoursInterval(n);
}

TVEKClientType VekClientTypeFromShort(const char* bytes, int length) {
  if (bytes != nullptr) {
    if (length == 9 && std::string(bytes, 9) == "Crosslink") return clt_CROSSLINK;
    if (length == 7 && std::string(bytes, 7) == "PC Only") return clt_PC;
  }
  return clt_GATEWAY;
}

// --- Records ---------------------------------------------------------------

void VekClientRecCopy(TVEKClientRec& dest, const TVEKClientRec& src) { dest = src; }

void VekClientsInsert(TVEKClientsArray& list, const TVEKClientRec& rec, int index) {
  if (index < 0 || static_cast<size_t>(index) > list.size()) throw Exception("Invalid index");
  list.insert(list.begin() + index, rec);
}

void VekClientsDelete(TVEKClientsArray& list, int index, int count) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) throw Exception("Invalid index");
  if (count < 0 || static_cast<size_t>(count) > list.size() - static_cast<size_t>(index))
    throw Exception("Invalid delete count");
  list.erase(list.begin() + index, list.begin() + index + count);
}

int DaxIndexOfText(const std::vector<std::u16string>& list, const std::u16string& text) {
  const std::u16string want = DaxUpperCaseAsciiW(text);
  for (size_t i = 0; i < list.size(); ++i) {
    if (DaxUpperCaseAsciiW(list[i]) == want) return static_cast<int>(i);
  }
  return -1;
}

void VekAccountCopy(TVEKAccount& dest, const TVEKAccount& src) { dest = src; }

// --- Levels ----------------------------------------------------------------

int32_t DaxLevelRms(const int16_t* samples, int count) {
  if (count <= 0 || samples == nullptr) return 0;
  double sum = 0.0;
  for (int i = 0; i < count; ++i) {
    const double s = samples[i];
    sum += s * s;
  }
  if (sum < 0.0001) return 0;
  const double level = std::nearbyint(2.0 * std::sqrt(sum / count));
  return level > 32767.0 ? 32767 : static_cast<int32_t>(level);
}

// --- Configuration text helpers ---------------------------------------------

std::u16string VekIniValueOrEmpty(const std::u16string& value) {
  if (value == VekIniNotExistMarker || value == VekIniIsEmptyMarker) return std::u16string();
  return value;
}

std::u16string VekUnescapeText(const std::u16string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c != u'\\') {
      out.push_back(c);
      continue;
    }
    if (++i >= text.size()) break;
    switch (text[i]) {
      case u'\\': out.push_back(u'\\'); break;
      case u'g': out.push_back(char16_t(7)); break;
      case u's': out.push_back(u' '); break;
      case u't': out.push_back(u'\t'); break;
      default: break;  // unknown pair: both dropped
    }
  }
  return out;
}

// --- Value checks ------------------------------------------------------------

int32_t DaxClamp2To10(int32_t v) { return v < 2 ? 2 : (v > 10 ? 10 : v); }
uint32_t DaxClamp3000To300000(uint32_t v) { return v < 3000 ? 3000 : (v > 300000 ? 300000 : v); }
int32_t DaxClamp0To60000(int32_t v) { return v < 0 ? 0 : (v > 60000 ? 60000 : v); }
int32_t DaxClamp0To2000(int32_t v) { return v < 0 ? 0 : (v > 2000 ? 2000 : v); }
int32_t DaxClampConnectTimeout(int32_t v) {
  if (v <= 0) return 10;
  return v < 3 ? 3 : (v > 30 ? 30 : v);
}
int32_t DaxClampProxyTimeout(int32_t v) {
  if (v <= 0) return 5;
  return v > 20 ? 20 : v;
}
int32_t DaxClamp0To5000(int32_t v) { return v <= 0 ? 0 : (v > 5000 ? 5000 : v); }
int32_t DaxClamp1To10000(int32_t v) { return v <= 0 ? 1 : (v > 10000 ? 10000 : v); }
uint32_t DaxMin1000(uint32_t v) { return v > 1000 ? 1000 : v; }
int32_t DaxClamp3To300(int32_t v) {
  if (v <= 0) return 10;
  return v < 3 ? 3 : (v > 300 ? 300 : v);
}
int32_t DaxClamp0To1000(int32_t v) { return v < 0 ? 0 : (v > 1000 ? 1000 : v); }
int32_t VekCheckRange400to3000(int32_t v) {
  if (v < 0) return 1200;
  return v < 400 ? 400 : (v > 3000 ? 3000 : v);
}
int32_t VekCheckRange1to5(int32_t v) {
  if (v < 0) return 2;
  if (v == 0) return 1;
  return v > 5 ? 5 : v;
}
int32_t VekCheckRange2to10(int32_t v) {
  if (v < 0) return 5;
  return v < 2 ? 2 : (v > 10 ? 10 : v);
}
int32_t VekCheckRange0to3(int32_t v) { return v < 0 || v > 3 ? 0 : v; }

bool VekIsValidSampleRate(int32_t v) {
  for (int32_t r : VekSampleRates) {
    if (r == v) return true;
  }
  return false;
}

int32_t VekCheckSampleRate(int32_t v) { return VekIsValidSampleRate(v) ? v : 44100; }

int32_t VekCheckHoursInterval(int32_t v) {
  if (v <= 0) return 60;
  if (v == 1) v = 2;
  if (v > 120) v = 120;
  if (v > 60 ? v % 60 != 0 : 60 % v != 0) return 60;
  return v;
}

// --- AGC parameters ------------------------------------------------------------

bool VekCheckPositiveFlag(int32_t v) { return v > 0; }
int32_t VekCheckPercent50to100(int32_t v) {
  if (v < 0) return 95;
  return v < 50 ? 50 : (v > 100 ? 100 : v);
}
float VekCheckFloat30to60(float v) {
  if (!(v >= 0.0f)) return 30.0f;  // NaN counts as unset
  return v > 60.0f ? 60.0f : v;
}
int32_t VekCheckAgcMode(int32_t v) {
  if (v < 0) return 2;
  const int32_t low = v & 0xFF;
  return (v & 0xFF00) | (low > 7 ? 7 : low);
}
int32_t VekCheckRange5to500(int32_t v) {
  if (v < 0) return 50;
  return v < 5 ? 5 : (v > 500 ? 500 : v);
}
float VekCheckFloat20to72(float v) {
  if (v == 0.0f || std::isnan(v)) return 72.0f;
  return v < 20.0f ? 20.0f : (v > 72.0f ? 72.0f : v);
}

void VekNormalizeLevelParams(TVEKLevelParams& dest, const TVEKAgcCfgParams& src) {
  dest.Enabled = VekCheckPositiveFlag(src.Enabled);
  dest.Level = VekCheckPercent50to100(src.Level);
  dest.MaxGain = VekCheckFloat30to60(src.MaxGain);
  dest.Mode = VekCheckAgcMode(src.Mode);
  dest.TimeConst = VekCheckRange5to500(src.TimeConst);
  dest.Threshold = VekCheckFloat20to72(src.Threshold);
}
