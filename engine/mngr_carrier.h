// The carrier detector: debounces the raw COS samples into a carrier, keeps
// the hold-off that blinds it while the squelch settles after the station's
// own sound, and the re-arm after a rejected channel request. It only
// decides; the engine starts capture and raises the carrier events from the
// step it returns. Time comes in two ways: the pass's "now" for the debounce,
// and a tick source for the stamps that must be fresh when they are taken.
#pragma once

#include <cstdint>
#include <functional>

// What became of the last transmit attempt (picks the carrier-end sound).
enum TVEKCarrierOutcome : uint8_t {
  cco_None = 0,          // none, or granted
  cco_NoConnection = 1,  // not logged in, or not idle at carrier on
  cco_Unanswered = 2,    // request still unanswered
  cco_Rejected = 3,      // rejected or aborted by the server
};

class TVEKCarrierDetector {
 public:
  using TTickSource = std::function<uint32_t()>;

  // What one sample asks of the engine, in this order.
  struct TStep {
    bool StartCapture = false;  // raw on-edge without a carrier
    bool BackCapture = false;   // raw off-edge without a carrier
    bool CarrierOn = false;
    bool CarrierOff = false;
  };

  explicit TVEKCarrierDetector(TTickSource ticks);

  // Debounce times (0: none) and the re-arm after a rejection.
  uint32_t CatchTime = 0;
  uint32_t LostTime = 0;
  bool ResetOnReject = false;
  uint32_t ResetOnRejectDelay = 500;

  // One raw sample; `lines_on` false means no debounce (the input is then
  // always off anyway).
  TStep Sample(bool cos, bool lines_on, uint32_t now);
  // Forgets the carrier, both debounces, the re-arm and the outcome.
  void Reset();

  // Hold-off: while it runs the carrier is not sampled. Started with a
  // fresh tick.
  void StartHoldOff(uint32_t ms);
  // True when a sample may be taken now. With the lines on and a hold-off
  // still running the detector is reset and false comes back; a hold-off
  // that ran out is cleared.
  bool HoldOffPassed(bool lines_on);
  uint32_t HoldOff() const { return hold_off_; }
  void ClearHoldOff() { hold_off_ = 0; }

  // The server rejected the request: reset now, or re-arm so that a carrier
  // still present after the delay counts as a new one.
  void Rejected();

  bool Carrier() const { return carrier_; }
  // The tick of the last raw off-edge.
  uint32_t LostAt() const { return lost_at_; }
  TVEKCarrierOutcome Outcome = cco_None;

 private:
  TStep CarrierComesOn(TStep step);

  TTickSource ticks_;
  bool carrier_ = false;
  bool last_cos_ = false;
  bool catch_pending_ = false;
  uint32_t catch_start_ = 0;
  bool lost_pending_ = false;
  uint32_t lost_start_ = 0;
  uint32_t lost_at_ = 0;
  bool reject_pending_ = false;
  uint32_t reject_time_ = 0;
  uint32_t hold_off_ = 0;
  uint32_t hold_off_start_ = 0;
};
