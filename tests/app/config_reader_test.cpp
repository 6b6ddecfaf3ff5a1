#include "app/config_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "app/command_line.h"
#include "app/program.h"
#include "app/run.h"
#include "app/startup.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "support/case_name.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

namespace {

// The configuration file of a test, written and loaded.
class ConfigFile {
 public:
  ConfigFile() { EXPECT_FALSE(dir_.path().empty()); }

  // Writes the bytes as the configuration file and loads it; the warnings
  // of the load, as UTF-8 lines, replace the previous ones.
  TVEKSetupData Load(const std::string& bytes) {
    const std::string name = dir_ / "vekconsole.cfg.unix";
    vektest::WriteFile(name, bytes);
    TVEKSetupData setup;
    std::vector<std::u16string> warnings;
    VekLoadConfig(std::u16string(name.begin(), name.end()), setup, u"/start", u"/prog", &warnings);
    warnings_.clear();
    for (const std::u16string& w : warnings) warnings_.push_back(DaxUnicodeToUtf8(w));
    return setup;
  }
  const std::vector<std::string>& Warnings() const { return warnings_; }

 protected:
  vektest::TempDir dir_;
  std::vector<std::string> warnings_;
};

class ConfigReaderTest : public ::testing::Test, public ConfigFile {};

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

// A field's value as text, so that fields of every type fit one table.
template <class T>
std::string Text(const T& v) {
  if constexpr (std::is_convertible_v<const T&, std::u16string_view>)
    return "\"" + DaxUnicodeToUtf8(std::u16string(std::u16string_view(v))) + "\"";
  else if constexpr (std::is_same_v<T, bool>)
    return v ? "true" : "false";
  else if constexpr (std::is_floating_point_v<T>)
    return std::to_string(v);
  else
    return std::to_string(static_cast<long long>(v));
}

struct DefaultRow {
  const char* field;
  std::string got, want;
};
#define DEFAULT(field, want) DefaultRow{#field, Text(s.field), Text(want)}

TEST_F(ConfigReaderTest, EmptyFileGivesEveryDefault) {
  const TVEKSetupData s = Load("");
  const std::u16string config_dir(dir_.path().begin(), dir_.path().end());
  const DefaultRow rows[] = {
      DEFAULT(Account.Callsign, u""),
      DEFAULT(Account.CharsetName, u""),
      DEFAULT(Account.ClientType, clt_GATEWAY),

      DEFAULT(Audio.ThreadPriority, -1),
      DEFAULT(Audio.MeterMode, -1),
      DEFAULT(Audio.InDevice, u""),
      DEFAULT(Audio.InSampleRate, 44100),
      DEFAULT(Audio.InQuality, acq_NO),
      DEFAULT(Audio.InFactor, 2),
      DEFAULT(Audio.InMaxTime, 0),
      DEFAULT(Audio.InPreCapturedTime, -1),
      DEFAULT(Audio.InCaptureAfterApproval, false),
      DEFAULT(Audio.InAGC.Enabled, -1),
      DEFAULT(Audio.InAGC.Level, -1),
      DEFAULT(Audio.InAGC.MaxGain, -1.0f),
      DEFAULT(Audio.InAGC.Mode, -1),
      DEFAULT(Audio.InAGC.TimeConst, -1),
      DEFAULT(Audio.InAGC.Threshold, 0.0f),
      DEFAULT(Audio.InHPFEnabled, false),
      DEFAULT(Audio.InHPFOrder, -1),
      DEFAULT(Audio.InDtmfEnabled, false),
      DEFAULT(Audio.OutSampleRate, 44100),
      DEFAULT(Audio.OutQuality, acq_NO),
      DEFAULT(Audio.OutFactor, 2),
      DEFAULT(Audio.OutAGC.Enabled, -1),
      DEFAULT(Audio.OutAGC.Level, -1),
      DEFAULT(Audio.OutAGC.MaxGain, -1.0f),
      DEFAULT(Audio.OutAGC.Mode, -1),
      DEFAULT(Audio.OutAGC.TimeConst, -1),
      DEFAULT(Audio.OutAGC.Threshold, 0.0f),
      DEFAULT(Audio.OutHPFEnabled, false),
      DEFAULT(Audio.OutHPFOrder, -1),
      DEFAULT(Audio.OutBufferLimitTime, -1),
      DEFAULT(Audio.OutDelayLatency, true),
      DEFAULT(Audio.OutDelayConst, 1),

      DEFAULT(Radio.PTT, u""),
      DEFAULT(Radio.PTTEnabled, true),
      DEFAULT(Radio.ResetCosDetectorOnTxReject, false),
      DEFAULT(Radio.ResetCosDetectorOnTxRejectDelay, 500),
      DEFAULT(Radio.CTCSSWakeTime, 0u),
      DEFAULT(Radio.CarrierCatchTime, 0u),
      DEFAULT(Radio.CarrierLostTime, 0u),
      DEFAULT(Radio.CourtesyDelay, -1),
      DEFAULT(Radio.SquelchSettlingTimeIn, -1),
      DEFAULT(Radio.SquelchSettlingTime, -1),
      DEFAULT(Radio.DtmfTimeout, 15000),

      DEFAULT(Internet.ProxyType, VEK_PROXY_TYPE_NONE),
      DEFAULT(Internet.ProxyPort, -1),
      DEFAULT(Internet.ProxyCharsetName, u"UTF-8"),
      DEFAULT(Internet.ConnectTimeout, -1),
      DEFAULT(Internet.PreferIPV4, true),
      DEFAULT(Internet.ProxyConnectTimeout, -1),

      DEFAULT(Server.ServerAddress, u""),
      DEFAULT(Server.ServerPort, -1),
      DEFAULT(Server.TxStartGap, 0),
      DEFAULT(Server.RxAlignEnabled, false),
      DEFAULT(Server.RxAlignTime, 600),
      DEFAULT(Server.ServerReconnectCount, 3),
      DEFAULT(Server.ServerReconnectInterval, 5000u),
      DEFAULT(Server.PretendAsVersion, 2014004),
      DEFAULT(Server.VisibleStatus, vs_Available),
      DEFAULT(Server.MainServerUseProxy, 0),
      DEFAULT(Server.BackupServerUseProxy, 0),
      DEFAULT(Server.BackupServerMode, bsm_YES),
      DEFAULT(Server.ForcedBackupServerPort, -1),
      DEFAULT(Server.ForcedBackupServerUseProxy, 0),
      DEFAULT(Server.ProtoListFormat, ProtoListFormat_DIFF),
      DEFAULT(Server.ProtoSoundAck, true),
      DEFAULT(Server.ProtoUnicode, true),
      DEFAULT(Server.ProtoShortFrames, true),
      DEFAULT(Server.CheckServerInterval, -1),

      DEFAULT(Manager.ManagerAddress, u"manager.vek.invalid"),
      DEFAULT(Manager.ManagerPort, 10025),
      DEFAULT(Manager.DynamicPasswordMode, dpm_YES),
      DEFAULT(Manager.Interval, 1000u),
      DEFAULT(Manager.Latency, -1),
      DEFAULT(Message.PrivateAutoResponse, u""),

      DEFAULT(System.StartDir, u"/start"),
      DEFAULT(System.ProgramDir, u"/prog"),
      DEFAULT(System.ConfigDir, config_dir),
      DEFAULT(System.LogFile, u""),
      DEFAULT(System.PidFile, u""),
      DEFAULT(System.LogControlSound, true),
      DEFAULT(System.LogExternalSound, true),
      DEFAULT(System.LogClientList, clsm_NUMBER),
      DEFAULT(System.LogClientListDelimiter, u';'),
      DEFAULT(System.LogCarrier, true),
      DEFAULT(System.LogTiming, false),
      DEFAULT(System.LogRx, true),
      DEFAULT(System.LogTx, true),
      DEFAULT(System.LogTxDataEnded, false),
      DEFAULT(System.LogBackupServerMode, true),
      DEFAULT(System.LogCheckServer, true),
      DEFAULT(System.LogRecorder, true),
      DEFAULT(System.LogDtmfTones, true),
      DEFAULT(System.LogDtmfCommands, true),
      DEFAULT(System.LogAudioErrors, true),
      DEFAULT(System.AudioFilesConvert, true),
      DEFAULT(System.BackupServersFileName, u"backupserver1.dat"),
      DEFAULT(System.DynamicPasswordFileName, u"dynpass1.dat"),

      DEFAULT(Sounds.ConnectSoundCfgEnabled, false),
      DEFAULT(Sounds.ConnectSoundCfgFileName, u"connsounds.cfg"),
      DEFAULT(Sounds.ConnectSoundSupremacy, true),
      DEFAULT(Sounds.ConnectSoundExtEnabled, false),

      DEFAULT(Hours.Enabled, false),
      DEFAULT(Hours.Correction, 0),
      DEFAULT(Hours.Interval, u"60"),
      DEFAULT(Hours.GuardTime, -1),
      DEFAULT(Hours.ExtKeepEnabled, -1),
      DEFAULT(Hours.ExtKeepTime, -1),

      DEFAULT(Informer.Enabled, -1),
      DEFAULT(Informer.Interval, -1),
      DEFAULT(Informer.Dir, u"informer"),
      DEFAULT(Informer.Mode, -1),
      DEFAULT(Informer.SilenceEnabled, -1),
      DEFAULT(Informer.SilenceInterval, -1),
      DEFAULT(Informer.SilenceTime, -1),
      DEFAULT(Informer.ExtEnabled, -1),
      DEFAULT(Informer.ExtDir, u""),

      DEFAULT(Recorder.Enabled, false),
      DEFAULT(Recorder.Dir, u"recorder"),
      DEFAULT(Recorder.Direction, frd_BOTH),
      DEFAULT(Recorder.FileNameFormat, fwff_LONG),
      DEFAULT(Recorder.SubdirMode, fwsm_YYYY_MM_DD),
  };
  for (const DefaultRow& r : rows) EXPECT_EQ(r.got, r.want) << r.field;

  const bool enabled[] = {true, false, true, true, true, false, true, false, false, false};
  for (int i = 0; i < VekControlSoundCount; ++i) {
    EXPECT_EQ(s.Sounds.FileNames[i], u"") << i;
    EXPECT_EQ(s.Sounds.Enabled[i], enabled[i]) << i;
  }
  TVEKAudioParams defaults;
  VekAudioDefaults(defaults);
  EXPECT_EQ(defaults.InSampleRate, s.Audio.InSampleRate);
  EXPECT_EQ(defaults.OutDelayConst, s.Audio.OutDelayConst);
  EXPECT_EQ(defaults.InAGC.MaxGain, s.Audio.InAGC.MaxGain);
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
    "ForcedBackupServerUseProxy = yes\r\n"
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
  EXPECT_EQ(sv.ForcedBackupServerUseProxy, 2);
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

  // Each value that could not be read is named once, in reading order;
  // clamped numbers, negative "use the default" numbers and empty values
  // are not.
  const std::vector<std::string> warned = {
      "[Audio] InSampleRate: unsupported value \"22000\", the default (44100) is used",
      "[Audio] InFactor: unreadable value \"3 ; three\", the default (2) is used",
      "[Audio] OutAGCEnabled: unreadable value \"maybe\", the default (not set) is used",
      "[Audio] OutAGCMaxGain: unreadable value \"12,5\", the default (-1) is used",
      "[Internet] ProxyType: unreadable value \"socks\", the default (NONE) is used",
      "[Internet] ProxyPort: unreadable value \"65536\", the default (not set) is used",
      "[Internet] ConnectTimeout: unreadable value \"abc\", the default (-1) is used",
      "[Manager] ManagerPort: unreadable value \"0\", the default (10025) is used",
      "[System] LogRx: unreadable value \"nope\", the default (yes) is used",
      "[Recorder] FileNameFormat: unreadable value \"x\", the default (LONG) is used",
  };
  EXPECT_EQ(Warnings(), warned);
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

// One flag key written in every way a user may write it: the value is read
// trimmed, like a boolean; a value that still means nothing keeps the
// default and is reported once.
struct FlagSpellingRow {
  const char* name;
  const char* line;  // in [Audio]
  int32_t want;      // OutAGC.Enabled: -1 not set, 0 no, 1 yes
  bool warns;
};

const FlagSpellingRow kFlagSpellings[] = {
    {"no blanks", "OutAGCEnabled=yes", 1, false},
    {"blanks around the equals sign", "OutAGCEnabled = yes", 1, false},
    {"tabs around the value", "OutAGCEnabled\t=\tyes\t", 1, false},
    {"trailing blank", "OutAGCEnabled=yes ", 1, false},
    {"word true", "OutAGCEnabled = True", 1, false},
    {"word on", "OutAGCEnabled = ON", 1, false},
    {"letter t", "OutAGCEnabled = t", 1, false},
    {"letter y", "OutAGCEnabled = Y", 1, false},
    {"word false", "OutAGCEnabled = FALSE", 0, false},
    {"word no", "OutAGCEnabled = no", 0, false},
    {"word off", "OutAGCEnabled = Off", 0, false},
    {"letter f", "OutAGCEnabled = f", 0, false},
    {"letter n", "OutAGCEnabled = N", 0, false},
    {"one", "OutAGCEnabled = 1", 1, false},
    {"zero", "OutAGCEnabled = 0", 0, false},
    {"negative number", "OutAGCEnabled = -3", 1, false},
    {"empty value", "OutAGCEnabled = ", -1, false},
    {"unknown word", "OutAGCEnabled = maybe", -1, true},
    {"two words", "OutAGCEnabled = yes please", -1, true},
    {"comment after the value", "OutAGCEnabled = 1 ; on", -1, true},
    {"hexadecimal", "OutAGCEnabled = 0x1", -1, true},
};

class ConfigFlagSpelling : public ::testing::TestWithParam<FlagSpellingRow>, public ConfigFile {};

TEST_P(ConfigFlagSpelling, ReadTrimmedOrReported) {
  const FlagSpellingRow& row = GetParam();
  const TVEKSetupData s = Load(std::string("[Audio]\n") + row.line + "\n");
  EXPECT_EQ(s.Audio.OutAGC.Enabled, row.want);
  if (!row.warns) {
    EXPECT_TRUE(Warnings().empty()) << Warnings().front();
    return;
  }
  std::string value = row.line;
  value = value.substr(value.find("= ") + 2);
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_EQ(Warnings()[0], "[Audio] OutAGCEnabled: unreadable value \"" + value +
                               "\", the default (not set) is used");
}

INSTANTIATE_TEST_SUITE_P(ConfigReader, ConfigFlagSpelling, ::testing::ValuesIn(kFlagSpellings),
                         vektest::RowName());

// Every key read as a flag, each written with blanks around the "=", and
// then each with a value that means nothing: one warning a key, in the
// order of reading.
TEST_F(ConfigReaderTest, EveryFlagKeyReadsTrimmedAndReportsOnce) {
  const char* const keys[][2] = {
      {"Audio", "InAGCEnabled"},          {"Audio", "OutAGCEnabled"},
      {"Server", "MainServerUseProxy"},   {"Server", "BackupServerUseProxy"},
      {"Server", "ForcedBackupServerUseProxy"}, {"Hours", "ExtKeepEnabled"},
      {"Informer", "Enabled"},            {"Informer", "SilenceEnabled"},
      {"Informer", "ExtEnabled"},
  };
  auto file = [&](const std::string& value) {
    std::string text;
    for (const auto& [section, key] : keys)
      text += "[" + std::string(section) + "]\n" + key + " = " + value + "\n";
    return text;
  };
  auto flags = [](const TVEKSetupData& s) {
    return std::vector<int>{s.Audio.InAGC.Enabled,           s.Audio.OutAGC.Enabled,
                            s.Server.MainServerUseProxy,     s.Server.BackupServerUseProxy,
                            s.Server.ForcedBackupServerUseProxy, s.Hours.ExtKeepEnabled,
                            s.Informer.Enabled,              s.Informer.SilenceEnabled,
                            s.Informer.ExtEnabled};
  };
  // The byte flags of [Server] count 0 not set, 1 no, 2 yes.
  EXPECT_EQ(flags(Load(file("yes"))), (std::vector<int>{1, 1, 2, 2, 2, 1, 1, 1, 1}));
  EXPECT_TRUE(Warnings().empty());
  EXPECT_EQ(flags(Load(file("off"))), (std::vector<int>{0, 0, 1, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(flags(Load(file("si"))), (std::vector<int>{-1, -1, 0, 0, 0, -1, -1, -1, -1}));
  std::vector<std::string> want;
  for (const auto& [section, key] : keys)
    want.push_back("[" + std::string(section) + "] " + key +
                   ": unreadable value \"si\", the default (not set) is used");
  EXPECT_EQ(Warnings(), want);
}

// One unreadable value of each kind, through the start-up as the program
// runs it: exactly one warning naming the section, key, value and default,
// and the runner's report shows the default in use.
struct UnreadableRow {
  const char* name;
  const char* section;
  const char* key;
  const char* value;
  const char* warning;  // after "WARNING: "
  const char* report;   // a line of the runner's report, or ""
};

const UnreadableRow kUnreadable[] = {
    {"proxy type socks", "Internet", "ProxyType", "SOCKS",
     "[Internet] ProxyType: unreadable value \"SOCKS\", the default (NONE) is used", ""},
    {"proxy type https", "Internet", "ProxyType", "HTTPS",
     "[Internet] ProxyType: unreadable value \"HTTPS\", the default (NONE) is used", ""},
    {"visible status", "Server", "VisibleStatus", "away",
     "[Server] VisibleStatus: unreadable value \"away\", the default (AVAILABLE) is used",
     "Visible status: AVAILABLE"},
    {"conversion quality", "Audio", "InQuality", "best",
     "[Audio] InQuality: unreadable value \"best\", the default (NONE) is used",
     "Input audio sample rate conversion (44100->8000) quality: NONE"},
    {"integer", "Audio", "OutFactor", "two",
     "[Audio] OutFactor: unreadable value \"two\", the default (2) is used",
     "Output audio factor: 2"},
    {"decimal comma", "Audio", "InAGCMaxGain", "12,5",
     "[Audio] InAGCMaxGain: unreadable value \"12,5\", the default (-1) is used",
     "Input audio AGC max gain (dB): 30"},
    {"sample rate", "Audio", "OutSampleRate", "22000",
     "[Audio] OutSampleRate: unsupported value \"22000\", the default (44100) is used",
     "Output audio sample rate (Hz): 44100"},
    {"boolean", "Audio", "InDtmfEnabled", "maybe",
     "[Audio] InDtmfEnabled: unreadable value \"maybe\", the default (no) is used",
     "Input DTMF decoder enabled: No"},
    {"port", "Internet", "ProxyPort", "80a",
     "[Internet] ProxyPort: unreadable value \"80a\", the default (not set) is used", ""},
    {"port out of range", "Manager", "ManagerPort", "70000",
     "[Manager] ManagerPort: unreadable value \"70000\", the default (10025) is used", ""},
    {"unsigned", "Radio", "CarrierLostTime", "1s",
     "[Radio] CarrierLostTime: unreadable value \"1s\", the default (0) is used", ""},
    {"unsigned too large", "Radio", "CTCSSWakeTime", "4294967296",
     "[Radio] CTCSSWakeTime: unreadable value \"4294967296\", the default (0) is used", ""},
    {"hour interval", "Hours", "Interval", "45",
     "[Hours] Interval: unsupported value \"45\", the default (60) is used", ""},
    {"guard time", "Hours", "GuardTime", "90 s",
     "[Hours] GuardTime: unreadable value \"90 s\", the default (-1) is used", ""},
    {"list delimiter code", "System", "LogClientListDelimiter", "\\X1FFFF",
     "[System] LogClientListDelimiter: unreadable value \"\\X1FFFF\", the default (;) is used",
     ""},
};

class ConfigUnreadable : public ::testing::TestWithParam<UnreadableRow> {
 protected:
  vektest::TempDir dir_;
};

TEST_P(ConfigUnreadable, OneWarningAndTheDefaultInTheReport) {
  const UnreadableRow& row = GetParam();
  const std::string out = dir_ / "out.txt";
  const std::string config = dir_ / "vek.cfg";
  vektest::IniTable table = vektest::BaseConfig(dir_.path());
  table["Audio"]["InAGCEnabled"] = "yes";
  table[row.section][row.key] = row.value;
  vektest::WriteIni(config, table);
  vektest::WriteFile(out, "");

  TVEKProgram program;
  program.Output.OpenLog(out);
  std::string args[] = {"vekclient", "debug", config};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data()};
  VekReadCommandLine(program, 3, argv);
  VekRunStartupSteps(program);
  EXPECT_EQ(vektest::ReadFile(out), std::string("WARNING: ") + row.warning + "\n");
  EXPECT_EQ(program.Setup.Internet.ProxyType, VEK_PROXY_TYPE_NONE);

  TVEKRun run(program.Setup, &program.Output);
  ASSERT_TRUE(run.CheckConfiguration()) << vektest::ReadFile(out);
  const std::vector<std::string> lines = vektest::UnstampedLines(vektest::ReadFile(out));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("WARNING: ", 0) == 0; }),
            1);
  if (*row.report != 0) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), row.report), lines.end())
        << vektest::ReadFile(out);
  }
}

INSTANTIATE_TEST_SUITE_P(ConfigReader, ConfigUnreadable, ::testing::ValuesIn(kUnreadable),
                         vektest::RowName());

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
