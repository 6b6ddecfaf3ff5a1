// Worker thread base: a class with an Execute loop on a pthread with a 4 MiB
// stack. A descendant's constructor calls Start() as its last step, so the
// thread runs as soon as the object is built and never sees a half-made object.
#pragma once

#include <pthread.h>

#include <atomic>

class TDaxThread {
 public:
  static constexpr size_t kStackSize = 4u * 1024u * 1024u;

  TDaxThread() = default;
  TDaxThread(const TDaxThread&) = delete;
  TDaxThread& operator=(const TDaxThread&) = delete;
  // Descendants must stop and WaitFor() in their own destructor: by the time
  // this one runs, Execute's object is gone.
  virtual ~TDaxThread();

  // Asks the loop to end; Execute polls Terminated().
  void Terminate() noexcept { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
  // True once Execute has returned (or the thread could not be created).
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  // Waits until Execute has returned; safe to call more than once.
  void WaitFor();

 protected:
  // Creates the pthread; raises Exception when it cannot be created.
  void Start();
  virtual void Execute() = 0;

 private:
  static void* Entry(void* self);

  pthread_t handle_{};
  bool joinable_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
};
