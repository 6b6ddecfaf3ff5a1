#include "foundation/backoff.h"

uint32_t TDaxBackoff::WaitMs(uint32_t now) const {
  if (!failing_) return 0;
  const uint32_t passed = now - last_ms_;
  return passed >= interval_ms_ ? 0 : interval_ms_ - passed;
}

void TDaxBackoff::Failed(uint32_t now) {
  if (!failing_) {
    interval_ms_ = first_ms_;
  } else if (interval_ms_ < max_ms_) {
    interval_ms_ = interval_ms_ > max_ms_ / 2 ? max_ms_ : interval_ms_ * 2;
  }
  failing_ = true;
  last_ms_ = now;
}

bool TDaxRepeatGate::Pass(uint32_t now, uint32_t& held) {
  held = 0;
  if (active_ && !spacing_.Due(now)) {
    ++held_;
    return false;
  }
  active_ = true;
  held = held_;
  held_ = 0;
  spacing_.Failed(now);
  return true;
}

bool TDaxRepeatGate::End(uint32_t& held) {
  held = held_;
  held_ = 0;
  const bool was_active = active_;
  active_ = false;
  spacing_.Succeeded();
  return was_active;
}
