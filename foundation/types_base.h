// The client's shared vocabulary: enumerations with their display texts and
// the spellings the configuration accepts, the account and client records,
// the level of a sample block and the clamps applied to configured numbers.
// Everything here is constant data or a stateless routine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Enumerations of the network side.

enum TVEKProxyType : uint8_t {
  VEK_PROXY_TYPE_NONE,
  VEK_PROXY_TYPE_SYSTEM,
  VEK_PROXY_TYPE_HTTP,
  VEK_PROXY_TYPE_SOCKS4,
  VEK_PROXY_TYPE_SOCKS5,
};

enum TVEKClientPriv : uint8_t {
  clpr_NONE,
  clpr_USER,
  clpr_ADMIN,
  clpr_NETOWNER,
  clpr_SERVOWNER,
};

enum TVEKClientType : uint8_t {
  clt_CROSSLINK,
  clt_GATEWAY,
  clt_PC,
};

enum TVEKVisibleStatus : uint8_t {
  vs_Available,
  vs_NotAvailable,
  vs_Absent,
};

enum TVEKPasswordCycle : uint8_t {
  dpc_Static,
  dpc_EMail,
  dpc_Server,
};

enum TVEKProtoListFormat : uint8_t {
  ProtoListFormat_VEK,
  ProtoListFormat_NOLIST,
  ProtoListFormat_COUNT,
  ProtoListFormat_DIFF,
};

// ---------------------------------------------------------------------------
// Enumerations of the client side.

enum TVEKBackupMode : uint8_t {
  bm_MAIN,
  bm_BACKUP,
  bm_FORCED,
};

enum TVEKBackupServerMode : uint8_t {
  bsm_YES,
  bsm_NO,
  bsm_FORCED,
};

enum TVEKWriterSubdirMode : uint8_t {
  fwsm_NONE,
  fwsm_YYYY_MM_DD,
  fwsm_YYYYMM_DD,
  fwsm_YYYYMMDD,
  fwsm_YYYY_MMDD,
};

enum TVEKRecorderDirection : uint8_t {
  frd_BOTH,
  frd_SERVER,
  frd_RADIO,
};

enum TVEKWriterFileNameFormat : uint8_t {
  fwff_LONG,
  fwff_SHORT,
};

enum TVEKSoundMode : uint8_t {
  msm_Normal,
  msm_Control,
  msm_ControlBOT,
  msm_Hour,
  msm_HourExt,
  msm_Annon,
  msm_AnnonExt,
  msm_ExtFile,
  msm_Conn,
  msm_ConnExt,
  msm_Transit,
};

enum TVEKRadioIfcType : uint8_t {
  rit_UNKNOWN,
  rit_COM,
  rit_VOX,
  rit_FILE,
};

enum TVEKWireInvertedMode : uint8_t {
  wim_NORMAL,
  wim_INVERTED,
};

enum TVEKControlSound : uint8_t {
  csnd_Courtesy,
  csnd_CourtesyEmptyNet,
  csnd_Roger,
  csnd_NoConnection,
  csnd_Reject,
  csnd_Connect,
  csnd_Error,
  csnd_RadioBOT,
  csnd_ServerBOT,
  csnd_ServerEOT,
};
// Number of control sounds: the size of tables indexed by TVEKControlSound.
inline constexpr int VekControlSoundCount = 10;

enum TVEKIfcSignalType : uint8_t {
  ist_PTT,
  ist_COS,
  ist_LIGHT,
  ist_STATIC,
};

enum TVEKDynamicPasswordMode : uint8_t {
  dpm_NO,
  dpm_SOFT,
  dpm_YES,
};

enum TVEKPasswordUsage : uint8_t {
  pu_Static,
  pu_DynamicNew,
  pu_DynamicOld,
};

enum TVEKAudioConvertQuality : uint8_t {
  acq_NO,
  acq_LOW,
  acq_MEDIUM,
  acq_HIGH,
};

enum TVEKInformerMode : uint8_t {
  infm_Sequence,
  infm_Random,
};

enum TVEKClientListShowMode : uint8_t {
  clsm_NONE,
  clsm_NUMBER,
  clsm_FULL,
};

// ---------------------------------------------------------------------------
// Display texts, used in the log and the configuration report. A value
// outside its enumeration gives the empty text.

std::u16string VekEnumText(TVEKProxyType v);
std::u16string VekEnumText(TVEKClientPriv v);
std::u16string VekEnumText(TVEKClientType v);
std::u16string VekEnumText(TVEKVisibleStatus v);
std::u16string VekEnumText(TVEKPasswordCycle v);
std::u16string VekEnumText(TVEKProtoListFormat v);
std::u16string VekEnumText(TVEKBackupMode v);
std::u16string VekEnumText(TVEKBackupServerMode v);
std::u16string VekEnumText(TVEKWriterSubdirMode v);
std::u16string VekEnumText(TVEKRecorderDirection v);
std::u16string VekEnumText(TVEKWriterFileNameFormat v);
std::u16string VekEnumText(TVEKSoundMode v);
std::u16string VekEnumText(TVEKRadioIfcType v);
std::u16string VekEnumText(TVEKWireInvertedMode v);
std::u16string VekEnumText(TVEKControlSound v);
std::u16string VekEnumText(TVEKIfcSignalType v);
std::u16string VekEnumText(TVEKDynamicPasswordMode v);
std::u16string VekEnumText(TVEKPasswordUsage v);
std::u16string VekEnumText(TVEKAudioConvertQuality v);
std::u16string VekEnumText(TVEKInformerMode v);
std::u16string VekEnumText(TVEKClientListShowMode v);

