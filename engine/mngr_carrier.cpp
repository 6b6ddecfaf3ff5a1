#include "engine/mngr_carrier.h"

#include <utility>

#include "foundation/clock.h"

TVEKCarrierDetector::TVEKCarrierDetector(TTickSource ticks) : ticks_(std::move(ticks)) {
  if (!ticks_) ticks_ = [] { return DaxTickMs(); };
}

void TVEKCarrierDetector::Reset() {
  reject_pending_ = false;
  carrier_ = false;
  last_cos_ = false;
  catch_pending_ = false;
  lost_pending_ = false;
  Outcome = cco_None;
}

TVEKCarrierDetector::TStep TVEKCarrierDetector::CarrierComesOn(TStep step) {
  catch_pending_ = false;
  reject_pending_ = false;
  carrier_ = true;
  step.CarrierOn = true;
  return step;
}

TVEKCarrierDetector::TStep TVEKCarrierDetector::Sample(bool cos, bool lines_on, uint32_t now) {
  TStep step;
  // A carrier that outlived the re-arm delay after a rejection counts as
  // new; only while COS is really on, not while its drop is debounced.
  if (carrier_ && cos && ResetOnReject && reject_pending_ &&
      now - reject_time_ >= ResetOnRejectDelay)
    return CarrierComesOn(step);

  const bool prev = last_cos_;
  last_cos_ = cos;
  if (prev != cos) {
    if (!cos) {
      catch_pending_ = false;
      lost_at_ = now;
      if (!carrier_) {
        step.BackCapture = true;
      } else if (!lines_on || LostTime == 0) {
        carrier_ = false;
        reject_pending_ = false;
        step.CarrierOff = true;
      } else {
        lost_pending_ = true;
        lost_start_ = now;
      }
      return step;
    }
    lost_pending_ = false;
    if (!carrier_) {
      step.StartCapture = true;
      if (!lines_on || CatchTime == 0) return CarrierComesOn(step);
      catch_start_ = now;
      catch_pending_ = true;
    }
    return step;
  }
  if (!cos) {
    if (carrier_ && lost_pending_ && now - lost_start_ >= LostTime) {
      lost_pending_ = false;
      reject_pending_ = false;
      carrier_ = false;
      step.CarrierOff = true;
    }
    return step;
  }
  if (!carrier_ && catch_pending_ && now - catch_start_ >= CatchTime) return CarrierComesOn(step);
  return step;
}

void TVEKCarrierDetector::StartHoldOff(uint32_t ms) {
  hold_off_ = ms;
  hold_off_start_ = ticks_();
}

bool TVEKCarrierDetector::HoldOffPassed(bool lines_on) {
  if (!lines_on || hold_off_ == 0) return true;
  if (ticks_() - hold_off_start_ < hold_off_) {
    Reset();
    return false;
  }
  hold_off_ = 0;
  return true;
}

void TVEKCarrierDetector::Rejected() {
  if (!ResetOnReject) return;
  if (ResetOnRejectDelay == 0) {
    Reset();
    return;
  }
  reject_pending_ = true;
  reject_time_ = ticks_();
}
