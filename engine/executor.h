// External programs: the script executor thread, which runs one script at a
// time with an input file, an output file and one argument and queues the
// lines of its output file, and the starters it and others use. Programs are
// started directly with an argument vector, never through a shell: the
// arguments can come from the network (a talker's name and city).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/event_auto.h"
#include "foundation/fifo_ts.h"
#include "foundation/thread.h"
#include "foundation/waiter2_bsd.h"

class TVEKExecutorProcess : public TDaxThread {
 public:
  static constexpr uint32_t kIdleWaitMs = 620000;
  // At a stop a running script gets SIGTERM and, this long after, SIGKILL.
  static constexpr uint32_t kScriptEndBoundMs = 1000;

  TVEKExecutorProcess();
  ~TVEKExecutorProcess() override;

  // Raises Exception("Busy") while Busy(); else the run's number (never 0).
  uint32_t Run(const std::u16string& script, const std::u16string& argument);
  // The oldest output line; false when none.
  bool PopOutput(std::u16string& line);
  // A run not yet taken up is withdrawn; while a script runs, its output is
  // thrown away when it ends.
  void Abort();
  // Ends the thread; a script still running is ended with everything it
  // started (see kScriptEndBoundMs), not waited for.
  void Stop();

  // The directory for the two temporary files; set only while no script runs.
  void SetTempDir(const std::u16string& dir);

  bool Started() const { return started_.load(); }
  bool Running() const { return running_.load(); }
  // A request is pending or a script runs: Run would refuse.
  bool Busy() const { return request_.load() || running_.load(); }

  // The number of the run being carried out; OnDone reads it to tell whose
  // output is ready.
  uint32_t CurrentRun() const { return current_run_.load(); }

  // Called in the executor thread when a script produced at least one line.
  std::function<void()> OnDone;
  std::function<void(const std::u16string&)> OnError;

 protected:
  void Execute() override;

 private:
  void TakeRequest();
  bool RunScript();
  // Waits for the script's end: true when it ended by itself, false when
  // the executor was stopped first and the script was ended.
  bool AwaitScript(pid_t pid);
  void Error(const std::u16string& text);

  TEventAuto event_;
  // Woken by Stop while a script runs; watches the script's end.
  TWaiter2Socket waiter_{1};
  TFifoStringThreadSafeU output_{32};
  // script_, argument_, tempDir_, the run numbers; taking, withdrawing and
  // placing a request
  std::mutex lock_;
  std::u16string script_;
  std::u16string argument_;
  std::u16string tempDir_;
  uint32_t last_run_ = 0;  // under lock_
  uint32_t requested_run_ = 0;  // under lock_
  std::atomic<uint32_t> current_run_{0};
  std::atomic<bool> request_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> abort_{false};
  std::atomic<bool> started_{false};
};

// Starts the program with the first count (0..7) arguments and returns at
// once: 0 when started, -1 (errno set) when starting failed. The child is
// reaped when it ends, so none is left a zombie.
int VekRunProcess(const std::u16string& program, int count, const std::u16string& arg1 = {},
                  const std::u16string& arg2 = {}, const std::u16string& arg3 = {},
                  const std::u16string& arg4 = {}, const std::u16string& arg5 = {},
                  const std::u16string& arg6 = {}, const std::u16string& arg7 = {});
// Starts the program with these arguments and returns at once: 0 and the
// child's process id, or the error number when it could not be started. The
// caller collects the child (waitpid on that id, or VekReapWhenEnded).
int VekSpawnProgram(const std::u16string& program, const std::vector<std::u16string>& args, pid_t& pid);
// Collects the child when it ends, without blocking the caller.
void VekReapWhenEnded(pid_t pid);
// Starts the program with exactly these three parameters and waits until it
// ends: 0, or -1 (errno set) when starting failed. A script runs in a process
// group of its own, so that it can be ended with all it started, and reads
// nothing from the terminal (standard input is /dev/null).
int VekRunScriptWait(const std::u16string& program, const std::u16string& input_file,
                     const std::u16string& output_file, const std::u16string& argument);
