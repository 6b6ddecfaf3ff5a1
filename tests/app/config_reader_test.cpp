#include "app/config_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "foundation/exception.h"
#include "support/test_files.h"

namespace {

class ConfigReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // Writes the bytes as the configuration file and loads it.
  TVEKSetupData Load(const std::string& bytes) {
    const std::string name = dir_ / "vekconsole.cfg.unix";
    vektest::WriteFile(name, bytes);
    TVEKSetupData setup;
    VekLoadConfig(std::u16string(name.begin(), name.end()), setup, u"/start", u"/prog");
    return setup;
  }

  vektest::TempDir dir_;
};

TEST_F(ConfigReaderTest, MissingFileIsReported) {
  TVEKSetupData setup;
  const std::string name = dir_ / "absent.cfg";
  try {
    VekLoadConfig(std::u16string(name.begin(), name.end()), setup, u"", u"");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "config file \"" + name + "\" not found");
  }
}

TEST_F(ConfigReaderTest, EmptyFileGivesEveryDefault) {
  const TVEKSetupData s = Load("");
  EXPECT_EQ(s.Account.Callsign, u"");
  EXPECT_EQ(s.Account.CharsetName, u"");
  EXPECT_EQ(s.Account.ClientType, clt_GATEWAY);

  const TVEKAudioParams& a = s.Audio;
  EXPECT_EQ(a.ThreadPriority, -1);
  EXPECT_EQ(a.MeterMode, -1);
  EXPECT_EQ(a.InDevice, u"");
  EXPECT_EQ(a.InSampleRate, 44100);
  EXPECT_EQ(a.InQuality, acq_NO);
  EXPECT_EQ(a.InFactor, 2);
  EXPECT_EQ(a.InMaxTime, 0);
  EXPECT_EQ(a.InPreCapturedTime, -1);
  EXPECT_FALSE(a.InCaptureAfterApproval);
  for (const TVEKAgcCfgParams* g : {&a.InAGC, &a.OutAGC}) {
    EXPECT_EQ(g->Enabled, -1);
    EXPECT_EQ(g->Level, -1);
    EXPECT_EQ(g->MaxGain, -1.0f);
    EXPECT_EQ(g->Mode, -1);
    EXPECT_EQ(g->TimeConst, -1);
    EXPECT_EQ(g->Threshold, 0.0f);
  }
  EXPECT_FALSE(a.InHPFEnabled);
  EXPECT_EQ(a.InHPFOrder, -1);
  EXPECT_FALSE(a.InDtmfEnabled);
  EXPECT_EQ(a.OutSampleRate, 44100);
  EXPECT_EQ(a.OutQuality, acq_NO);
  EXPECT_EQ(a.OutFactor, 2);
  EXPECT_FALSE(a.OutHPFEnabled);
  EXPECT_EQ(a.OutHPFOrder, -1);
  EXPECT_EQ(a.OutBufferLimitTime, -1);
  EXPECT_TRUE(a.OutDelayLatency);
  EXPECT_EQ(a.OutDelayConst, 1);
  TVEKAudioParams defaults;
  VekAudioDefaults(defaults);
  EXPECT_EQ(defaults.InSampleRate, a.InSampleRate);
  EXPECT_EQ(defaults.OutDelayConst, a.OutDelayConst);
  EXPECT_EQ(defaults.InAGC.MaxGain, a.InAGC.MaxGain);

  const TVEKCfgSection_Radio& r = s.Radio;
  EXPECT_EQ(r.PTT, u"");
  EXPECT_TRUE(r.PTTEnabled);
  EXPECT_FALSE(r.ResetCosDetectorOnTxReject);
  EXPECT_EQ(r.ResetCosDetectorOnTxRejectDelay, 500);
  EXPECT_EQ(r.CTCSSWakeTime, 0u);
  EXPECT_EQ(r.CarrierCatchTime, 0u);
  EXPECT_EQ(r.CarrierLostTime, 0u);
  EXPECT_EQ(r.CourtesyDelay, -1);
  EXPECT_EQ(r.SquelchSettlingTimeIn, -1);
  EXPECT_EQ(r.SquelchSettlingTime, -1);
  EXPECT_EQ(r.DtmfTimeout, 15000);

  EXPECT_EQ(s.Internet.ProxyType, VEK_PROXY_TYPE_NONE);
  EXPECT_EQ(s.Internet.ProxyPort, -1);
  EXPECT_EQ(s.Internet.ProxyCharsetName, u"UTF-8");
  EXPECT_EQ(s.Internet.ConnectTimeout, -1);
  EXPECT_TRUE(s.Internet.PreferIPV4);
  EXPECT_EQ(s.Internet.ProxyConnectTimeout, -1);

  const TVEKServerParameters& sv = s.Server;
  EXPECT_EQ(sv.ServerAddress, u"");
  EXPECT_EQ(sv.ServerPort, -1);
  EXPECT_EQ(sv.TxStartGap, 0);
  EXPECT_FALSE(sv.RxAlignEnabled);
  EXPECT_EQ(sv.RxAlignTime, 600);
  EXPECT_EQ(sv.ServerReconnectCount, 3);
  EXPECT_EQ(sv.ServerReconnectInterval, 5000u);
  EXPECT_EQ(sv.PretendAsVersion, 2014004);
  EXPECT_EQ(sv.VisibleStatus, vs_Available);
  EXPECT_EQ(sv.MainServerUseProxy, 0);
  EXPECT_EQ(sv.BackupServerUseProxy, 0);
  EXPECT_EQ(sv.BackupServerMode, bsm_YES);
  EXPECT_EQ(sv.ForcedBackupServerPort, -1);
  EXPECT_EQ(sv.ForcedBackupServerUseProxy, 0);
  EXPECT_EQ(sv.ProtoListFormat, ProtoListFormat_DIFF);
  EXPECT_TRUE(sv.ProtoSoundAck);
  EXPECT_TRUE(sv.ProtoUnicode);
  EXPECT_TRUE(sv.ProtoShortFrames);
  EXPECT_EQ(sv.CheckServerInterval, -1);

  EXPECT_EQ(s.Manager.ManagerAddress, u"manager.vek.invalid");
  EXPECT_EQ(s.Manager.ManagerPort, 10025);
  EXPECT_EQ(s.Manager.DynamicPasswordMode, dpm_YES);
  EXPECT_EQ(s.Manager.Interval, 1000u);
  EXPECT_EQ(s.Manager.Latency, -1);
  EXPECT_EQ(s.Message.PrivateAutoResponse, u"");

  const TVEKSystemParameters& sy = s.System;
  EXPECT_EQ(sy.StartDir, u"/start");
  EXPECT_EQ(sy.ProgramDir, u"/prog");
  EXPECT_EQ(sy.ConfigDir, std::u16string(dir_.path().begin(), dir_.path().end()));
  EXPECT_EQ(sy.LogFile, u"");
  EXPECT_EQ(sy.PidFile, u"");
  EXPECT_TRUE(sy.LogControlSound);
  EXPECT_TRUE(sy.LogExternalSound);
  EXPECT_EQ(sy.LogClientList, clsm_NUMBER);
  EXPECT_EQ(sy.LogClientListDelimiter, u';');
  EXPECT_TRUE(sy.LogCarrier);
  EXPECT_FALSE(sy.LogTiming);
  EXPECT_TRUE(sy.LogRx);
  EXPECT_TRUE(sy.LogTx);
  EXPECT_FALSE(sy.LogTxDataEnded);
  EXPECT_TRUE(sy.LogBackupServerMode);
  EXPECT_TRUE(sy.LogCheckServer);
  EXPECT_TRUE(sy.LogRecorder);
  EXPECT_TRUE(sy.LogDtmfTones);
  EXPECT_TRUE(sy.LogDtmfCommands);
  EXPECT_TRUE(sy.LogAudioErrors);
  EXPECT_TRUE(sy.AudioFilesConvert);
  EXPECT_EQ(sy.BackupServersFileName, u"backupserver1.dat");
  EXPECT_EQ(sy.DynamicPasswordFileName, u"dynpass1.dat");

  const TVEKSoundParameters& so = s.Sounds;
  const bool enabled[] = {true, false, true, true, true, false, true, false, false, false};
  for (int i = 0; i < VekControlSoundCount; ++i) {
    EXPECT_EQ(so.FileNames[i], u"") << i;
    EXPECT_EQ(so.Enabled[i], enabled[i]) << i;
  }
  EXPECT_FALSE(so.ConnectSoundCfgEnabled);
  EXPECT_EQ(so.ConnectSoundCfgFileName, u"connsounds.cfg");
  EXPECT_TRUE(so.ConnectSoundSupremacy);
  EXPECT_FALSE(so.ConnectSoundExtEnabled);

  EXPECT_FALSE(s.Hours.Enabled);
  EXPECT_EQ(s.Hours.Correction, 0);
  EXPECT_EQ(s.Hours.Interval, u"60");
  EXPECT_EQ(s.Hours.GuardTime, -1);
  EXPECT_EQ(s.Hours.ExtKeepEnabled, -1);
  EXPECT_EQ(s.Hours.ExtKeepTime, -1);

  EXPECT_EQ(s.Informer.Enabled, -1);
  EXPECT_EQ(s.Informer.Interval, -1);
  EXPECT_EQ(s.Informer.Dir, u"informer");
  EXPECT_EQ(s.Informer.Mode, -1);
  EXPECT_EQ(s.Informer.SilenceEnabled, -1);
  EXPECT_EQ(s.Informer.SilenceInterval, -1);
  EXPECT_EQ(s.Informer.SilenceTime, -1);
  EXPECT_EQ(s.Informer.ExtEnabled, -1);
  EXPECT_EQ(s.Informer.ExtDir, u"");

  EXPECT_FALSE(s.Recorder.Enabled);
  EXPECT_EQ(s.Recorder.Dir, u"recorder");
  EXPECT_EQ(s.Recorder.Direction, frd_BOTH);
  EXPECT_EQ(s.Recorder.FileNameFormat, fwff_LONG);
  EXPECT_EQ(s.Recorder.SubdirMode, fwsm_YYYY_MM_DD);
}

