// The whole configuration as one record, one sub-record per INI section.
// The front end fills it once at start-up; the network and station layers
// take the sub-records, so the record lives in the foundation. A record built
// here is zero and empty; VekSetupDefaults fills in every default.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types_base.h"

// A placeholder that can never reach anybody's machine: a real network's
// system manager has to be configured.
inline constexpr char16_t VekDefaultManagerAddress[] = u"manager.vek.invalid";
inline constexpr int32_t VekDefaultManagerPort = 10025;
inline constexpr int32_t VekDefaultClientVersion = 2014004;

// [Audio]
struct TVEKAudioParams {
  int32_t ThreadPriority = 0;
  int32_t MeterMode = 0;
  std::u16string InDevice;
  int32_t InSampleRate = 0;
  uint8_t InQuality = acq_NO;  // TVEKAudioConvertQuality
  int32_t InFactor = 0;
  int32_t InMaxTime = 0;
  int32_t InPreCapturedTime = 0;
  bool InCaptureAfterApproval = false;
  TVEKAgcCfgParams InAGC;
  bool InHPFEnabled = false;
  int32_t InHPFOrder = 0;
  bool InDtmfEnabled = false;
  std::u16string OutDevice;
  int32_t OutSampleRate = 0;
  uint8_t OutQuality = acq_NO;  // TVEKAudioConvertQuality
  int32_t OutFactor = 0;
  TVEKAgcCfgParams OutAGC;
  bool OutHPFEnabled = false;
  int32_t OutHPFOrder = 0;
  int32_t OutDelayConst = 0;
  bool OutDelayLatency = false;
  int32_t OutBufferLimitTime = 0;
};

// [Radio]
struct TVEKCfgSection_Radio {
  std::u16string PTT;
  std::u16string COS;
  std::u16string LIGHT;
  std::u16string STATIC;
  uint32_t CTCSSWakeTime = 0;     // ms, at most 1000
  uint32_t CarrierCatchTime = 0;  // ms
  uint32_t CarrierLostTime = 0;   // ms
  int32_t ResetCosDetectorOnTxRejectDelay = 0;  // ms
  int32_t CourtesyDelay = 0;          // ms
  int32_t SquelchSettlingTimeIn = 0;  // ms
  int32_t SquelchSettlingTime = 0;    // ms
  bool PTTEnabled = false;
  bool ResetCosDetectorOnTxReject = false;
  std::u16string DtmfCommands;
  int32_t DtmfTimeout = 0;  // ms
};

// [Internet]
struct TVEKInternetParameters {
  std::u16string ProxyAddress;
  std::u16string ProxyCharsetName;
  std::u16string ProxyUser;      // never set from the file
  std::u16string ProxyPassword;  // never set from the file
  int32_t ConnectTimeout = 0;       // s
  int32_t ProxyConnectTimeout = 0;  // s
  int32_t ProxyPort = 0;
  uint8_t ProxyType = VEK_PROXY_TYPE_NONE;  // TVEKProxyType
  bool PreferIPV4 = false;
};

// [Manager]
struct TSection_Manager {
  std::u16string ManagerAddress;
  int32_t ManagerPort = 0;
  uint8_t DynamicPasswordMode = dpm_NO;  // TVEKDynamicPasswordMode
  uint32_t Interval = 0;
  int32_t Latency = 0;
};

// [Server], how to connect. The use-proxy bytes: 0 not set, 1 no, 2 yes.
struct TVEKServerParametersConn {
  int32_t ServerReconnectCount = 0;
  uint32_t ServerReconnectInterval = 0;  // ms
  int32_t PretendAsVersion = 0;
  uint8_t VisibleStatus = vs_Available;  // TVEKVisibleStatus
  uint8_t BackupServerMode = bsm_YES;    // TVEKBackupServerMode
  uint8_t MainServerUseProxy = 0;
  uint8_t BackupServerUseProxy = 0;
  std::u16string ForcedBackupServerAddress;
  int32_t ForcedBackupServerPort = 0;
  std::u16string ForcedBackupServerNetwork;
  uint8_t ForcedBackupServerUseProxy = 0;
  uint8_t ProtoListFormat = ProtoListFormat_VEK;  // TVEKProtoListFormat
  bool ProtoSoundAck = false;
  bool ProtoUnicode = false;
  bool ProtoShortFrames = false;
  int32_t CheckServerInterval = 0;
};

// [Server], where to connect.
struct TVEKServerParametersWork {
  std::u16string ServerAddress;
  int32_t ServerPort = 0;
  std::u16string Network;
  std::u16string CharsetName;
  int32_t TxStartGap = 0;  // ms, 0..2000
  bool RxAlignEnabled = false;
  int32_t RxAlignTime = 0;  // ms
};

struct TVEKServerParameters : TVEKServerParametersConn, TVEKServerParametersWork {};

// [Message]
struct TSection_Message {
  std::u16string PrivateAutoResponse;
};

