// The start-up in-process: the checks of a configuration, the log and PID
// file names, and the steps that fill the program's record.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/program.h"
#include "app/run.h"
#include "app/setup_validation.h"
#include "foundation/charset.h"
#include "foundation/paths.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

using namespace vektest;

namespace {

std::string Narrow(const std::u16string& text) { return DaxUnicodeToUtf8(text); }
std::u16string Wide(const std::string& text) { return DaxUtf8ToUnicode(text); }

TEST(SetupValidation, FirstMissingSettingInOrder) {
  TVEKSetupData good;
  good.Server.ServerAddress = u"127.0.0.1";
  good.Server.ServerPort = 5200;
  good.Manager.DynamicPasswordMode = dpm_YES;
  good.Manager.ManagerAddress = u"127.0.0.1";
  good.Manager.ManagerPort = 10025;
  good.Internet.ProxyType = VEK_PROXY_TYPE_HTTP;
  good.Internet.ProxyAddress = u"127.0.0.1";
  good.Internet.ProxyPort = 8080;
  good.Server.BackupServerMode = bsm_FORCED;
  good.Server.ForcedBackupServerAddress = u"127.0.0.2";
  good.Server.ForcedBackupServerPort = 5201;
  ASSERT_EQ(VekFirstSetupError(good), u"");

  using TBreak = void (*)(TVEKSetupData&);
  const struct {
    TBreak breaks;
    std::u16string message;
  } rows[] = {
      {[](TVEKSetupData& s) { s.Server.ServerAddress = u"  "; }, u"VEK server address is not defined"},
      {[](TVEKSetupData& s) { s.Server.ServerPort = 0; }, u"VEK server port is not defined"},
      {[](TVEKSetupData& s) { s.Manager.ManagerAddress = u""; },
       u"VEK system manager address is not defined"},
      {[](TVEKSetupData& s) { s.Manager.ManagerPort = 0; }, u"VEK system manager port is not defined"},
      {[](TVEKSetupData& s) { s.Internet.ProxyAddress = u""; }, u"Proxy server address is not defined"},
      {[](TVEKSetupData& s) { s.Internet.ProxyPort = -1; }, u"Proxy server port is not defined"},
      {[](TVEKSetupData& s) { s.Server.ForcedBackupServerAddress = u""; },
       u"Forced backup server address is not defined"},
      {[](TVEKSetupData& s) { s.Server.ForcedBackupServerPort = 0; },
       u"Forced backup server port is not defined"},
  };
  // Row i and every row after it broken: the earliest one speaks.
  for (size_t i = 0; i < std::size(rows); ++i) {
    TVEKSetupData s = good;
    for (size_t j = i; j < std::size(rows); ++j) rows[j].breaks(s);
    EXPECT_EQ(VekFirstSetupError(s), rows[i].message) << Narrow(rows[i].message);
  }

  // What is not in use is not checked.
  TVEKSetupData unused = good;
  unused.Manager.DynamicPasswordMode = dpm_NO;
  unused.Manager.ManagerAddress = u"";
  unused.Internet.ProxyType = VEK_PROXY_TYPE_SOCKS5;
  unused.Internet.ProxyAddress = u"";
  unused.Server.BackupServerMode = bsm_YES;
  unused.Server.ForcedBackupServerPort = 0;
  EXPECT_EQ(VekFirstSetupError(unused), u"");
}

TEST(StartupFileNames, PidAndLogFiles) {
  const struct {
    bool pid;
    std::u16string value;
    std::u16string name;
  } cases[] = {
      {true, u"", u"/var/run/vekclient.pid"},
      {true, u" gate.pid ", u"/var/run/gate.pid"},
      {true, u"run/gate.pid", u"/opt/vek/run/gate.pid"},
      {true, u"/tmp/elsewhere/gate.pid", u"/tmp/elsewhere/gate.pid"},
      {false, u"", u"/opt/vek/vekclient.log"},
      {false, u"gate.log", u"/opt/vek/gate.log"},
      {false, u"logs/../gate.log", u"/opt/vek/gate.log"},
      {false, u"/tmp/elsewhere/gate.log", u"/tmp/elsewhere/gate.log"},
  };
  for (const auto& c : cases) {
    TVEKSystemParameters system;
    system.ProgramDir = u"/opt/vek";
    (c.pid ? system.PidFile : system.LogFile) = c.value;
    EXPECT_EQ(c.pid ? VekPidFileName(system) : VekLogFileName(system), c.name) << Narrow(c.value);
  }
  // Without a program directory in the record: the program's own.
  EXPECT_EQ(VekLogFileName(TVEKSystemParameters{}), VekProgramDirW() + u"/vekclient.log");
}

// The start-up steps of one command line, their output in a file.
class Startup : public ::testing::Test {
 protected:
  Startup() : config_(dir_ / "vek.cfg"), table_(BaseConfig(dir_.path())) {
    WriteFile(out_, "");
    program_.Output.OpenLog(out_);
  }
  void Start(std::vector<std::string> args) {
    WriteIni(config_, table_);
    args.insert(args.begin(), "vekclient");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    VekReadCommandLine(program_, static_cast<int>(argv.size()), argv.data());
    VekRunStartupSteps(program_);
  }
  std::string Out() const { return ReadFile(out_); }

