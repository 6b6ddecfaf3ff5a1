// How much of a signal is a sine at a known frequency: a least-squares fit
// of its sine and cosine parts.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace vektest {

struct SineFit {
  double amplitude;  // of the component at the frequency
  double residual;   // RMS of what that component leaves, relative to its RMS
};

// Fits samples [from, to) of x; sample i is at time i / rate.
template <class T>
SineFit FitSine(const std::vector<T>& x, size_t from, size_t to, double freq, int rate) {
  const double w = 2 * std::numbers::pi * freq / rate;
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (size_t i = from; i < to; ++i) {
    const double s = std::sin(w * i), c = std::cos(w * i);
    ss += s * s, sc += s * c, cc += c * c, xs += x[i] * s, xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double err = 0;
  for (size_t i = from; i < to; ++i) {
    const double e = x[i] - a * std::sin(w * i) - b * std::cos(w * i);
    err += e * e;
  }
  const double amp = std::hypot(a, b);
  return {amp, std::sqrt(err / (to - from)) / (amp / std::sqrt(2.0))};
}

}  // namespace vektest
