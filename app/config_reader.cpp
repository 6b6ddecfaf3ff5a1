#include "app/config_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/inifile_utf8.h"
#include "foundation/tags.h"
#include "foundation/types.h"

namespace {

using TWarnings = std::vector<std::u16string>;

// The typed reads of one section, as the key table names them.
class TSectionReader {
 public:
  TSectionReader(const TIniFileUTF8& ini, const char16_t* section,
                 std::vector<std::u16string>* warnings = nullptr)
      : ini_(ini), sec_(section), warnings_(warnings) {}

  std::u16string Text(const char16_t* key, const std::u16string& def = std::u16string()) const {
    return DaxTrimW(ini_.ReadString(sec_, key, def));
  }
  std::u16string TextUpper(const char16_t* key, const std::u16string& def = {}) const {
    return DaxUpperCaseAsciiW(Text(key, def));
  }
  std::u16string TextTrimLeft(const char16_t* key, const std::u16string& def) const {
    return ini_.ReadStringTrimLeft(sec_, key, def);
  }
  int32_t Int(const char16_t* key, int32_t def) const { return ini_.ReadInteger(sec_, key, def); }
  uint32_t Unsigned(const char16_t* key, uint32_t def) const {
    const int64_t v = ini_.ReadInt64(sec_, key, def);
    return v < 0 || v > 0xFFFFFFFFll ? def : static_cast<uint32_t>(v);
  }
  bool Bool(const char16_t* key, bool def) const { return ini_.ReadBool(sec_, key, def); }
  // 0 no, 1 yes; def (-1, not set) when missing, empty or neither a number
  // nor a boolean word. Only the last is a mistake worth a warning: it would
  // otherwise silently switch the feature off.
  int32_t Flag(const char16_t* key, int32_t def) const {
    bool on = false;
    switch (ini_.TryReadFlag(sec_, key, on)) {
      case dfs_Read: return on ? 1 : 0;
      case dfs_Unreadable: WarnUnreadable(key, def); return def;
      default: return def;
    }
  }
  // The three-state bytes of [Server]: 0 not set, 1 no, 2 yes.
  uint8_t FlagByte(const char16_t* key, uint8_t def) const {
    return static_cast<uint8_t>(Flag(key, def - 1) + 1);
  }
  int32_t Port(const char16_t* key, int32_t def) const {
    return VekIniReadPort(ini_, sec_, key, def);
  }
  float Float(const char16_t* key, float def) const {
    return ini_.ReadFloat(sec_, key, def, TDaxFormatSettings{u'.'});
  }
  int32_t IntegerEx(const char16_t* key, int32_t missing, int32_t empty, int32_t invalid) const {
    return ini_.ReadIntegerEx(sec_, key, missing, empty, invalid);
  }
  std::u16string TextNotEmpty(const char16_t* key, const std::u16string& def) const {
    return DaxTrimW(ini_.ReadStringNotEmpty(sec_, key, def, def));
  }

 private:
  void WarnUnreadable(const char16_t* key, int32_t def) const {
    if (warnings_ == nullptr) return;
    const char16_t* def_text = def < 0 ? u"not set" : def == 0 ? u"no" : u"yes";
    warnings_->push_back(u"[" + sec_ + u"] " + key + u": unreadable value \"" +
                         ini_.ReadString(sec_, key, u"") + u"\", the default (" + def_text +
                         u") is used");
  }

