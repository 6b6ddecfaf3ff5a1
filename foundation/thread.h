// Worker thread base: a class with an Execute loop on a pthread with a 4 MiB
// stack. A descendant's constructor calls Start() as its last step, so the
// thread runs as soon as the object is built and never sees a half-made object.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TDaxThread {
 public:
  static constexpr size_t kStackSize = 4u * 1024u * 1024u;

  TDaxThread() = default;
  TDaxThread(const TDaxThread&) = delete;
  TDaxThread& operator=(const TDaxThread&) = delete;
  // Descendants must stop and WaitFor() in their own destructor: by the time
  // this one runs, Execute's object is gone. It still terminates, wakes a
  // WaitTerminated and joins, so a forgotten stop does not hang the owner.
  virtual ~TDaxThread();

  // Asks the loop to end and wakes WaitTerminated; Execute polls Terminated().
  void Terminate() noexcept;
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
  // True once Execute has returned (or the thread could not be created).
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  // Waits until Execute has returned; safe to call more than once.
  void WaitFor();
  // The message of an exception that escaped Execute (the thread ended
  // with it); empty when none did.
  std::string FatalExceptionText() const;

 protected:
  // Creates the pthread; raises Exception when it cannot be created.
  void Start();
  virtual void Execute() = 0;
  // Sleeps up to `ms` or until Terminate; returns Terminated().
  bool WaitTerminated(uint32_t ms);

 private:
  static void* Entry(void* self);
  void KeepFatal(const char* text);

  pthread_t handle_{};
  bool joinable_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex wake_lock_;
  std::condition_variable wake_;
  mutable std::mutex fatal_lock_;
  std::string fatal_text_;
};

// Runs calls of worker threads on one serving thread (the thread that made
// the dispatcher) and makes each caller wait for its call. The serving thread
// runs them only inside Serve or WaitServing, so callbacks that write the log
// all run on one thread. An exception of a call is rethrown in its caller.
class TDaxSyncDispatcher {
 public:
  TDaxSyncDispatcher() : owner_(std::this_thread::get_id()) {}
  TDaxSyncDispatcher(const TDaxSyncDispatcher&) = delete;
  TDaxSyncDispatcher& operator=(const TDaxSyncDispatcher&) = delete;

  // Any thread: on the serving thread the call runs at once; elsewhere it is
  // queued and the caller waits until the serving thread has run it.
  void Call(const std::function<void()>& call);
  // Serving thread: runs every queued call; when none is queued, waits up to
  // wait_ms for one. True when a call ran.
  bool Serve(uint32_t wait_ms);
  // Serving thread: serves calls until `done` is true. `done` is checked
  // after every call and every Wake(), so whatever makes it true calls
  // Wake(); the safety period only bounds the sleep after a forgotten one.
  void WaitServing(const std::function<bool()>& done) { WaitServing(done, safety_ms_.load()); }
  // The same, checking `done` at least every `poll_ms` as well: for a
  // condition that nothing wakes for, such as a deadline.
  void WaitServing(const std::function<bool()>& done, uint32_t poll_ms);
  // Wakes a Serve that waits, so it looks at `done` again at once.
  void Wake();
  static constexpr uint32_t kSafetyPeriodMs = 2000;
  // Tests make it longer than their bound, so a missed wake-up fails them.
  void SetSafetyPeriod(uint32_t ms) { safety_ms_.store(ms); }
  bool OnServingThread() const { return std::this_thread::get_id() == owner_; }
  // Calls waiting for the serving thread.
  size_t QueuedCalls();

 private:
  struct TCall {
    const std::function<void()>* call;
    std::exception_ptr error;
    bool done = false;
  };
  std::thread::id owner_;
  std::mutex lock_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<TCall*> calls_;
  bool woken_ = false;
  std::atomic<uint32_t> safety_ms_{kSafetyPeriodMs};
};
