// vekclient: the console program. Reads the command word, loads and checks
// the configuration, becomes a daemon when asked, hands signals to a thread
// of their own, opens the log, creates the runner and dispatches the command.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/command_line.h"
#include "app/program.h"
#include "app/run.h"
#include "app/startup.h"
#include "engine/cli_backup_file.h"
#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/exception.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/pid_file.h"
#include "foundation/setup_data.h"
#include "foundation/stderr_silencer.h"
#include "foundation/tags.h"
#include "foundation/text_output.h"
#include "foundation/types.h"

namespace {

constexpr uint32_t kPidPollMs = 30;
constexpr uint32_t kPidWaitMs = 1000;

// A stop that has not ended the process in this time ends it from the signal
// thread: a worker can hang in a device call for good (an open of a named
// pipe nobody reads cannot be interrupted), and the owner waits for it.
constexpr std::chrono::seconds kStopBound{5};

TVEKProgram g;

// The runner as the signal thread sees it, with a stop that came first.
std::mutex g_runner_lock;
TVEKRun* g_runner = nullptr;
std::u16string g_early_stop_reason;
std::atomic<bool> g_stop_by_signal{false};

// ---------------------------------------------------------------------------
// Helpers

std::string Sys(const std::u16string& text) { return DaxUnicodeToSys(text); }
std::u16string Uni(const std::string& text) { return DaxSysToUnicodeProc(text); }

void PrintOut(const std::u16string& text) { g.PrintOut(text); }
void PrintErr(const std::u16string& text) { g.PrintErr(text); }
void RestoreStdErr() { g.RestoreStdErr(); }
void SilenceStdErr() { g.SilenceStdErr(); }
void ReportDaemonStart(int code) { g.DaemonReport.Send(code); }
[[noreturn]] void EndProcess(int code) { g.EndProcess(code); }


const int kStopSignals[] = {SIGINT,  SIGQUIT, SIGABRT, SIGTERM,  SIGALRM,
                            SIGUSR1, SIGUSR2, SIGPROF, SIGVTALRM};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

sigset_t HandledSignals() {
  sigset_t set = StopSignals();
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGRTMIN);  // ends the signal thread
  return set;
}

// ---------------------------------------------------------------------------
// Daemon

// A daemon child must report its start in this time.
constexpr std::chrono::seconds kDaemonStartBound{30};
// A child told to stop ends within its own stop bound; this leaves room.
constexpr std::chrono::seconds kDaemonEndWait = 2 * kStopBound;

Exception ForkError(int err) {
  return Exception("Fork error [" + std::to_string(err) + "]: " + DaxErrorText(err));
}

