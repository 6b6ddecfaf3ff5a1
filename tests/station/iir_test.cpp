#include "station/iir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <complex>
#include <numbers>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

// |H| of an N-th order digital Butterworth high-pass made by the bilinear
// transform with a 300-Hz corner at 8000 Hz.
double ButterworthGain(int order, double freq) {
  const double r = std::tan(kPi * 300.0 / 8000.0) / std::tan(kPi * freq / 8000.0);
  return 1.0 / std::sqrt(1.0 + std::pow(r, 2.0 * order));
}

// Evaluated in extended precision so that only the coefficients are judged.
double ResponseOf(const TDaxIirCoefficients& c, int order, double freq) {
  using LD = long double;
  const std::complex<LD> zinv = std::polar(LD(1), -2 * std::numbers::pi_v<LD> * LD(freq) / 8000);
  std::complex<LD> num = 0, den = 1, p = 1;
  for (int j = 0; j <= order; ++j) {
    num += static_cast<long double>(c.b[j]) * p;
    if (j > 0) den -= static_cast<long double>(c.a[j]) * p;
    p *= zinv;
  }
  return double(c.invGain * std::abs(num / den));
}

// Amplitude of a near full-scale sine after the filter, fitted over the
// second second (a whole number of periods) once the transient has gone.
double MeasuredGain(int order, double freq) {
  TDaxIirState s;
  DaxIirInit(s, order);
  const double amp = 32000.0;
  double sinSum = 0.0, cosSum = 0.0;
  for (int block = 0; block < 50; ++block) {
    int16_t buf[320];
    for (int i = 0; i < 320; ++i)
      buf[i] = static_cast<int16_t>(std::lrint(amp * std::sin(2 * kPi * freq * (block * 320 + i) / 8000.0)));
    DaxIirProcess(s, buf, 320);
    if (block < 25) continue;
    for (int i = 0; i < 320; ++i) {
      const double w = 2 * kPi * freq * (block * 320 + i) / 8000.0;
      sinSum += buf[i] * std::sin(w);
      cosSum += buf[i] * std::cos(w);
    }
  }
  return 2.0 / 8000.0 * std::hypot(sinSum, cosSum) / amp;
}

TEST(Iir, CoefficientsMatchTheButterworthResponse) {
  for (int order = 2; order <= 10; ++order) {
    const TDaxIirCoefficients& c = DaxIirCoefficients(order);
    // Rounding the direct-form coefficients of orders 9 and 10 to double
    // alone moves the response by a few 1e-9.
    const double tolerance = order <= 8 ? 1e-9 : 1e-8;
    for (double f : {100.0, 300.0, 1000.0, 3999.0}) {
      SCOPED_TRACE(testing::Message() << "order " << order << " f " << f);
      EXPECT_NEAR(ResponseOf(c, order, f), ButterworthGain(order, f), tolerance);
    }
    EXPECT_NEAR(ResponseOf(c, order, 300.0), std::sqrt(0.5), tolerance);
  }
}

TEST(Iir, KnownCoefficientsOfOrdersTwoAndThree) {
  const TDaxIirCoefficients& c2 = DaxIirCoefficients(2);
  EXPECT_NEAR(c2.invGain, 0.846459254252434, 1e-9);
  EXPECT_NEAR(c2.a[1], 1.6692031429, 1e-9);
  EXPECT_NEAR(c2.a[2], -0.7166338735, 1e-9);
  EXPECT_DOUBLE_EQ(c2.b[0], 1.0);
  EXPECT_DOUBLE_EQ(c2.b[1], -2.0);
  EXPECT_DOUBLE_EQ(c2.b[2], 1.0);
  const TDaxIirCoefficients& c3 = DaxIirCoefficients(3);
  EXPECT_NEAR(c3.invGain, 0.7896456856649838, 1e-9);
  EXPECT_NEAR(c3.a[1], 2.5298071437, 1e-9);
  EXPECT_NEAR(c3.a[2], -2.1638197464, 1e-9);
  EXPECT_NEAR(c3.a[3], 0.6235385946, 1e-9);
  EXPECT_DOUBLE_EQ(c3.b[3], -1.0);
}

TEST(Iir, SamplesFollowTheResponseAtEveryOrder) {
  for (int order = 2; order <= 10; ++order)
    for (double f : {100.0, 300.0, 1000.0}) {
      SCOPED_TRACE(testing::Message() << "order " << order << " f " << f);
      // 16-bit rounding of input and output allows about 1e-4.
      EXPECT_NEAR(MeasuredGain(order, f), ButterworthGain(order, f), 2e-4);
    }
  EXPECT_NEAR(MeasuredGain(2, 100.0), 0.11, 0.005);
  EXPECT_NEAR(MeasuredGain(2, 300.0), 0.71, 0.005);
}

TEST(Iir, OrderIsClampedAndBelowTwoPassesThrough) {
  TDaxIirState s;
  DaxIirInit(s, 1);
  EXPECT_EQ(s.order, 2);
  DaxIirInit(s, 12);
  EXPECT_EQ(s.order, 10);

  TDaxIirState raw;
  DaxFilterInitA(raw);
  EXPECT_EQ(raw.order, 0);
  int16_t buf[4] = {1000, -32768, 32767, 5};
  DaxIirProcess(raw, buf, 4);
  EXPECT_EQ(buf[0], 1000);
  EXPECT_EQ(buf[1], -32768);

  // An order stored past the histories filters as order 10.
  TDaxIirState big, ten;
  DaxIirInit(big, 10);
  DaxIirInit(ten, 10);
  big.order = 15;
  int16_t a[64], b[64];
  for (int i = 0; i < 64; ++i) a[i] = b[i] = int16_t(i * 997 % 20000 - 10000);
  DaxIirProcess(big, a, 64);
  DaxIirProcess(ten, b, 64);
  EXPECT_EQ(0, std::memcmp(a, b, sizeof a));
}

TEST(Iir, HistoryCarriesAcrossBlocksAndOutputIsClamped) {
  // One long run and the same run cut into odd pieces give the same samples.
  std::vector<int16_t> whole(1000), pieces;
  for (size_t i = 0; i < whole.size(); ++i) whole[i] = (i / 7) % 2 ? 32767 : -32768;
  pieces = whole;
  TDaxIirState a, b;
  DaxIirInit(a, 6);
  DaxIirInit(b, 6);
  DaxIirProcess(a, whole.data(), int(whole.size()));
  for (size_t at = 0; at < pieces.size(); at += 37)
    DaxIirProcess(b, pieces.data() + at, int(std::min<size_t>(37, pieces.size() - at)));
  EXPECT_EQ(whole, pieces);
  for (int16_t v : whole) EXPECT_GE(v, -32767);  // a square wave overshoots: clamped symmetric
}

TEST(Iir, CorruptedHistorySilencesTheBlockAndRecovers) {
  TDaxIirState s;
  DaxIirInit(s, 4);
  s.y[1] = std::nan("");
  int16_t buf[8] = {100, 200, 300, 400, 500, 600, 700, 800};
  DaxIirProcess(s, buf, 8);
  for (int16_t v : buf) EXPECT_EQ(v, 0);
  int16_t next[8] = {100, 200, 300, 400, 500, 600, 700, 800};
  DaxIirProcess(s, next, 8);
  EXPECT_NE(next[0], 0);
}

}  // namespace
