#include "support/wait.h"

#include <chrono>
#include <thread>

namespace vektest {

bool WaitUntil(const std::function<bool()>& done, uint32_t timeout_ms, uint32_t step_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return done();
}

}  // namespace vektest
