#include "station/rate_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "station/resampler.h"
#include "support/sine_fit.h"

namespace {

TEST(RateConvert, QualityTable) {
  struct Case {
    TVEKAudioConvertQuality q;
    uint8_t kind;
    int param;
  } cases[] = {
      {acq_NO, VEK_CONVERT_SAMPLERATE, SRC_ZERO_ORDER_HOLD},
      {acq_LOW, VEK_CONVERT_SAMPLERATE, SRC_LINEAR},
      {acq_MEDIUM, VEK_CONVERT_RESAMPLER, 0},
      {acq_HIGH, VEK_CONVERT_SAMPLERATE, SRC_SINC_FASTEST},
      {static_cast<TVEKAudioConvertQuality>(9), VEK_CONVERT_NONE, 0},
  };
  for (const auto& c : cases) {
    auto r = VekConvertChoice(c.q);
    EXPECT_EQ(r.Kind, c.kind) << int(c.q);
    EXPECT_EQ(r.Param, c.param) << int(c.q);
  }
}

TEST(RateConvert, FloatToSmallIntRules) {
  const float in[] = {-40000.0f, -32767.5f, -2.5f, -1.5f, 0.5f, 1.5f, 2.5f, 32767.4f, 1e9f};
  const int16_t want[] = {-32767, -32767, -2, -2, 0, 2, 2, 32767, 32767};
  int16_t out[9];
  DaxFloatToSmallIntArray(in, out, 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], want[i]) << in[i];

  // [-1, 1] scale: the top of the scale saturates, the bottom reaches -32768,
  // and below the top the result is the upper half of the rounded 32-bit value.
  const float sin_[] = {1.0f, 1.5f, -1.0f, -2.0f, 0.0f, 0.5f, -0.5f, 16384.0f / 32768,
                        -1.0f / 65536, 1.0f / 65536, 32767.0f / 32768};
  const int16_t swant[] = {32767, 32767, -32768, -32768, 0, 16384, -16384, 16384, -1, 0, 32767};
  int16_t sout[11];
  DaxFloatToSmallIntScaled(sin_, sout, 11);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(sout[i], swant[i]) << sin_[i];

  const int16_t ints[] = {-32768, -1, 0, 32767};
  float f[4], g[4];
  DaxSmallIntToFloatArray(ints, f, 4);
  DaxSmallIntToFloatScaled(ints, g, 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(f[i], ints[i]);
    EXPECT_EQ(g[i], ints[i] / 32768.0f);
  }
  // Scaled and back is lossless over the whole 16-bit range.
  std::vector<int16_t> all(65536), back(65536);
  std::vector<float> mid(65536);
  for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16_t>(i - 32768);
  DaxSmallIntToFloatScaled(all.data(), mid.data(), 65536);
  DaxFloatToSmallIntScaled(mid.data(), back.data(), 65536);
  EXPECT_EQ(all, back);
}

TEST(RateConvert, SampleRateDataRecord) {
  float in[4] = {}, out[8] = {};
  SRC_DATA d;
  EXPECT_EQ(src_set_data(nullptr, in, out, 4, 8, 0, 2.0), 3);
  EXPECT_EQ(src_set_data(&d, in, out, 4, 8, 0, 2.0), 0);
  EXPECT_EQ(d.data_in, in);
  EXPECT_EQ(d.output_frames, 8);
  EXPECT_EQ(d.src_ratio, 2.0);
  d.input_frames_used = 3;
  d.output_frames_gen = 5;
  long used = 0, gen = 0;
  EXPECT_EQ(src_get_data_result(&d, &used, &gen), 0);
  EXPECT_EQ(used, 3);
  EXPECT_EQ(gen, 5);
  EXPECT_EQ(src_get_data_result(nullptr, &used, &gen), 3);
  EXPECT_EQ(DaxSrcErrorText(0), u"No error.");
  int err = 0;
  SRC_STATE* s = src_new(SRC_LINEAR, 1, &err);
  ASSERT_NE(s, nullptr);
  DaxSrcFree(s);
  EXPECT_EQ(s, nullptr);
  DaxSrcFree(s);  // a second free is harmless
}

// Streams `in` through the converter a quality chooses, in pieces of
// `chunk` samples as the sound-card thread does, and returns 16-bit-scale
// floats.
std::vector<double> Convert(TVEKAudioConvertQuality q, int in_rate, int out_rate,
                            const std::vector<int16_t>& in, int chunk) {
  auto choice = VekConvertChoice(q);
  double ratio = static_cast<float>(static_cast<double>(out_rate) / in_rate);
  std::vector<double> result;
  int cap = static_cast<int>(chunk * ratio) + 64;
  std::vector<float> fin(chunk), fout(cap);
  if (choice.Kind == VEK_CONVERT_RESAMPLER) {
    vekrs::TResampleHandle* h = nullptr;
    EXPECT_EQ(vekrs::resample_open(choice.Param, &h, ratio, ratio), 0);
    for (size_t pos = 0; pos + chunk <= in.size(); pos += chunk) {
      DaxSmallIntToFloatArray(in.data() + pos, fin.data(), chunk);
      int used = 0, code = 0;
      int got = vekrs::resample_process(h, ratio, fin.data(), chunk, 0, &used, fout.data(), cap,
                                        &code);
      EXPECT_EQ(code, 0);
      EXPECT_EQ(used, chunk);
      for (int i = 0; i < got; ++i) result.push_back(fout[i]);
    }
    vekrs::resample_release(&h);
  } else {
    int err = 0;
    SRC_STATE* s = src_new(choice.Param, 1, &err);
    EXPECT_NE(s, nullptr);
    SRC_DATA d;
    for (size_t pos = 0; pos + chunk <= in.size(); pos += chunk) {
      DaxSmallIntToFloatScaled(in.data() + pos, fin.data(), chunk);
      src_set_data(&d, fin.data(), fout.data(), chunk, cap, 0, ratio);
      EXPECT_EQ(src_process(s, &d), 0);
      long used = 0, gen = 0;
      src_get_data_result(&d, &used, &gen);
      EXPECT_EQ(used, chunk);
      for (long i = 0; i < gen; ++i) result.push_back(fout[i] * 32768.0);
    }
    DaxSrcFree(s);
  }
  return result;
}

