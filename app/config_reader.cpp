#include "app/config_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <vector>

#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/inifile_utf8.h"
#include "foundation/tags.h"
#include "foundation/types.h"

namespace {

using TWarnings = std::vector<std::u16string>;

// What every section read shares: the file, where unreadable values are
// reported, and (for the key list) where each key asked for is noted.
struct TReadContext {
  const TIniFileUTF8& Ini;
  TWarnings* Warnings;
  std::vector<TVEKConfigKey>* Keys;
};

std::u16string NumberText(int64_t v) { return DaxAnsiToUnicodeRaw(std::to_string(v)); }

std::u16string FloatText(float v) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? DaxAnsiToUnicodeRaw(std::string(buf, end)) : std::u16string();
}

std::u16string FlagText(int32_t v) { return v < 0 ? u"not set" : v == 0 ? u"no" : u"yes"; }

// The typed reads of one section. A value that is there but cannot be read
// as the key's type keeps the default and adds one warning; a missing or
// empty value keeps it silently.
class TSectionReader {
 public:
  TSectionReader(const TReadContext& context, const char16_t* section)
      : ini_(context.Ini), sec_(section), context_(context) {}

  std::u16string Text(const char16_t* key, const std::u16string& def = std::u16string()) const {
    Note(key);
    return DaxTrimW(ini_.ReadString(sec_, key, def));
  }
  std::u16string TextUpper(const char16_t* key, const std::u16string& def = {}) const {
    return DaxUpperCaseAsciiW(Text(key, def));
  }
  std::u16string TextTrimLeft(const char16_t* key, const std::u16string& def) const {
    Note(key);
    return ini_.ReadStringTrimLeft(sec_, key, def);
  }
  std::u16string TextNotEmpty(const char16_t* key, const std::u16string& def) const {
    Note(key);
    return DaxTrimW(ini_.ReadStringNotEmpty(sec_, key, def, def));
  }
  int32_t Int(const char16_t* key, int32_t def) const {
    int32_t v = def;
    return Checked(key, ini_.TryReadInteger(sec_, key, v), NumberText(def)) ? v : def;
  }
  // A negative number keeps the default, as it does for the signed keys.
  uint32_t Unsigned(const char16_t* key, uint32_t def) const {
    int64_t v = def;
    if (!Checked(key, ini_.TryReadInt64(sec_, key, v), NumberText(def))) return def;
    if (v < 0) return def;
    if (v <= 0xFFFFFFFFll) return static_cast<uint32_t>(v);
    Warn(key, NumberText(def));
    return def;
  }
  bool Bool(const char16_t* key, bool def) const {
    bool v = def;
    return Checked(key, ini_.TryReadFlag(sec_, key, v), def ? u"yes" : u"no") ? v : def;
  }
  // 0 no, 1 yes; def (-1, not set) when missing, empty or unreadable.
  int32_t Flag(const char16_t* key, int32_t def) const {
    bool on = false;
    return Checked(key, ini_.TryReadFlag(sec_, key, on), FlagText(def)) ? (on ? 1 : 0) : def;
  }
  // The three-state bytes of [Server]: 0 not set, 1 no, 2 yes.
  uint8_t FlagByte(const char16_t* key, uint8_t def) const {
    return static_cast<uint8_t>(Flag(key, def - 1) + 1);
  }
  int32_t Port(const char16_t* key, int32_t def) const {
    const std::u16string text = Text(key);
    int32_t port = def;
    if (text.empty() || VekTryParsePort(text, port)) return port;
    Warn(key, def > 0 ? NumberText(def) : u"not set");
    return def;
  }
  float Float(const char16_t* key, float def) const {
    float v = def;
    return Checked(key, ini_.TryReadFloat(sec_, key, v, TDaxFormatSettings{u'.'}),
                   FloatText(def))
               ? v
               : def;
  }
  // Missing: `missing`; empty or unreadable: `unusable`. The number is
  // read untrimmed, so the warning shows the value as written.
  int32_t IntegerEx(const char16_t* key, int32_t missing, int32_t unusable) const {
    Note(key);
    const int32_t v = ini_.ReadIntegerEx(sec_, key, missing, unusable, unusable);
    const std::u16string raw = ini_.ReadRaw(sec_, key, u"");
    if (v == unusable && !DaxTrimW(raw).empty()) {
      int32_t check = 0;
      if (!DaxTryStrToIntW(raw, check) || check != unusable) Warn(key, NumberText(missing), raw);
    }
    return v;
  }
  // One of an enumeration's spellings: sets `value` when the text is one;
  // an empty text keeps it silently.
  template <class T>
  bool Choice(const char16_t* key, T& value, bool (*parse)(const std::u16string&, T&),
              const std::u16string& defText) const {
    const std::u16string text = Text(key);
    if (text.empty()) return false;
    T v{};
    if (parse(text, v)) {
      value = v;
      return true;
    }
    Warn(key, defText);
    return false;
  }
  // The same into a record's field, whose current value is the default.
  template <class T, class Field>
  void Choose(const char16_t* key, Field& field, bool (*parse)(const std::u16string&, T&)) const {
    T v{};
    if (Choice(key, v, parse, VekEnumText(static_cast<T>(field)))) field = v;
  }

