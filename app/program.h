// The program's record: what the command line and the start-up found, the
// output and error files the program writes to, and the ends of the
// process that leave these files in order. One record per process, made by
// main() and handed to every step; the main thread owns it, except the
// fields the signal thread reads (set before it starts, or atomic).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "app/command_line.h"
#include "app/daemon.h"
#include "app/run.h"
#include "foundation/setup_data.h"

struct TVEKProgram {
  // ----- the command line
  uint8_t Code = cmd_Debug;
  uint32_t Flags = 0;
  bool Light = false;
  uint32_t Options = 0;  // ropt_*
  bool HasConfig = false;
  bool LogToFile = false;
  std::u16string Word;  // trimmed
  std::u16string SecondArg;
  bool HasSecondArg = false;
  std::u16string Parameter;
  std::u16string DeviceName;  // of "checkrate"
  std::u16string ConfigFileName;

  // ----- the start-up
  std::u16string ProgramDir;
  std::u16string CurrentDir;
  TVEKSetupData Setup;
  std::u16string PidFileName;
  std::u16string LogFileName;
  bool BackupFound = false;
  std::u16string BackupHost;
  int32_t BackupPort = 0;
  bool Debug = false;

  // ----- output: standard output and error until a log file takes both
  TVEKOutputFile Output;
  TVEKOutputFile Error;
  int SavedStdErr = -1;

  // ----- the daemon
  // The PID this process wrote into the PID file; 0 when it wrote none.
  // Atomic: a stop that takes too long deletes the file from the signal thread.
  std::atomic<pid_t> PidWritten{0};
  // Daemon child: where the parent waits for the start result.
  TVEKDaemonReport DaemonReport;

  TDaxTextFile& ErrorFile();
  // One line, flushed; a failing write is dropped.
  void PrintOut(const std::u16string& text);
  void PrintErr(const std::u16string& text);
  void SilenceStdErr();
  void RestoreStdErr();
  // Standard error back, the start result to a waiting daemon parent, the
  // files flushed; then exit with `code`.
  [[noreturn]] void EndProcess(int code);
  // "ERROR: " + message on the error output, then exit code 3.
  [[noreturn]] void FatalStartupError(const std::u16string& message);
};

// Whether a file (or folder) of that name exists.
bool VekFileExists(const std::string& name);
