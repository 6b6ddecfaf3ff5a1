// The program's command line, start-up checks and PID-file commands, run as
// a child process.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/test_files.h"
#include "support/vekclient_rig.h"

namespace vektest {
namespace {

const std::vector<std::string> kHelp = {
    " help - this help",
    " audio - list of supported audio devices",
    " audioconfig - list of supported audio devices; for configuration file",
    " audiolevel [configfilename] - check audio system perfomance with settings from "
    "configuration file",
    " radio - list of supported interfaces for radio",
    " checkrate audiodevicename - check samplerates for certain audio device",
    " checkrateconfig [configfilename] - check samplerates for audio devices from "
    "configuration file",
    " checkinput:interfacetype:devicename[:inputwire] [configfilename] - check input wires; "
    "input audio must be set",
    "     example: checkinput:COM:/dev/ttyS0",
    "     example: checkinput:COM:/dev/ttyUSB0:CTS",
    "     example: checkinput:VOX:250",
    " debug [configfilename] - debug running",
    " nostdout [configfilename] - debug running without stdout",
    " register [configfilename] - [re]register VEK account",
    " logfilename [configfilename] - show LOG-file name",
    " daemon [configfilename] - run as daemon",
    " pidfilename [configfilename] - show PID-file name",
    " stop [configfilename] - stop the running daemon",
    " reopenlog [configfilename] - reopen LOG-file for the running daemon",
    " deletepidfile [configfilename] - delete saved PID-file",
};

class VekClientCmdline : public ::testing::Test {
 protected:
  VekClientCmdline() : config_(dir_ / "vek.cfg"), table_(BaseConfig(dir_.path())) {}
  void Write() { WriteIni(config_, table_); }
  ProcessResult Run(const std::vector<std::string>& args) {
    return RunProcess(VekClientPath(), args);
  }

  TempDir dir_;
  std::string config_;
  IniTable table_;
};

TEST_F(VekClientCmdline, HelpAndWordsThatLeadToIt) {
  std::vector<std::string> unknown = {"ERROR: Unknown command: frobnicate"};
  unknown.insert(unknown.end(), kHelp.begin(), kHelp.end());
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> out;
  } cases[] = {
      {{"help"}, kHelp},
      {{"  HeLp  "}, kHelp},
      {{"frobnicate"}, unknown},
      {{"checkrate"}, kHelp},  // needs the device name
  };
  for (const auto& c : cases) {
    const ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, 0) << c.args[0];
    EXPECT_EQ(Lines(r.out), c.out) << c.args[0];
    EXPECT_EQ(r.err, "") << c.args[0];
  }
}

TEST_F(VekClientCmdline, CommandWordsIgnoreCase) {
  for (const char* word : {"audio", "aUdIo", "AUDIO"}) {
    const ProcessResult r = Run({word});
    EXPECT_EQ(r.exit_code, 0) << word;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty()) << word;
    EXPECT_EQ(lines.front(), "[AUDIO INPUT DEVICES]") << word;
    EXPECT_NE(r.out.find("\n[AUDIO OUTPUT DEVICES]\n"), std::string::npos) << word;
  }
}

TEST_F(VekClientCmdline, RadioListsTheInterfaceTypesAndWires) {
  const ProcessResult r = Run({"radio"});
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Names of radio interface types and names of their wires for config:");
  EXPECT_EQ(lines[1], "COM");
  EXPECT_NE(r.out.find("\n  CTS - Input\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n  RTS - Output\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nVOX\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nFILE\n"), std::string::npos);
}

TEST_F(VekClientCmdline, ValidationStopsAtTheFirstMissingSettingInOrder) {
  const struct {
    const char* section;
    const char* key;
    const char* bad;
    const char* message;
  } rows[] = {
      {"Server", "ServerAddress", "", "VEK server address is not defined"},
      {"Server", "ServerPort", "0", "VEK server port is not defined"},
      {"Manager", "ManagerAddress", "", "VEK system manager address is not defined"},
      // ManagerPort: an unusable value reads as the default port, so the
      // system manager's port check cannot fail from a file.
      {"Internet", "ProxyAddress", "", "Proxy server address is not defined"},
      {"Internet", "ProxyPort", "0", "Proxy server port is not defined"},
      {"Server", "ForcedBackupServerAddress", "", "Forced backup server address is not defined"},
      {"Server", "ForcedBackupServerPort", "0", "Forced backup server port is not defined"},
  };
  // Every check armed and passing; row i and all rows after it broken: the
  // earliest broken row speaks.
  IniTable good = BaseConfig(dir_.path());
  good["Manager"] = {{"DynamicPasswordMode", "EMAIL"}, {"ManagerAddress", "127.0.0.1"},
                     {"ManagerPort", "10025"}};
  good["Internet"] = {{"ProxyType", "HTTP"}, {"ProxyAddress", "127.0.0.1"}, {"ProxyPort", "8080"}};
  good["Server"]["BackupServerMode"] = "FORCED";
  good["Server"]["ForcedBackupServerAddress"] = "127.0.0.2";
  good["Server"]["ForcedBackupServerPort"] = "5201";
  for (size_t i = 0; i < std::size(rows); ++i) {
    IniTable t = good;
    for (size_t j = i; j < std::size(rows); ++j) t[rows[j].section][rows[j].key] = rows[j].bad;
    WriteIni(config_, t);
    const ProcessResult r = Run({"checkrateconfig", config_});
    EXPECT_EQ(r.exit_code, 3) << rows[i].message;
    EXPECT_EQ(r.err, std::string("ERROR: ") + rows[i].message + "\n");
  }
}