  // A value that is a number but not one the key accepts.
  void WarnUnsupported(const char16_t* key, const std::u16string& defText) const {
    Warn(key, defText, DaxTrimW(ini_.ReadRaw(sec_, key, u"")), u"unsupported");
  }
  void Warn(const char16_t* key, const std::u16string& defText) const {
    Warn(key, defText, DaxTrimW(ini_.ReadRaw(sec_, key, u"")));
  }
  void Warn(const char16_t* key, const std::u16string& defText, const std::u16string& value,
            const char16_t* what = u"unreadable") const {
    if (context_.Warnings == nullptr) return;
    context_.Warnings->push_back(u"[" + sec_ + u"] " + key + u": " + what + u" value \"" + value +
                                 u"\", the default (" + defText + u") is used");
  }

 private:
  // True when a value was read; an unreadable one is reported.
  bool Checked(const char16_t* key, TDaxReadState state, const std::u16string& defText) const {
    Note(key);
    if (state == drs_Unreadable) Warn(key, defText);
    return state == drs_Read;
  }
  void Note(const char16_t* key) const {
    if (context_.Keys != nullptr) context_.Keys->push_back({sec_, key});
  }

  const TIniFileUTF8& ini_;
  std::u16string sec_;
  const TReadContext& context_;
};

void ReadAgc(const TSectionReader& r, const std::u16string& prefix, TVEKAgcCfgParams& agc) {
  auto key = [&prefix](const char16_t* name) { return prefix + name; };
  agc.Enabled = r.Flag(key(u"AGCEnabled").c_str(), agc.Enabled);
  agc.Level = r.Int(key(u"AGCLevel").c_str(), agc.Level);
  agc.MaxGain = r.Float(key(u"AGCMaxGain").c_str(), agc.MaxGain);
  agc.Mode = r.Int(key(u"AGCMode").c_str(), agc.Mode);
  agc.TimeConst = r.Int(key(u"AGCTimeConst").c_str(), agc.TimeConst);
  agc.Threshold = r.Float(key(u"AGCThreshold").c_str(), agc.Threshold);
}

void ReadAuth(const TReadContext& ctx, TVEKAccount& a) {
  const TSectionReader r(ctx, u"Auth");
  a.Callsign = r.Text(u"Callsign", a.Callsign);
  a.OperatorName = r.Text(u"OperatorName", a.OperatorName);
  a.EMailAddress = r.Text(u"EMailAddress", a.EMailAddress);
  a.City = r.Text(u"City", a.City);
  a.CityPart = r.Text(u"CityPart", a.CityPart);
  a.Country = r.Text(u"Country", a.Country);
  a.Password = r.Text(u"Password", a.Password);
  a.DynamicPassword = r.Text(u"DynamicPassword", a.DynamicPassword);
  a.Description = r.Text(u"Description", a.Description);
  a.BandChannel = r.Text(u"BandChannel", a.BandChannel);
  a.CharsetName = r.TextUpper(u"CharsetName", a.CharsetName);
  r.Choose(u"ClientType", a.ClientType, VekParseClientType);
}

// Only the rates a sound card is asked for; another number is reported.
int32_t ReadSampleRate(const TSectionReader& r, const char16_t* key, int32_t def) {
  const int32_t rate = r.Int(key, def);
  if (VekIsValidSampleRate(rate)) return rate;
  const int32_t used = VekCheckSampleRate(rate);
  r.WarnUnsupported(key, NumberText(used));
  return used;
}