// "CL", "GW", "PC" and "AV", "NA", "AB".
std::u16string VekClientTypeShortText(TVEKClientType v);
std::u16string VekVisibleStatusShortText(TVEKVisibleStatus v);

// ---------------------------------------------------------------------------
// Accepted spellings. Each parser upper-cases ASCII letters of its input and
// looks it up in its table; the "try" forms report a match, the "Def" forms
// fall back to a default.

struct TVEKProxyType_ConvertRec { const char16_t* Text; TVEKProxyType Value; };
struct TVEKClientType_ConvertRec { const char16_t* Text; TVEKClientType Value; };
struct _CONV_REC { const char16_t* Text; TVEKProtoListFormat Value; };
struct TVEKBackupServerMode_ConvertRec { const char16_t* Text; TVEKBackupServerMode Value; };
struct TVEKWriterSubdirMode_ConvertRec { const char16_t* Text; TVEKWriterSubdirMode Value; };
struct TVEKRecDir_ConvRec { const char16_t* Text; TVEKRecorderDirection Value; };
struct TVEKFileFormat_ConvertRec { const char16_t* Text; TVEKWriterFileNameFormat Value; };
struct TVEKRadioIfcWireMode_ConvertRec { const char16_t* Text; TVEKWireInvertedMode Value; };
struct VEKDynPassModeCfg_ConvertRecord { const char16_t* Text; TVEKDynamicPasswordMode Value; };
struct VEKInformerMode_ConvertRec { const char16_t* Text; TVEKInformerMode Value; };
struct TVEKClientListShowMode_ConvertRec { const char16_t* Text; TVEKClientListShowMode Value; };
struct TVEKQuality_ConvertRec { const char16_t* Text; TVEKAudioConvertQuality Value; };

// Not trimmed: " HTTP" is refused.
bool VekParseProxyType(const std::u16string& text, TVEKProxyType& value);
bool VekParseClientType(const std::u16string& text, TVEKClientType& value);
// Trimmed; an integer 0..3 is the value itself.
bool VekParseProtoListFormat(const std::u16string& text, TVEKProtoListFormat& value);
bool VekTryParseBackupServerMode(const std::u16string& text, TVEKBackupServerMode& value);
TVEKBackupServerMode VekParseBackupServerModeDef(const std::u16string& text,
                                                 TVEKBackupServerMode def);
bool VekTryParseWriterSubdirMode(const std::u16string& text, TVEKWriterSubdirMode& value);
TVEKWriterSubdirMode VekParseWriterSubdirModeDef(const std::u16string& text);
bool VekTryParseRecorderDirection(const std::u16string& text, TVEKRecorderDirection& value);
TVEKRecorderDirection VekParseRecorderDirectionDef(const std::u16string& text);
bool VekTryParseWriterFileNameFormat(const std::u16string& text,
                                     TVEKWriterFileNameFormat& value);
TVEKWriterFileNameFormat VekParseWriterFileNameFormatDef(const std::u16string& text);
// "COM", "VOX", "FILE"; "UNKNOWN" is refused.
bool VekParseRadioIfcType(const std::u16string& text, TVEKRadioIfcType& value);
// A 64-bit integer is inverted when not 0.
bool VekParseWireInverted(const std::u16string& text, TVEKWireInvertedMode& value);
bool VekParseDynamicPasswordMode(const std::u16string& text, TVEKDynamicPasswordMode& value);
bool VekParseInformerMode(const std::u16string& text, TVEKInformerMode& value);
// An integer gives NONE for 0 and NUMBER for anything else.
bool VekParseClientListShowMode(const std::u16string& text, TVEKClientListShowMode& value);
// An integer is clamped to 0..3.
bool VekTryStrToConvertQuality(const std::u16string& text, TVEKAudioConvertQuality& value);
TVEKAudioConvertQuality VekStrToConvertQuality(const std::u16string& text,
                                               TVEKAudioConvertQuality def);
// Minutes, through VekCheckHoursInterval; 60 when the text is no integer.
int32_t VekParseHoursInterval(const std::u16string& text);

// The client type of a list entry's type text: "Crosslink", "PC Only", and
// anything else (a gateway's band text) is a gateway.
TVEKClientType VekClientTypeFromShort(const char* bytes, int length);

// Accepted sound-card rates, in order.
inline constexpr int32_t VekSampleRates[] = {8000,  11025, 12000, 16000, 22050,
                                             24000, 32000, 44100, 48000};

// ---------------------------------------------------------------------------
// Records.