// The parent of a daemon: ends with the child's start result. A stop signal
// is passed on to the child, and so is a start that takes too long; the
// parent then ends once the child has, so that no half-started daemon stays
// behind unseen. `signal_fd` reads the stop signals and SIGCHLD.
[[noreturn]] void AwaitDaemonStart(pid_t child, int report_fd, int signal_fd) {
  using TClock = std::chrono::steady_clock;
  TClock::time_point deadline = TClock::now() + kDaemonStartBound;
  std::u16string stopped;  // why the child was told to stop
  auto stop_child = [&](int sig, const std::u16string& why) {
    kill(child, sig);
    if (!stopped.empty()) return;
    stopped = why;
    deadline = TClock::now() + kDaemonEndWait;
  };
  pollfd fds[2] = {{report_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    if (left <= 0) {
      if (!stopped.empty()) {
        PrintErr(u"ERROR: " + stopped + u": process " + DaxIntToStrW(child) + u" has not ended");
        std::_Exit(3);
      }
      stop_child(SIGTERM, u"Daemon start not confirmed within " +
                              DaxIntToStrW(kDaemonStartBound.count()) + u" s");
      continue;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    if (fds[0].revents != 0) {
      unsigned char byte = 0;
      const ssize_t n = read(report_fd, &byte, 1);
      if (n == 1 && stopped.empty()) std::_Exit(byte);
      if (n != 1) fds[0].fd = -1;  // the child reported, or it ends
    }
    if (fds[1].revents != 0) {
      signalfd_siginfo info{};
      if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      const int sig = static_cast<int>(info.ssi_signo);
      if (sig != SIGCHLD) {
        stop_child(sig, u"Daemon start interrupted [" + DaxSignalName(sig) + u"]");
        continue;
      }
      int status = 0;
      if (waitpid(child, &status, WNOHANG) != child) continue;
      if (!stopped.empty()) {
        PrintErr(u"ERROR: " + stopped);
        std::_Exit(3);
      }
      // The child ended without a word: its own status tells.
      std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
    }
  }
}

// Returns in the child; the parent ends with the child's start result: 0
// once the child wrote its PID file, else the child's exit code.
void BecomeDaemon() {
  int report[2] = {-1, -1};
  try {
    const std::string pid_name = Sys(g.PidFileName);
    if (VekFileExists(pid_name)) {
      PrintErr(u"VEK client daemon already running? (check " + g.PidFileName + u")");
      EndProcess(4);
    }
    DaxCheckWritable(pid_name);
    if (pipe2(report, O_CLOEXEC) != 0) throw ForkError(errno);
    // SIGCHLD blocked before the fork: a child that ends at once is seen.
    sigset_t awaited = StopSignals();
    sigaddset(&awaited, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &awaited, nullptr);
    const int signal_fd = signalfd(-1, &awaited, SFD_CLOEXEC);
    if (signal_fd < 0) throw ForkError(errno);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw ForkError(errno);
    if (child > 0) {
      close(report[1]);
      AwaitDaemonStart(child, report[0], signal_fd);
    }
    close(signal_fd);
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    pthread_sigmask(SIG_UNBLOCK, &child_signal, nullptr);
    close(report[0]);
    g.DaemonReport.Attach(report[1]);
    setsid();
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    if (in > STDERR_FILENO) close(in);
    if (out > STDERR_FILENO) close(out);
  } catch (const std::exception& e) {
    PrintOut(u"ERROR: " + Uni(e.what()));
    EndProcess(3);
  }
}

// Deletes the PID file only when this process wrote it and it still holds
// its PID (a second daemon must not remove the first one's file).
void DeleteOwnPidFile() {
  const pid_t written = g.PidWritten.exchange(0);
  if (written == 0) return;
  const std::string name = Sys(g.PidFileName);
  pid_t pid = 0;
  try {
    VekReadPidFile(name, pid);
  } catch (...) {
    return;
  }
  if (pid == written) DaxDeleteFileNoRaise(name);
}

// ---------------------------------------------------------------------------
// Signals: blocked in every thread; one thread takes them with sigwaitinfo
// and does the handlers' work, which may lock and allocate.

std::thread g_signal_thread;
std::atomic<bool> g_signal_thread_quit{false};

void OnStopSignal(int sig) {
  g_stop_by_signal.store(true);
  const std::u16string name = DaxSignalName(sig);
  std::lock_guard<std::mutex> guard(g_runner_lock);
  if (g_runner)
    g_runner->RequestStop(name);
  else if (g_early_stop_reason.empty())
    g_early_stop_reason = name;
}

void OnReopenSignal() {
  std::lock_guard<std::mutex> guard(g_runner_lock);
  if (g_runner) g_runner->RequestLogReopen();
}

// One time-stamped line through a file object of its own: the main thread's
// output object may be in any state when the signal thread has to end the
// process, and this line leaves it alone.
void WriteLastLine(const std::u16string& text) {
  try {
    TDaxTextFile file;
    if (g.LogToFile)
      DaxAppendOrCreateText(file, Sys(g.LogFileName));
    else
      file.AttachOutput(STDOUT_FILENO, "stdout");
    DaxWriteLnFlush(file, DaxDateTimeToLogText(DaxNowLocal()) + u": " + text);
  } catch (...) {
  }
}

// Ends the process from the signal thread, as a stopped run ends.
[[noreturn]] void EndStoppedProcess(const std::u16string& why) {
  WriteLastLine(why);
  DeleteOwnPidFile();
  std::_Exit(0);
}

void SignalThread(bool daemon) {
  using TClock = std::chrono::steady_clock;
  const sigset_t set = HandledSignals();
  bool stopping = false;
  TClock::time_point deadline;
  for (;;) {
    siginfo_t info{};
    int sig;
    if (!stopping) {
      sig = sigwaitinfo(&set, &info);
    } else {
      const auto left = std::max(deadline - TClock::now(), TClock::duration::zero());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      sig = sigtimedwait(&set, &info, &wait);
      if (sig < 0 && errno == EAGAIN)
        EndStoppedProcess(u"Stop is not done within " + DaxIntToStrW(kStopBound.count()) +
                          u" s: ending the process");
    }
    if (sig < 0) continue;
    if (sig == SIGRTMIN) {
      if (g_signal_thread_quit.load()) return;
      continue;
    }
    if (sig == SIGHUP) {
      if (daemon) OnReopenSignal();
      continue;
    }
    if (stopping)
      EndStoppedProcess(u"Second stop signal [" + DaxSignalName(sig) + u"]: ending the process");
    OnStopSignal(sig);
    stopping = true;
    deadline = TClock::now() + kStopBound;
  }
}

void StartSignalThread() {
  signal(SIGPIPE, SIG_IGN);
  g_signal_thread = std::thread(SignalThread, g.Code == cmd_Daemon);
}

void StopSignalThread() {
  if (!g_signal_thread.joinable()) return;
  g_signal_thread_quit.store(true);
  pthread_kill(g_signal_thread.native_handle(), SIGRTMIN);
  g_signal_thread.join();
}

void PublishRunner(TVEKRun* runner) {
  std::lock_guard<std::mutex> guard(g_runner_lock);
  g_runner = runner;
  if (runner && !g_early_stop_reason.empty()) runner->RequestStop(g_early_stop_reason);
}

// ---------------------------------------------------------------------------
// PID-file commands

// The process must be this program: a PID file left over from a crash may
// name any process by now.
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
  // By the program's file name: an installed copy elsewhere still counts.
  auto base_of = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  const std::string self = base_of(exe_of("/proc/self/exe"));
  const std::string other = base_of(exe_of("/proc/" + std::to_string(pid) + "/exe"));
  return !self.empty() && self == other;
}

// Reads the PID file and signals the process; false (with the error line
// written) when nothing was signalled.
bool SignalDaemon(int sig) {
  const std::string name = Sys(g.PidFileName);
  pid_t pid = 0;
  try {
    VekReadPidFile(name, pid);
  } catch (const std::exception& e) {
    PrintErr(u"ERROR: read PID-file [" + g.PidFileName + u"]: " + Uni(e.what()));
    return false;
  }
  if (pid == getpid() || !IsThisProgram(pid)) {
    PrintErr(u"ERROR: PID-file [" + g.PidFileName + u"]: process " + Uni(std::to_string(pid)) +
             u" is not a running vekclient");
    return false;
  }
  if (kill(pid, sig) != 0) {
    const int err = errno;
    PrintErr(u"ERROR: " + Uni(DaxErrorText(err)));
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

// Runs the command word's work. Returns the exit code.
int RunCommand(TVEKRun& runner) {
  switch (g.Code) {
    case cmd_Help:
      runner.PrintHelp();
      return 0;
    case cmd_PidFileName:
      runner.Print(g.PidFileName);
      return 0;
    case cmd_Stop:
      if (SignalDaemon(SIGTERM)) WaitForFile(Sys(g.PidFileName), false);
      return 0;
    case cmd_DeletePidFile:
      try {
        DaxDeleteFile(Sys(g.PidFileName));
      } catch (const std::exception& e) {
        PrintErr(u"ERROR: delete PID-file [" + g.PidFileName + u"]: " + Uni(e.what()));
      }
      return 0;
    case cmd_ReopenLog:
      if (SignalDaemon(SIGHUP)) WaitForFile(Sys(g.LogFileName), true);
      return 0;
    case cmd_LogFileName:
      runner.Print(g.LogFileName);
      return 0;
    case cmd_Radio:
      runner.ListRadioInterfaces();
      return 0;
    case cmd_Audio:
      SilenceStdErr();
      runner.ListAudioDevices();
      return 0;
    case cmd_AudioConfig:
      SilenceStdErr();
      runner.ListAudioDevicesConfig();
      return 0;
    case cmd_CheckInput:
      SilenceStdErr();
      runner.CheckInput(g.Parameter);
      return 0;
    case cmd_Register:
      // Registration that got no confirmation is no success.
      return runner.RegisterAccount(g.Setup) ? 0 : 7;
    case cmd_CheckRate:
      SilenceStdErr();
      runner.CheckSampleRates(g.DeviceName, g.DeviceName);
      return 0;
    case cmd_CheckRateConfig:
      SilenceStdErr();
      runner.CheckSampleRates(VekIniValueOrEmpty(g.Setup.Audio.InDevice),
                              VekIniValueOrEmpty(g.Setup.Audio.OutDevice));
      return 0;
    case cmd_AudioLevel: {
      int32_t width = 66, mode = 0;
      VekParseAudioLevel(g.Parameter, width, mode);
      SilenceStdErr();
      runner.AudioLevel(width, mode);
      return 0;
    }
    default:
      runner.SetBackupServer(g.BackupFound, g.BackupHost, g.BackupPort);
      runner.Run();
      if (g.Output.File()) g.Output.File()->FlushNoRaise();
      return g_stop_by_signal.load() ? 0 : 7;
  }
}

}  // namespace

int VekClientProgram(int argc, char** argv) {
  g_stop_by_signal.store(false);
  ProcessCommandLine(g, argc, argv);
  if (g.Code == cmd_Daemon) BecomeDaemon();
  StartSignalThread();

  if (g.LogToFile) {
    try {
      g.Output.OpenLog(Sys(g.LogFileName));
    } catch (...) {
      StopSignalThread();
      return 6;
    }
  }

  std::unique_ptr<TVEKRun> runner;
  int code = 3;
  bool failed = false;
  try {
    if (g.Light)
      runner = std::make_unique<TVEKRun>(g.Setup, &g.Output);
    else
      runner = std::make_unique<TVEKRun>(g.Options, g.Setup, g.ConfigFileName, &g.Output, g.Debug);
    PublishRunner(runner.get());
    if (g.Code == cmd_Daemon) {
      VekWritePidFile(Sys(g.PidFileName), getpid());
      g.PidWritten = getpid();
      ReportDaemonStart(0);
    }
    code = RunCommand(*runner);
  } catch (const std::exception& e) {
    // Written before the clean-up closes the log, with standard error back.
    RestoreStdErr();
    const Exception* own = dynamic_cast<const Exception*>(&e);
    PrintErr(Uni(own ? own->ClassName() : "Exception") + u": " + Uni(e.what()));
    failed = true;
  }
  RestoreStdErr();
  if (g.Output.File()) g.Output.File()->FlushNoRaise();
  PublishRunner(nullptr);
  runner.reset();
  StopSignalThread();
  if (g.LogToFile) g.Output.Close();
  DeleteOwnPidFile();
  return failed ? 3 : code;
}

int main(int argc, char** argv) {
  // Before any thread or fork: every thread inherits the blocked set, so
  // only the signal thread ever takes these signals.
  const sigset_t handled = HandledSignals();
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  DaxInitSystemCharset();
  const int code = VekClientProgram(argc, argv);
  ReportDaemonStart(code);
  return code;
}