void ReadAudio(const TReadContext& ctx, TVEKAudioParams& a) {
  const TSectionReader r(ctx, u"Audio");
  a.ThreadPriority = r.Int(u"ThreadPriority", a.ThreadPriority);
  a.MeterMode = r.Int(u"MeterMode", a.MeterMode);
  a.InDevice = VekUnescapeText(r.TextTrimLeft(u"InDevice", a.InDevice));
  a.InSampleRate = ReadSampleRate(r, u"InSampleRate", a.InSampleRate);
  r.Choose(u"InQuality", a.InQuality, VekTryStrToConvertQuality);
  a.InFactor = r.Int(u"InFactor", a.InFactor);
  a.InMaxTime = r.Int(u"InMaxTime", a.InMaxTime);
  if (a.InMaxTime > 3000) a.InMaxTime = 3000;
  a.InPreCapturedTime = r.Int(u"InPreCapturedTime", a.InPreCapturedTime);
  a.InCaptureAfterApproval = r.Bool(u"InCaptureAfterApproval", a.InCaptureAfterApproval);
  ReadAgc(r, u"In", a.InAGC);
  a.InHPFEnabled = r.Bool(u"InHPFEnabled", a.InHPFEnabled);
  a.InHPFOrder = r.Int(u"InHPFOrder", a.InHPFOrder);
  a.InDtmfEnabled = r.Bool(u"InDtmfEnabled", a.InDtmfEnabled);
  a.OutDevice = r.TextTrimLeft(u"OutDevice", a.OutDevice);
  a.OutSampleRate = ReadSampleRate(r, u"OutSampleRate", a.OutSampleRate);
  r.Choose(u"OutQuality", a.OutQuality, VekTryStrToConvertQuality);
  a.OutFactor = r.Int(u"OutFactor", a.OutFactor);
  ReadAgc(r, u"Out", a.OutAGC);
  a.OutHPFEnabled = r.Bool(u"OutHPFEnabled", a.OutHPFEnabled);
  a.OutHPFOrder = r.Int(u"OutHPFOrder", a.OutHPFOrder);
  a.OutBufferLimitTime = r.Int(u"OutBufferLimitTime", a.OutBufferLimitTime);
  a.OutDelayLatency = r.Bool(u"OutDelayLatency", a.OutDelayLatency);
  const int32_t delay = r.Int(u"OutDelayConst", a.OutDelayConst);
  a.OutDelayConst = delay < 0 ? a.OutDelayConst : (delay > 600 ? 600 : delay);
}

void ReadRadio(const TReadContext& ctx, TVEKCfgSection_Radio& radio) {
  const TSectionReader r(ctx, u"Radio");
  radio.PTT = r.Text(u"PTT", radio.PTT);
  radio.COS = r.Text(u"COS", radio.COS);
  radio.LIGHT = r.Text(u"LIGHT", radio.LIGHT);
  radio.STATIC = r.Text(u"STATIC", radio.STATIC);
  radio.PTTEnabled = r.Bool(u"PTTEnabled", radio.PTTEnabled);
  radio.ResetCosDetectorOnTxReject =
      r.Bool(u"ResetCosDetectorOnTxReject", radio.ResetCosDetectorOnTxReject);
  radio.ResetCosDetectorOnTxRejectDelay =
      r.Int(u"ResetCosDetectorOnTxRejectDelay", radio.ResetCosDetectorOnTxRejectDelay);
  radio.CTCSSWakeTime = DaxMin1000(r.Unsigned(u"CTCSSWakeTime", radio.CTCSSWakeTime));
  radio.CarrierCatchTime = r.Unsigned(u"CarrierCatchTime", radio.CarrierCatchTime);
  radio.CarrierLostTime = r.Unsigned(u"CarrierLostTime", radio.CarrierLostTime);
  radio.CourtesyDelay = r.Int(u"CourtesyDelay", radio.CourtesyDelay);
  radio.SquelchSettlingTimeIn = r.Int(u"SquelchSettlingTimeIn", radio.SquelchSettlingTimeIn);
  radio.SquelchSettlingTime = r.Int(u"SquelchSettlingTime", radio.SquelchSettlingTime);
  radio.DtmfCommands = r.Text(u"DtmfCommands", radio.DtmfCommands);
  // The file gives seconds, the record holds ms.
  const int32_t def = radio.DtmfTimeout / 1000;
  const int32_t s = r.Int(u"DtmfTimeout", def);
  radio.DtmfTimeout = (s < 0 ? def : s == 0 ? 1 : s > 60 ? 60 : s) * 1000;
}

