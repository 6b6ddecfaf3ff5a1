#include "station/builtin_sounds.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "station/wave_file.h"
#include "station/wave_file_gsm.h"
#include "support/test_files.h"

namespace {

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}
uint16_t U16At(const std::vector<uint8_t>& b, size_t at) {
  uint16_t v;
  std::memcpy(&v, &b[at], 2);
  return v;
}

// Frequency from zero crossings of a stretch of samples.
double ToneHz(const std::vector<int16_t>& s, size_t from, size_t to) {
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i)
    if ((s[i - 1] < 0) != (s[i] < 0)) ++crossings;
  return crossings / 2.0 / (double(to - from) / 8000.0);
}

TEST(BuiltinSounds, ImagesHaveTheFixedLayoutAndDecodeToTones) {
  // Tone in two stretches of each sound (ms from the start).
  struct Expect {
    int from1, to1;
    double hz1;
    int from2, to2;
    double hz2;
  } expect[3] = {{40, 100, 1000, 100, 160, 1000},
                 {30, 150, 784, 200, 340, 1175},
                 {60, 160, 490, 880, 980, 292}};
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    const TVEKBuiltinSoundInfo& info = kVekBuiltinSoundInfo[n - 1];
    const std::vector<uint8_t>& w = VekBuiltinSound(n);
    ASSERT_EQ(int(w.size()), info.FileSize);
    EXPECT_EQ(std::memcmp(w.data(), "RIFF", 4), 0);
    EXPECT_EQ(U32At(w, 4), uint32_t(info.FileSize - 8));
    EXPECT_EQ(std::memcmp(&w[8], "WAVEfmt ", 8), 0);
    EXPECT_EQ(U32At(w, 16), 20u);
    EXPECT_EQ(U16At(w, 20), 49);
    EXPECT_EQ(U16At(w, 22), 1);
    EXPECT_EQ(U32At(w, 24), 8000u);
    EXPECT_EQ(U32At(w, 28), 1625u);
    EXPECT_EQ(U16At(w, 32), 65);
    EXPECT_EQ(U16At(w, 34), 0);
    EXPECT_EQ(U16At(w, 36), 2);
    EXPECT_EQ(U16At(w, 38), 320);
    EXPECT_EQ(std::memcmp(&w[40], "fact", 4), 0);
    EXPECT_EQ(U32At(w, 44), 4u);
    EXPECT_EQ(U32At(w, 48), info.FactSamples);
    EXPECT_EQ(std::memcmp(&w[52], "data", 4), 0);
    EXPECT_EQ(U32At(w, 56), uint32_t(info.Blocks * 65));

    TMappedMemoryStream s(w.data(), int64_t(w.size()));
    EXPECT_EQ(VekProbeSoundFile(s, false), 49);
    TWaveFileGsm r;
    r.Open(&s);
    std::vector<int16_t> pcm(size_t(info.Blocks + 1) * 320);
    ASSERT_EQ(r.ReadBlocks(pcm.data(), info.Blocks + 1), info.Blocks);
    pcm.resize(size_t(info.Blocks) * 320);
    int peak = 0;
    for (int16_t v : pcm) peak = std::max(peak, std::abs(int(v)));
    EXPECT_GT(peak, 8000);
    EXPECT_LT(peak, 26000);  // headroom: no clipping in the codec
    const Expect& e = expect[n - 1];
    EXPECT_NEAR(ToneHz(pcm, size_t(e.from1) * 8, size_t(e.to1) * 8), e.hz1, e.hz1 * 0.08);
    EXPECT_NEAR(ToneHz(pcm, size_t(e.from2) * 8, size_t(e.to2) * 8), e.hz2, e.hz2 * 0.08);
  }
}

// An independent reader takes the images as they are.
TEST(BuiltinSounds, SoxReadsEveryImage) {
  vektest::TempDir dir;
  for (int n = 1; n <= 3; ++n) {
    const std::vector<uint8_t>& w = VekBuiltinSound(n);
    std::string path = dir / ("b" + std::to_string(n) + ".wav");
    vektest::WriteFile(path, std::string(w.begin(), w.end()));
    std::string raw = path + ".raw";
    ASSERT_NO_FATAL_FAILURE(vektest::Sh("sox -q " + path + " -t raw -e signed -b 16 " + raw));
    EXPECT_EQ(int64_t(vektest::ReadFile(raw).size()), int64_t(kVekBuiltinSoundInfo[n - 1].Blocks) * 640) << n;
  }
}

TEST(BuiltinSounds, ChoiceTable) {
  const int expect[VekControlSoundCount] = {1, 1, 1, 3, 3, 2, 3, 2, 2, 1};
  for (int i = 0; i < VekControlSoundCount; ++i) EXPECT_EQ(VekBuiltinSoundFor(i), expect[i]) << i;
}

}  // namespace
