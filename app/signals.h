// Signals. main() blocks the handled signals before any thread exists, so
// every thread inherits the blocked set and only the signal thread takes
// them (sigwaitinfo): it does the handlers' work, which may lock and
// allocate. A stop signal asks the runner to stop; SIGHUP asks a daemon's
// runner to reopen its log. A stop that has not ended the process within
// its bound, or a second stop signal, ends the process from this thread;
// so does a stop the program started itself (BoundStop), which then ends
// with the exit code of a run that ended without a stop signal.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

class TVEKRun;
struct TVEKProgram;

// A stop that has not ended the process in this time ends it from the signal
// thread: a worker can hang in a device call for good (an open of a named
// pipe nobody reads cannot be interrupted), and the owner waits for it.
constexpr std::chrono::seconds kVekStopBound{5};
// The exit code of a run that ended without a stop signal: a supervisor
// restarts the program.
constexpr int kVekExitRunEnded = 7;

// SIGINT, SIGQUIT, SIGABRT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPROF, SIGVTALRM.
sigset_t VekStopSignals();
// The stop signals, SIGHUP, and SIGRTMIN (which ends the signal thread).
sigset_t VekHandledSignals();
// Blocks the handled signals in the calling thread: main(), before any
// thread or fork.
void VekBlockHandledSignals();

class TVEKSignalThread {
 public:
  // Ignores SIGPIPE and starts the thread. SIGHUP reopens the log only for
  // a daemon. `program` says where the last line of a forced end goes and
  // which PID file is this process's own; it outlives the thread.
  explicit TVEKSignalThread(TVEKProgram& program);
  ~TVEKSignalThread();
  TVEKSignalThread(const TVEKSignalThread&) = delete;
  TVEKSignalThread& operator=(const TVEKSignalThread&) = delete;

  // Ends the thread; a second call does nothing.
  void Stop();
  // The runner the signals reach from now on (nullptr: none). A stop that
  // came while there was none reaches it at once.
  void PublishRunner(TVEKRun* runner);
  // Whether a stop signal came.
  bool StoppedBySignal() const { return stop_by_signal_.load(); }
  // A stop is under way that no signal asked for (the engine is tearing
  // down): it gets the bound of a signal's stop. Any thread; a stop already
  // bounded keeps its deadline.
  void BoundStop();
  // The exit code of a run: 0 after a stop signal, else 7.
  int RunExitCode() const { return StoppedBySignal() ? 0 : kVekExitRunEnded; }

 private:
  void Execute(bool daemon);
  void OnStopSignal(int sig);
  void OnReopenSignal();
  // Ends the process as a stopped run ends, with the run's exit code.
  [[noreturn]] void EndStoppedProcess(const std::u16string& why);
  // One time-stamped line through a file object of its own.
  void WriteLastLine(const std::u16string& text);

  TVEKProgram& program_;
  std::mutex runner_lock_;
  TVEKRun* runner_ = nullptr;        // under runner_lock_
  std::u16string early_stop_reason_;  // under runner_lock_: a stop before the runner
  std::atomic<bool> stop_by_signal_{false};
  std::atomic<bool> quit_{false};
  std::atomic<bool> bound_requested_{false};
  // Serialises waking the thread with ending it: no wake-up after the join.
  std::mutex wake_lock_;
  std::thread thread_;
};
