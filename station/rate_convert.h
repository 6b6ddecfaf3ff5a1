// Rate and sample-format conversion: which converter each conversion quality
// uses, the program's use of libsamplerate, and the 16-bit/float rules.
#pragma once

#include <samplerate.h>

#include <cstdint>
#include <string>

#include "foundation/types_base.h"

// Converter kinds of the sound-card thread.
enum : uint8_t {
  VEK_CONVERT_NONE = 0,
  VEK_CONVERT_RESAMPLER = 1,     // station/resampler.h; parameter = high quality flag
  VEK_CONVERT_SAMPLERATE = 2,    // libsamplerate; parameter = converter type
};

struct TVEKConvertChoice {
  uint8_t Kind;
  int Param;
};

// The converter for a quality; a value outside the enumeration gives kind 0.
TVEKConvertChoice VekConvertChoice(TVEKAudioConvertQuality quality);

// ---------------------------------------------------------------------------
// libsamplerate

// Fills the data record for one streaming call; 3 when `data` is null.
int src_set_data(SRC_DATA* data, const float* in, float* out, long input_frames,
                 long output_frames, int end_of_input, double ratio);
// Reads back what the last call used and generated; 3 when `data` is null.
int src_get_data_result(const SRC_DATA* data, long* input_used, long* output_generated);

std::u16string DaxSrcErrorText(int code);
// Deletes the converter state (if any) and clears the reference.
void DaxSrcFree(SRC_STATE*& state);

// ---------------------------------------------------------------------------
// Sample conversions: `count` samples in order; nothing is allocated.

// 16-bit to float, value unchanged.
void DaxSmallIntToFloatArray(const int16_t* in, float* out, int count);
// Float in 16-bit scale to 16-bit: clipped to -32767..32767, rounded to
// nearest with ties to even.
void DaxFloatToSmallIntArray(const float* in, int16_t* out, int count);
// Float in [-1, 1] to 16-bit, as libsamplerate's output is scaled back.
void DaxFloatToSmallIntScaled(const float* in, int16_t* out, int count);
// 16-bit to float in [-1, 1] (divided by 32768) for libsamplerate.
void DaxSmallIntToFloatScaled(const int16_t* in, float* out, int count);
