// Retries and reports that repeat while something stays broken (a sound
// card gone, a serial adapter unplugged, a full disk): both are spaced at a
// growing interval, so a fault that lasts hours costs a few lines and
// almost no CPU, and the first retry still comes quickly.
#pragma once

#include <cstdint>

// The interval between attempts: `first_ms` after the first failure,
// doubling with each further failure up to `max_ms`; a success starts over.
// Times are DaxTickMs values (wrapping; differences are unsigned).
class TDaxBackoff {
 public:
  TDaxBackoff(uint32_t first_ms, uint32_t max_ms) : first_ms_(first_ms), max_ms_(max_ms) {}

  // True when no failure is pending or the interval since the last failure
  // has passed.
  bool Due(uint32_t now) const {
    return !failing_ || static_cast<uint32_t>(now - last_ms_) >= interval_ms_;
  }
  // Milliseconds until the next attempt is due (0 when due now).
  uint32_t WaitMs(uint32_t now) const;
  // An attempt failed at `now`: the next one waits the current interval,
  // which then doubles.
  void Failed(uint32_t now);
  // An attempt worked: the next failure waits `first_ms` again.
  void Succeeded() {
    failing_ = false;
    interval_ms_ = 0;
  }
  bool Failing() const { return failing_; }

 private:
  uint32_t first_ms_, max_ms_;
  uint32_t interval_ms_ = 0;
  uint32_t last_ms_ = 0;
  bool failing_ = false;
};

// Bounds one kind of repeated report (a line that would otherwise repeat
// for every failed read): the first occurrence of an episode is reported,
// then at most one per interval, the interval doubling from `first_ms` to
// `max_ms`; each report carries how many were held back since the last one.
// End() closes the episode and tells whether a recovery line is due.
class TDaxRepeatGate {
 public:
  TDaxRepeatGate(uint32_t first_ms, uint32_t max_ms) : spacing_(first_ms, max_ms) {}

  // True when this occurrence is to be reported; `held` gets the number of
  // occurrences held back since the last reported one.
  bool Pass(uint32_t now, uint32_t& held);
  // Ends the episode. True when one was running; `held` gets the
  // occurrences held back since the last report.
  bool End(uint32_t& held);
  bool Active() const { return active_; }

 private:
  TDaxBackoff spacing_;
  uint32_t held_ = 0;
  bool active_ = false;
};
