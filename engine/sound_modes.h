// What each sound mode means to the engine: the handlers ask a mode's
// properties rather than listing modes, so a mode's behaviour is read in
// its one row (sound_modes.cpp).
#pragma once

#include <cstdint>

#include "foundation/types_base.h"

// msm_Transit is the last mode.
constexpr int kVekSoundModeCount = msm_Transit + 1;

// Property bits of a sound mode.
enum : uint32_t {
  // Player commands wait while the sound plays (hour and informer sounds
  // let them through).
  smp_HoldsQueue = 1u << 0,
  // The capture level feeds the carrier detector; while an own sound plays
  // the detector stays reset.
  smp_CarrierSampled = 1u << 1,
  // The link's end, or the server's abort of the own transmission, silences
  // the output; own sounds play on.
  smp_SilencedByLink = 1u << 2,
  // The sound passes through without the engine keying the radio. The
  // engine never enters it, so an end of it is an error.
  smp_TransitPath = 1u << 3,
  // An own sound that ends by itself: its end returns the mode to normal
  // and reports the stop.
  smp_EndsOwnSound = 1u << 4,
  // Its stop is reported as a service sound's, else as an external sound's.
  smp_ServiceSound = 1u << 5,
  // Its end applies a server switch that a DTMF command left pending.
  smp_SwitchAtEnd = 1u << 6,
  // The begin-of-transmission sound: its end goes on with the received voice.
  smp_LeadsIntoVoice = 1u << 7,
  // A script may run along: the files it names follow the sound, in the
  // mode VekScriptFilesMode gives.
  smp_RunsScript = 1u << 8,
  // The connect sound and its script's files: their play-out opens the
  // reception.
  smp_OpensReception = 1u << 9,
  // The hour sound may replace it.
  smp_YieldsToHour = 1u << 10,
};

// A value the enumeration has; the handlers raise "Unknown sound mode" on
// any other where a mode must be known.
inline bool VekIsSoundMode(uint8_t mode) { return mode < kVekSoundModeCount; }

// The property word of a mode; none for a value beyond the modes.
uint32_t VekSoundModeProps(uint8_t mode);
inline bool VekSoundModeHas(uint8_t mode, uint32_t bits) { return (VekSoundModeProps(mode) & bits) != 0; }

// The mode in which the files a sound's script named play; msm_Normal for a
// mode without a script.
uint8_t VekScriptFilesMode(uint8_t mode);