// A file as a user writes it: BOM, CRLF, comments, blanks around "=",
// unknown keys, odd case in names and values, and numbers that do not parse.
const char kUserFile[] =
    "\xEF\xBB\xBF; vekclient configuration\r\n"
    "[auth]\r\n"
    "Callsign = R1ABC \r\n"
    "OperatorName=\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\r\n"  // Cyrillic
    "  # indented comment\r\n"
    "CharsetName = cp1251\r\n"
    "ClientType = pc\r\n"
    "Password=se;cret\r\n"
    "Unknown=1\r\n"
    "\r\n"
    "[Audio]\r\n"
    "InDevice=  plughw:1\\s0\\\\x\r\n"
    "OutDevice=  dsp\\s1\r\n"
    "InSampleRate=22000\r\n"
    "OutSampleRate= 22050\r\n"
    "InQuality=med\r\n"
    "OutQuality=9\r\n"
    "InFactor=3 ; three\r\n"
    "InMaxTime=5000\r\n"
    "InAGCEnabled=yes\r\n"
    "InAGCLevel=80\r\n"
    "InAGCMaxGain=12.5\r\n"
    "OutAGCMaxGain=12,5\r\n"
    "InAGCThreshold=-3.25e1\r\n"
    "OutAGCEnabled=maybe\r\n"
    "OutDelayConst=-3\r\n"
    "OutDelayLatency=off\r\n"
    "InHPFEnabled=1\r\n"
    "[Radio]\r\n"
    "PTT=COM:/dev/ttyS0:RTS\r\n"
    "PTTEnabled=no\r\n"
    "CTCSSWakeTime=5000\r\n"
    "CarrierCatchTime=-20\r\n"
    "CarrierLostTime=4294967295\r\n"
    "DtmfTimeout=0\r\n"
    "[Internet]\r\n"
    "ProxyType=socks\r\n"
    "ProxyAddress= proxy.example.org\r\n"
    "ProxyPort=65536\r\n"
    "ProxyCharsetName=koi8-r\r\n"
    "ConnectTimeout=abc\r\n"
    "[Server]\r\n"
    "ServerAddress=vek.example.org\r\n"
    "ServerPort= 10024 \r\n"
    "CharsetName=cp1251\r\n"
    "TxStartGap=5000\r\n"
    "RxAlignTime=100\r\n"
    "ServerReconnectCount=1\r\n"
    "ServerReconnectInterval=-1\r\n"
    "VisibleStatus=as\r\n"
    "MainServerUseProxy=no\r\n"
    "BackupServerUseProxy=On\r\n"
    "ForcedBackupServerUseProxy= yes\r\n"  // a blank before yes: not set
    "BackupServerMode= Forced\r\n"
    "ProtoListFormat=1\r\n"
    "ProtoSoundAck=0\r\n"
    "ServerPort=10026\r\n"  // a later duplicate wins
    "[Manager]\r\n"
    "ManagerAddress=manager.example.org\r\n"
    "ManagerPort=0\r\n"
    "DynamicPasswordMode=soft\r\n"
    "Interval=-5\r\n"
    "[Message]\r\n"
    "PrivateAutoResponse=  I am away  \r\n"
    "[System]\r\n"
    "CharsetName=koi8-r\r\n"
    "LogClientList=full\r\n"
    "LogClientListDelimiter=\\X09\r\n"
    "LogTiming=TRUE\r\n"
    "LogRx=nope\r\n"
    "[Sounds]\r\n"
    "SoundCourtesy=beep.wav\r\n"
    "EnableCourtesyEmptyNet=yes\r\n"
    "ConnectSoundCfgFileName=\r\n"
    "[Hours]\r\n"
    "Interval= 15\r\n"
    "GuardTime=\r\n"
    "ExtKeepEnabled=0\r\n"
    "[Informer]\r\n"
    "Enabled=1\r\n"
    "Mode=rnd\r\n"
    "Interval=10\r\n"
    "[Recorder]\r\n"
    "Direction=radio\r\n"
    "FileNameFormat=x\r\n"
    "SubdirMode=y-m-d\r\n"
    "Dir=\r\n"
    "[NoSuchSection]\r\n"
    "Key=Value\r\n";

