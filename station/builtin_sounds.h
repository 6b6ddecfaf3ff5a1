// The three control sounds built into the program: RIFF/WAVE images of GSM
// 06.10 (format 49) played when no usable file is configured. Their audio is
// made and encoded once, at first use.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/types_base.h"

constexpr int kVekBuiltinSoundCount = 3;

// Built-in sound 1..3 for each control sound, in TVEKControlSound order.
inline constexpr uint8_t kVekBuiltinSoundChoice[VekControlSoundCount] = {1, 1, 1, 3, 3,
                                                                         2, 3, 2, 2, 1};

struct TVEKBuiltinSoundInfo {
  int FileSize;
  int Blocks;
  uint32_t FactSamples;
};
inline constexpr TVEKBuiltinSoundInfo kVekBuiltinSoundInfo[kVekBuiltinSoundCount] = {
    {450, 6, 1784}, {710, 10, 2883}, {2010, 30, 9600}};

// The image of built-in sound 1..3 (a short beep; a rising two-tone chirp;
// a low descending tone). Thread-safe; the bytes never change.
const std::vector<uint8_t>& VekBuiltinSound(int number);

// The built-in sound number for a control sound.
inline int VekBuiltinSoundFor(int control_sound) {
  return control_sound >= 0 && control_sound < VekControlSoundCount
             ? kVekBuiltinSoundChoice[control_sound]
             : 1;
}
