#include "app/command_line.h"

#include "app/program.h"
#include "app/run.h"
#include "foundation/charset.h"
#include "foundation/types.h"

namespace {

struct TCommandRecord {
  const char16_t* Name;
  uint8_t Code;
  uint32_t Flags;
};

// Searched in this order.
const TCommandRecord kCommands[] = {
    {u"CHECKRATE", cmd_CheckRate, 0x0E0},     {u"CHECKRATECONFIG", cmd_CheckRateConfig, 0x0C2},
    {u"CHECKINPUT", cmd_CheckInput, 0x083},   {u"AUDIOLEVEL", cmd_AudioLevel, 0x183},
    {u"NOSTDOUT", cmd_NoStdout, 0x012},       {u"DAEMON", cmd_Daemon, 0x012},
    {u"PIDFILENAME", cmd_PidFileName, 0x2CE}, {u"STOP", cmd_Stop, 0x2CE},
    {u"DELETEPIDFILE", cmd_DeletePidFile, 0x2CE}, {u"REOPENLOG", cmd_ReopenLog, 0x2CE},
    {u"LOGFILENAME", cmd_LogFileName, 0x2CE}, {u"REGISTER", cmd_Register, 0x00A},
    {u"RADIO", cmd_Radio, 0x004},             {u"AUDIO", cmd_Audio, 0x040},
    {u"AUDIOCONFIG", cmd_AudioConfig, 0x040}, {u"HELP", cmd_Help, 0x004},
    {u"DEBUG", cmd_Debug, 0x002},
};

int32_t IntOr(const std::u16string& text, int32_t def) {
  int32_t v = 0;
  return DaxTryStrToIntW(DaxTrimW(text), v) ? v : def;
}

}  // namespace

bool ParseCommand(const std::u16string& word, bool has_second_arg, uint8_t& code,
                  uint32_t& flags, std::u16string& parameter) {
  parameter = word;
  if (word.empty()) {
    code = cmd_Debug;
    flags = cf_Config;
    return true;
  }
  const std::u16string upper = DaxUpperCaseAsciiW(word);
  for (const TCommandRecord& row : kCommands) {
    const std::u16string name = row.Name;
    if ((row.Flags & cf_Parameter) && upper.compare(0, name.size() + 1, name + u":") == 0) {
      code = row.Code;
      flags = row.Flags;
      parameter = word.substr(name.size() + 1);
      return true;
    }
    if (upper == name) {
      if ((row.Flags & cf_NeedsArgument) && !has_second_arg) {
        code = cmd_Help;
        flags = cf_Light;
      } else {
        code = row.Code;
        flags = row.Flags;
      }
      return true;
    }
  }
  return false;
}

void VekReadCommandLine(TVEKProgram& p, int argc, char** argv) {
  p.Word = argc > 1 ? DaxTrimW(DaxSysToUnicodeProc(argv[1])) : std::u16string();
  p.HasSecondArg = argc > 2;
  p.SecondArg = p.HasSecondArg ? DaxSysToUnicodeProc(argv[2]) : std::u16string();

  if (!ParseCommand(p.Word, p.HasSecondArg, p.Code, p.Flags, p.Parameter)) {
    p.PrintOut(u"ERROR: Unknown command: " + p.Word);
    p.Code = cmd_Help;
    p.Flags = cf_Light;
  }
  p.Light = (p.Flags & cf_Light) != 0;
  p.HasConfig = (p.Flags & cf_Config) != 0;
  p.LogToFile = (p.Flags & cf_LogToFile) != 0;
  if (p.Flags & cf_NoSoundCard) p.Options |= ropt_NoSoundCard;
  if (p.Flags & cf_NoEngine) p.Options |= ropt_NoEngine;
  if (p.Flags & cf_NoAbortingLine) p.Options |= ropt_NoAbortingLine;
  if (p.Flags & cf_NoTimers) p.Options |= ropt_NoTimers;
  if (p.HasConfig) p.ConfigFileName = p.SecondArg;
  if (p.Code == cmd_CheckRate) p.DeviceName = p.SecondArg;
}

void VekParseAudioLevel(const std::u16string& parameter, int32_t& width, int32_t& mode) {
  const size_t slash = parameter.find(u'/');
  if (slash == std::u16string::npos) {
    width = IntOr(parameter, 66);
    mode = 0;
  } else {
    width = IntOr(parameter.substr(0, slash), 66);
    mode = IntOr(parameter.substr(slash + 1), 0);
  }
  if (width < 1) width = 66;
}
