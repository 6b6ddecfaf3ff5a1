#include "station/resampler.h"

#include <algorithm>
#include <cstring>
#include <new>

// libresample exports its filter routines without declaring them. The last
// argument is the library's one-byte boolean.
extern "C" {
void lrsLpFilter(double c[], int n, double frq, double beta, int num);
int lrsSrcUp(float x[], float y[], double factor, double* time, unsigned int nx,
             unsigned int nwing, float lp_scl, float imp[], float imp_d[], char interp);
int lrsSrcUD(float x[], float y[], double factor, double* time, unsigned int nx,
             unsigned int nwing, float lp_scl, float imp[], float imp_d[], char interp);
}

namespace vekrs {
namespace {

constexpr int kValuesPerZeroCrossing = 4096;
constexpr double kRolloff = 0.90;
constexpr double kBeta = 6.0;

bool Valid(const TResampleHandle* h) { return h != nullptr && h->magic == kResampleMagic; }

void FreeArrays(TResampleHandle* h) {
  delete[] h->filter;
  delete[] h->filter_diff;
  delete[] h->input;
  delete[] h->output;
  h->filter = h->filter_diff = h->input = h->output = nullptr;
}

void FreeHandle(TResampleHandle* h) {
  h->magic = 0;
  FreeArrays(h);
  delete h;
}

int OffsetFor(int zero_crossings, double factor) {
  return static_cast<int>((zero_crossings + 1) / 2.0 * std::max(1.0, 1.0 / factor) + 10);
}

// Hands out waiting results from the front of the output buffer.
int HandOut(TResampleHandle* h, float* out, int room) {
  int n = std::min(h->output_count, room);
  if (n <= 0) return 0;
  std::memcpy(out, h->output, sizeof(float) * n);
  std::memmove(h->output, h->output + n, sizeof(float) * (h->output_count - n));
  h->output_count -= n;
  return n;
}

}  // namespace

int resample_open(int high_quality, TResampleHandle** handle, double min_factor,
                  double max_factor) {
  if (!(min_factor > 0)) return RESAMPLE_INVALID_MIN_FACTOR;
  if (!(max_factor > 0)) return RESAMPLE_INVALID_MAX_FACTOR;
  if (min_factor > max_factor) return RESAMPLE_INVALID_FACTORS;
  if (handle == nullptr) return RESAMPLE_INVALID_HANDLE;
  *handle = nullptr;

  auto* h = new (std::nothrow) TResampleHandle;
  if (h == nullptr) return RESAMPLE_OUT_OF_MEMORY;
  h->min_factor = min_factor;
  h->max_factor = max_factor;
  h->zero_crossings = high_quality ? 35 : 11;
  h->half_length = kValuesPerZeroCrossing * (h->zero_crossings - 1) / 2;
  h->filter_gain = 1.0f;
  h->offset = std::max(OffsetFor(h->zero_crossings, min_factor),
                       OffsetFor(h->zero_crossings, max_factor));
  h->input_size = std::max(2 * h->offset + 10, 4096);
  h->output_size = static_cast<int>(h->input_size * max_factor + 2);

  double* design = new (std::nothrow) double[h->half_length];
  h->filter = new (std::nothrow) float[h->half_length];
  h->filter_diff = new (std::nothrow) float[h->half_length];
  h->input = new (std::nothrow) float[h->input_size + h->offset];
  h->output = new (std::nothrow) float[h->output_size];
  if (!design || !h->filter || !h->filter_diff || !h->input || !h->output) {
    delete[] design;
    FreeHandle(h);
    return RESAMPLE_OUT_OF_MEMORY;
  }

  lrsLpFilter(design, h->half_length, 0.5 * kRolloff, kBeta, kValuesPerZeroCrossing);
  for (int i = 0; i < h->half_length; ++i) h->filter[i] = static_cast<float>(design[i]);
  delete[] design;
  for (int i = 0; i < h->half_length - 1; ++i) h->filter_diff[i] = h->filter[i + 1] - h->filter[i];
  h->filter_diff[h->half_length - 1] = -h->filter[h->half_length - 1];

  std::fill(h->input, h->input + h->input_size + h->offset, 0.0f);
  h->read_pos = h->offset;
  h->process_pos = h->offset;
  h->position = h->offset;
  h->output_count = 0;
  h->magic = kResampleMagic;
  *handle = h;
  return RESAMPLE_OK;
}

int resample_process(TResampleHandle* h, double factor, const float* in, int in_len,
                     int last_flag, int* in_used, float* out, int out_len, int* code) {
  int dummy_code = 0;
  if (code == nullptr) code = &dummy_code;
  int dummy_used = 0;
  if (in_used == nullptr) in_used = &dummy_used;
  if (!Valid(h)) {
    *code = RESAMPLE_INVALID_HANDLE;
    return -1;
  }
  if (factor < h->min_factor || factor > h->max_factor) {
    *code = RESAMPLE_INVALID_FACTOR;
    return -1;
  }
  *code = RESAMPLE_OK;
  *in_used = 0;
  if (in_len < 0 || in == nullptr) in_len = 0;
  if (out_len < 0 || out == nullptr) out_len = 0;

  int written = 0;
  if (h->output_count > 0 && out_len > 0) {
    written = HandOut(h, out, out_len);
    if (h->output_count > 0) return written;
  }

  for (;;) {
    int len = std::min(h->input_size - h->read_pos, in_len - *in_used);
    if (len > 0) {
      std::memcpy(h->input + h->read_pos, in + *in_used, sizeof(float) * len);
      *in_used += len;
      h->read_pos += len;
    }

    int usable;
    if (last_flag && *in_used == in_len) {
      usable = h->read_pos - h->offset;
      std::fill(h->input + h->read_pos, h->input + h->read_pos + h->offset, 0.0f);
    } else {
      usable = h->read_pos - 2 * h->offset;
    }
    if (usable <= 0) break;

    int produced;
    if (factor >= 1) {
      produced = lrsSrcUp(h->input, h->output, factor, &h->position, usable, h->half_length,
                          h->filter_gain, h->filter, h->filter_diff, 0);
    } else {
      produced = lrsSrcUD(h->input, h->output, factor, &h->position, usable, h->half_length,
                          h->filter_gain * static_cast<float>(factor), h->filter,
                          h->filter_diff, 0);
    }

    h->position -= usable;
    h->process_pos += usable;
    int creep = static_cast<int>(h->position) - h->offset;
    if (creep != 0) {
      h->position -= creep;
      h->process_pos += creep;
    }
    int consumed = h->process_pos - h->offset;
    int keep = h->read_pos - consumed;
    if (keep > 0) std::memmove(h->input, h->input + consumed, sizeof(float) * keep);
    h->read_pos = std::max(keep, 0);
    h->process_pos = h->offset;

    if (produced > h->output_size) {
      *code = RESAMPLE_OUTPUT_OVERFLOW;
      return -1;
    }
    h->output_count = produced;
    if (produced == 0) continue;
    if (written >= out_len) break;
    written += HandOut(h, out + written, out_len - written);
    if (h->output_count > 0) break;
  }
  return written;
}

int resample_release(TResampleHandle** handle) {
  if (handle == nullptr || !Valid(*handle)) return RESAMPLE_INVALID_HANDLE;
  FreeHandle(*handle);
  *handle = nullptr;
  return RESAMPLE_OK;
}

int resample_copy(const TResampleHandle* h, TResampleHandle** copy) {
  if (!Valid(h) || copy == nullptr) return RESAMPLE_INVALID_HANDLE;
  *copy = nullptr;
  auto* c = new (std::nothrow) TResampleHandle(*h);
  if (c == nullptr) return RESAMPLE_OUT_OF_MEMORY;
  c->magic = 0;
  c->filter = new (std::nothrow) float[h->half_length];
  c->filter_diff = new (std::nothrow) float[h->half_length];
  c->input = new (std::nothrow) float[h->input_size + h->offset];
  c->output = new (std::nothrow) float[h->output_size];
  if (!c->filter || !c->filter_diff || !c->input || !c->output) {
    FreeHandle(c);
    return RESAMPLE_OUT_OF_MEMORY;
  }
  std::memcpy(c->filter, h->filter, sizeof(float) * h->half_length);
  std::memcpy(c->filter_diff, h->filter_diff, sizeof(float) * h->half_length);
  std::memcpy(c->input, h->input, sizeof(float) * (h->input_size + h->offset));
  std::memcpy(c->output, h->output, sizeof(float) * h->output_size);
  c->magic = kResampleMagic;
  *copy = c;
  return RESAMPLE_OK;
}

int resample_filter_width(const TResampleHandle* h, int* width) {
  if (!Valid(h)) return RESAMPLE_INVALID_HANDLE;
  if (width != nullptr) *width = h->offset;
  return RESAMPLE_OK;
}

const char* resample_error_text(int code) {
  switch (code) {
    case RESAMPLE_OK: return "Success";
    case RESAMPLE_INVALID_HANDLE: return "Invalid handle";
    case RESAMPLE_OUT_OF_MEMORY: return "Out of memory";
    case RESAMPLE_INVALID_MIN_FACTOR: return "Invalid min factor";
    case RESAMPLE_INVALID_MAX_FACTOR: return "Invalid max factor";
    case RESAMPLE_INVALID_FACTORS: return "Invalid factors";
    case RESAMPLE_INVALID_FACTOR: return "Invalid factor";
    case RESAMPLE_OUTPUT_OVERFLOW: return "Output array overflow";
    default: return "Unknown error";
  }
}

}  // namespace vekrs

std::u16string DaxResamplerErrorText(int code) {
  const char* t = vekrs::resample_error_text(code);
  return std::u16string(t, t + std::strlen(t));
}
