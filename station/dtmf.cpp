#include "station/dtmf.h"

#include <climits>
#include <cmath>

namespace {

// 2 * pi * f for 697, 770, 852, 941, 1209, 1336, 1477, 1633 Hz.
const float kOmega[TDTMFDecoder::kToneCount] = {
    static_cast<float>(2 * 3.14159265358979323846 * 697),
    static_cast<float>(2 * 3.14159265358979323846 * 770),
    static_cast<float>(2 * 3.14159265358979323846 * 852),
    static_cast<float>(2 * 3.14159265358979323846 * 941),
    static_cast<float>(2 * 3.14159265358979323846 * 1209),
    static_cast<float>(2 * 3.14159265358979323846 * 1336),
    static_cast<float>(2 * 3.14159265358979323846 * 1477),
    static_cast<float>(2 * 3.14159265358979323846 * 1633),
};

struct DigitPattern {
  int bits;
  char digit;
};

// Bit i: frequency i above the mean. Searched in this order.
const DigitPattern kDigits[] = {
    {17, '1'}, {33, '2'}, {65, '3'}, {18, '4'},  {34, '5'},  {66, '6'},  {20, '7'}, {36, '8'},
    {68, '9'}, {40, '0'}, {129, 'A'}, {130, 'B'}, {132, 'C'}, {136, 'D'}, {24, '*'}, {72, '#'},
};

constexpr float kMinMean = 2000.0f;

}  // namespace

TDTMFDecoder::TDTMFDecoder(int rate) : rate_(rate) {
  for (int i = 0; i < kToneCount; ++i) {
    const float w = kOmega[i] / static_cast<float>(rate_);
    coefficient_[i] = static_cast<float>(2.0L * std::cos(static_cast<long double>(w)));
    magnitude_[i] = 0.0f;
  }
  Reset();
}

void TDTMFDecoder::Reset() {
  currentDigit_ = 0;
  repeatCount_ = 0;
  for (int i = 0; i < kToneCount; ++i) q1_[i] = q2_[i] = 0.0f;
}

void TDTMFDecoder::Process(const int16_t* samples, int count) {
  for (int n = 0; n < count; ++n) {
    const float x = samples[n];
    for (int i = 0; i < kToneCount; ++i) {
      const float s = x + coefficient_[i] * q1_[i] - q2_[i];
      q2_[i] = q1_[i];
      q1_[i] = s;
    }
  }
  for (int i = 0; i < kToneCount; ++i) {
    const float p = q1_[i] * q1_[i] + q2_[i] * q2_[i] - coefficient_[i] * q1_[i] * q2_[i];
    // Rounding can leave a hair below zero for an empty block.
    magnitude_[i] = p > 0.0f ? std::sqrt(p) : 0.0f;
    q1_[i] = q2_[i] = 0.0f;
  }
}

bool TDTMFDecoder::Detect(char& digit) {
  float sum = 0.0f;
  for (int i = 0; i < kToneCount; ++i) sum += magnitude_[i];
  mean_ = sum * 0.25f;

  char found = 0;
  if (mean_ >= kMinMean) {
    int bits = 0;
    for (int i = 0; i < kToneCount; ++i)
      if (magnitude_[i] > mean_) bits |= 1 << i;
    for (const DigitPattern& p : kDigits)
      if (p.bits == bits) {
        found = p.digit;
        break;
      }
  }

  if (found) {
    if (found == currentDigit_) {
      if (repeatCount_ < INT_MAX) ++repeatCount_;  // a tone held for years
      return false;
    }
    if (currentDigit_ == 0) {
      currentDigit_ = found;
      repeatCount_ = 1;
      return false;
    }
    if (repeatCount_ >= minRepeatCount_) {
      digit = currentDigit_;
      currentDigit_ = found;
      repeatCount_ = 1;
      return true;
    }
    // A short other tone: keep the current digit, restart its count.
    repeatCount_ = 1;
    return false;
  }

  const bool report = currentDigit_ != 0 && repeatCount_ >= minRepeatCount_;
  if (report) digit = currentDigit_;
  currentDigit_ = 0;
  repeatCount_ = 0;
  return report;
}
