// Butterworth high-pass filters of order 2 to 10 with the 3 dB point at
// 300 Hz for 8000-Hz voice. Work in place on 16-bit samples.
#pragma once

#include <cstdint>

constexpr int kDaxIirMinOrder = 2;
constexpr int kDaxIirMaxOrder = 10;

struct TDaxIirState {
  double x[kDaxIirMaxOrder + 1] = {};  // x[0] newest input (already scaled by 1/G)
  double y[kDaxIirMaxOrder + 1] = {};  // y[0] newest output, unrounded
  int order = 0;
};

// y[n] = sum b[j] * x[n-j] + sum a[k] * y[n-k], with x pre-scaled by invGain.
struct TDaxIirCoefficients {
  double invGain = 1.0;                  // 1/G, G the gain at the Nyquist frequency
  double b[kDaxIirMaxOrder + 1] = {};    // (-1)^j C(N, j)
  double a[kDaxIirMaxOrder + 1] = {};    // a[0] unused
};

// The design for order 2..10 (others are clamped into that range).
const TDaxIirCoefficients& DaxIirCoefficients(int order);

void DaxIirInit(TDaxIirState& state, int order);
// Filters with the state's order; an order below 2 leaves the samples alone.
void DaxIirProcess(TDaxIirState& state, int16_t* samples, int count);
// Clear the histories without setting an order.
void DaxFilterInitA(TDaxIirState& state);
void DaxFilterInitB(TDaxIirState& state);