  TempDir dir_;
  const std::string out_ = dir_ / "out.txt";
  std::string config_;
  IniTable table_;
  TVEKProgram program_;
};

TEST_F(Startup, FillsTheRecordFromTheConfiguration) {
  Start({"nostdout", config_});
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(program_.ConfigFileName, Wide(config_));
  EXPECT_EQ(program_.Setup.Server.ServerAddress, u"127.0.0.1");
  EXPECT_EQ(program_.ProgramDir, VekProgramDirW());
  EXPECT_EQ(program_.Setup.System.ProgramDir, VekProgramDirW());
  EXPECT_EQ(program_.LogFileName, Wide(dir_ / "vekclient.log"));
  // The log of "nostdout" was opened once: it is there, still empty.
  EXPECT_TRUE(Exists(dir_ / "vekclient.log"));
  EXPECT_EQ(ReadFile(dir_ / "vekclient.log"), "");
  EXPECT_EQ(program_.PidFileName, Wide(dir_ / "vekclient.pid"));
  EXPECT_FALSE(program_.Debug);
  EXPECT_FALSE(program_.BackupFound);
}

TEST_F(Startup, AFailingStepIsShownAndTheNextOneRuns) {
  // The log must open for "nostdout"; its folder is missing.
  table_["System"]["LogFile"] = dir_ / "missing/vekclient.log";
  Start({"nostdout", config_});
  const std::vector<std::string> lines = Lines(Out());
  ASSERT_EQ(lines.size(), 1u) << Out();
  EXPECT_EQ(lines[0].rfind("ERROR: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("missing/vekclient.log"), std::string::npos) << lines[0];
  EXPECT_FALSE(Exists(dir_ / "missing"));
  EXPECT_EQ(program_.LogFileName, Wide(dir_ / "missing/vekclient.log"));
  EXPECT_EQ(program_.PidFileName, Wide(dir_ / "vekclient.pid"));
}

// "OutAGCEnabled = yes", as people write it, switches the AGC on in the
// report the runner prints at the start; a flag value that means nothing is
// reported once among the start-up messages, and its default is used.
TEST_F(Startup, FlagsWithBlanksReachTheReportAndUnreadableOnesAreReported) {
  table_["Audio"]["OutAGCEnabled "] = " yes";  // written "OutAGCEnabled = yes"
  table_["Audio"]["InAGCEnabled"] = " maybe";
  Start({"debug", config_});
  EXPECT_EQ(Out(), "WARNING: [Audio] InAGCEnabled: unreadable value \"maybe\", the default "
                   "(not set) is used\n");
  EXPECT_EQ(program_.Setup.Audio.OutAGC.Enabled, 1);
  TVEKRun run(program_.Setup, &program_.Output);
  ASSERT_TRUE(run.CheckConfiguration()) << Out();
  const std::vector<std::string> lines = UnstampedLines(Out());
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("Output audio AGC enabled: Yes")) << Out();
  EXPECT_TRUE(has("Input audio AGC enabled: No")) << Out();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("WARNING: ", 0) == 0; }),
            1);
}