// The user account as configured ([Auth]); owned by value.
struct TVEKAccount {
  std::u16string Callsign;
  std::u16string OperatorName;
  std::u16string EMailAddress;
  std::u16string City;
  std::u16string CityPart;
  std::u16string Country;
  std::u16string Password;
  std::u16string DynamicPassword;
  std::u16string Description;
  std::u16string BandChannel;
  std::u16string CharsetName;
  uint8_t ClientType = clt_CROSSLINK;  // a TVEKClientType
};

// One client of a client list, as the list readers fill it.
struct TVEKClientRec {
  std::string ID;          // raw bytes as the server sends them
  std::u16string ON;       // name
  std::u16string NN;       // country
  std::u16string CT;       // city
  std::u16string BC;       // band and channel
  std::u16string DS;       // description
  uint8_t VisibleStatus = vs_Available;  // a TVEKVisibleStatus
  uint8_t MarkM = 0;       // 0 or 1
  uint8_t MarkLO = 0;      // 0 or 1
  uint8_t ClientType = clt_CROSSLINK;    // a TVEKClientType
  uint8_t Utf8 = 0;        // 1: the texts arrived as UTF-8
};

using TVEKClientsArray = std::vector<TVEKClientRec>;

void VekClientRecCopy(TVEKClientRec& dest, const TVEKClientRec& src);
// Raise Exception "Invalid index" / "Invalid delete count" and leave the list
// unchanged when the index or count is out of range.
void VekClientsInsert(TVEKClientsArray& list, const TVEKClientRec& rec, int index);
void VekClientsDelete(TVEKClientsArray& list, int index, int count);

// Index of the first entry equal to text after ASCII upper-casing, or -1.
int DaxIndexOfText(const std::vector<std::u16string>& list, const std::u16string& text);

void VekAccountCopy(TVEKAccount& dest, const TVEKAccount& src);

// ---------------------------------------------------------------------------
// Levels.

// 2 x RMS of the samples, rounded (ties to even), limited to 32767; 0 for
// silence or no samples.
int32_t DaxLevelRms(const int16_t* samples, int count);

// ---------------------------------------------------------------------------
// Configuration text helpers.

inline constexpr char16_t VekIniNotExistMarker[] = u"[<{$NOT@EXIST$}>]";
inline constexpr char16_t VekIniIsEmptyMarker[] = u"[<{$IS@EMPTY$}>]";
// Empty when the value is one of the two marker texts.
std::u16string VekIniValueOrEmpty(const std::u16string& value);
// Backslash escapes: \\ \g \s \t give backslash, BEL, blank, TAB; any other
// pair is dropped; a lone backslash at the end ends the text.
std::u16string VekUnescapeText(const std::u16string& text);

// ---------------------------------------------------------------------------
// Value checks: the value to use for a configured number.

int32_t DaxClamp2To10(int32_t v);
uint32_t DaxClamp3000To300000(uint32_t v);  // unsigned: -1 is large
int32_t DaxClamp0To60000(int32_t v);
int32_t DaxClamp0To2000(int32_t v);
int32_t DaxClampConnectTimeout(int32_t v);
int32_t DaxClampProxyTimeout(int32_t v);
int32_t DaxClamp0To5000(int32_t v);
int32_t DaxClamp1To10000(int32_t v);
uint32_t DaxMin1000(uint32_t v);  // unsigned: -1 is large
int32_t DaxClamp3To300(int32_t v);
int32_t DaxClamp0To1000(int32_t v);
int32_t VekCheckRange400to3000(int32_t v);
int32_t VekCheckRange1to5(int32_t v);
int32_t VekCheckRange2to10(int32_t v);
int32_t VekCheckRange0to3(int32_t v);
int32_t VekCheckSampleRate(int32_t v);
bool VekIsValidSampleRate(int32_t v);
int32_t VekCheckHoursInterval(int32_t v);

// ---------------------------------------------------------------------------
// AGC parameters.

// One AGC group as configured ([Audio] In... or Out...).
struct TVEKAgcCfgParams {
  int32_t Enabled = -1;    // flag: -1 not set, 0 no, 1 yes
  int32_t Level = -1;      // percent
  float MaxGain = -1.0f;   // dB
  int32_t Mode = -1;
  int32_t TimeConst = -1;
  float Threshold = 0.0f;  // dB
};

// The same group checked, as the engine and the AGC take it.
struct TVEKLevelParams {
  bool Enabled = false;
  int32_t Level = 95;
  float MaxGain = 30.0f;
  int32_t Mode = 2;
  int32_t TimeConst = 50;
  float Threshold = 72.0f;
};

bool VekCheckPositiveFlag(int32_t v);
int32_t VekCheckPercent50to100(int32_t v);
float VekCheckFloat30to60(float v);
int32_t VekCheckAgcMode(int32_t v);
int32_t VekCheckRange5to500(int32_t v);
float VekCheckFloat20to72(float v);
void VekNormalizeLevelParams(TVEKLevelParams& dest, const TVEKAgcCfgParams& src);
