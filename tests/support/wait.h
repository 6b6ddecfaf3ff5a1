// Waiting in tests for something another thread or process brings about.
#pragma once

#include <cstdint>
#include <functional>

namespace vektest {

// How long a test waits for a peer, a child process or another thread
// before it gives up: generous, since a loaded machine stretches every
// step. Every wait returns as soon as its event happens.
inline constexpr uint32_t kPeerWaitMs = 30000;

// Polls `done` every step_ms until it holds or timeout_ms ran out; true when
// it held (it is asked once more at the end).
bool WaitUntil(const std::function<bool()>& done, uint32_t timeout_ms = kPeerWaitMs, uint32_t step_ms = 5);

}  // namespace vektest