TEST_F(Startup, AConfigurationThatDidNotLoadCountsAsEmpty) {
  // A relative name is taken from the program's directory.
  Start({"pidfilename", "no-such-vek.cfg"});
  EXPECT_EQ(program_.ConfigFileName, VekProgramDirW() + u"/no-such-vek.cfg");
  const std::vector<std::string> lines = Lines(Out());
  ASSERT_EQ(lines.size(), 1u) << Out();
  EXPECT_EQ(lines[0].rfind("ERROR: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("no-such-vek.cfg"), std::string::npos) << lines[0];
  EXPECT_EQ(program_.Setup.Server.ServerAddress, u"");
  EXPECT_EQ(program_.Setup.Audio.InSampleRate, 44100);  // the audio defaults
  EXPECT_EQ(program_.PidFileName, u"/var/run/vekclient.pid");
}

TEST_F(Startup, TakesTheBackupServerOfAFormerVersion) {
  const std::string legacy = dir_ / "backupserver.dat";
  WriteFile(legacy, " 127.0.0.1:5200 \r\n 10.0.0.9 \r\n5300\r\n");
  Start({"checkrateconfig", config_});
  EXPECT_EQ(Out(), "");
  EXPECT_TRUE(program_.BackupFound);
  EXPECT_EQ(program_.BackupHost, u"10.0.0.9");
  EXPECT_EQ(program_.BackupPort, 5300);
  EXPECT_FALSE(Exists(legacy));

  // The next start finds it in the backup-server file.
  TVEKProgram again;
  again.Output.OpenLog(out_);
  std::string word = "checkrateconfig";
  char* argv[] = {word.data(), word.data(), config_.data()};
  VekReadCommandLine(again, 3, argv);
  VekRunStartupSteps(again);
  EXPECT_TRUE(again.BackupFound);
  EXPECT_EQ(again.BackupHost, u"10.0.0.9");
  EXPECT_EQ(again.BackupPort, 5300);
}

// A backup host with control bytes, stored by a former version or written
// into either file by hand, is neither taken nor stored again.
TEST_F(Startup, ABackupHostWithControlBytesIsNotTaken) {
  const struct {
    const char* file;
    const char* text;
  } cases[] = {
      {"backupserver1.dat", "127.0.0.1|5200|back\x1b[2Jup|5300|20260101000000\r\n"},
      {"backupserver1.dat", "127.0.0.1|5200|\xe2\x80\xae" "evil|5300|20260101000000\r\n"},  // U+202E
      {"backupserver.dat", " 127.0.0.1:5200 \r\n back\x07up \r\n5300\r\n"},
  };
  WriteIni(config_, table_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    WriteFile(dir_ / c.file, c.text);
    TVEKProgram program;
    program.Output.OpenLog(out_);
    std::string word = "checkrateconfig";
    char* argv[] = {word.data(), word.data(), config_.data()};
    VekReadCommandLine(program, 3, argv);
    VekRunStartupSteps(program);
    EXPECT_FALSE(program.BackupFound);
    EXPECT_EQ(program.BackupHost, u"");
    if (std::string(c.file) == "backupserver.dat") {
      EXPECT_FALSE(Exists(dir_ / "backupserver1.dat"));
    }
    ::unlink((dir_ / c.file).c_str());
  }
  EXPECT_EQ(Out(), "");
}

}  // namespace
