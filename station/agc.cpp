#include "station/agc.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "foundation/exception.h"

double DaxPower(double exponent, double base) {
  return static_cast<double>(std::exp(static_cast<long double>(exponent) *
                                      std::log(static_cast<long double>(base))));
}

double DaxDbToLinear(double db) { return DaxPower(db / 20.0, 10.0); }

void DaxAgcSetup(TDaxAgcState& state, const TDaxAgcParams& params) {
  const int level = std::clamp(params.Level, 50, 100);
  const float maxGainDb = std::clamp(params.MaxGain, 0.0f, 60.0f);
  const int timeConst = std::clamp(params.TimeConst, 5, 500);

  state.gain = 1.0;
  state.targetLevel = static_cast<double>(static_cast<float>(level) * 327.67f);
  state.maxGain = DaxDbToLinear(maxGainDb);
  state.lastLevel = 1.0;
  state.k = timeConst * 3.684454148;
  state.decayFactor = 1.0 - 1.0 / state.k;
  int mode = params.Mode;
  if ((mode & 15) > 7) mode = (mode & ~15) | 7;
  state.mode = mode;
  state.heldCount = 128;
  state.sampleLimit = 32767;
}

namespace {

inline int16_t Scale(int16_t x, double gain, int limit) {
  if (x == 0) return 0;
  const double y = std::nearbyint(x * gain);
  if (x > 0) return static_cast<int16_t>(std::min(y, static_cast<double>(limit)));
  return static_cast<int16_t>(std::max(y, static_cast<double>(-limit)));
}

}  // namespace

void DaxAgcProcess(int16_t* samples, int count, TDaxAgcState& state) {
  if (count <= 0) return;
  const int m = state.mode & 15;
  if (m > 7) throw Exception("Unknown AGC mode");

  double d = 0.0;
  double meanAbs = 0.0;
  if (m == 0) {
    int peak = 0;
    for (int i = 0; i < count; ++i) peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    d = std::max(static_cast<double>(peak), 1.0);
  } else {
    double sumSq = 0.0;
    double sumAbs = 0.0;
    for (int i = 0; i < count; ++i) {
      const double x = samples[i];
      sumSq += x * x;
      sumAbs += std::fabs(x);
    }
    const double meanSq = sumSq / count;
    d = meanSq > 0.0 ? std::sqrt(meanSq) : 0.0;
    if (m >= 3 && m <= 5) meanAbs = sumAbs / count;
  }
  if (d < 8.0) return;

  const long double sqrt2 = std::sqrt(2.0L);
  double b = 0.0;
  switch (m) {
    case 0: b = d; break;
    case 1: b = static_cast<double>(d * sqrt2); break;
    case 2: b = static_cast<double>(d * 2.0L * sqrt2); break;
    case 3: b = static_cast<double>((meanAbs + d) * sqrt2); break;
    case 4: b = static_cast<double>(d * sqrt2) + meanAbs; break;
    case 5: b = meanAbs + d; break;
    case 6: b = 2.0 * d; break;
    default: b = static_cast<double>(d * 2.6L); break;
  }
  if (b < 1.0) b = 1.0;

  const int mode = state.mode;
  const double g = state.gain;
  double wanted = state.targetLevel / b;
  if (!(mode & kDaxAgcFlagNoCap)) wanted = std::min(wanted, state.maxGain);

  if (g * b > state.targetLevel) {
    state.gain = wanted;
    state.lastLevel = b;
    state.heldCount = 0;
    for (int i = 0; i < count; ++i) samples[i] = Scale(samples[i], wanted, state.sampleLimit);
    return;
  }

  double target;
  if (b > state.lastLevel) {
    double step = wanted - g;
    if (mode & kDaxAgcFlagFixedSteps)
      step *= state.heldCount < 128 ? 1.0 / 32.0 : 1.0 / 16.0;
    else
      step /= state.k;
    state.heldCount = 0;
    state.lastLevel = b;
    target = g + step;
  } else {
    // Saturates: with "never decay" the count grows for as long as the link runs.
    if (state.heldCount < INT_MAX) ++state.heldCount;
    if (state.heldCount < 64 || (mode & kDaxAgcFlagNeverDecay)) {
      target = (mode & kDaxAgcFlagFixedSteps) ? g + (wanted - g) * (1.0 / 128.0)
                                              : g + (wanted - g) / state.k;
    } else if (g <= 1.0 || !(mode & kDaxAgcFlagDecay)) {
      target = g + (wanted - g) * (1.0 / 64.0);
    } else {
      const double f = (mode & kDaxAgcFlagFastDecay) ? 0.975 : state.decayFactor;
      state.gain = g * f;
      state.lastLevel *= f;
      target = state.gain;
    }
  }

  double gain = state.gain;
  const double inc = (target - gain) / count;
  for (int i = 0; i < count; ++i) {
    gain += inc;
    samples[i] = Scale(samples[i], gain, state.sampleLimit);
  }
  state.gain = gain;
}
