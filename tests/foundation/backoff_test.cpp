#include "foundation/backoff.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Backoff, IntervalDoublesToItsBoundAndStartsOverAfterASuccess) {
  TDaxBackoff b(100, 500);
  EXPECT_TRUE(b.Due(0));
  // Failures at the moments they fall due: 100, 200, 400, then 500 for ever.
  uint32_t now = 0xFFFFFF00u;  // across the clock's wrap
  std::vector<uint32_t> waits;
  for (int n = 0; n < 6; ++n) {
    b.Failed(now);
    waits.push_back(b.WaitMs(now));
    EXPECT_FALSE(b.Due(now + waits.back() - 1));
    EXPECT_TRUE(b.Due(now + waits.back()));
    now += waits.back();
  }
  EXPECT_EQ(waits, (std::vector<uint32_t>{100, 200, 400, 500, 500, 500}));
  b.Succeeded();
  EXPECT_TRUE(b.Due(now));
  b.Failed(now);
  EXPECT_EQ(b.WaitMs(now), 100u);
}

TEST(RepeatGate, AnEpisodeOfAThousandRepeatsGivesAFewReportsThatCountTheRest) {
  TDaxRepeatGate gate(100, 5000);
  uint32_t reported = 0, counted = 0, held = 0;
  // One occurrence every 2 ms for 10 s.
  for (uint32_t t = 0; t < 10000; t += 2) {
    if (gate.Pass(t, held)) {
      ++reported;
      counted += held;
    }
  }
  EXPECT_LE(reported, 10u);
  EXPECT_TRUE(gate.End(held));
  EXPECT_EQ(reported + counted + held, 5000u);
  // The next episode starts with a report again, and End() without one says so.
  EXPECT_FALSE(gate.End(held));
  EXPECT_TRUE(gate.Pass(20000, held));
  EXPECT_EQ(held, 0u);
}