  const TIniFileUTF8& ini_;
  std::u16string sec_;
  std::vector<std::u16string>* warnings_;
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

void ReadAuth(const TIniFileUTF8& ini, TVEKAccount& a) {
  const TSectionReader r(ini, u"Auth");
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
  TVEKClientType type = clt_GATEWAY;
  if (VekParseClientType(r.Text(u"ClientType"), type)) a.ClientType = type;
}

void ReadAudio(const TIniFileUTF8& ini, TVEKAudioParams& a, TWarnings* warnings) {
  const TSectionReader r(ini, u"Audio", warnings);
  a.ThreadPriority = r.Int(u"ThreadPriority", a.ThreadPriority);
  a.MeterMode = r.Int(u"MeterMode", a.MeterMode);
  a.InDevice = VekUnescapeText(r.TextTrimLeft(u"InDevice", a.InDevice));
  a.InSampleRate = VekCheckSampleRate(r.Int(u"InSampleRate", a.InSampleRate));
  a.InQuality = VekStrToConvertQuality(r.Text(u"InQuality"),
                                       static_cast<TVEKAudioConvertQuality>(a.InQuality));
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
  a.OutSampleRate = VekCheckSampleRate(r.Int(u"OutSampleRate", a.OutSampleRate));
  a.OutQuality = VekStrToConvertQuality(r.Text(u"OutQuality"),
                                        static_cast<TVEKAudioConvertQuality>(a.OutQuality));
  a.OutFactor = r.Int(u"OutFactor", a.OutFactor);
  ReadAgc(r, u"Out", a.OutAGC);
  a.OutHPFEnabled = r.Bool(u"OutHPFEnabled", a.OutHPFEnabled);
  a.OutHPFOrder = r.Int(u"OutHPFOrder", a.OutHPFOrder);
  a.OutBufferLimitTime = r.Int(u"OutBufferLimitTime", a.OutBufferLimitTime);
  a.OutDelayLatency = r.Bool(u"OutDelayLatency", a.OutDelayLatency);
  const int32_t delay = r.Int(u"OutDelayConst", a.OutDelayConst);
  a.OutDelayConst = delay < 0 ? a.OutDelayConst : (delay > 600 ? 600 : delay);
}

void ReadRadio(const TIniFileUTF8& ini, TVEKCfgSection_Radio& radio) {
  const TSectionReader r(ini, u"Radio");
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

void ReadInternet(const TIniFileUTF8& ini, TVEKInternetParameters& net) {
  const TSectionReader r(ini, u"Internet");
  TVEKProxyType type = VEK_PROXY_TYPE_NONE;
  if (VekParseProxyType(r.Text(u"ProxyType"), type)) net.ProxyType = type;
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

void ReadServerWork(const TIniFileUTF8& ini, TVEKServerParametersWork& s) {
  const TSectionReader r(ini, u"Server");
  s.ServerAddress = r.Text(u"ServerAddress", s.ServerAddress);
  s.ServerPort = r.Port(u"ServerPort", s.ServerPort);
  s.Network = r.Text(u"Network", s.Network);
  s.CharsetName = r.Text(u"CharsetName", s.CharsetName);
  s.TxStartGap = DaxClamp0To2000(r.Int(u"TxStartGap", s.TxStartGap));
  s.RxAlignEnabled = r.Bool(u"RxAlignEnabled", s.RxAlignEnabled);
  s.RxAlignTime = std::clamp(r.Int(u"RxAlignTime", s.RxAlignTime), 400, 1000);
}

void ReadServerConn(const TIniFileUTF8& ini, TVEKServerParametersConn& s, TWarnings* warnings) {
  const TSectionReader r(ini, u"Server", warnings);
  s.ServerReconnectCount = DaxClamp2To10(r.Int(u"ServerReconnectCount", s.ServerReconnectCount));
  s.ServerReconnectInterval =
      DaxClamp3000To300000(r.Unsigned(u"ServerReconnectInterval", s.ServerReconnectInterval));
  s.PretendAsVersion = r.Int(u"PretendAsVersion", s.PretendAsVersion);
  TVEKVisibleStatus status = vs_Available;
  if (ParseVisibleStatus(r.Text(u"VisibleStatus"), status)) s.VisibleStatus = status;
  s.MainServerUseProxy = r.FlagByte(u"MainServerUseProxy", s.MainServerUseProxy);
  s.BackupServerUseProxy = r.FlagByte(u"BackupServerUseProxy", s.BackupServerUseProxy);
  s.BackupServerMode = VekParseBackupServerModeDef(
      r.Text(u"BackupServerMode"), static_cast<TVEKBackupServerMode>(s.BackupServerMode));
  s.ForcedBackupServerAddress = r.Text(u"ForcedBackupServerAddress", s.ForcedBackupServerAddress);
  s.ForcedBackupServerPort = r.Port(u"ForcedBackupServerPort", s.ForcedBackupServerPort);
  s.ForcedBackupServerNetwork = r.Text(u"ForcedBackupServerNetwork", s.ForcedBackupServerNetwork);
  s.ForcedBackupServerUseProxy =
      r.FlagByte(u"ForcedBackupServerUseProxy", s.ForcedBackupServerUseProxy);
  TVEKProtoListFormat format = ProtoListFormat_DIFF;
  if (VekParseProtoListFormat(r.Text(u"ProtoListFormat"), format)) s.ProtoListFormat = format;
  s.ProtoSoundAck = r.Bool(u"ProtoSoundAck", s.ProtoSoundAck);
  s.ProtoUnicode = r.Bool(u"ProtoUnicode", s.ProtoUnicode);
  s.ProtoShortFrames = r.Bool(u"ProtoShortFrames", s.ProtoShortFrames);
  s.CheckServerInterval = r.Int(u"CheckServerInterval", s.CheckServerInterval);
}

void ReadManager(const TIniFileUTF8& ini, TSection_Manager& m) {
  const TSectionReader r(ini, u"Manager");
  m.ManagerAddress = r.Text(u"ManagerAddress", m.ManagerAddress);
  m.ManagerPort = r.Port(u"ManagerPort", m.ManagerPort);
  TVEKDynamicPasswordMode mode = dpm_YES;
  if (VekParseDynamicPasswordMode(r.Text(u"DynamicPasswordMode"), mode))
    m.DynamicPasswordMode = mode;
  m.Interval = r.Unsigned(u"Interval", m.Interval);
  m.Latency = r.Int(u"Latency", m.Latency);
}

void ReadSystem(const TIniFileUTF8& ini, TVEKSystemParameters& s) {
  const TSectionReader r(ini, u"System");
  s.CharsetName = r.TextUpper(u"CharsetName", s.CharsetName);
  s.WriteDir = r.Text(u"WriteDir", s.WriteDir);
  s.TempDir = r.Text(u"TempDir", s.TempDir);
  s.LogFile = r.Text(u"LogFile", s.LogFile);
  s.PidFile = r.Text(u"PidFile", s.PidFile);
  s.LogControlSound = r.Bool(u"LogControlSound", s.LogControlSound);
  s.LogExternalSound = r.Bool(u"LogExternalSound", s.LogExternalSound);
  TVEKClientListShowMode show = clsm_NUMBER;
  if (VekParseClientListShowMode(r.Text(u"LogClientList"), show)) s.LogClientList = show;
  const std::u16string delimiter = r.Text(u"LogClientListDelimiter", VekIniNotExistMarker);
  if (delimiter != VekIniNotExistMarker)
    s.LogClientListDelimiter = VekParseListDelimiter(delimiter);
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

void ReadSounds(const TIniFileUTF8& ini, TVEKSoundParameters& s) {
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
  const TSectionReader r(ini, u"Sounds");
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

void ReadHours(const TIniFileUTF8& ini, TVEKHoursParameters& h, TWarnings* warnings) {
  const TSectionReader r(ini, u"Hours", warnings);
  h.Dir = r.Text(u"Dir", h.Dir);
  h.Enabled = r.Bool(u"Enabled", h.Enabled);
  h.Correction = r.Int(u"Correction", h.Correction);
  h.Interval = r.Text(u"Interval", h.Interval);
  h.GuardTime = r.IntegerEx(u"GuardTime", h.GuardTime, -2, -2);
  h.Debug = r.Bool(u"Debug", h.Debug);
  h.ExtEnabled = r.Bool(u"ExtEnabled", h.ExtEnabled);
  h.ExtScript = r.Text(u"ExtScript", h.ExtScript);
  h.ExtDir = r.Text(u"ExtDir", h.ExtDir);
  h.ExtTempDir = r.Text(u"ExtTempDir", h.ExtTempDir);
  h.ExtKeepEnabled = r.Flag(u"ExtKeepEnabled", h.ExtKeepEnabled);
  h.ExtKeepTime = r.Int(u"ExtKeepTime", h.ExtKeepTime);
}

void ReadInformer(const TIniFileUTF8& ini, TVEKInformerCfgParams& i, TWarnings* warnings) {
  const TSectionReader r(ini, u"Informer", warnings);
  i.Enabled = r.Flag(u"Enabled", i.Enabled);
  i.Interval = r.Int(u"Interval", i.Interval);
  i.Dir = r.Text(u"Dir", i.Dir);
  TVEKInformerMode mode = infm_Sequence;
  if (VekParseInformerMode(r.Text(u"Mode"), mode)) i.Mode = mode;
  i.SilenceEnabled = r.Flag(u"SilenceEnabled", i.SilenceEnabled);
  i.SilenceInterval = r.Int(u"SilenceInterval", i.SilenceInterval);
  i.SilenceTime = r.Int(u"SilenceTime", i.SilenceTime);
  i.ExtEnabled = r.Flag(u"ExtEnabled", i.ExtEnabled);
  i.ExtScript = r.Text(u"ExtScript", i.ExtScript);
  i.ExtDir = r.Text(u"ExtDir", i.ExtDir);
  i.ExtTempDir = r.Text(u"ExtTempDir", i.ExtTempDir);
}

void ReadRecorder(const TIniFileUTF8& ini, TVEKWriterCfgParams& w) {
  const TSectionReader r(ini, u"Recorder");
  w.Enabled = r.Bool(u"Enabled", w.Enabled);
  w.Dir = r.Text(u"Dir", w.Dir);
  TVEKRecorderDirection direction = frd_BOTH;
  if (VekTryParseRecorderDirection(r.Text(u"Direction"), direction)) w.Direction = direction;
  TVEKWriterFileNameFormat format = fwff_LONG;
  if (VekTryParseWriterFileNameFormat(r.Text(u"FileNameFormat"), format))
    w.FileNameFormat = format;
  TVEKWriterSubdirMode subdir = fwsm_YYYY_MM_DD;
  if (VekTryParseWriterSubdirMode(r.Text(u"SubdirMode"), subdir)) w.SubdirMode = subdir;
  w.Script = r.Text(u"Script", w.Script);
}

std::u16string DirectoryOf(const std::u16string& fileName) {
  const std::u16string full = DaxExpandFileNameW(fileName);
  const size_t slash = full.rfind(u'/');
  if (slash == std::u16string::npos) return std::u16string();
  return slash == 0 ? std::u16string(u"/") : full.substr(0, slash);
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

}  // namespace

char16_t VekParseListDelimiter(const std::u16string& text) {
  if (text.empty()) return u';';
  if (text[0] != u'\\') return text[0];
  const std::u16string upper = DaxUpperCaseAsciiW(text);
  char16_t code = u';';
  bool ok;
  if (upper.compare(0, 3, u"\\UX") == 0)
    ok = ParseCode(text.substr(3), true, code);
  else if (upper.compare(0, 2, u"\\X") == 0)
    ok = ParseCode(text.substr(2), true, code);
  else
    ok = ParseCode(text.substr(1), false, code);
  return ok ? code : u';';
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
  // Every key starts at its default; the reads below keep it when the file
  // has no usable value.
  VekSetupDefaults(setup, currentDir, programDir, DirectoryOf(fileName));
  ReadAuth(ini, setup.Account);
  ReadAudio(ini, setup.Audio, warnings);
  ReadRadio(ini, setup.Radio);
  ReadInternet(ini, setup.Internet);
  ReadServerWork(ini, setup.Server);
  ReadServerConn(ini, setup.Server, warnings);
  ReadManager(ini, setup.Manager);
  const TSectionReader message(ini, u"Message");
  setup.Message.PrivateAutoResponse =
      message.Text(u"PrivateAutoResponse", setup.Message.PrivateAutoResponse);
  ReadSystem(ini, setup.System);
  ReadSounds(ini, setup.Sounds);
  ReadHours(ini, setup.Hours, warnings);
  ReadInformer(ini, setup.Informer, warnings);
  ReadRecorder(ini, setup.Recorder);
}
