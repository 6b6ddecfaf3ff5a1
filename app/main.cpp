// vekclient: the console program. Reads the command word, loads and checks
// the configuration, becomes a daemon when asked, hands signals to a thread
// of their own, opens the log, creates the runner and dispatches the command.
#include <unistd.h>

#include <exception>
#include <memory>

#include "app/command_line.h"
#include "app/daemon.h"
#include "app/dispatch.h"
#include "app/program.h"
#include "app/run.h"
#include "app/signals.h"
#include "app/startup.h"
#include "engine/mngr.h"
#include "foundation/charset.h"
#include "foundation/exception.h"

namespace {

// The program from the command line to its exit code.
int VekClientProgram(TVEKProgram& program, int argc, char** argv) {
  ProcessCommandLine(program, argc, argv);
  if (program.Code == cmd_Daemon) VekBecomeDaemon(program);
  TVEKSignalThread signals(program);

  if (program.LogToFile) {
    try {
      program.Output.OpenLog(DaxUnicodeToSys(program.LogFileName));
    } catch (...) {
      signals.Stop();
      VekDeleteOwnPidFile(program);
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
    // A stop the program starts itself (the sound card failed, the engine
    // ended) is bounded as a signal's stop is.
    if (TVEKManager* engine = runner->Engine()) engine->SetOnStopping([&signals] { signals.BoundStop(); });
    signals.PublishRunner(runner.get());
    if (program.Code == cmd_Daemon) program.DaemonReport.Send(0);
    code = VekRunCommand(program, *runner, signals);
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
