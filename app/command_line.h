// The command line: the table of command words with their codes and flags,
// the parsing of the word (with its optional ":parameter"), and what the
// program's record takes from the arguments. vekclient [word [second]]:
// the second argument is the configuration file of the commands that read
// one, and the device name of "checkrate".
#pragma once

#include <cstdint>
#include <string>

struct TVEKProgram;

// Command flags.
enum : uint32_t {
  cf_Parameter = 0x001,      // "NAME:parameter"
  cf_Config = 0x002,         // reads the configuration file
  cf_Light = 0x004,          // light runner: no audio runtime, no engine
  cf_NoSoundCard = 0x008,
  cf_LogToFile = 0x010,      // output to the log file
  cf_NeedsArgument = 0x020,  // without a second argument: "help"
  cf_NoEngine = 0x040,
  cf_NoAbortingLine = 0x080,
  cf_NoTimers = 0x100,
  cf_NoValidation = 0x200,
};

enum : uint8_t {
  cmd_Debug = 0,
  cmd_Help = 1,
  cmd_PidFileName = 2,
  cmd_Daemon = 3,
  cmd_Stop = 4,
  cmd_DeletePidFile = 5,
  cmd_ReopenLog = 6,
  cmd_LogFileName = 7,
  cmd_Radio = 8,
  cmd_Audio = 9,
  cmd_AudioConfig = 10,
  cmd_CheckInput = 11,
  cmd_Register = 12,
  cmd_CheckRate = 13,
  cmd_CheckRateConfig = 14,
  cmd_NoStdout = 15,
  cmd_AudioLevel = 16,
};

// The word's code, flags and parameter (the whole word unless it has a
// parameter); false for a word of no row. Words ignore ASCII case; an empty
// word is "debug".
bool ParseCommand(const std::u16string& word, bool has_second_arg, uint8_t& code,
                  uint32_t& flags, std::u16string& parameter);

// The arguments into the record: word, second argument, code, flags and
// what they decide (light runner, configuration, log file, runner options,
// configuration file name, device name). An unknown word writes
// "ERROR: Unknown command: " + word on the output and becomes "help".
void VekReadCommandLine(TVEKProgram& program, int argc, char** argv);

// "audiolevel:width[/mode]": width 66 unless a number of at least 1, mode 0
// unless a number.
void VekParseAudioLevel(const std::u16string& parameter, int32_t& width, int32_t& mode);
