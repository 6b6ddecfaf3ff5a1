// DTMF digit detector for captured voice: eight Goertzel filters per block,
// a digit reported once when its tone ends after at least three blocks.
#pragma once

#include <cstdint>

class TDTMFDecoder {
 public:
  explicit TDTMFDecoder(int rate);

  void Reset();
  // Runs the filters over one block (the sound-card thread passes 320
  // samples); only the digit state carries over to the next block.
  void Process(const int16_t* samples, int count);
  // After each Process: true when a digit ended and is reported in digit.
  bool Detect(char& digit);

  static constexpr int kToneCount = 8;
  // The eight magnitudes of the last block (697 .. 1633 Hz).
  const float* Magnitudes() const { return magnitude_; }

 private:
  float coefficient_[kToneCount];
  float q1_[kToneCount];
  float q2_[kToneCount];
  float magnitude_[kToneCount];
  float mean_ = 0.0f;
  int rate_;
  char currentDigit_ = 0;
  int repeatCount_ = 0;
  int minRepeatCount_ = 3;
};
