#include "foundation/setup_data.h"

#include "foundation/types.h"

namespace {

int32_t ClampOr(int32_t v, int32_t ifNegative, int32_t lo, int32_t hi) {
  if (v < 0) return ifNegative;
  return v < lo ? lo : (v > hi ? hi : v);
}

void RadioDefaults(TVEKCfgSection_Radio& r) {
  r = TVEKCfgSection_Radio{};
  r.PTTEnabled = true;
  r.ResetCosDetectorOnTxRejectDelay = 500;
  r.CourtesyDelay = -1;
  r.SquelchSettlingTimeIn = -1;
  r.SquelchSettlingTime = -1;
  r.DtmfTimeout = 15000;
}

void InternetDefaults(TVEKInternetParameters& n) {
  n = TVEKInternetParameters{};
  n.ProxyType = VEK_PROXY_TYPE_NONE;
  n.ProxyPort = -1;
  n.ProxyCharsetName = u"UTF-8";
  n.ConnectTimeout = -1;
  n.PreferIPV4 = true;
  n.ProxyConnectTimeout = -1;
}

void ServerDefaults(TVEKServerParameters& s) {
  s = TVEKServerParameters{};
  s.ServerPort = -1;
  s.RxAlignTime = 600;
  s.ServerReconnectCount = 3;
  s.ServerReconnectInterval = 5000;
  s.PretendAsVersion = VekDefaultClientVersion;
  s.VisibleStatus = vs_Available;
  s.BackupServerMode = bsm_YES;
  s.ForcedBackupServerPort = -1;
  s.ProtoListFormat = ProtoListFormat_DIFF;
  s.ProtoSoundAck = true;
  s.ProtoUnicode = true;
  s.ProtoShortFrames = true;
  s.CheckServerInterval = -1;
}

void ManagerDefaults(TSection_Manager& m) {
  m = TSection_Manager{};
  m.ManagerAddress = VekDefaultManagerAddress;
  m.ManagerPort = VekDefaultManagerPort;
  m.DynamicPasswordMode = dpm_YES;
  m.Interval = 1000;
  m.Latency = -1;
}

void SystemDefaults(TVEKSystemParameters& s) {
  s = TVEKSystemParameters{};
  s.LogControlSound = true;
  s.LogExternalSound = true;
  s.LogClientList = clsm_NUMBER;
  s.LogClientListDelimiter = u';';
  s.LogCarrier = true;
  s.LogRx = true;
  s.LogTx = true;
  s.LogBackupServerMode = true;
  s.LogCheckServer = true;
  s.LogRecorder = true;
  s.LogDtmfTones = true;
  s.LogDtmfCommands = true;
  s.LogAudioErrors = true;
  s.AudioFilesConvert = true;
  s.BackupServersFileName = u"backupserver1.dat";
  s.DynamicPasswordFileName = u"dynpass1.dat";
}

void SoundsDefaults(TVEKSoundParameters& s) {
  s = TVEKSoundParameters{};
  for (int i : {csnd_Courtesy, csnd_Roger, csnd_NoConnection, csnd_Reject, csnd_Error})
    s.Enabled[i] = true;
  s.ConnectSoundCfgFileName = u"connsounds.cfg";
  s.ConnectSoundSupremacy = true;
}

void HoursDefaults(TVEKHoursParameters& h) {
  h = TVEKHoursParameters{};
  h.Interval = u"60";
  h.GuardTime = -1;
  h.ExtKeepEnabled = -1;
  h.ExtKeepTime = -1;
}

void RecorderDefaults(TVEKWriterCfgParams& w) {
  w = TVEKWriterCfgParams{};
  w.Dir = u"recorder";
  w.Direction = frd_BOTH;
  w.FileNameFormat = fwff_LONG;
  w.SubdirMode = fwsm_YYYY_MM_DD;
}

}  // namespace

void VekSetupDefaults(TVEKSetupData& setup, const std::u16string& startDir,
                      const std::u16string& programDir, const std::u16string& configDir) {
  setup.Account = TVEKAccount{};
  setup.Account.ClientType = clt_GATEWAY;
  VekAudioDefaults(setup.Audio);
  RadioDefaults(setup.Radio);
  InternetDefaults(setup.Internet);
  ManagerDefaults(setup.Manager);
  ServerDefaults(setup.Server);
  setup.Message = TSection_Message{};
  SystemDefaults(setup.System);
  setup.System.StartDir = startDir;
  setup.System.ProgramDir = programDir;
  setup.System.ConfigDir = configDir;
  SoundsDefaults(setup.Sounds);
  HoursDefaults(setup.Hours);
  VekInformerCfgDefaults(setup.Informer);
  // From the file the script directory has no default; the engine's own
  // fallback "informer" only stands in for a missing section.
  setup.Informer.ExtDir.clear();
  RecorderDefaults(setup.Recorder);
}

void VekAudioDefaults(TVEKAudioParams& a) {
  a = TVEKAudioParams{};
  a.ThreadPriority = -1;
  a.MeterMode = -1;
  a.InSampleRate = 44100;
  a.InQuality = acq_NO;
  a.InFactor = 2;
  a.InMaxTime = 0;
  a.InPreCapturedTime = -1;
  a.InCaptureAfterApproval = false;
  a.InAGC = TVEKAgcCfgParams{-1, -1, -1.0f, -1, -1, 0.0f};
  a.InHPFEnabled = false;
  a.InHPFOrder = -1;
  a.InDtmfEnabled = false;
  a.OutSampleRate = 44100;
  a.OutQuality = acq_NO;
  a.OutFactor = 2;
  a.OutAGC = TVEKAgcCfgParams{-1, -1, -1.0f, -1, -1, 0.0f};
  a.OutHPFEnabled = false;
  a.OutHPFOrder = -1;
  a.OutBufferLimitTime = -1;
  a.OutDelayConst = 1;
  a.OutDelayLatency = true;
}

void VekInformerCfgDefaults(TVEKInformerCfgParams& i) {
  i = TVEKInformerCfgParams{};
  i.Enabled = -1;
  i.Interval = -1;
  i.Dir = u"informer";
  i.Mode = -1;
  i.SilenceEnabled = -1;
  i.SilenceInterval = -1;
  i.SilenceTime = -1;
  i.ExtEnabled = -1;
  i.ExtDir = u"informer";
}

void VekInformerWorkParams(const TVEKInformerCfgParams& cfg, TVEKInformerWorkParams& work) {
  work.Enabled = cfg.Enabled == 1;
  work.Interval = ClampOr(cfg.Interval, 900, 20, 7200) * 1000;
  work.Dir = cfg.Dir;
  work.Mode = cfg.Mode == infm_Random ? infm_Random : infm_Sequence;
  work.SilenceEnabled = cfg.SilenceEnabled == 1;
  work.SilenceInterval = ClampOr(cfg.SilenceInterval, 300, 20, 7200) * 1000;
  work.SilenceTime = ClampOr(cfg.SilenceTime, 2000, 100, 5000);
  work.ExtEnabled = cfg.ExtEnabled == 1;
  work.ExtScript = DaxTrimW(cfg.ExtScript);
  work.ExtDir = DaxTrimW(cfg.ExtDir);
  work.ExtTempDir = DaxTrimW(cfg.ExtTempDir);
}
