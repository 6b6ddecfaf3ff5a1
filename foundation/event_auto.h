// An auto-reset event: initially not signalled; a wait that sees it set
// releases one waiter and resets it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class TEventAuto {
 public:
  static constexpr uint32_t kInfinite = 4294967295u;

  TEventAuto() = default;
  TEventAuto(const TEventAuto&) = delete;
  TEventAuto& operator=(const TEventAuto&) = delete;

  void SetEvent();
  void ResetEvent();
  // True when the event was set (and is now reset again), false on timeout.
  bool WaitFor(uint32_t timeout_ms);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool signalled_ = false;
};
