#include "app/config_reader.h"

#include <sys/stat.h>

#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/inifile_utf8.h"
#include "foundation/tags.h"
#include "foundation/types.h"

namespace {

// The typed reads of one section, as the key table names them.
class TSectionReader {
 public:
  TSectionReader(const TIniFileUTF8& ini, const char16_t* section) : ini_(ini), sec_(section) {}

  std::u16string Text(const char16_t* key, const std::u16string& def = std::u16string()) const {
    return DaxTrimW(ini_.ReadString(sec_, key, def));
  }
  std::u16string TextUpper(const char16_t* key, const std::u16string& def = {}) const {
    return DaxUpperCaseAsciiW(Text(key, def));
  }
  std::u16string TextTrimLeft(const char16_t* key) const {
    return ini_.ReadStringTrimLeft(sec_, key, std::u16string());
  }
  int32_t Int(const char16_t* key, int32_t def) const { return ini_.ReadInteger(sec_, key, def); }
  uint32_t Unsigned(const char16_t* key, uint32_t def) const {
    const int64_t v = ini_.ReadInt64(sec_, key, def);
    return v < 0 || v > 0xFFFFFFFFll ? def : static_cast<uint32_t>(v);
  }
  bool Bool(const char16_t* key, bool def) const { return ini_.ReadBool(sec_, key, def); }
  // -1 not set (missing or neither a number nor a boolean word), 0 no, 1 yes.
  int32_t Flag(const char16_t* key) const {
    const std::u16string raw = ini_.ReadRaw(sec_, key, VekIniNotExistMarker);
    if (raw == VekIniNotExistMarker) return -1;
    int32_t n = 0;
    if (DaxTryStrToIntW(raw, n)) return n != 0 ? 1 : 0;
    bool b = false;
    if (DaxTryStrToBoolW(raw, b)) return b ? 1 : 0;
    return -1;
  }
  // The three-state bytes of [Server]: 0 not set, 1 no, 2 yes.
  uint8_t FlagByte(const char16_t* key) const { return static_cast<uint8_t>(Flag(key) + 1); }
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
  const TIniFileUTF8& ini_;
  std::u16string sec_;
};

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

void ReadAgc(const TSectionReader& r, const std::u16string& prefix, TVEKAgcCfgParams& agc) {
  auto key = [&prefix](const char16_t* name) { return prefix + name; };
  agc.Enabled = r.Flag(key(u"AGCEnabled").c_str());
  agc.Level = r.Int(key(u"AGCLevel").c_str(), -1);
  agc.MaxGain = r.Float(key(u"AGCMaxGain").c_str(), -1.0f);
  agc.Mode = r.Int(key(u"AGCMode").c_str(), -1);
  agc.TimeConst = r.Int(key(u"AGCTimeConst").c_str(), -1);
  agc.Threshold = r.Float(key(u"AGCThreshold").c_str(), 0.0f);
}

void ReadAuth(const TIniFileUTF8& ini, TVEKAccount& a) {
  const TSectionReader r(ini, u"Auth");
  a.Callsign = r.Text(u"Callsign");
  a.OperatorName = r.Text(u"OperatorName");
  a.EMailAddress = r.Text(u"EMailAddress");
  a.City = r.Text(u"City");
  a.CityPart = r.Text(u"CityPart");
  a.Country = r.Text(u"Country");
  a.Password = r.Text(u"Password");
  a.DynamicPassword = r.Text(u"DynamicPassword");
  a.Description = r.Text(u"Description");
  a.BandChannel = r.Text(u"BandChannel");
  a.CharsetName = r.TextUpper(u"CharsetName");
  TVEKClientType type = clt_GATEWAY;
  a.ClientType = VekParseClientType(r.Text(u"ClientType"), type) ? type : clt_GATEWAY;
}

void ReadAudio(const TIniFileUTF8& ini, TVEKAudioParams& a) {
  const TSectionReader r(ini, u"Audio");
  a.ThreadPriority = r.Int(u"ThreadPriority", -1);
  a.MeterMode = r.Int(u"MeterMode", -1);
  a.InDevice = VekUnescapeText(r.TextTrimLeft(u"InDevice"));
  a.InSampleRate = VekCheckSampleRate(r.Int(u"InSampleRate", 44100));
  a.InQuality = VekStrToConvertQuality(r.Text(u"InQuality"), acq_NO);
  a.InFactor = r.Int(u"InFactor", 2);
  a.InMaxTime = r.Int(u"InMaxTime", 0);
  if (a.InMaxTime > 3000) a.InMaxTime = 3000;
  a.InPreCapturedTime = r.Int(u"InPreCapturedTime", -1);
  a.InCaptureAfterApproval = r.Bool(u"InCaptureAfterApproval", false);
  ReadAgc(r, u"In", a.InAGC);
  a.InHPFEnabled = r.Bool(u"InHPFEnabled", false);
  a.InHPFOrder = r.Int(u"InHPFOrder", -1);
  a.InDtmfEnabled = r.Bool(u"InDtmfEnabled", false);
  a.OutDevice = r.TextTrimLeft(u"OutDevice");
  a.OutSampleRate = VekCheckSampleRate(r.Int(u"OutSampleRate", 44100));
  a.OutQuality = VekStrToConvertQuality(r.Text(u"OutQuality"), acq_NO);
  a.OutFactor = r.Int(u"OutFactor", 2);
  ReadAgc(r, u"Out", a.OutAGC);
  a.OutHPFEnabled = r.Bool(u"OutHPFEnabled", false);
  a.OutHPFOrder = r.Int(u"OutHPFOrder", -1);
  a.OutBufferLimitTime = r.Int(u"OutBufferLimitTime", -1);
  a.OutDelayLatency = r.Bool(u"OutDelayLatency", true);
  const int32_t delay = r.Int(u"OutDelayConst", 1);
  a.OutDelayConst = delay < 0 ? 1 : (delay > 600 ? 600 : delay);
}

void ReadRadio(const TIniFileUTF8& ini, TVEKCfgSection_Radio& radio) {
  const TSectionReader r(ini, u"Radio");
  radio.PTT = r.Text(u"PTT");
  radio.COS = r.Text(u"COS");
  radio.LIGHT = r.Text(u"LIGHT");
  radio.STATIC = r.Text(u"STATIC");
  radio.PTTEnabled = r.Bool(u"PTTEnabled", true);
  radio.ResetCosDetectorOnTxReject = r.Bool(u"ResetCosDetectorOnTxReject", false);
  radio.ResetCosDetectorOnTxRejectDelay = r.Int(u"ResetCosDetectorOnTxRejectDelay", 500);
  radio.CTCSSWakeTime = DaxMin1000(r.Unsigned(u"CTCSSWakeTime", 0));
  radio.CarrierCatchTime = r.Unsigned(u"CarrierCatchTime", 0);
  radio.CarrierLostTime = r.Unsigned(u"CarrierLostTime", 0);
  radio.CourtesyDelay = r.Int(u"CourtesyDelay", -1);
  radio.SquelchSettlingTimeIn = r.Int(u"SquelchSettlingTimeIn", -1);
  radio.SquelchSettlingTime = r.Int(u"SquelchSettlingTime", -1);
  radio.DtmfCommands = r.Text(u"DtmfCommands");
  const int32_t s = r.Int(u"DtmfTimeout", 15);
  radio.DtmfTimeout = (s < 0 ? 15 : s == 0 ? 1 : s > 60 ? 60 : s) * 1000;
}

void ReadInternet(const TIniFileUTF8& ini, TVEKInternetParameters& net) {
  const TSectionReader r(ini, u"Internet");
  TVEKProxyType type = VEK_PROXY_TYPE_NONE;
  net.ProxyType = VekParseProxyType(r.Text(u"ProxyType"), type) ? type : VEK_PROXY_TYPE_NONE;
  net.ProxyAddress = r.Text(u"ProxyAddress");
  net.ProxyPort = r.Port(u"ProxyPort", -1);
  net.ProxyCharsetName = r.TextUpper(u"ProxyCharsetName", u"UTF-8");
  net.ProxyUser.clear();
  net.ProxyPassword.clear();
  net.ConnectTimeout = r.Int(u"ConnectTimeout", -1);
  net.PreferIPV4 = r.Bool(u"PreferIPV4", true);
  net.ProxyConnectTimeout = r.Int(u"ProxyConnectTimeout", -1);
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
  s.ServerAddress = r.Text(u"ServerAddress");
  s.ServerPort = r.Port(u"ServerPort", -1);
  s.Network = r.Text(u"Network");
  s.CharsetName = r.Text(u"CharsetName");
  s.TxStartGap = DaxClamp0To2000(r.Int(u"TxStartGap", 0));
  s.RxAlignEnabled = r.Bool(u"RxAlignEnabled", false);
  s.RxAlignTime = Clamp(r.Int(u"RxAlignTime", 600), 400, 1000);
}

void ReadServerConn(const TIniFileUTF8& ini, TVEKServerParametersConn& s) {
  const TSectionReader r(ini, u"Server");
  s.ServerReconnectCount = DaxClamp2To10(r.Int(u"ServerReconnectCount", 3));
  s.ServerReconnectInterval = DaxClamp3000To300000(r.Unsigned(u"ServerReconnectInterval", 5000));
  s.PretendAsVersion = r.Int(u"PretendAsVersion", VekDefaultClientVersion);
  TVEKVisibleStatus status = vs_Available;
  s.VisibleStatus = ParseVisibleStatus(r.Text(u"VisibleStatus"), status) ? status : vs_Available;
  s.MainServerUseProxy = r.FlagByte(u"MainServerUseProxy");
  s.BackupServerUseProxy = r.FlagByte(u"BackupServerUseProxy");
  s.BackupServerMode = VekParseBackupServerModeDef(r.Text(u"BackupServerMode"), bsm_YES);
  s.ForcedBackupServerAddress = r.Text(u"ForcedBackupServerAddress");
  s.ForcedBackupServerPort = r.Port(u"ForcedBackupServerPort", -1);
  s.ForcedBackupServerNetwork = r.Text(u"ForcedBackupServerNetwork");
  s.ForcedBackupServerUseProxy = r.FlagByte(u"ForcedBackupServerUseProxy");
  TVEKProtoListFormat format = ProtoListFormat_DIFF;
  s.ProtoListFormat =
      VekParseProtoListFormat(r.Text(u"ProtoListFormat"), format) ? format : ProtoListFormat_DIFF;
  s.ProtoSoundAck = r.Bool(u"ProtoSoundAck", true);
  s.ProtoUnicode = r.Bool(u"ProtoUnicode", true);
  s.ProtoShortFrames = r.Bool(u"ProtoShortFrames", true);
  s.CheckServerInterval = r.Int(u"CheckServerInterval", -1);
}

void ReadManager(const TIniFileUTF8& ini, TSection_Manager& m) {
  const TSectionReader r(ini, u"Manager");
  m.ManagerAddress = r.Text(u"ManagerAddress", VekDefaultManagerAddress);
  m.ManagerPort = r.Port(u"ManagerPort", VekDefaultManagerPort);
  TVEKDynamicPasswordMode mode = dpm_YES;
  m.DynamicPasswordMode =
      VekParseDynamicPasswordMode(r.Text(u"DynamicPasswordMode"), mode) ? mode : dpm_YES;
  m.Interval = r.Unsigned(u"Interval", 1000);
  m.Latency = r.Int(u"Latency", -1);
}

void ReadSystem(const TIniFileUTF8& ini, TVEKSystemParameters& s) {
  const TSectionReader r(ini, u"System");
  s.CharsetName = r.TextUpper(u"CharsetName");
  s.WriteDir = r.Text(u"WriteDir");
  s.TempDir = r.Text(u"TempDir");
  s.LogFile = r.Text(u"LogFile");
  s.PidFile = r.Text(u"PidFile");
  s.LogControlSound = r.Bool(u"LogControlSound", true);
  s.LogExternalSound = r.Bool(u"LogExternalSound", true);
  TVEKClientListShowMode show = clsm_NUMBER;
  s.LogClientList = VekParseClientListShowMode(r.Text(u"LogClientList"), show) ? show : clsm_NUMBER;
  s.LogClientListDelimiter = VekParseListDelimiter(r.Text(u"LogClientListDelimiter", u";"));
  s.LogCarrier = r.Bool(u"LogCarrier", true);
  s.LogTiming = r.Bool(u"LogTiming", false);
  s.LogRx = r.Bool(u"LogRx", true);
  s.LogTx = r.Bool(u"LogTx", true);
  s.LogTxDataEnded = r.Bool(u"LogTxDataEnded", false);
  s.LogBackupServerMode = r.Bool(u"LogBackupServerMode", true);
  s.LogCheckServer = r.Bool(u"LogCheckServer", true);
  s.LogRecorder = r.Bool(u"LogRecorder", true);
  s.LogDtmfTones = r.Bool(u"LogDtmfTones", true);
  s.LogDtmfCommands = r.Bool(u"LogDtmfCommands", true);
  s.LogAudioErrors = r.Bool(u"LogAudioErrors", true);
  s.AudioFilesConvert = r.Bool(u"AudioFilesConvert", true);
  s.BackupServersFileName = r.Text(u"BackupServersFileName", u"backupserver1.dat");
  s.DynamicPasswordFileName = r.Text(u"DynamicPasswordFileName", u"dynpass1.dat");
}

void ReadSounds(const TIniFileUTF8& ini, TVEKSoundParameters& s) {
  static const struct {
    const char16_t* FileKey;
    const char16_t* EnableKey;
    bool EnableDefault;
  } rows[VekControlSoundCount] = {
      {u"SoundCourtesy", u"EnableCourtesy", true},
      {u"SoundCourtesyEmptyNet", u"EnableCourtesyEmptyNet", false},
      {u"SoundRoger", u"EnableRoger", true},
      {u"SoundNoConnection", u"EnableNoConnection", true},
      {u"SoundReject", u"EnableReject", true},
      {u"SoundConnect", u"EnableConnect", false},
      {u"SoundError", u"EnableError", true},
      {u"SoundRadioBOT", u"EnableRadioBOT", false},
      {u"SoundServerBOT", u"EnableServerBOT", false},
      {u"SoundServerEOT", u"EnableServerEOT", false},
  };
  const TSectionReader r(ini, u"Sounds");
  s.SoundsDir = r.Text(u"SoundsDir");
  for (int i = 0; i < VekControlSoundCount; ++i) {
    s.FileNames[i] = r.Text(rows[i].FileKey);
    s.Enabled[i] = r.Bool(rows[i].EnableKey, rows[i].EnableDefault);
  }
  if (s.FileNames[csnd_CourtesyEmptyNet].empty() && s.Enabled[csnd_Courtesy] &&
      s.Enabled[csnd_CourtesyEmptyNet])
    s.FileNames[csnd_CourtesyEmptyNet] = s.FileNames[csnd_Courtesy];
  s.ConnectSoundCfgEnabled = r.Bool(u"ConnectSoundCfgEnabled", false);
  s.ConnectSoundCfgFileName = r.TextNotEmpty(u"ConnectSoundCfgFileName", u"connsounds.cfg");
  s.ConnectSoundSupremacy = r.Bool(u"ConnectSoundSupremacy", true);
  s.ConnectSoundExtEnabled = r.Bool(u"ConnectSoundExtEnabled", false);
  s.ConnectSoundExtScript = r.Text(u"ConnectSoundExtScript");
  s.ConnectSoundExtDir = r.Text(u"ConnectSoundExtDir");
}

void ReadHours(const TIniFileUTF8& ini, TVEKHoursParameters& h) {
  const TSectionReader r(ini, u"Hours");
  h.Dir = r.Text(u"Dir");
  h.Enabled = r.Bool(u"Enabled", false);
  h.Correction = r.Int(u"Correction", 0);
  h.Interval = r.Text(u"Interval", u"60");
  h.GuardTime = r.IntegerEx(u"GuardTime", -1, -2, -2);
  h.Debug = r.Bool(u"Debug", false);
  h.ExtEnabled = r.Bool(u"ExtEnabled", false);
  h.ExtScript = r.Text(u"ExtScript");
  h.ExtDir = r.Text(u"ExtDir");
  h.ExtTempDir = r.Text(u"ExtTempDir");
  h.ExtKeepEnabled = r.Flag(u"ExtKeepEnabled");
  h.ExtKeepTime = r.Int(u"ExtKeepTime", -1);
}

void ReadInformer(const TIniFileUTF8& ini, TVEKInformerCfgParams& i) {
  const TSectionReader r(ini, u"Informer");
  i.Enabled = r.Flag(u"Enabled");
  i.Interval = r.Int(u"Interval", -1);
  i.Dir = r.Text(u"Dir", u"informer");
  TVEKInformerMode mode = infm_Sequence;
  i.Mode = VekParseInformerMode(r.Text(u"Mode"), mode) ? mode : -1;
  i.SilenceEnabled = r.Flag(u"SilenceEnabled");
  i.SilenceInterval = r.Int(u"SilenceInterval", -1);
  i.SilenceTime = r.Int(u"SilenceTime", -1);
  i.ExtEnabled = r.Flag(u"ExtEnabled");
  i.ExtScript = r.Text(u"ExtScript");
  i.ExtDir = r.Text(u"ExtDir");
  i.ExtTempDir = r.Text(u"ExtTempDir");
}

void ReadRecorder(const TIniFileUTF8& ini, TVEKWriterCfgParams& w) {
  const TSectionReader r(ini, u"Recorder");
  w.Enabled = r.Bool(u"Enabled", false);
  w.Dir = r.Text(u"Dir", u"recorder");
  w.Direction = VekParseRecorderDirectionDef(r.Text(u"Direction"));
  w.FileNameFormat = VekParseWriterFileNameFormatDef(r.Text(u"FileNameFormat"));
  w.SubdirMode = VekParseWriterSubdirModeDef(r.Text(u"SubdirMode"));
  w.Script = r.Text(u"Script");
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
                   const std::u16string& currentDir, const std::u16string& programDir) {
  const std::string sysName = DaxUnicodeToSys(fileName);
  struct stat st;
  if (sysName.empty() || ::stat(sysName.c_str(), &st) != 0)
    throw Exception("config file \"" + sysName + "\" not found");

  // The INI object is freed on every path, also when a read raises.
  const TIniFileUTF8 ini(fileName, false);
  ReadAuth(ini, setup.Account);
  ReadAudio(ini, setup.Audio);
  ReadRadio(ini, setup.Radio);
  ReadInternet(ini, setup.Internet);
  ReadServerWork(ini, setup.Server);
  ReadServerConn(ini, setup.Server);
  ReadManager(ini, setup.Manager);
  const TSectionReader message(ini, u"Message");
  setup.Message.PrivateAutoResponse = message.Text(u"PrivateAutoResponse");
  setup.System.StartDir = currentDir;
  setup.System.ProgramDir = programDir;
  setup.System.ConfigDir = DirectoryOf(fileName);
  ReadSystem(ini, setup.System);
  ReadSounds(ini, setup.Sounds);
  ReadHours(ini, setup.Hours);
  ReadInformer(ini, setup.Informer);
  ReadRecorder(ini, setup.Recorder);
}
