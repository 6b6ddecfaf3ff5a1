// A program started as a child process for tests: its own arguments,
// environment additions and working directory; standard output and error
// captured; signals sent; its end awaited within a time limit.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace vektest {

struct ProcessResult {
  int exit_code = -1;    // when it exited
  int signal = 0;        // when a signal ended it
  bool timed_out = false;  // killed with SIGKILL after the limit
  std::string out, err;
};

class ChildProcess {
 public:
  // env: "NAME=value" entries added to (or replacing in) this process's
  // environment. Raises std::runtime_error when the program cannot start.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}, const std::string& cwd = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int sig);
  // Waits for the end; past the limit the child is killed and timed_out set.
  ProcessResult Wait(uint32_t timeout_ms = kPeerWaitMs);
  // True once standard output (or error) holds `needle`, within the limit;
  // false at once when the child ended without it.
  bool WaitForOutput(const std::string& needle, uint32_t timeout_ms = kPeerWaitMs, bool in_stderr = false);
  std::string Out() const;
  std::string Err() const;

 private:
  void Read();
  bool Reap(bool block);
  // Returns once the reader has taken everything the pipes held when it was
  // called (or they closed, or reading stopped): all an ended child wrote
  // is then in out_/err_.
  void CatchUp();

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  mutable std::mutex lock_;
  std::string out_, err_;
  bool reaped_ = false;
  int status_ = 0;
  bool stop_reading_ = false;
  bool done_reading_ = false;
  // CatchUp's requests, and the last one the reader saw both pipes empty for.
  uint64_t drain_asked_ = 0;
  uint64_t drained_ = 0;
  std::condition_variable read_changed_;
  std::thread reader_;
};

// Starts, waits, returns.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, uint32_t timeout_ms = kPeerWaitMs,
                         const std::string& cwd = {});

// Runs a command line through /bin/sh (for fixtures made by a command:
// sox, soxi); `out` holds what it wrote to standard output.
ProcessResult RunShell(const std::string& command, uint32_t timeout_ms = 30000);

// Milliseconds of a monotonic clock, for test deadlines.
uint64_t MonotonicMs();

// The running processes that have `arg` among their arguments (a test's own
// file names find the processes it started, also those gone from its view).
std::vector<pid_t> ProcessesWithArgument(const std::string& arg);

// The direct children of this process as "pid:state" (the state letter of
// /proc/<pid>/stat: R, S, Z ...), ended but uncollected ones included.
std::vector<std::string> ChildStates();

// Whether the process exists and has not ended. An ended orphan stays a
// zombie until the system's first process collects it, which not every
// container's first process does; kill(pid, 0) still finds it.
bool ProcessRunning(pid_t pid);

}  // namespace vektest
