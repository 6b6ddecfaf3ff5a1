// Becoming a daemon. The program forks; the child drops the descriptors it
// inherited, takes the PID file, leaves the terminal and goes on with the
// start. The parent only waits for the child's start result, which comes
// through a pipe once the child has made its runner (or is the code the
// child ends with: 4 when the PID file was taken), and ends with it. A stop
// signal for the waiting parent goes on to the child, and so does a start
// that takes too long; the parent then ends once the child has, so that no
// half-started daemon stays behind unseen. The daemon's PID file is its own:
// taken by the child before it starts anything, deleted only while it still
// names this process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "app/signals.h"

struct TVEKProgram;

struct TVEKDaemonBounds {
  // The child must report its start in this time.
  std::chrono::seconds Start{30};
  // A child told to stop ends within its own stop bound; this leaves room.
  std::chrono::seconds End = 2 * kVekStopBound;
};

// How the waiting parent ends: its exit code, and the text of its error
// line ("ERROR: " + Error) when it has one.
struct TVEKDaemonEnd {
  int ExitCode = 3;
  std::u16string Error;
};

// The child's side of the pipe: one byte, the start result, sent once.
class TVEKDaemonReport {
 public:
  TVEKDaemonReport() = default;
  ~TVEKDaemonReport();
  TVEKDaemonReport(const TVEKDaemonReport&) = delete;
  TVEKDaemonReport& operator=(const TVEKDaemonReport&) = delete;

  void Attach(int fd) { fd_ = fd; }
  // Writes the code and closes the pipe; without a pipe, or a second time,
  // does nothing.
  void Send(int code);

 private:
  int fd_ = -1;
};

// The pipe and the signals the parent waits for, made before the fork.
class TVEKDaemonStart {
 public:
  // Opens the pipe, blocks the stop signals and SIGCHLD in the calling
  // thread (a child that ends at once is seen) and reads them through a
  // descriptor. Raises the fork error.
  TVEKDaemonStart();
  ~TVEKDaemonStart();
  TVEKDaemonStart(const TVEKDaemonStart&) = delete;
  TVEKDaemonStart& operator=(const TVEKDaemonStart&) = delete;

  // The parent after the fork: waits for the child's start result, passing
  // a stop signal on and stopping a start that takes longer than
  // `bounds.Start`; a child told to stop is waited for `bounds.End` more.
  TVEKDaemonEnd AwaitChild(pid_t child, const TVEKDaemonBounds& bounds);
  // The child after the fork: drops the parent's ends and unblocks SIGCHLD;
  // returns the report end, the caller's from now on.
  int TakeChildEnd();

 private:
  int report_read_ = -1;
  int report_write_ = -1;
  int signal_fd_ = -1;
};

// Returns in the child, detached from the terminal and holding the PID
// file; the parent ends with the child's start result. Ends with 4 when a
// live process holds the PID file (a file whose process is gone is
// replaced), with 3 when the daemon cannot be prepared.
void VekBecomeDaemon(TVEKProgram& program, const TVEKDaemonBounds& bounds = {});
// Deletes the PID file only when this process wrote it and it still holds
// its PID (a second daemon must not remove the first one's file). Any
// thread.
void VekDeleteOwnPidFile(TVEKProgram& program);