TEST_F(ConfigReaderTest, UserFileReadKeyByKey) {
  const TVEKSetupData s = Load(kUserFile);
  EXPECT_EQ(s.Account.Callsign, u"R1ABC");
  EXPECT_EQ(s.Account.OperatorName, u"\u0418\u0432\u0430\u043d");
  EXPECT_EQ(s.Account.CharsetName, u"CP1251");
  EXPECT_EQ(s.Account.ClientType, clt_PC);
  EXPECT_EQ(s.Account.Password, u"se;cret");  // ";" inside a value is no comment

  const TVEKAudioParams& a = s.Audio;
  EXPECT_EQ(a.InDevice, u"plughw:1 0\\x");
  EXPECT_EQ(a.OutDevice, u"dsp\\s1");  // not unescaped
  EXPECT_EQ(a.InSampleRate, 44100);
  EXPECT_EQ(a.OutSampleRate, 22050);
  EXPECT_EQ(a.InQuality, acq_MEDIUM);
  EXPECT_EQ(a.OutQuality, acq_HIGH);
  EXPECT_EQ(a.InFactor, 2);  // "3 ; three" is no number
  EXPECT_EQ(a.InMaxTime, 3000);
  EXPECT_EQ(a.InAGC.Enabled, 1);
  EXPECT_EQ(a.InAGC.Level, 80);
  EXPECT_FLOAT_EQ(a.InAGC.MaxGain, 12.5f);
  EXPECT_EQ(a.OutAGC.MaxGain, -1.0f);  // "," is no decimal point
  EXPECT_FLOAT_EQ(a.InAGC.Threshold, -32.5f);
  EXPECT_EQ(a.OutAGC.Enabled, -1);
  EXPECT_EQ(a.OutDelayConst, 1);
  EXPECT_FALSE(a.OutDelayLatency);
  EXPECT_TRUE(a.InHPFEnabled);

  EXPECT_EQ(s.Radio.PTT, u"COM:/dev/ttyS0:RTS");
  EXPECT_FALSE(s.Radio.PTTEnabled);
  EXPECT_EQ(s.Radio.CTCSSWakeTime, 1000u);
  EXPECT_EQ(s.Radio.CarrierCatchTime, 0u);  // negative: the default
  EXPECT_EQ(s.Radio.CarrierLostTime, 4294967295u);
  EXPECT_EQ(s.Radio.DtmfTimeout, 1000);

  EXPECT_EQ(s.Internet.ProxyType, VEK_PROXY_TYPE_NONE);
  EXPECT_EQ(s.Internet.ProxyAddress, u"proxy.example.org");
  EXPECT_EQ(s.Internet.ProxyPort, -1);
  EXPECT_EQ(s.Internet.ProxyCharsetName, u"KOI8-R");
  EXPECT_EQ(s.Internet.ConnectTimeout, -1);

  const TVEKServerParameters& sv = s.Server;
  EXPECT_EQ(sv.ServerAddress, u"vek.example.org");
  EXPECT_EQ(sv.ServerPort, 10026);
  EXPECT_EQ(sv.CharsetName, u"cp1251");  // not upper-cased
  EXPECT_EQ(sv.TxStartGap, 2000);
  EXPECT_EQ(sv.RxAlignTime, 400);
  EXPECT_EQ(sv.ServerReconnectCount, 2);
  EXPECT_EQ(sv.ServerReconnectInterval, 5000u);
  EXPECT_EQ(sv.VisibleStatus, vs_Absent);
  EXPECT_EQ(sv.MainServerUseProxy, 1);
  EXPECT_EQ(sv.BackupServerUseProxy, 2);
  EXPECT_EQ(sv.ForcedBackupServerUseProxy, 0);
  EXPECT_EQ(sv.BackupServerMode, bsm_FORCED);
  EXPECT_EQ(sv.ProtoListFormat, ProtoListFormat_NOLIST);
  EXPECT_FALSE(sv.ProtoSoundAck);
  EXPECT_TRUE(sv.ProtoUnicode);

  EXPECT_EQ(s.Manager.ManagerAddress, u"manager.example.org");
  EXPECT_EQ(s.Manager.ManagerPort, 10025);
  EXPECT_EQ(s.Manager.DynamicPasswordMode, dpm_SOFT);
  EXPECT_EQ(s.Manager.Interval, 1000u);
  EXPECT_EQ(s.Message.PrivateAutoResponse, u"I am away");

  EXPECT_EQ(s.System.CharsetName, u"KOI8-R");
  EXPECT_EQ(s.System.LogClientList, clsm_FULL);
  EXPECT_EQ(s.System.LogClientListDelimiter, u'\t');
  EXPECT_TRUE(s.System.LogTiming);
  EXPECT_TRUE(s.System.LogRx);  // unusable: the default

  EXPECT_EQ(s.Sounds.FileNames[csnd_Courtesy], u"beep.wav");
  EXPECT_EQ(s.Sounds.FileNames[csnd_CourtesyEmptyNet], u"beep.wav");
  EXPECT_TRUE(s.Sounds.Enabled[csnd_CourtesyEmptyNet]);
  EXPECT_EQ(s.Sounds.ConnectSoundCfgFileName, u"connsounds.cfg");

  EXPECT_EQ(s.Hours.Interval, u"15");
  EXPECT_EQ(s.Hours.GuardTime, -2);
  EXPECT_EQ(s.Hours.ExtKeepEnabled, 0);

  EXPECT_EQ(s.Informer.Enabled, 1);
  EXPECT_EQ(s.Informer.Mode, infm_Random);
  EXPECT_EQ(s.Informer.Interval, 10);

  EXPECT_EQ(s.Recorder.Direction, frd_RADIO);
  EXPECT_EQ(s.Recorder.FileNameFormat, fwff_LONG);
  EXPECT_EQ(s.Recorder.SubdirMode, fwsm_YYYY_MM_DD);
  EXPECT_EQ(s.Recorder.Dir, u"");  // present but empty
}

