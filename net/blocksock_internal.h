// Helpers shared by the socket, SOCKS and HTTP tunnel units (not for other
// callers).
#pragma once

#include <cstdint>
#include <string>

#include "foundation/clock.h"
#include "foundation/types.h"
#include "net/blocksock.h"

namespace blocksock_detail {

// Milliseconds left of `total` since `start`; 0 when none.
inline std::uint32_t TimeLeft(std::uint32_t start, std::uint32_t total) {
  if (total == kBlockSockInfinite) return total;
  const std::uint32_t spent = DaxTickMs() - start;
  return spent >= total ? 0 : total - spent;
}

// The callers' status hook is put back whatever happens in between.
class StatusSwap {
 public:
  StatusSwap(THookSocketStatus& slot, const THookSocketStatus& replacement) : slot_(slot), saved_(slot) {
    slot_ = replacement;
  }
  ~StatusSwap() { slot_ = saved_; }

 private:
  THookSocketStatus& slot_;
  THookSocketStatus saved_;
};

}  // namespace blocksock_detail
