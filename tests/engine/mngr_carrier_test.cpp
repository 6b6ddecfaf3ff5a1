#include "engine/mngr_carrier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One step of a script: at time t, a raw sample, a hold-off start, or a
// rejection.
struct Step {
  uint32_t t;
  char op;  // 'S' sample, 'H' hold-off of `value` ms, 'R' rejected
  int value;  // the COS value for 'S'
};

struct Row {
  const char* name;
  uint32_t catch_ms, lost_ms;
  bool lines_on;
  uint32_t reject_delay;  // ResetOnReject set when not ~0
  std::vector<Step> steps;
  const char* expected;  // "t:event" in order
};

constexpr uint32_t kNoReset = ~0u;

std::string Trace(const Row& row) {
  uint32_t clock = 0;
  TVEKCarrierDetector det([&] { return clock; });
  det.CatchTime = row.catch_ms;
  det.LostTime = row.lost_ms;
  det.ResetOnReject = row.reject_delay != kNoReset;
  det.ResetOnRejectDelay = det.ResetOnReject ? row.reject_delay : 500;
  std::string trace;
  auto note = [&](uint32_t t, const char* what) {
    if (!trace.empty()) trace += ' ';
    trace += std::to_string(t) + ":" + what;
  };
  for (const Step& s : row.steps) {
    clock = s.t;
    if (s.op == 'H') {
      det.StartHoldOff(static_cast<uint32_t>(s.value));
      continue;
    }
    if (s.op == 'R') {
      det.Rejected();
      continue;
    }
    if (!det.HoldOffPassed(row.lines_on)) {
      note(s.t, "held");
      continue;
    }
    const auto step = det.Sample(s.value != 0, row.lines_on, s.t);
    if (step.StartCapture) note(s.t, "capt");
    if (step.BackCapture) note(s.t, "back");
    if (step.CarrierOn) note(s.t, "on");
    if (step.CarrierOff) note(s.t, "off");
  }
  return trace;
}

TEST(CarrierDetector, Table) {
  const std::vector<Row> rows = {
      {"catch 0: the first on-edge is the carrier", 0, 0, true, kNoReset,
       {{0, 'S', 1}, {40, 'S', 1}, {80, 'S', 0}, {120, 'S', 0}},
       "0:capt 0:on 80:off"},
      {"catch 300: on only after 300 ms of samples", 300, 0, true, kNoReset,
       {{0, 'S', 1}, {100, 'S', 1}, {299, 'S', 1}, {300, 'S', 1}, {400, 'S', 1}},
       "0:capt 300:on"},
      {"catch 300: a short burst is no carrier", 300, 0, true, kNoReset,
       {{0, 'S', 1}, {200, 'S', 0}, {400, 'S', 0}, {500, 'S', 1}, {700, 'S', 1}, {800, 'S', 1}},
       "0:capt 200:back 500:capt 800:on"},
      {"lost 300: a flicker shorter than that keeps the carrier", 0, 300, true, kNoReset,
       {{0, 'S', 1}, {100, 'S', 0}, {300, 'S', 0}, {350, 'S', 1}, {500, 'S', 0}, {700, 'S', 0},
        {800, 'S', 0}},
       "0:capt 0:on 800:off"},
      {"radio lines off: no debounce either way", 300, 300, false, kNoReset,
       {{0, 'S', 1}, {40, 'S', 0}},
       "0:capt 0:on 40:off"},
      {"hold-off with COS on: stays reset, then a new carrier", 0, 0, true, kNoReset,
       {{0, 'S', 1}, {10, 'H', 500}, {100, 'S', 1}, {509, 'S', 1}, {510, 'S', 1}, {600, 'S', 1}},
       "0:capt 0:on 100:held 509:held 510:capt 510:on"},
      {"reject reset 500 with COS on: a new carrier", 0, 0, true, 500,
       {{0, 'S', 1}, {100, 'R', 0}, {300, 'S', 1}, {599, 'S', 1}, {600, 'S', 1}, {700, 'S', 1}},
       "0:capt 0:on 600:on"},
      {"reject reset 500 with COS off in its lost debounce: none", 0, 1000, true, 500,
       {{0, 'S', 1}, {100, 'R', 0}, {200, 'S', 0}, {600, 'S', 0}, {900, 'S', 0}, {1200, 'S', 0}},
       "0:capt 0:on 1200:off"},
      {"reject reset with delay 0: the carrier is forgotten at once", 0, 0, true, 0,
       {{0, 'S', 1}, {100, 'R', 0}, {200, 'S', 1}, {300, 'S', 0}},
       "0:capt 0:on 200:capt 200:on 300:off"},
  };
  for (const Row& row : rows) EXPECT_EQ(Trace(row), row.expected) << row.name;
}

TEST(CarrierDetector, ResetForgetsOutcomeAndRearm) {
  uint32_t clock = 0;
  TVEKCarrierDetector det([&] { return clock; });
  det.ResetOnReject = true;
  det.ResetOnRejectDelay = 500;
  EXPECT_TRUE(det.Sample(true, true, 0).CarrierOn);
  det.Outcome = cco_Rejected;
  det.Rejected();
  det.Reset();
  EXPECT_EQ(det.Outcome, cco_None);
  EXPECT_FALSE(det.Carrier());
  // The raw COS is still on: after a reset it is a fresh edge, once.
  clock = 1000;
  const auto step = det.Sample(true, true, 1000);
  EXPECT_TRUE(step.StartCapture && step.CarrierOn);
  EXPECT_FALSE(det.Sample(true, true, 1600).CarrierOn);
}

}  // namespace
