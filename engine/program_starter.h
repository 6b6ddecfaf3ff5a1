// Programs started without waiting, a bounded number at once. A server can
// change talkers many times a second, and each over may start a program:
// beyond the bound a start waits in a queue, itself bounded, and is dropped
// only when that is full too. One thread collects the children as they end
// and starts the next waiting one; it waits for its own children only, never
// for any child of the process, since the executor waits for its scripts
// itself.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/thread.h"
#include "foundation/waiter2_bsd.h"

class TVEKProgramStarter : public TDaxThread {
 public:
  static constexpr size_t kMaxRunning = 16;
  static constexpr size_t kMaxWaiting = 256;
  // Where the kernel gives no descriptor for a child's end, ends are polled.
  static constexpr uint32_t kPollMs = 100;

  using TText = std::function<void(const std::u16string&)>;

  explicit TVEKProgramStarter(size_t maxRunning = kMaxRunning, size_t maxWaiting = kMaxWaiting);
  ~TVEKProgramStarter() override;

  // Starts the program now, or queues it while maxRunning run: 0, or the
  // error number of a start that failed at once. A dropped start is only
  // warned about.
  int StartProgram(const std::u16string& program, const std::vector<std::u16string>& args);
  // Ends the thread. Programs still running go on (they are collected when
  // they end); waiting ones are not started.
  void Stop();

  bool Started() const { return started_.load(); }
  size_t Running() const;
  size_t Waiting() const;

  // Set before the first StartProgram. Called on a starting thread or on the
  // starter's own, never under its lock.
  TText OnWarning;  // the queue begins to be used; a start is dropped
  TText OnError;    // a queued program could not be started

 protected:
  void Execute() override;

 private:
  struct TJob {
    std::u16string Program;
    std::vector<std::u16string> Args;
  };
  struct TChild {
    pid_t Pid;
    int EndFd;  // a process descriptor, -1 when the kernel gave none
  };

  // Under lock_: starts the job and keeps its child; 0 or the error number.
  int SpawnLocked(const TJob& job);
  // Collects the ended children, then starts waiting jobs while there is
  // room; texts of failed starts are added to `errors`.
  void CollectAndRefill(std::vector<std::u16string>& errors);
  // Registers the running children's descriptors: false when some child
  // has none, so ends must be polled.
  bool WatchRunning();
  void Unwatch();
  void Emit(const TText& to, const std::u16string& text) const;

  const size_t max_running_;
  const size_t max_waiting_;
  mutable std::mutex lock_;
  std::vector<TChild> running_;
  std::deque<TJob> waiting_;
  bool queue_reported_ = false;  // under lock_: the queue's start was warned about
  // The starter's own thread only.
  TWaiter2Socket waiter_;
  std::vector<TWaiter2Resource*> watched_;
  std::atomic<bool> started_{false};
};