// [System]
struct TVEKSystemParameters {
  std::u16string StartDir;    // the current directory at start
  std::u16string ProgramDir;  // the program's directory
  std::u16string ConfigDir;   // the configuration file's directory
  std::u16string TempDir;
  std::u16string CharsetName;
  std::u16string WriteDir;
  std::u16string LogFile;
  std::u16string PidFile;
  std::u16string DynamicPasswordFileName;
  std::u16string BackupServersFileName;
  bool LogControlSound = false;
  bool LogExternalSound = false;
  uint8_t LogClientList = clsm_NONE;  // TVEKClientListShowMode
  char16_t LogClientListDelimiter = u';';
  bool LogCarrier = false;
  bool LogTiming = false;
  bool LogRx = false;
  bool LogTx = false;
  bool LogTxDataEnded = false;
  bool LogBackupServerMode = false;
  bool LogCheckServer = false;
  bool LogRecorder = false;
  bool LogDtmfTones = false;
  bool LogDtmfCommands = false;
  bool LogAudioErrors = false;
  bool AudioFilesConvert = false;
};

// [Sounds]; the two arrays are indexed by TVEKControlSound.
struct TVEKSoundParameters {
  std::u16string SoundsDir;
  std::u16string FileNames[VekControlSoundCount];
  bool Enabled[VekControlSoundCount] = {};
  bool ConnectSoundCfgEnabled = false;
  std::u16string ConnectSoundCfgFileName;
  bool ConnectSoundExtEnabled = false;
  std::u16string ConnectSoundExtScript;
  std::u16string ConnectSoundExtDir;
  bool ConnectSoundSupremacy = false;
};

// [Hours]
struct TVEKHoursParameters {
  bool Enabled = false;
  std::u16string Dir;
  int32_t Correction = 0;
  std::u16string Interval;  // minutes, as text
  int32_t GuardTime = 0;    // -1 missing, -2 empty or unusable
  bool Debug = false;
  bool ExtEnabled = false;
  std::u16string ExtScript;
  std::u16string ExtDir;
  std::u16string ExtTempDir;
  int32_t ExtKeepEnabled = 0;  // flag: -1 not set, 0 no, 1 yes
  int32_t ExtKeepTime = 0;
};

// [Informer], as read; VekInformerWorkParams converts it.
struct TVEKInformerCfgParams {
  int32_t Enabled = 0;  // flag: -1 not set, 0 no, 1 yes
  int32_t Interval = 0;  // s
  std::u16string Dir;
  int32_t Mode = 0;  // -1 not set, else TVEKInformerMode
  int32_t SilenceEnabled = 0;  // flag
  int32_t SilenceInterval = 0;  // s
  int32_t SilenceTime = 0;      // ms
  int32_t ExtEnabled = 0;       // flag
  std::u16string ExtScript;
  std::u16string ExtDir;
  std::u16string ExtTempDir;
};

// The informer settings as the engine uses them.
struct TVEKInformerWorkParams {
  bool Enabled = false;
  int32_t Interval = 0;  // ms
  std::u16string Dir;
  uint8_t Mode = infm_Sequence;  // TVEKInformerMode
  bool SilenceEnabled = false;
  int32_t SilenceInterval = 0;  // ms
  int32_t SilenceTime = 0;      // ms
  bool ExtEnabled = false;
  std::u16string ExtScript;
  std::u16string ExtDir;
  std::u16string ExtTempDir;
};

// [Recorder]
struct TVEKWriterCfgParams {
  bool Enabled = false;
  std::u16string Dir;
  uint8_t Direction = frd_BOTH;         // TVEKRecorderDirection
  uint8_t FileNameFormat = fwff_LONG;   // TVEKWriterFileNameFormat
  uint8_t SubdirMode = fwsm_NONE;       // TVEKWriterSubdirMode
  std::u16string Script;
};

struct TVEKSetupData {
  TVEKAccount Account;  // [Auth]
  TVEKAudioParams Audio;
  TVEKCfgSection_Radio Radio;
  TVEKInternetParameters Internet;
  TSection_Manager Manager;
  TVEKServerParameters Server;
  TSection_Message Message;
  TVEKSystemParameters System;
  TVEKSoundParameters Sounds;
  TVEKHoursParameters Hours;
  TVEKInformerCfgParams Informer;
  TVEKWriterCfgParams Recorder;
};

// Every key's default, as reading an empty configuration file gives it. The
// directories go to System as they are.
void VekSetupDefaults(TVEKSetupData& setup, const std::u16string& startDir,
                      const std::u16string& programDir, const std::u16string& configDir);
// The [Audio] defaults, for the commands that read no configuration file.
void VekAudioDefaults(TVEKAudioParams& audio);
// Every int32 field -1, Dir and ExtDir "informer", the other texts empty.
void VekInformerCfgDefaults(TVEKInformerCfgParams& informer);
// Flags on only when yes; times clamped, seconds turned into ms; Mode not
// set gives SEQUENCE.
void VekInformerWorkParams(const TVEKInformerCfgParams& cfg, TVEKInformerWorkParams& work);