void ReadInternet(const TReadContext& ctx, TVEKInternetParameters& net) {
  const TSectionReader r(ctx, u"Internet");
  r.Choose(u"ProxyType", net.ProxyType, VekParseProxyType);
  net.ProxyAddress = r.Text(u"ProxyAddress", net.ProxyAddress);
  net.ProxyPort = r.Port(u"ProxyPort", net.ProxyPort);
  net.ProxyCharsetName = r.TextUpper(u"ProxyCharsetName", net.ProxyCharsetName);
  net.ConnectTimeout = r.Int(u"ConnectTimeout", net.ConnectTimeout);
  net.PreferIPV4 = r.Bool(u"PreferIPV4", net.PreferIPV4);
  net.ProxyConnectTimeout = r.Int(u"ProxyConnectTimeout", net.ProxyConnectTimeout);
}

bool ParseVisibleStatus(const std::u16string& text, TVEKVisibleStatus& value) {
  static const struct {
    const char16_t* Text;
    TVEKVisibleStatus Value;
  } rows[] = {{u"AVAILABLE", vs_Available}, {u"AV", vs_Available},
              {u"NOTAVAILABLE", vs_NotAvailable}, {u"NA", vs_NotAvailable},
              {u"ABSENT", vs_Absent}, {u"AB", vs_Absent}, {u"AS", vs_Absent}};
  const std::u16string upper = DaxUpperCaseAsciiW(text);
  for (const auto& row : rows) {
    if (upper == row.Text) {
      value = row.Value;
      return true;
    }
  }
  return false;
}

void ReadServerWork(const TReadContext& ctx, TVEKServerParametersWork& s) {
  const TSectionReader r(ctx, u"Server");
  s.ServerAddress = r.Text(u"ServerAddress", s.ServerAddress);
  s.ServerPort = r.Port(u"ServerPort", s.ServerPort);
  s.Network = r.Text(u"Network", s.Network);
  s.CharsetName = r.Text(u"CharsetName", s.CharsetName);
  s.TxStartGap = DaxClamp0To2000(r.Int(u"TxStartGap", s.TxStartGap));
  s.RxAlignEnabled = r.Bool(u"RxAlignEnabled", s.RxAlignEnabled);
  s.RxAlignTime = std::clamp(r.Int(u"RxAlignTime", s.RxAlignTime), 400, 1000);
}

void ReadServerConn(const TReadContext& ctx, TVEKServerParametersConn& s) {
  const TSectionReader r(ctx, u"Server");
  s.ServerReconnectCount = DaxClamp2To10(r.Int(u"ServerReconnectCount", s.ServerReconnectCount));
  s.ServerReconnectInterval =
      DaxClamp3000To300000(r.Unsigned(u"ServerReconnectInterval", s.ServerReconnectInterval));
  s.PretendAsVersion = r.Int(u"PretendAsVersion", s.PretendAsVersion);
  r.Choose(u"VisibleStatus", s.VisibleStatus, ParseVisibleStatus);
  s.MainServerUseProxy = r.FlagByte(u"MainServerUseProxy", s.MainServerUseProxy);
  s.BackupServerUseProxy = r.FlagByte(u"BackupServerUseProxy", s.BackupServerUseProxy);
  r.Choose(u"BackupServerMode", s.BackupServerMode, VekTryParseBackupServerMode);
  s.ForcedBackupServerAddress = r.Text(u"ForcedBackupServerAddress", s.ForcedBackupServerAddress);
  s.ForcedBackupServerPort = r.Port(u"ForcedBackupServerPort", s.ForcedBackupServerPort);
  s.ForcedBackupServerNetwork = r.Text(u"ForcedBackupServerNetwork", s.ForcedBackupServerNetwork);
  s.ForcedBackupServerUseProxy =
      r.FlagByte(u"ForcedBackupServerUseProxy", s.ForcedBackupServerUseProxy);
  r.Choose(u"ProtoListFormat", s.ProtoListFormat, VekParseProtoListFormat);
  s.ProtoSoundAck = r.Bool(u"ProtoSoundAck", s.ProtoSoundAck);
  s.ProtoUnicode = r.Bool(u"ProtoUnicode", s.ProtoUnicode);
  s.ProtoShortFrames = r.Bool(u"ProtoShortFrames", s.ProtoShortFrames);
  s.CheckServerInterval = r.Int(u"CheckServerInterval", s.CheckServerInterval);
}

