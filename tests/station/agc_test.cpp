#include "station/agc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "foundation/exception.h"

namespace {

// A square wave of amplitude a: its peak, RMS and mean absolute value are all a.
std::vector<int16_t> Square(int a, int n = 320) {
  std::vector<int16_t> v(n);
  for (int i = 0; i < n; ++i) v[i] = static_cast<int16_t>(i % 2 ? -a : a);
  return v;
}

TDaxAgcState MakeAgc(int level, float maxGain, int mode, int timeConst) {
  TDaxAgcParams p;
  p.Level = level;
  p.MaxGain = maxGain;
  p.Mode = mode;
  p.TimeConst = timeConst;
  TDaxAgcState s;
  DaxAgcSetup(s, p);
  return s;
}

TEST(Agc, SetupClampsAndKeepsModeFlags) {
  struct Case {
    int level, mode, timeConst;
    float maxGain;
    double target, maxLinear, k;
    int storedMode;
  } cases[] = {
      {40, 8, 1, -3.0f, double(50 * 327.67f), 1.0, 5 * 3.684454148, 7},
      {120, 15, 900, 70.0f, double(100 * 327.67f), 1000.0, 500 * 3.684454148, 7},
      {75, 0x87, 50, 20.0f, double(75 * 327.67f), 10.0, 50 * 3.684454148, 0x87},
      {75, 0x18, 50, 6.0f, double(75 * 327.67f), std::pow(10.0, 0.3), 50 * 3.684454148, 0x17},
      {75, 0x10F, 50, 0.0f, double(75 * 327.67f), 1.0, 50 * 3.684454148, 0x107},
      {75, 3, 50, 60.0f, double(75 * 327.67f), 1000.0, 50 * 3.684454148, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode);
    TDaxAgcState s = MakeAgc(c.level, c.maxGain, c.mode, c.timeConst);
    EXPECT_DOUBLE_EQ(s.targetLevel, c.target);
    EXPECT_NEAR(s.maxGain, c.maxLinear, 1e-9 * c.maxLinear);
    EXPECT_DOUBLE_EQ(s.k, c.k);
    EXPECT_DOUBLE_EQ(s.decayFactor, 1.0 - 1.0 / c.k);
    EXPECT_EQ(s.mode, c.storedMode);
    EXPECT_EQ(s.gain, 1.0);
    EXPECT_EQ(s.lastLevel, 1.0);
    EXPECT_EQ(s.heldCount, 128);
    EXPECT_EQ(s.sampleLimit, 32767);
  }
  EXPECT_DOUBLE_EQ(DaxPower(3.0, 2.0), 8.0);
  EXPECT_NEAR(DaxDbToLinear(-20.0), 0.1, 1e-15);
}

TEST(Agc, QuietBlockPassesUntouched) {
  for (int mode : {0, 2, 7}) {
    TDaxAgcState s = MakeAgc(95, 30.0f, mode, 50);
    auto block = Square(7);
    const auto before = block;
    DaxAgcProcess(block.data(), 320, s);
    EXPECT_EQ(block, before);
    EXPECT_EQ(s.gain, 1.0);
    EXPECT_EQ(s.lastLevel, 1.0);
    EXPECT_EQ(s.heldCount, 128);
  }
  TDaxAgcState s = MakeAgc(95, 30.0f, 2, 50);
  int16_t one = 20000;
  DaxAgcProcess(&one, 0, s);  // empty call: nothing
  EXPECT_EQ(one, 20000);
  EXPECT_EQ(s.gain, 1.0);
}

TEST(Agc, MeasurementModesOnAttack) {
  // Level 50 -> target 16383.5; amplitude 20000 attacks in every mode, so each
  // sample becomes 20000 * target / b with b the mode's block level.
  const double a = 20000.0, target = double(50 * 327.67f), r2 = std::sqrt(2.0);
  const double levels[8] = {a, a * r2, a * 2 * r2, (a + a) * r2, a * r2 + a, 2 * a, 2 * a, 2.6 * a};
  for (int mode = 0; mode < 8; ++mode) {
    SCOPED_TRACE(testing::Message() << "mode " << mode);
    TDaxAgcState s = MakeAgc(50, 30.0f, mode, 50);
    auto block = Square(20000);
    DaxAgcProcess(block.data(), 320, s);
    const int expected = int(std::nearbyint(a * target / levels[mode]));
    EXPECT_EQ(block[0], expected);
    EXPECT_EQ(block[1], -expected);
    EXPECT_EQ(block[319], -expected);
    EXPECT_NEAR(s.gain, target / levels[mode], 1e-12);
    EXPECT_NEAR(s.lastLevel, levels[mode], 1e-9);
    EXPECT_EQ(s.heldCount, 0);
  }
}

TEST(Agc, FullScaleAtLevel100IsScaledDownAtOnce) {
  TDaxAgcState s = MakeAgc(100, 30.0f, 2, 50);
  auto block = Square(32767);
  DaxAgcProcess(block.data(), 320, s);
  // b = 32767 * 2 * sqrt(2): the whole block at once to 32767 / (2 sqrt 2).
  for (int i = 0; i < 320; ++i) EXPECT_EQ(std::abs(block[i]), 11585) << i;
}

TEST(Agc, StepResponseRiseHoldAttackDecay) {
  // Peak mode, target 16383.5, gain capped at 20 dB (10x), k = 5 * 3.68...
  TDaxAgcState s = MakeAgc(50, 20.0f, 0 | kDaxAgcFlagDecay, 5);
  const double k = s.k;

  // Rise: a quiet step from silence ramps the gain linearly over the block,
  // one k-th of the way to the capped wanted gain.
  auto block = Square(1000);
  DaxAgcProcess(block.data(), 320, s);
  const double step = (10.0 - 1.0) / k;
  for (int i : {0, 1, 159, 319}) {
    const double g = 1.0 + step * (i + 1) / 320.0;
    EXPECT_EQ(std::abs(block[i]), int(std::nearbyint(1000 * g))) << i;
  }
  EXPECT_NEAR(s.gain, 1.0 + step, 1e-12);
  EXPECT_EQ(s.heldCount, 0);
  EXPECT_EQ(s.lastLevel, 1000.0);

  // Hold: the same level keeps approaching the wanted gain by 1/k per block.
  double g = s.gain;
  for (int n = 1; n <= 60; ++n) {
    block = Square(1000);
    DaxAgcProcess(block.data(), 320, s);
    g += (10.0 - g) / k;
    ASSERT_NEAR(s.gain, g, 1e-9) << n;
    EXPECT_EQ(s.heldCount, n);
  }
  EXPECT_NEAR(s.gain, 10.0, 0.5);

  // Attack: a loud step is cut to the target within its first block.
  block = Square(5000);
  DaxAgcProcess(block.data(), 320, s);
  EXPECT_EQ(block[0], int(std::nearbyint(5000 * 16383.5 / 5000)));
  EXPECT_EQ(s.heldCount, 0);
  const double attacked = s.gain;
  // The loud level then holds: 63 blocks keep the gain where it is ...
  for (int n = 1; n <= 63; ++n) {
    block = Square(5000);
    DaxAgcProcess(block.data(), 320, s);
  }
  EXPECT_NEAR(s.gain, attacked, 1e-12);
  EXPECT_EQ(s.heldCount, 63);
  // ... and the 64th is scaled by the decayed gain, which stays decayed.
  block = Square(5000);
  DaxAgcProcess(block.data(), 320, s);
  const double decayed = attacked * s.decayFactor;
  EXPECT_NEAR(s.gain, decayed, 1e-9);
  EXPECT_EQ(block[0], int(std::nearbyint(5000 * decayed)));
  EXPECT_EQ(block[319], -int(std::nearbyint(5000 * decayed)));
  EXPECT_NEAR(s.lastLevel, 5000 * s.decayFactor, 1e-9);
}

TEST(Agc, LongHoldByFlags) {
  // Gain 2 (wanted 10), 63 blocks already held: the next held block by mode.
  const double g = 2.0, wanted = 10.0;
  struct Case {
    int mode;
    double gain, lastLevel;
  } cases[] = {
      {0, g + (wanted - g) / 64.0, 1000.0},                  // no 0x80: the 1/64 approach
      {kDaxAgcFlagDecay | kDaxAgcFlagNeverDecay, -1, 1000.0}, // 0x100 wins: 1/k (below)
      {kDaxAgcFlagDecay | kDaxAgcFlagFastDecay, g * 0.975, 1000.0 * 0.975},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode);
    TDaxAgcState s = MakeAgc(50, 20.0f, c.mode, 50);
    s.gain = g;
    s.lastLevel = 1000.0;
    s.heldCount = 63;
    auto block = Square(1000);
    DaxAgcProcess(block.data(), 320, s);
    EXPECT_NEAR(s.gain, c.gain < 0 ? g + (wanted - g) / s.k : c.gain, 1e-12);
    EXPECT_NEAR(s.lastLevel, c.lastLevel, 1e-9);
    EXPECT_EQ(s.heldCount, 64);
  }
  // A gain of at most 1 never decays, even with 0x80.
  TDaxAgcState s = MakeAgc(50, 20.0f, kDaxAgcFlagDecay, 50);
  s.gain = 1.0;
  s.lastLevel = 10000.0;
  s.heldCount = 70;
  auto block = Square(10000);
  DaxAgcProcess(block.data(), 320, s);
  EXPECT_NEAR(s.gain, 1.0 + (s.targetLevel / 10000.0 - 1.0) / 64.0, 1e-12);
}

