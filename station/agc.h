// Automatic gain control for 320-sample blocks of 8000-Hz voice: the gain
// follows the block level towards a target with attack, slow rise, hold and
// decay. Works in place and allocates nothing.
#pragma once

#include <cstdint>

#include "foundation/types_base.h"

// Mode flags above the four measurement bits.
constexpr int kDaxAgcFlagNoCap = 0x10;      // wanted gain not capped at the maximum gain
constexpr int kDaxAgcFlagDecay = 0x80;      // decay after 64 held blocks with gain > 1
constexpr int kDaxAgcFlagNeverDecay = 0x100;
constexpr int kDaxAgcFlagFixedSteps = 0x200;
constexpr int kDaxAgcFlagFastDecay = 0x400;

// One direction's AGC settings (Level %, MaxGain dB, Mode, TimeConst,
// Threshold); the set-up applies its own limits, Threshold takes no part.
using TDaxAgcParams = TVEKLevelParams;

struct TDaxAgcState {
  double gain = 1.0;
  double targetLevel = 0.0;
  double maxGain = 1.0;
  double lastLevel = 1.0;
  double k = 1.0;
  double decayFactor = 0.0;
  int mode = 0;
  int heldCount = 128;
  int sampleLimit = 32767;
};

// base ** exponent, through the natural logarithm in extended precision.
double DaxPower(double exponent, double base);
// 10 ** (dB / 20).
double DaxDbToLinear(double db);

void DaxAgcSetup(TDaxAgcState& state, const TDaxAgcParams& params);
// Processes count samples in place; raises Exception("Unknown AGC mode") when
// the state's measurement mode is above 7.
void DaxAgcProcess(int16_t* samples, int count, TDaxAgcState& state);
