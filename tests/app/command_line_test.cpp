// The command table and what the record takes from the arguments.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/program.h"
#include "app/run.h"
#include "foundation/charset.h"
#include "support/test_files.h"

using namespace vektest;

namespace {

std::string Narrow(const std::u16string& text) { return DaxUnicodeToUtf8(text); }

TEST(CommandLine, ParseCommandTable) {
  const struct {
    std::u16string word;
    bool second;
    bool known;
    uint8_t code;
    uint32_t flags;
    std::u16string parameter;
  } cases[] = {
      {u"", false, true, cmd_Debug, 0x002, u""},
      {u"debug", true, true, cmd_Debug, 0x002, u"debug"},
      {u"aUdIo", false, true, cmd_Audio, 0x040, u"aUdIo"},
      {u"audioconfig", false, true, cmd_AudioConfig, 0x040, u"audioconfig"},
      // A parameter after the colon, case kept; without a colon the whole word.
      {u"checkinput:COM:/dev/cuau0", false, true, cmd_CheckInput, 0x083, u"COM:/dev/cuau0"},
      {u"CheckInput:", false, true, cmd_CheckInput, 0x083, u""},
      {u"checkinput", false, true, cmd_CheckInput, 0x083, u"checkinput"},
      {u"audiolevel:40/2", false, true, cmd_AudioLevel, 0x183, u"40/2"},
      // The device name is needed: help without it.
      {u"checkrate", false, true, cmd_Help, 0x004, u"checkrate"},
      {u"checkrate", true, true, cmd_CheckRate, 0x0E0, u"checkrate"},
      // A longer name is not the shorter one with more after it.
      {u"checkrateconfig", false, true, cmd_CheckRateConfig, 0x0C2, u"checkrateconfig"},
      {u"daemon", false, true, cmd_Daemon, 0x012, u"daemon"},
      {u"nostdout", false, true, cmd_NoStdout, 0x012, u"nostdout"},
      {u"stop", false, true, cmd_Stop, 0x2CE, u"stop"},
      {u"deletepidfile", false, true, cmd_DeletePidFile, 0x2CE, u"deletepidfile"},
      {u"reopenlog", false, true, cmd_ReopenLog, 0x2CE, u"reopenlog"},
      {u"pidfilename", false, true, cmd_PidFileName, 0x2CE, u"pidfilename"},
      {u"logfilename", false, true, cmd_LogFileName, 0x2CE, u"logfilename"},
      {u"register", false, true, cmd_Register, 0x00A, u"register"},
      {u"radio", false, true, cmd_Radio, 0x004, u"radio"},
      {u"HELP", false, true, cmd_Help, 0x004, u"HELP"},
      // Only words of rows with a parameter take one.
      {u"nostdout:x", false, false, 0, 0, u""},
      {u"audi", false, false, 0, 0, u""},
      {u"frobnicate", false, false, 0, 0, u""},
  };
  for (const auto& c : cases) {
    uint8_t code = 0xFF;
    uint32_t flags = 0xFFFF;
    std::u16string parameter;
    ASSERT_EQ(ParseCommand(c.word, c.second, code, flags, parameter), c.known) << Narrow(c.word);
    if (!c.known) continue;
    EXPECT_EQ(code, c.code) << Narrow(c.word);
    EXPECT_EQ(flags, c.flags) << Narrow(c.word);
    EXPECT_EQ(parameter, c.parameter) << Narrow(c.word);
  }
}

TEST(CommandLine, FlagsDecideTheRecord) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    uint8_t code;
    bool light, config, log_to_file;
    uint32_t options;
    std::u16string config_name, device, parameter;
    std::string out;
  } cases[] = {
      {{}, cmd_Debug, false, true, false, 0, u"", u"", u"", ""},
      {{" daemon ", "gate.cfg"}, cmd_Daemon, false, true, true, 0, u"gate.cfg", u"", u"daemon", ""},
      {{"checkrate", "hw:1"}, cmd_CheckRate, false, false, false,
       ropt_NoEngine | ropt_NoAbortingLine, u"", u"hw:1", u"checkrate", ""},
      {{"audiolevel:40/2", "gate.cfg"}, cmd_AudioLevel, false, true, false,
       ropt_NoAbortingLine | ropt_NoTimers, u"gate.cfg", u"", u"40/2", ""},
      {{"stop", "gate.cfg"}, cmd_Stop, true, true, false,
       ropt_NoSoundCard | ropt_NoEngine | ropt_NoAbortingLine,
       u"gate.cfg", u"", u"stop", ""},
      {{"radio", "x.cfg"}, cmd_Radio, true, false, false, 0, u"", u"", u"radio", ""},
      {{"frobnicate", "x.cfg"}, cmd_Help, true, false, false, 0, u"", u"", u"frobnicate",
       "ERROR: Unknown command: frobnicate\n"},
  };
  for (const auto& c : cases) {
    const std::string label = c.args.empty() ? "(none)" : c.args[0];
    std::vector<std::string> args = {"vekclient"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    const std::string out = dir / "out.txt";
    WriteFile(out, "");
    TVEKProgram p;
    p.Output.OpenLog(out);
    VekReadCommandLine(p, static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(p.Code, c.code) << label;
    EXPECT_EQ(p.Light, c.light) << label;
    EXPECT_EQ(p.HasConfig, c.config) << label;
    EXPECT_EQ(p.LogToFile, c.log_to_file) << label;
    EXPECT_EQ(p.Options, c.options) << label;
    EXPECT_EQ(p.ConfigFileName, c.config_name) << label;
    EXPECT_EQ(p.DeviceName, c.device) << label;
    EXPECT_EQ(p.Parameter, c.parameter) << label;
    EXPECT_EQ(ReadFile(out), c.out) << label;
  }
}

TEST(CommandLine, AudioLevelParameter) {
  const struct {
    std::u16string parameter;
    int32_t width, mode;
  } cases[] = {
      {u"40/2", 40, 2}, {u"/3", 66, 3},   {u"0", 66, 0},       {u"-5/1", 66, 1},
      {u"x/y", 66, 0},  {u"25", 25, 0},   {u" 12 / 1 ", 12, 1}, {u"audiolevel", 66, 0},
  };
  for (const auto& c : cases) {
    int32_t width = -1, mode = -1;
    VekParseAudioLevel(c.parameter, width, mode);
    EXPECT_EQ(width, c.width) << Narrow(c.parameter);
    EXPECT_EQ(mode, c.mode) << Narrow(c.parameter);
  }
}

}  // namespace
