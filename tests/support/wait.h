// Waiting in tests for something another thread or process brings about.
#pragma once

#include <cstdint>
#include <functional>

namespace vektest {

// Polls `done` every step_ms until it holds or timeout_ms ran out; true when
// it held (it is asked once more at the end).
bool WaitUntil(const std::function<bool()>& done, uint32_t timeout_ms = 10000, uint32_t step_ms = 5);

}  // namespace vektest
