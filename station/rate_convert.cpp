#include "station/rate_convert.h"

#include <cmath>
#include <cstring>

namespace {

// Ties go to even under the default rounding mode, which the program never
// changes.
inline long RoundEven(float v) { return std::lrint(v); }

}  // namespace

TVEKConvertChoice VekConvertChoice(TVEKAudioConvertQuality quality) {
  switch (quality) {
    case acq_NO: return {VEK_CONVERT_SAMPLERATE, SRC_ZERO_ORDER_HOLD};
    case acq_LOW: return {VEK_CONVERT_SAMPLERATE, SRC_LINEAR};
    case acq_MEDIUM: return {VEK_CONVERT_RESAMPLER, 0};
    case acq_HIGH: return {VEK_CONVERT_SAMPLERATE, SRC_SINC_FASTEST};
  }
  return {VEK_CONVERT_NONE, 0};
}

int src_set_data(SRC_DATA* data, const float* in, float* out, long input_frames,
                 long output_frames, int end_of_input, double ratio) {
  if (data == nullptr) return 3;
  data->data_in = in;
  data->data_out = out;
  data->input_frames = input_frames;
  data->output_frames = output_frames;
  data->input_frames_used = 0;
  data->output_frames_gen = 0;
  data->end_of_input = end_of_input;
  data->src_ratio = ratio;
  return 0;
}

int src_get_data_result(const SRC_DATA* data, long* input_used, long* output_generated) {
  if (data == nullptr) return 3;
  if (input_used) *input_used = data->input_frames_used;
  if (output_generated) *output_generated = data->output_frames_gen;
  return 0;
}

std::u16string DaxSrcErrorText(int code) {
  const char* t = src_strerror(code);
  if (t == nullptr) t = "";
  return std::u16string(t, t + std::strlen(t));
}

void DaxSrcFree(SRC_STATE*& state) {
  if (state != nullptr) src_delete(state);
  state = nullptr;
}

void DaxSmallIntToFloatArray(const int16_t* in, float* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = static_cast<float>(in[i]);
}

void DaxFloatToSmallIntArray(const float* in, int16_t* out, int count) {
  for (int i = 0; i < count; ++i) {
    float v = in[i];
    if (v < -32767.0f) out[i] = -32767;
    else if (v > 32767.0f) out[i] = 32767;
    else if (v != v) out[i] = 0;  // NaN: no sound rather than a garbage sample
    else out[i] = static_cast<int16_t>(RoundEven(v));
  }
}

void DaxFloatToSmallIntScaled(const float* in, int16_t* out, int count) {
  for (int i = 0; i < count; ++i) {
    float v = in[i] * 2147483648.0f;
    if (v >= 2147483647.0f) out[i] = 32767;
    else if (v <= -2147483648.0f) out[i] = -32768;
    else if (v != v) out[i] = 0;
    else out[i] = static_cast<int16_t>(static_cast<int32_t>(RoundEven(v)) >> 16);
  }
}

void DaxSmallIntToFloatScaled(const int16_t* in, float* out, int count) {
  src_short_to_float_array(in, out, count);
}