TEST_F(VekClientCmdline, Socks5WithoutAddressPassesValidation) {
  table_["Internet"] = {{"ProxyType", "SOCKS5"}, {"ProxyAddress", ""}};
  Write();
  const ProcessResult r = Run({"checkrateconfig", config_});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST_F(VekClientCmdline, MissingConfigurationIsCheckedAsEmpty) {
  const std::string missing = dir_ / "nothing.cfg";
  const ProcessResult r = Run({"checkrateconfig", missing});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.out.find("ERROR: "), std::string::npos);
  EXPECT_NE(r.out.find("nothing.cfg"), std::string::npos);
  EXPECT_EQ(r.err, "ERROR: VEK server address is not defined\n");
}

TEST_F(VekClientCmdline, LegacyBackupServerFileMovesOver) {
  Write();
  const std::string legacy = dir_ / "backupserver.dat";
  // For another server: left alone.
  WriteFile(legacy, "127.0.0.1:5999\r\n10.0.0.9\r\n5300\r\n");
  EXPECT_EQ(Run({"checkrateconfig", config_}).exit_code, 0);
  EXPECT_TRUE(Exists(legacy));
  // For the configured one: stored in the backup-server file, then deleted.
  WriteFile(legacy, " 127.0.0.1:5200 \r\n 10.0.0.9 \r\n5300\r\n");
  EXPECT_EQ(Run({"checkrateconfig", config_}).exit_code, 0);
  EXPECT_FALSE(Exists(legacy));
  Sh("grep -rlq --exclude=vek.cfg 10.0.0.9 " + dir_.path());
}

TEST_F(VekClientCmdline, PidFileCommandsSkipValidation) {
  table_["Server"]["ServerAddress"] = "";
  Write();
  const ProcessResult r = Run({"pidfilename", config_});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dir_ / "vekclient.pid\n");
}

TEST_F(VekClientCmdline, PidAndLogFileNames) {
  const std::string copy = CopyVekClient(dir_.path());
  const struct {
    const char* key;
    std::string value;
    const char* command;
    std::string name;
  } cases[] = {
      {"PidFile", "", "pidfilename", "/var/run/vekclient.pid"},
      {"PidFile", "gate.pid", "pidfilename", "/var/run/gate.pid"},
      {"PidFile", "run/gate.pid", "pidfilename", dir_ / "run/gate.pid"},
      {"PidFile", "/tmp/elsewhere/gate.pid", "pidfilename", "/tmp/elsewhere/gate.pid"},
      {"LogFile", "", "logfilename", dir_ / "vekclient.log"},
      {"LogFile", "logs/gate.log", "logfilename", dir_ / "logs/gate.log"},
      {"LogFile", "/tmp/elsewhere/gate.log", "logfilename", "/tmp/elsewhere/gate.log"},
  };
  for (const auto& c : cases) {
    table_["System"][c.key] = c.value;
    Write();
    // A relative configuration name is taken from the program's directory.
    const ProcessResult r = RunProcess(copy, {c.command, "vek.cfg"}, {}, kPeerWaitMs, "/");
    EXPECT_EQ(r.exit_code, 0) << c.value;
    EXPECT_EQ(r.out, c.name + "\n") << c.value;
  }
}

TEST_F(VekClientCmdline, StopAndReopenWithoutUsablePidFile) {
  Write();
  const std::string pid_file = dir_ / "vekclient.pid";
  // Nothing to read: one error line, and still 0 (service scripts rely on it).
  for (const char* command : {"stop", "reopenlog"}) {
    const ProcessResult r = Run({command, config_});
    EXPECT_EQ(r.exit_code, 0) << command;
    EXPECT_EQ(r.err.rfind("ERROR: read PID-file [" + pid_file + "]: ", 0), 0u) << r.err;
  }
  // A process that is not this program is never signalled.
  ChildProcess bystander("/bin/sleep", {"30"});
  for (const std::string& content :
       std::vector<std::string>{"0", "-1", "x", std::to_string(bystander.pid())}) {
    WriteFile(pid_file, content + "\n");
    for (const char* command : {"stop", "reopenlog"}) {
      const ProcessResult r = Run({command, config_});
      EXPECT_EQ(r.exit_code, 0) << content;
      EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << content << ": " << r.err;
    }
  }
  EXPECT_EQ(kill(bystander.pid(), 0), 0);
  EXPECT_FALSE(bystander.WaitForOutput("never", 50));
}

TEST_F(VekClientCmdline, PidFileCommandsRefuseAConfigurationThatDidNotLoad) {
  // Its PID file would be the default one, perhaps a running daemon's; with
  // one there, even a failing run of this test could harm it.
  if (Exists("/var/run/vekclient.pid")) GTEST_SKIP() << "/var/run/vekclient.pid exists";
  const std::string folder = dir_ / "folder.cfg";
  mkdir(folder.c_str(), 0755);
  for (const std::string& config : {dir_ / "typo.cfg", folder})
    for (const char* command : {"stop", "deletepidfile", "reopenlog"}) {
      const ProcessResult r = Run({command, config});
      EXPECT_EQ(r.exit_code, 3) << command << " " << config;
      EXPECT_NE(r.out.find(config), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "ERROR: Configuration not loaded: the PID file is left alone\n")
          << command << " " << config;
    }
}

TEST_F(VekClientCmdline, DeletePidFile) {
  Write();
  const std::string pid_file = dir_ / "vekclient.pid";
  WriteFile(pid_file, "12345\n");
  ProcessResult r = Run({"deletepidfile", config_});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(Exists(pid_file));
  r = Run({"deletepidfile", config_});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.rfind("ERROR: delete PID-file [" + pid_file + "]: ", 0), 0u) << r.err;
}

}  // namespace
}  // namespace vektest
