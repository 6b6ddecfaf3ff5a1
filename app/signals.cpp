#include "app/signals.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "app/command_line.h"
#include "app/daemon.h"
#include "app/program.h"
#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/text_output.h"
#include "foundation/types.h"

namespace {

const int kStopSignals[] = {SIGINT,  SIGQUIT, SIGABRT, SIGTERM,  SIGALRM,
                            SIGUSR1, SIGUSR2, SIGPROF, SIGVTALRM};

}  // namespace

sigset_t VekStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

sigset_t VekHandledSignals() {
  sigset_t set = VekStopSignals();
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGRTMIN);  // ends the signal thread
  return set;
}

void VekBlockHandledSignals() {
  const sigset_t handled = VekHandledSignals();
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
}

TVEKSignalThread::TVEKSignalThread(TVEKProgram& program) : program_(program) {
  signal(SIGPIPE, SIG_IGN);
  thread_ = std::thread(&TVEKSignalThread::Execute, this, program.Code == cmd_Daemon);
}

TVEKSignalThread::~TVEKSignalThread() { Stop(); }

void TVEKSignalThread::Stop() {
  {
    std::lock_guard<std::mutex> guard(wake_lock_);
    if (!thread_.joinable() || quit_.load()) return;
    quit_.store(true);
    pthread_kill(thread_.native_handle(), SIGRTMIN);
  }
  thread_.join();
}

void TVEKSignalThread::BoundStop() {
  std::lock_guard<std::mutex> guard(wake_lock_);
  // quit_ is set under the lock before the join: the thread object is not
  // looked at once it may be changing.
  if (quit_.load() || bound_requested_.exchange(true)) return;
  pthread_kill(thread_.native_handle(), SIGRTMIN);
}

void TVEKSignalThread::PublishRunner(TVEKRun* runner) {
  std::lock_guard<std::mutex> guard(runner_lock_);
  runner_ = runner;
  if (runner && !early_stop_reason_.empty()) runner->RequestStop(early_stop_reason_);
}

void TVEKSignalThread::OnStopSignal(int sig) {
  stop_by_signal_.store(true);
  const std::u16string name = DaxSignalName(sig);
  std::lock_guard<std::mutex> guard(runner_lock_);
  if (runner_)
    runner_->RequestStop(name);
  else if (early_stop_reason_.empty())
    early_stop_reason_ = name;
}

void TVEKSignalThread::OnReopenSignal() {
  std::lock_guard<std::mutex> guard(runner_lock_);
  if (runner_) runner_->RequestLogReopen();
}

// The main thread's output object may be in any state when this thread has
// to end the process, and this line leaves it alone.
void TVEKSignalThread::WriteLastLine(const std::u16string& text) {
  try {
    TDaxTextFile file;
    if (program_.LogToFile)
      DaxOpenLogText(file, DaxUnicodeToSys(program_.LogFileName));
    else
      file.AttachOutput(STDOUT_FILENO, "stdout");
    DaxWriteLnFlush(file, DaxDateTimeToLogText(DaxNowLocal()) + u": " + text);
  } catch (...) {
  }
}

void TVEKSignalThread::EndStoppedProcess(const std::u16string& why) {
  WriteLastLine(why);
  VekDeleteOwnPidFile(program_);
  std::_Exit(RunExitCode());
}

void TVEKSignalThread::Execute(bool daemon) {
  using TClock = std::chrono::steady_clock;
  const sigset_t set = VekHandledSignals();
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
        EndStoppedProcess(u"Stop is not done within " + DaxIntToStrW(kVekStopBound.count()) +
                          u" s: ending the process");
    }
    if (sig < 0) continue;
    if (sig == SIGRTMIN) {
      if (quit_.load()) return;
      if (bound_requested_.load() && !stopping) {
        stopping = true;
        deadline = TClock::now() + kVekStopBound;
      }
      continue;
    }
    if (sig == SIGHUP) {
      if (daemon) OnReopenSignal();
      continue;
    }
    if (stop_by_signal_.load())
      EndStoppedProcess(u"Second stop signal [" + DaxSignalName(sig) + u"]: ending the process");
    OnStopSignal(sig);
    // A stop of the program's own keeps its deadline.
    if (!stopping) deadline = TClock::now() + kVekStopBound;
    stopping = true;
  }
}
