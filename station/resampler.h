// The program's streaming resampler: a handle with open, process and release
// that report error codes 0..7, around libresample's filter routines (the
// Kaiser-windowed low-pass design and the up/down-sampling loops). The
// library's own public routines carry the same resample_* names, so ours live
// in a namespace of their own.
//
// Samples are floats in 16-bit scale. Nothing is raised; every failure is a
// code whose text `resample_error_text` gives.
#pragma once

#include <cstdint>
#include <string>

namespace vekrs {

enum : int {
  RESAMPLE_OK = 0,
  RESAMPLE_INVALID_HANDLE = 1,
  RESAMPLE_OUT_OF_MEMORY = 2,
  RESAMPLE_INVALID_MIN_FACTOR = 3,
  RESAMPLE_INVALID_MAX_FACTOR = 4,
  RESAMPLE_INVALID_FACTORS = 5,
  RESAMPLE_INVALID_FACTOR = 6,
  RESAMPLE_OUTPUT_OVERFLOW = 7,
};

constexpr uint32_t kResampleMagic = 0x55AADF17u;

struct TResampleHandle {
  double min_factor = 0;
  double max_factor = 0;
  double position = 0;       // input position in samples, within `input`
  float* filter = nullptr;   // half_length coefficients
  float* filter_diff = nullptr;
  float* input = nullptr;    // input_size + offset values of history
  float* output = nullptr;   // output_size values not yet handed out
  float filter_gain = 1.0f;
  int zero_crossings = 0;
  int half_length = 0;
  int input_size = 0;
  int process_pos = 0;
  int read_pos = 0;
  int offset = 0;
  int output_size = 0;
  int output_count = 0;
  uint32_t magic = 0;
};

// 3 for min <= 0, 4 for max <= 0, 5 for min > max (checked in that order),
// 2 when memory runs out, else 0 and a new handle in *handle.
int resample_open(int high_quality, TResampleHandle** handle, double min_factor,
                  double max_factor);

// Converts `in_len` samples at `factor` (output rate / input rate); state
// carries over between calls. Returns the samples written to `out` (at most
// `out_len`), or -1 with *code 1 (bad handle), 6 (factor out of range) or 7
// (internal output overflow). *in_used tells how much input was taken.
int resample_process(TResampleHandle* handle, double factor, const float* in, int in_len,
                     int last_flag, int* in_used, float* out, int out_len, int* code);

// Frees the handle and clears *handle: 0, or 1 when there is none to free.
int resample_release(TResampleHandle** handle);

// An independent copy with the same state: 0, 1 (bad handle) or 2 (memory).
int resample_copy(const TResampleHandle* handle, TResampleHandle** copy);

// The filter's reach in input samples (the handle's offset): 0 or 1.
int resample_filter_width(const TResampleHandle* handle, int* width);

const char* resample_error_text(int code);

}  // namespace vekrs

std::u16string DaxResamplerErrorText(int code);
