#include "app/startup.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <vector>

#include "app/command_line.h"
#include "app/config_reader.h"
#include "app/program.h"
#include "app/setup_validation.h"
#include "engine/cli_backup_file.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/tags.h"
#include "foundation/types.h"
#include "net/idn.h"

namespace {

std::u16string Uni(const std::string& text) { return DaxSysToUnicodeProc(text); }

// One step of the start-up block: an error is shown and the next step runs.
template <class F>
void StartupStep(TVEKProgram& p, F&& step) {
  try {
    step();
  } catch (const Exception& e) {
    p.PrintOut(u"ERROR: " + Uni(e.ClassName()) + u": " + Uni(e.Message()));
  } catch (const std::exception& e) {
    p.PrintOut(u"ERROR: Exception: " + Uni(e.what()));
  }
}

// The backup server a former version kept in "backupserver.dat": moved into
// the backup-server file when it belongs to the configured server.
void TakeLegacyBackupFile(TVEKProgram& p) {
  const TVEKSetupData& s = p.Setup;
  const std::string name = VekFileInWriteDir("backupserver.dat", s.System);
  std::ifstream in(name, std::ios::binary);
  if (!in) return;
  std::string lines[3];
  for (std::string& line : lines)
    if (!std::getline(in, line)) return;
  in.close();
  const std::u16string main = DaxTrimW(Uni(lines[0]));
  const std::u16string host = DaxTrimW(Uni(lines[1]));
  int32_t port = 0;
  if (main != VekHostPortText(s.Server.ServerAddress, s.Server.ServerPort)) return;
  if (!VekIsCleanHostName(host)) return;
  if (!DaxTryStrToIntW(DaxTrimW(Uni(lines[2])), port) || port < 1 || port > 65535) return;
  VekBackupFileStore(s.System, s.Server.ServerAddress, host, s.Server.ServerPort, port);
  p.BackupFound = true;
  p.BackupHost = host;
  p.BackupPort = port;
  DaxDeleteFile(name);
}

// What did not load counts as empty, for the checks and the file names.
void ForgetConfiguration(TVEKProgram& p) {
  p.Setup = TVEKSetupData{};
  VekAudioDefaults(p.Setup.Audio);
  p.Setup.System.ProgramDir = p.ProgramDir;
  p.Setup.System.StartDir = p.CurrentDir;
}

void LoadConfiguration(TVEKProgram& p) {
  bool loaded = false;
  std::vector<std::u16string> warnings;
  StartupStep(p, [&] {
    if (DaxTrimW(p.ConfigFileName).empty()) p.ConfigFileName = u"vekconsole.cfg.unix";
    p.ConfigFileName = DaxResolvePath(p.ConfigFileName, p.ProgramDir);
    VekLoadConfig(p.ConfigFileName, p.Setup, p.CurrentDir, p.ProgramDir, &warnings);
    loaded = true;
    if (!p.Setup.System.CharsetName.empty()) DaxSetSystemCharset(p.Setup.System.CharsetName);
  });
  for (const std::u16string& warning : warnings) p.PrintOut(u"WARNING: " + warning);
  if (loaded) return;
  ForgetConfiguration(p);
  // Its PID file would be the default one, perhaps a running daemon's.
  if (p.Code == cmd_Stop || p.Code == cmd_DeletePidFile || p.Code == cmd_ReopenLog)
    p.FatalStartupError(u"Configuration not loaded: the PID file is left alone");
}

}  // namespace

std::u16string VekPidFileName(const TVEKSystemParameters& system) {
  return VekResolveFileNameInDir(system.PidFile, u"vekclient.pid", u"/var/run",
                                 system.ProgramDir.empty() ? VekProgramDirW() : system.ProgramDir);
}

std::u16string VekLogFileName(const TVEKSystemParameters& system) {
  return VekResolveFileNameDef(system.LogFile, u"vekclient.log",
                               system.ProgramDir.empty() ? VekProgramDirW() : system.ProgramDir);
}

void ProcessCommandLine(TVEKProgram& p, int argc, char** argv) {
  p.Output.AttachDescriptor(STDOUT_FILENO, "stdout");
  p.Error.AttachDescriptor(STDERR_FILENO, "stderr");
  VekReadCommandLine(p, argc, argv);
  VekRunStartupSteps(p);
}

void VekRunStartupSteps(TVEKProgram& p) {
  p.BackupFound = false;
  p.Debug = false;
  p.ProgramDir = VekProgramDirW();
  char cwd[PATH_MAX];
  p.CurrentDir = getcwd(cwd, sizeof cwd) ? Uni(cwd) : p.ProgramDir;
  p.Setup.System.ProgramDir = p.ProgramDir;
  p.Setup.System.StartDir = p.CurrentDir;

  if (!p.HasConfig)
    VekAudioDefaults(p.Setup.Audio);
  else
    LoadConfiguration(p);
  if (p.HasConfig && (p.Flags & cf_NoValidation) == 0) {
    // A configuration that did not load is checked as an empty one.
    const std::u16string error = VekFirstSetupError(p.Setup);
    if (!error.empty()) p.FatalStartupError(error);
    StartupStep(p, [&] { DaxCheckWritable(VekFileInWriteDir("filename", p.Setup.System)); });
  }
  if (p.HasConfig) {
    StartupStep(p, [&] {
      p.BackupFound = VekBackupFileLookup(p.Setup.System, p.Setup.Server.ServerAddress,
                                          p.Setup.Server.ServerPort, p.BackupHost, p.BackupPort);
      if (!p.BackupFound) TakeLegacyBackupFile(p);
    });
  }
  StartupStep(p, [&] {
    p.Debug = VekFileExists(DaxUnicodeToSys(DaxIncludeTrailingSlashW(p.ProgramDir) + u".debug"));
  });
  StartupStep(p, [&] {
    p.LogFileName = VekLogFileName(p.Setup.System);
    if (p.LogToFile) {
      const std::string name = DaxUnicodeToSys(p.LogFileName);
      DaxCheckWritable(name);
      TDaxTextFile probe;
      DaxOpenLogText(probe, name);
      DaxCloseTextFile(probe);
    }
  });
  StartupStep(p, [&] { p.PidFileName = VekPidFileName(p.Setup.System); });
}