TEST_F(ConfigReaderTest, SingleKeyEdgeCases) {
  EXPECT_EQ(Load("[Radio]\nDtmfTimeout=-5\n").Radio.DtmfTimeout, 15000);
  EXPECT_EQ(Load("[Radio]\nDtmfTimeout=90\n").Radio.DtmfTimeout, 60000);
  EXPECT_EQ(Load("[Audio]\nOutDelayConst=0\n").Audio.OutDelayConst, 0);
  EXPECT_EQ(Load("[Audio]\nOutDelayConst=601\n").Audio.OutDelayConst, 600);
  EXPECT_EQ(Load("[Server]\nRxAlignTime=2000\n").Server.RxAlignTime, 1000);
  EXPECT_EQ(Load("[Server]\nServerReconnectInterval=400000\n").Server.ServerReconnectInterval,
            300000u);
  EXPECT_EQ(Load("[Server]\nProtoListFormat=4\n").Server.ProtoListFormat, ProtoListFormat_DIFF);
  EXPECT_EQ(Load("[Hours]\nGuardTime=90 \n").Hours.GuardTime, -2);
  EXPECT_EQ(Load("[Hours]\nGuardTime= 90\n").Hours.GuardTime, 90);
  // The empty-network courtesy sound keeps its own file, and is not filled
  // in unless both are enabled.
  const TVEKSetupData own = Load(
      "[Sounds]\nSoundCourtesy=a.wav\nSoundCourtesyEmptyNet=b.wav\nEnableCourtesyEmptyNet=1\n");
  EXPECT_EQ(own.Sounds.FileNames[csnd_CourtesyEmptyNet], u"b.wav");
  EXPECT_EQ(Load("[Sounds]\nSoundCourtesy=a.wav\n").Sounds.FileNames[csnd_CourtesyEmptyNet], u"");
  EXPECT_EQ(Load("[Sounds]\nSoundCourtesy=a.wav\nEnableCourtesy=no\nEnableCourtesyEmptyNet=yes\n")
                .Sounds.FileNames[csnd_CourtesyEmptyNet],
            u"");
}