void ReadManager(const TReadContext& ctx, TSection_Manager& m) {
  const TSectionReader r(ctx, u"Manager");
  m.ManagerAddress = r.Text(u"ManagerAddress", m.ManagerAddress);
  m.ManagerPort = r.Port(u"ManagerPort", m.ManagerPort);
  r.Choose(u"DynamicPasswordMode", m.DynamicPasswordMode, VekParseDynamicPasswordMode);
  m.Interval = r.Unsigned(u"Interval", m.Interval);
  m.Latency = r.Int(u"Latency", m.Latency);
}

// Hex (base 16) or decimal digits, all of them, as a code 0..65535.
bool ParseCode(const std::u16string& digits, bool hex, char16_t& code) {
  if (digits.empty()) return false;
  uint32_t v = 0;
  if (hex) {
    if (digits.size() > 8) return false;
    for (char16_t c : digits) {
      int d = -1;
      if (c >= u'0' && c <= u'9') d = c - u'0';
      else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
      else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
  } else {
    int32_t n = 0;
    if (!DaxTryStrToIntW(digits, n) || n < 0) return false;
    v = static_cast<uint32_t>(n);
  }
  if (v > 0xFFFF) return false;
  code = static_cast<char16_t>(v);
  return true;
}

// "\X<hex>", "\UX<hex>" or "\<decimal>" give that code; any other text its
// first character. False for an unusable code.
bool TryParseListDelimiter(const std::u16string& text, char16_t& delimiter) {
  if (text.empty()) return false;
  if (text[0] != u'\\') {
    delimiter = text[0];
    return true;
  }
  const std::u16string upper = DaxUpperCaseAsciiW(text);
  if (upper.compare(0, 3, u"\\UX") == 0) return ParseCode(text.substr(3), true, delimiter);
  if (upper.compare(0, 2, u"\\X") == 0) return ParseCode(text.substr(2), true, delimiter);
  return ParseCode(text.substr(1), false, delimiter);
}

void ReadSystem(const TReadContext& ctx, TVEKSystemParameters& s) {
  const TSectionReader r(ctx, u"System");
  s.CharsetName = r.TextUpper(u"CharsetName", s.CharsetName);
  s.WriteDir = r.Text(u"WriteDir", s.WriteDir);
  s.TempDir = r.Text(u"TempDir", s.TempDir);
  s.LogFile = r.Text(u"LogFile", s.LogFile);
  s.PidFile = r.Text(u"PidFile", s.PidFile);
  s.LogControlSound = r.Bool(u"LogControlSound", s.LogControlSound);
  s.LogExternalSound = r.Bool(u"LogExternalSound", s.LogExternalSound);
  r.Choose(u"LogClientList", s.LogClientList, VekParseClientListShowMode);
  const std::u16string delimiter = r.Text(u"LogClientListDelimiter", VekIniNotExistMarker);
  if (delimiter != VekIniNotExistMarker) {
    s.LogClientListDelimiter = u';';
    if (!TryParseListDelimiter(delimiter, s.LogClientListDelimiter))
      r.Warn(u"LogClientListDelimiter", u";");
  }
  s.LogCarrier = r.Bool(u"LogCarrier", s.LogCarrier);
  s.LogTiming = r.Bool(u"LogTiming", s.LogTiming);
  s.LogRx = r.Bool(u"LogRx", s.LogRx);
  s.LogTx = r.Bool(u"LogTx", s.LogTx);
  s.LogTxDataEnded = r.Bool(u"LogTxDataEnded", s.LogTxDataEnded);
  s.LogBackupServerMode = r.Bool(u"LogBackupServerMode", s.LogBackupServerMode);
  s.LogCheckServer = r.Bool(u"LogCheckServer", s.LogCheckServer);
  s.LogRecorder = r.Bool(u"LogRecorder", s.LogRecorder);
  s.LogDtmfTones = r.Bool(u"LogDtmfTones", s.LogDtmfTones);
  s.LogDtmfCommands = r.Bool(u"LogDtmfCommands", s.LogDtmfCommands);
  s.LogAudioErrors = r.Bool(u"LogAudioErrors", s.LogAudioErrors);
  s.AudioFilesConvert = r.Bool(u"AudioFilesConvert", s.AudioFilesConvert);
  s.BackupServersFileName = r.Text(u"BackupServersFileName", s.BackupServersFileName);
  s.DynamicPasswordFileName = r.Text(u"DynamicPasswordFileName", s.DynamicPasswordFileName);
}

void ReadSounds(const TReadContext& ctx, TVEKSoundParameters& s) {
  static const struct {
    const char16_t* FileKey;
    const char16_t* EnableKey;
  } rows[VekControlSoundCount] = {
      {u"SoundCourtesy", u"EnableCourtesy"},
      {u"SoundCourtesyEmptyNet", u"EnableCourtesyEmptyNet"},
      {u"SoundRoger", u"EnableRoger"},
      {u"SoundNoConnection", u"EnableNoConnection"},
      {u"SoundReject", u"EnableReject"},
      {u"SoundConnect", u"EnableConnect"},
      {u"SoundError", u"EnableError"},
      {u"SoundRadioBOT", u"EnableRadioBOT"},
      {u"SoundServerBOT", u"EnableServerBOT"},
      {u"SoundServerEOT", u"EnableServerEOT"},
  };
  const TSectionReader r(ctx, u"Sounds");
  s.SoundsDir = r.Text(u"SoundsDir", s.SoundsDir);
  for (int i = 0; i < VekControlSoundCount; ++i) {
    s.FileNames[i] = r.Text(rows[i].FileKey, s.FileNames[i]);
    s.Enabled[i] = r.Bool(rows[i].EnableKey, s.Enabled[i]);
  }
  if (s.FileNames[csnd_CourtesyEmptyNet].empty() && s.Enabled[csnd_Courtesy] &&
      s.Enabled[csnd_CourtesyEmptyNet])
    s.FileNames[csnd_CourtesyEmptyNet] = s.FileNames[csnd_Courtesy];
  s.ConnectSoundCfgEnabled = r.Bool(u"ConnectSoundCfgEnabled", s.ConnectSoundCfgEnabled);
  s.ConnectSoundCfgFileName = r.TextNotEmpty(u"ConnectSoundCfgFileName", s.ConnectSoundCfgFileName);
  s.ConnectSoundSupremacy = r.Bool(u"ConnectSoundSupremacy", s.ConnectSoundSupremacy);
  s.ConnectSoundExtEnabled = r.Bool(u"ConnectSoundExtEnabled", s.ConnectSoundExtEnabled);
  s.ConnectSoundExtScript = r.Text(u"ConnectSoundExtScript", s.ConnectSoundExtScript);
  s.ConnectSoundExtDir = r.Text(u"ConnectSoundExtDir", s.ConnectSoundExtDir);
}

// Minutes that divide the hour or are whole hours; the engine takes 60 for
// anything else, which is reported here.
void CheckHoursInterval(const TSectionReader& r, const std::u16string& text) {
  int32_t minutes = 0;
  if (text.empty()) return;
  if (!DaxTryStrToIntW(text, minutes))
    r.Warn(u"Interval", u"60");
  else if (minutes != 60 && VekCheckHoursInterval(minutes) == 60)
    r.WarnUnsupported(u"Interval", u"60");
}

void ReadHours(const TReadContext& ctx, TVEKHoursParameters& h) {
  const TSectionReader r(ctx, u"Hours");
  h.Dir = r.Text(u"Dir", h.Dir);
  h.Enabled = r.Bool(u"Enabled", h.Enabled);
  h.Correction = r.Int(u"Correction", h.Correction);
  h.Interval = r.Text(u"Interval", h.Interval);
  CheckHoursInterval(r, h.Interval);
  h.GuardTime = r.IntegerEx(u"GuardTime", h.GuardTime, -2);
  h.Debug = r.Bool(u"Debug", h.Debug);
  h.ExtEnabled = r.Bool(u"ExtEnabled", h.ExtEnabled);
  h.ExtScript = r.Text(u"ExtScript", h.ExtScript);
  h.ExtDir = r.Text(u"ExtDir", h.ExtDir);
  h.ExtTempDir = r.Text(u"ExtTempDir", h.ExtTempDir);
  h.ExtKeepEnabled = r.Flag(u"ExtKeepEnabled", h.ExtKeepEnabled);
  h.ExtKeepTime = r.Int(u"ExtKeepTime", h.ExtKeepTime);
}

void ReadInformer(const TReadContext& ctx, TVEKInformerCfgParams& i) {
  const TSectionReader r(ctx, u"Informer");
  i.Enabled = r.Flag(u"Enabled", i.Enabled);
  i.Interval = r.Int(u"Interval", i.Interval);
  i.Dir = r.Text(u"Dir", i.Dir);
  TVEKInformerMode mode = infm_Sequence;
  if (r.Choice(u"Mode", mode, VekParseInformerMode, VekEnumText(infm_Sequence))) i.Mode = mode;
  i.SilenceEnabled = r.Flag(u"SilenceEnabled", i.SilenceEnabled);
  i.SilenceInterval = r.Int(u"SilenceInterval", i.SilenceInterval);
  i.SilenceTime = r.Int(u"SilenceTime", i.SilenceTime);
  i.ExtEnabled = r.Flag(u"ExtEnabled", i.ExtEnabled);
  i.ExtScript = r.Text(u"ExtScript", i.ExtScript);
  i.ExtDir = r.Text(u"ExtDir", i.ExtDir);
  i.ExtTempDir = r.Text(u"ExtTempDir", i.ExtTempDir);
}

void ReadRecorder(const TReadContext& ctx, TVEKWriterCfgParams& w) {
  const TSectionReader r(ctx, u"Recorder");
  w.Enabled = r.Bool(u"Enabled", w.Enabled);
  w.Dir = r.Text(u"Dir", w.Dir);
  r.Choose(u"Direction", w.Direction, VekTryParseRecorderDirection);
  r.Choose(u"FileNameFormat", w.FileNameFormat, VekTryParseWriterFileNameFormat);
  r.Choose(u"SubdirMode", w.SubdirMode, VekTryParseWriterSubdirMode);
  w.Script = r.Text(u"Script", w.Script);
}

std::u16string DirectoryOf(const std::u16string& fileName) {
  const std::u16string full = DaxExpandFileNameW(fileName);
  const size_t slash = full.rfind(u'/');
  if (slash == std::u16string::npos) return std::u16string();
  return slash == 0 ? std::u16string(u"/") : full.substr(0, slash);
}

// Every key starts at its default; the reads keep it when the file has no
// usable value.
void ReadSections(const TReadContext& ctx, TVEKSetupData& setup) {
  ReadAuth(ctx, setup.Account);
  ReadAudio(ctx, setup.Audio);
  ReadRadio(ctx, setup.Radio);
  ReadInternet(ctx, setup.Internet);
  ReadServerWork(ctx, setup.Server);
  ReadServerConn(ctx, setup.Server);
  ReadManager(ctx, setup.Manager);
  setup.Message.PrivateAutoResponse =
      TSectionReader(ctx, u"Message").Text(u"PrivateAutoResponse", setup.Message.PrivateAutoResponse);
  ReadSystem(ctx, setup.System);
  ReadSounds(ctx, setup.Sounds);
  ReadHours(ctx, setup.Hours);
  ReadInformer(ctx, setup.Informer);
  ReadRecorder(ctx, setup.Recorder);
}

}  // namespace

char16_t VekParseListDelimiter(const std::u16string& text) {
  char16_t delimiter = u';';
  return TryParseListDelimiter(text, delimiter) ? delimiter : u';';
}

void VekLoadConfig(const std::u16string& fileName, TVEKSetupData& setup,
                   const std::u16string& currentDir, const std::u16string& programDir,
                   std::vector<std::u16string>* warnings) {
  const std::string sysName = DaxUnicodeToSys(fileName);
  struct stat st;
  if (sysName.empty() || ::stat(sysName.c_str(), &st) != 0)
    throw Exception("config file \"" + sysName + "\" not found");

  // The INI object is freed on every path, also when a read raises.
  const TIniFileUTF8 ini(fileName, false);
  VekSetupDefaults(setup, currentDir, programDir, DirectoryOf(fileName));
  ReadSections(TReadContext{ini, warnings, nullptr}, setup);
}

std::vector<TVEKConfigKey> VekConfigKeys() {
  const TIniFileUTF8 empty(u"", false);
  TVEKSetupData setup;
  VekSetupDefaults(setup, u"", u"", u"");
  std::vector<TVEKConfigKey> keys;
  ReadSections(TReadContext{empty, nullptr, &keys}, setup);
  return keys;
}
