// vekclient: the console program. Reads the command word, loads and checks
// the configuration, becomes a daemon when asked, hands signals to a thread
// of their own, opens the log, creates the runner and dispatches the command.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/daemon.h"
#include "app/program.h"
#include "app/run.h"
#include "app/signals.h"
#include "app/startup.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/pid_file.h"
#include "foundation/types.h"

namespace {

constexpr uint32_t kPidPollMs = 30;
constexpr uint32_t kPidWaitMs = 1000;

std::u16string Uni(const std::string& text) { return DaxSysToUnicodeProc(text); }

// By the program's file name: an installed copy elsewhere still counts.
bool IsThisProgram(pid_t pid) {
  auto exe_of = [](const std::string& link) {
    char path[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0) return std::string();
    std::string text(path, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (text.size() > deleted.size() &&
        text.compare(text.size() - deleted.size(), deleted.size(), deleted) == 0)
      text.resize(text.size() - deleted.size());
    return text;
  };
  auto base_of = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  const std::string self = base_of(exe_of("/proc/self/exe"));
  const std::string other = base_of(exe_of("/proc/" + std::to_string(pid) + "/exe"));
  return !self.empty() && self == other;
}

// Reads the PID file and signals the process; false (with the error line
// written) when nothing was signalled.
bool SignalDaemon(TVEKProgram& p, int sig) {
  const std::string name = DaxUnicodeToSys(p.PidFileName);
  pid_t pid = 0;
  try {
    VekReadPidFile(name, pid);
  } catch (const std::exception& e) {
    p.PrintErr(u"ERROR: read PID-file [" + p.PidFileName + u"]: " + Uni(e.what()));
    return false;
  }
  if (pid == getpid() || !IsThisProgram(pid)) {
    p.PrintErr(u"ERROR: PID-file [" + p.PidFileName + u"]: process " + Uni(std::to_string(pid)) +
               u" is not a running vekclient");
    return false;
  }
  if (kill(pid, sig) != 0) {
    const int err = errno;
    p.PrintErr(u"ERROR: " + Uni(DaxErrorText(err)));
    return false;
  }
  return true;
}

void WaitForFile(const std::string& name, bool present) {
  for (uint32_t waited = 0; waited < kPidWaitMs; waited += kPidPollMs) {
    if (VekFileExists(name) == present) return;
    usleep(kPidPollMs * 1000);
  }
}

void VekStopDaemon(TVEKProgram& p) {
  if (SignalDaemon(p, SIGTERM)) WaitForFile(DaxUnicodeToSys(p.PidFileName), false);
}

void VekReopenDaemonLog(TVEKProgram& p) {
  if (SignalDaemon(p, SIGHUP)) WaitForFile(DaxUnicodeToSys(p.LogFileName), true);
}

void VekDeletePidFile(TVEKProgram& p) {
  try {
    DaxDeleteFile(DaxUnicodeToSys(p.PidFileName));
  } catch (const std::exception& e) {
    p.PrintErr(u"ERROR: delete PID-file [" + p.PidFileName + u"]: " + Uni(e.what()));
  }
}

// Runs the command word's work. Returns the exit code.
int RunCommand(TVEKProgram& p, TVEKRun& runner, const TVEKSignalThread& signals) {
  switch (p.Code) {
    case cmd_Help:
      runner.PrintHelp();
      return 0;
    case cmd_PidFileName:
      runner.Print(p.PidFileName);
      return 0;
    case cmd_Stop:
      VekStopDaemon(p);
      return 0;
    case cmd_DeletePidFile:
      VekDeletePidFile(p);
      return 0;
    case cmd_ReopenLog:
      VekReopenDaemonLog(p);
      return 0;
    case cmd_LogFileName:
      runner.Print(p.LogFileName);
      return 0;
    case cmd_Radio:
      runner.ListRadioInterfaces();
      return 0;
    case cmd_Audio:
      p.SilenceStdErr();
      runner.ListAudioDevices();
      return 0;
    case cmd_AudioConfig:
      p.SilenceStdErr();
      runner.ListAudioDevicesConfig();
      return 0;
    case cmd_CheckInput:
      p.SilenceStdErr();
      runner.CheckInput(p.Parameter);
      return 0;
    case cmd_Register:
      // Registration that got no confirmation is no success.
      return runner.RegisterAccount(p.Setup) ? 0 : 7;
    case cmd_CheckRate:
      p.SilenceStdErr();
      runner.CheckSampleRates(p.DeviceName, p.DeviceName);
      return 0;
    case cmd_CheckRateConfig:
      p.SilenceStdErr();
      runner.CheckSampleRates(VekIniValueOrEmpty(p.Setup.Audio.InDevice),
                              VekIniValueOrEmpty(p.Setup.Audio.OutDevice));
      return 0;
    case cmd_AudioLevel: {
      int32_t width = 66, mode = 0;
      VekParseAudioLevel(p.Parameter, width, mode);
      p.SilenceStdErr();
      runner.AudioLevel(width, mode);
      return 0;
    }
    default:
      runner.SetBackupServer(p.BackupFound, p.BackupHost, p.BackupPort);
      runner.Run();
      if (p.Output.File()) p.Output.File()->FlushNoRaise();
      return signals.StoppedBySignal() ? 0 : 7;
  }
}

int VekClientProgram(TVEKProgram& program, int argc, char** argv) {
  ProcessCommandLine(program, argc, argv);
  if (program.Code == cmd_Daemon) VekBecomeDaemon(program);
  TVEKSignalThread signals(program);

  if (program.LogToFile) {
    try {
      program.Output.OpenLog(DaxUnicodeToSys(program.LogFileName));
    } catch (...) {
      signals.Stop();
      return 6;
    }
  }

  std::unique_ptr<TVEKRun> runner;
  int code = 3;
  bool failed = false;
  try {
    if (program.Light)
      runner = std::make_unique<TVEKRun>(program.Setup, &program.Output);
    else
      runner = std::make_unique<TVEKRun>(program.Options, program.Setup, program.ConfigFileName,
                                         &program.Output, program.Debug);
    signals.PublishRunner(runner.get());
    if (program.Code == cmd_Daemon) {
      VekWriteOwnPidFile(program);
      program.DaemonReport.Send(0);
    }
    code = RunCommand(program, *runner, signals);
  } catch (const std::exception& e) {
    // Written before the clean-up closes the log, with standard error back.
    program.RestoreStdErr();
    const Exception* own = dynamic_cast<const Exception*>(&e);
    program.PrintErr(DaxSysToUnicodeProc(own ? own->ClassName() : "Exception") + u": " +
                     DaxSysToUnicodeProc(e.what()));
    failed = true;
  }
  program.RestoreStdErr();
  if (program.Output.File()) program.Output.File()->FlushNoRaise();
  signals.PublishRunner(nullptr);
  runner.reset();
  signals.Stop();
  if (program.LogToFile) program.Output.Close();
  VekDeleteOwnPidFile(program);
  return failed ? 3 : code;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread or fork: every thread inherits the blocked set, so
  // only the signal thread ever takes these signals.
  VekBlockHandledSignals();
  DaxInitSystemCharset();
  // Static, as the files it holds must be: a start-up error ends the
  // process with std::exit, which still flushes and closes them.
  static TVEKProgram program;
  const int code = VekClientProgram(program, argc, argv);
  program.DaemonReport.Send(code);
  return code;
}