TEST(ConfigReader, ListDelimiterCodes) {
  const std::pair<std::u16string, char16_t> cases[] = {
      {u"\\X09", u'\t'}, {u"\\x09", u'\t'},  {u"\\9", u'\t'},   {u"\\UX2C", u','},
      {u"\\ux2c", u','}, {u"\\X1FFFF", u';'}, {u"\\65535", u'\uffff'}, {u"\\65536", u';'},
      {u"\\X", u';'},    {u"\\", u';'},      {u"\\abc", u';'},  {u",", u','},
      {u"|x", u'|'},     {u"", u';'},        {u"\\X0G", u';'},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(VekParseListDelimiter(text), want) << std::string(text.begin(), text.end());
}

TEST(ConfigReader, InformerWorkParams) {
  TVEKInformerCfgParams cfg;
  VekInformerCfgDefaults(cfg);
  EXPECT_EQ(cfg.Dir, u"informer");
  EXPECT_EQ(cfg.ExtDir, u"informer");
  TVEKInformerWorkParams w;
  VekInformerWorkParams(cfg, w);
  EXPECT_FALSE(w.Enabled);
  EXPECT_EQ(w.Interval, 900000);
  EXPECT_EQ(w.Mode, infm_Sequence);
  EXPECT_FALSE(w.SilenceEnabled);
  EXPECT_EQ(w.SilenceInterval, 300000);
  EXPECT_EQ(w.SilenceTime, 2000);
  EXPECT_FALSE(w.ExtEnabled);

  cfg.Enabled = 1;
  cfg.Interval = 10;
  cfg.Mode = infm_Random;
  cfg.SilenceInterval = 9000;
  cfg.SilenceTime = 50;
  cfg.ExtScript = u"  run.sh ";
  VekInformerWorkParams(cfg, w);
  EXPECT_TRUE(w.Enabled);
  EXPECT_EQ(w.Interval, 20000);
  EXPECT_EQ(w.Mode, infm_Random);
  EXPECT_EQ(w.SilenceInterval, 7200000);
  EXPECT_EQ(w.SilenceTime, 100);
  EXPECT_EQ(w.ExtScript, u"run.sh");
}

}  // namespace
