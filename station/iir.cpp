#include "station/iir.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>

namespace {

constexpr double kRate = 8000.0;
constexpr double kCorner = 300.0;

// Bilinear transform of the analogue Butterworth prototype, prewarped so the
// digital filter has its 3 dB point exactly at kCorner.
// Worked in extended precision: the expanded direct-form coefficients of the
// higher orders are very sensitive to rounding.
TDaxIirCoefficients Design(int order) {
  using LD = long double;
  using C = std::complex<LD>;
  constexpr LD kPi = std::numbers::pi_v<LD>;
  TDaxIirCoefficients c;
  const LD warped = std::tan(kPi * LD(kCorner) / LD(kRate));

  // Denominator polynomial in z^-1: prod (1 - p_k z^-1).
  std::array<C, kDaxIirMaxOrder + 1> den{};
  den[0] = 1.0;
  for (int k = 0; k < order; ++k) {
    const LD theta = kPi * (2.0L * k + order + 1) / (2.0L * order);
    const C lowPassPole = std::polar(LD(1), theta);
    const C s = warped / lowPassPole;  // low-pass to high-pass
    const C z = (LD(1) + s) / (LD(1) - s);
    for (int j = k + 1; j >= 1; --j) den[j] -= z * den[j - 1];
  }

  double binom = 1.0;
  for (int j = 0; j <= order; ++j) {
    c.b[j] = (j % 2 ? -binom : binom);
    binom = binom * (order - j) / (j + 1);
  }
  // Gain at z = -1: numerator sum |b_j| = 2^N, denominator sum den_j (-1)^j.
  LD denAtNyquist = 0;
  for (int j = 0; j <= order; ++j) denAtNyquist += (j % 2 ? -1 : 1) * den[j].real();
  c.invGain = static_cast<double>(std::fabs(denAtNyquist) / std::ldexp(LD(1), order));
  for (int k = 1; k <= order; ++k) c.a[k] = static_cast<double>(-den[k].real());
  return c;
}

const std::array<TDaxIirCoefficients, kDaxIirMaxOrder + 1>& Table() {
  static const auto table = [] {
    std::array<TDaxIirCoefficients, kDaxIirMaxOrder + 1> t{};
    for (int n = kDaxIirMinOrder; n <= kDaxIirMaxOrder; ++n) t[n] = Design(n);
    return t;
  }();
  return table;
}

void ClearHistories(TDaxIirState& state) {
  std::fill(std::begin(state.x), std::end(state.x), 0.0);
  std::fill(std::begin(state.y), std::end(state.y), 0.0);
}

}  // namespace

const TDaxIirCoefficients& DaxIirCoefficients(int order) {
  return Table()[std::clamp(order, kDaxIirMinOrder, kDaxIirMaxOrder)];
}

void DaxIirInit(TDaxIirState& state, int order) {
  ClearHistories(state);
  state.order = std::clamp(order, kDaxIirMinOrder, kDaxIirMaxOrder);
  Table();  // design once, outside the audio path
}

void DaxFilterInitA(TDaxIirState& state) { ClearHistories(state); }
void DaxFilterInitB(TDaxIirState& state) { ClearHistories(state); }

void DaxIirProcess(TDaxIirState& state, int16_t* samples, int count) {
  if (state.order < kDaxIirMinOrder || count <= 0) return;
  // The histories hold order 10 at most, whatever the caller stored.
  const int n = std::min(state.order, kDaxIirMaxOrder);
  const TDaxIirCoefficients& c = Table()[n];
  for (int i = 0; i < count; ++i) {
    for (int j = n; j > 0; --j) state.x[j] = state.x[j - 1];
    state.x[0] = samples[i] * c.invGain;
    for (int j = n; j > 0; --j) state.y[j] = state.y[j - 1];
    double y = 0.0;
    for (int j = 0; j <= n; ++j) y += c.b[j] * state.x[j];
    for (int k = 1; k <= n; ++k) y += c.a[k] * state.y[k];
    if (!std::isfinite(y)) {
      // A corrupted history would poison every later block: drop the block
      // and start the filter afresh.
      std::fill(samples, samples + count, int16_t{0});
      ClearHistories(state);
      return;
    }
    state.y[0] = y;
    samples[i] = static_cast<int16_t>(std::nearbyint(std::clamp(y, -32767.0, 32767.0)));
  }
}
