// Events that worker threads report, recorded as short texts for a test to
// wait on and inspect.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/wait.h"

namespace vektest {

class EventLog {
 public:
  void Add(std::string e) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::move(e));
    cv_.notify_all();
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::string Last() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_.empty() ? std::string() : events_.back();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
  }
  // Waits until the events so far satisfy done; false when ms ran out first.
  bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done, uint32_t ms = kPeerWaitMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(events_); });
  }
  bool WaitCount(size_t n, uint32_t ms = kPeerWaitMs) {
    return WaitUntil([n](const std::vector<std::string>& e) { return e.size() >= n; }, ms);
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

}  // namespace vektest
