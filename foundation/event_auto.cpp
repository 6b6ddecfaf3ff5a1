#include "foundation/event_auto.h"

#include <chrono>

void TEventAuto::SetEvent() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    signalled_ = true;
  }
  changed_.notify_one();
}

void TEventAuto::ResetEvent() {
  std::lock_guard<std::mutex> guard(lock_);
  signalled_ = false;
}

bool TEventAuto::WaitFor(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> guard(lock_);
  if (timeout_ms == kInfinite) {
    changed_.wait(guard, [this] { return signalled_; });
  } else if (!changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; })) {
    return false;
  }
  signalled_ = false;
  return true;
}