TEST(Agc, FixedStepsAndUncappedGain) {
  // 0x200: the first rise after set-up (held count 128) moves 1/16 of the way,
  // the next rise 1/32, a hold 1/128.
  TDaxAgcState s = MakeAgc(50, 20.0f, kDaxAgcFlagFixedSteps, 50);
  auto block = Square(1000);
  DaxAgcProcess(block.data(), 320, s);
  EXPECT_NEAR(s.gain, 1.0 + 9.0 / 16.0, 1e-12);
  double g = s.gain;
  block = Square(1200);
  DaxAgcProcess(block.data(), 320, s);
  EXPECT_NEAR(s.gain, g + (10.0 - g) / 32.0, 1e-12);
  g = s.gain;
  block = Square(1200);
  DaxAgcProcess(block.data(), 320, s);
  EXPECT_NEAR(s.gain, g + (10.0 - g) / 128.0, 1e-12);

  // 0x10: the wanted gain is target / level even above the maximum gain.
  TDaxAgcState u = MakeAgc(50, 0.0f, kDaxAgcFlagNoCap, 5);
  block = Square(100);
  DaxAgcProcess(block.data(), 320, u);
  EXPECT_NEAR(u.gain, 1.0 + (u.targetLevel / 100.0 - 1.0) / u.k, 1e-12);
  TDaxAgcState capped = MakeAgc(50, 0.0f, 0, 5);
  block = Square(100);
  DaxAgcProcess(block.data(), 320, capped);
  EXPECT_EQ(capped.gain, 1.0);  // max gain 0 dB: nothing to rise to
}

TEST(Agc, ScalingLimitsSymmetricallyAndKeepsZero) {
  TDaxAgcState s = MakeAgc(100, 60.0f, 1, 50);
  s.gain = 8.0;
  s.lastLevel = 1e9;  // hold, not rise
  s.heldCount = 0;
  std::vector<int16_t> block(320, 0);
  block[0] = 5000;
  block[1] = -5000;
  block[2] = 3;
  block[3] = -32768;
  block[4] = 1000;
  DaxAgcProcess(block.data(), 320, s);
  EXPECT_EQ(block[0], 32767);
  EXPECT_EQ(block[1], -32767);
  EXPECT_EQ(block[3], -32767);
  EXPECT_EQ(block[5], 0);
  EXPECT_GT(block[2], 3);
}

TEST(Agc, ModeAboveSevenRaises) {
  TDaxAgcState s = MakeAgc(95, 30.0f, 2, 50);
  s.mode = 9;
  auto block = Square(1000);
  try {
    DaxAgcProcess(block.data(), 320, s);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Unknown AGC mode");
  }
}

}  // namespace
