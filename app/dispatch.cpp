#include "app/dispatch.h"

#include "app/command_line.h"
#include "app/pid_commands.h"
#include "app/program.h"
#include "app/run.h"
#include "app/signals.h"
#include "foundation/setup_data.h"

int VekRunCommand(TVEKProgram& p, TVEKRun& runner, const TVEKSignalThread& signals) {
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
      return signals.RunExitCode();
  }
}
