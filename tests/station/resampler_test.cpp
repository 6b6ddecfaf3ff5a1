#include "station/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

using namespace vekrs;

namespace {

TEST(Resampler, OpenChecksFactorsInOrder) {
  struct Case {
    double min, max;
    int code;
  } cases[] = {
      {0.0, 0.0, RESAMPLE_INVALID_MIN_FACTOR},   // min first, even with max bad too
      {-1.0, 2.0, RESAMPLE_INVALID_MIN_FACTOR},
      {1.0, 0.0, RESAMPLE_INVALID_MAX_FACTOR},
      {2.0, 1.0, RESAMPLE_INVALID_FACTORS},
      {0.1814, 0.1814, RESAMPLE_OK},
      {6.0, 6.0, RESAMPLE_OK},
  };
  for (const auto& c : cases) {
    TResampleHandle* h = nullptr;
    EXPECT_EQ(resample_open(0, &h, c.min, c.max), c.code) << c.min << " " << c.max;
    EXPECT_EQ(h != nullptr, c.code == RESAMPLE_OK);
    if (h) {
      EXPECT_EQ(resample_release(&h), RESAMPLE_OK);
    }
  }
}

TEST(Resampler, HandleGeometryFollowsQualityAndFactors) {
  TResampleHandle* lo = nullptr;
  TResampleHandle* hi = nullptr;
  ASSERT_EQ(resample_open(0, &lo, 1.0 / 6, 1.0 / 6), 0);
  ASSERT_EQ(resample_open(1, &hi, 6.0, 6.0), 0);
  EXPECT_EQ(lo->half_length, 20480);
  EXPECT_EQ(hi->half_length, 69632);
  int width = 0;
  EXPECT_EQ(resample_filter_width(lo, &width), 0);
  EXPECT_EQ(width, 46);  // 6 zero crossings a side, widened 6 times for down-sampling
  EXPECT_EQ(resample_filter_width(hi, &width), 0);
  EXPECT_EQ(width, 28);
  EXPECT_EQ(hi->input_size, 4096);
  EXPECT_EQ(hi->output_size, 4096 * 6 + 2);
  resample_release(&lo);
  resample_release(&hi);
}

TEST(Resampler, InvalidUseGivesCodes) {
  TResampleHandle* h = nullptr;
  ASSERT_EQ(resample_open(0, &h, 0.1814, 0.1814), 0);
  float in[64] = {};
  float out[64];
  int used = -1, code = -1;
  EXPECT_EQ(resample_process(h, 0.5, in, 64, 0, &used, out, 64, &code), -1);
  EXPECT_EQ(code, RESAMPLE_INVALID_FACTOR);
  EXPECT_EQ(resample_process(nullptr, 0.1814, in, 64, 0, &used, out, 64, &code), -1);
  EXPECT_EQ(code, RESAMPLE_INVALID_HANDLE);

  TResampleHandle* copy = nullptr;
  EXPECT_EQ(resample_copy(nullptr, &copy), RESAMPLE_INVALID_HANDLE);
  int width;
  EXPECT_EQ(resample_filter_width(nullptr, &width), RESAMPLE_INVALID_HANDLE);

  EXPECT_EQ(resample_release(&h), RESAMPLE_OK);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(resample_release(&h), RESAMPLE_INVALID_HANDLE);
  EXPECT_EQ(resample_release(nullptr), RESAMPLE_INVALID_HANDLE);
  TResampleHandle forged{};  // never opened: no magic
  TResampleHandle* p = &forged;
  EXPECT_EQ(resample_release(&p), RESAMPLE_INVALID_HANDLE);
  EXPECT_EQ(resample_process(p, 1.0, in, 64, 0, &used, out, 64, &code), -1);
  EXPECT_EQ(code, RESAMPLE_INVALID_HANDLE);
}

TEST(Resampler, ErrorTexts) {
  const char* texts[] = {"Success",         "Invalid handle",     "Out of memory",
                         "Invalid min factor", "Invalid max factor", "Invalid factors",
                         "Invalid factor",  "Output array overflow"};
  for (int i = 0; i < 8; ++i) EXPECT_STREQ(resample_error_text(i), texts[i]);
  EXPECT_STREQ(resample_error_text(8), "Unknown error");
  EXPECT_STREQ(resample_error_text(-1), "Unknown error");
  EXPECT_EQ(DaxResamplerErrorText(7), u"Output array overflow");
}

std::vector<float> Sine(int n, double freq, double rate, double amp) {
  std::vector<float> v(n);
  for (int i = 0; i < n; ++i)
    v[i] = static_cast<float>(amp * std::sin(2 * std::numbers::pi * freq * i / rate));
  return v;
}

// Feeding the same signal in odd-sized pieces, with a small output array that
// keeps results waiting inside the handle, gives exactly the one-call result.
TEST(Resampler, StreamingIsIndependentOfChunking) {
  const double factor = 8000.0 / 44100.0;
  auto in = Sine(44100, 1000, 44100, 8000);
  auto run = [&](int in_chunk, int out_chunk) {
    TResampleHandle* h = nullptr;
    EXPECT_EQ(resample_open(0, &h, factor, factor), 0);
    std::vector<float> out;
    std::vector<float> buf(out_chunk);
    size_t pos = 0;
    while (pos < in.size()) {
      int n = static_cast<int>(std::min<size_t>(in_chunk, in.size() - pos));
      int used = 0, code = 0;
      int got = resample_process(h, factor, in.data() + pos, n, 0, &used, buf.data(),
                                 out_chunk, &code);
      EXPECT_GE(got, 0);
      EXPECT_EQ(code, 0);
      out.insert(out.end(), buf.begin(), buf.begin() + got);
      pos += used;
      if (used == 0 && got == 0) break;
    }
    resample_release(&h);
    return out;
  };
  auto whole = run(44100, 20000);
  auto pieces = run(1763, 7);
  ASSERT_GT(whole.size(), 7900u);
  ASSERT_GE(pieces.size(), whole.size() - 8);
  for (size_t i = 0; i < whole.size() && i < pieces.size(); ++i)
    ASSERT_FLOAT_EQ(whole[i], pieces[i]) << i;
}

TEST(Resampler, LastFlagFlushesTheFilterTail) {
  const double factor = 6.0;
  TResampleHandle* h = nullptr;
  ASSERT_EQ(resample_open(1, &h, factor, factor), 0);
  auto in = Sine(800, 500, 8000, 1000);
  std::vector<float> out(8000);
  int used = 0, code = 0;
  int got = resample_process(h, factor, in.data(), 800, 1, &used, out.data(), 8000, &code);
  EXPECT_EQ(used, 800);
  EXPECT_NEAR(got, 4800, 6);  // every input sample accounted for
  TResampleHandle* copy = nullptr;
  ASSERT_EQ(resample_copy(h, &copy), 0);
  EXPECT_EQ(copy->position, h->position);
  resample_release(&copy);
  resample_release(&h);
}

}  // namespace