std::vector<int16_t> SineI16(double seconds, double freq, int rate, double amp) {
  std::vector<int16_t> v(static_cast<size_t>(seconds * rate));
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = static_cast<int16_t>(std::lround(amp * std::sin(2 * std::numbers::pi * freq * i / rate)));
  return v;
}

struct Fit {
  double amplitude;  // of the component at the expected frequency
  double residual;   // RMS of what that component leaves, relative to it
  double crossings_hz;
};

// Least-squares fit of a sine at `freq` over the steady middle of `x`.
Fit Analyse(const std::vector<double>& x, double freq, int rate) {
  size_t from = rate / 5, to = x.size() - rate / 10;
  const vektest::SineFit fit = vektest::FitSine(x, from, to, freq, rate);
  int crossings = 0;
  double first = -1, last = -1;
  for (size_t i = from; i < to; ++i) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      double t = (i - 1) + (-x[i - 1]) / (x[i] - x[i - 1]);
      if (first < 0) first = t; else ++crossings;
      last = t;
    }
  }
  return {fit.amplitude, fit.residual, crossings * rate / (last - first)};
}

struct QualityLimits {
  TVEKAudioConvertQuality q;
  double gain_lo;    // fundamental's gain, at least
  double residual;   // images, aliases and noise, at most
};

// Zero-order hold and linear interpolation dull a 1 kHz tone by their sinc
// and sinc^2 responses when they up-sample 8 kHz (about -2.6% and -5%) and
// leave images; the sinc converters keep it within 0.5% and 0.2% residue.
const QualityLimits kLimits[] = {
    {acq_NO, 0.96, 0.25},
    {acq_LOW, 0.94, 0.05},
    {acq_MEDIUM, 0.995, 0.002},
    {acq_HIGH, 0.995, 0.002},
};
const int kRates[] = {11025, 16000, 22050, 32000, 44100, 48000};

TEST(RateConvert, SineKeepsFrequencyAndAmplitudeThroughEveryQualityAndRate) {
  const double f = 1000, amp = 10000;
  for (const auto& lim : kLimits) {
    for (int rate : kRates) {
      for (bool capture : {true, false}) {
        int in_rate = capture ? rate : 8000, out_rate = capture ? 8000 : rate;
        auto in = SineI16(1.0, f, in_rate, amp);
        int chunk = 2 * in_rate / 25;  // a buffer of two 40-ms blocks
        auto out = Convert(lim.q, in_rate, out_rate, in, chunk);
        SCOPED_TRACE(::testing::Message() << "quality " << int(lim.q) << " " << in_rate
                                          << " -> " << out_rate);
        ASSERT_GT(out.size(), static_cast<size_t>(out_rate * 0.9));
        Fit fit = Analyse(out, f, out_rate);
        EXPECT_NEAR(fit.crossings_hz, f, f * 0.002);
        EXPECT_GE(fit.amplitude, amp * lim.gain_lo);
        EXPECT_LE(fit.amplitude, amp * 1.005);
        EXPECT_LE(fit.residual, lim.residual);
      }
    }
  }
}

TEST(RateConvert, RoundTripThroughFortyEightKilohertz) {
  const double f = 440, amp = 12000;
  auto in = SineI16(1.5, f, 8000, amp);
  for (const auto& lim : kLimits) {
    SCOPED_TRACE(int(lim.q));
    auto up = Convert(lim.q, 8000, 48000, in, 640);
    std::vector<int16_t> up16(up.size());
    for (size_t i = 0; i < up.size(); ++i)
      up16[i] = static_cast<int16_t>(std::lround(std::clamp(up[i], -32767.0, 32767.0)));
    auto back = Convert(lim.q, 48000, 8000, up16, 3840);
    ASSERT_GT(back.size(), 10500u);
    // Find the converters' delay, then compare sample by sample.
    double best = -1;
    size_t lag = 0;
    for (size_t d = 0; d < 200; ++d) {
      double s = 0;
      for (size_t i = 2000; i < 10000; ++i) s += back[i + d] * in[i];
      if (s > best) best = s, lag = d;
    }
    double err = 0, sig = 0;
    for (size_t i = 2000; i < 10000; ++i) {
      double e = back[i + lag] - in[i];
      err += e * e;
      sig += double(in[i]) * in[i];
    }
    EXPECT_LE(std::sqrt(err / sig), 1.0 - lim.gain_lo * lim.gain_lo + lim.residual);
    Fit fit = Analyse(back, f, 8000);
    EXPECT_NEAR(fit.crossings_hz, f, f * 0.002);
    EXPECT_GE(fit.amplitude, amp * lim.gain_lo * lim.gain_lo);
  }
}

}  // namespace
