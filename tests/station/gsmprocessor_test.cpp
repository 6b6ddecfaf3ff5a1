#include "station/gsmprocessor.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// The silence block that ends a transmission on the wire.
const uint8_t kSilenceBlock[65] = {
    0x20, 0x48, 0x17, 0xD6, 0x84, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92,
    0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x89, 0x02, 0x80, 0x24, 0x49, 0x92, 0x24, 0x09, 0x82,
    0x74, 0x61, 0x4D, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92,
    0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92, 0x28, 0x00, 0x48, 0x92, 0x24, 0x49, 0x92};

using vektest::ReadFile;
using vektest::Sh;
using vektest::SoxTone;
using vektest::TempDir;

Samples ReadRaw(const std::string& path) {
  const std::string b = ReadFile(path);
  Samples s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

// The bytes of a WAV file's data chunk.
Bytes WavData(const std::string& wav) {
  size_t at = 12;
  while (at + 8 <= wav.size()) {
    uint32_t size;
    std::memcpy(&size, &wav[at + 4], 4);
    if (std::memcmp(&wav[at], "data", 4) == 0)
      return Bytes(wav.begin() + at + 8, wav.begin() + std::min(wav.size(), at + 8 + size));
    at += 8 + size + (size & 1);
  }
  return {};
}

// libgsm writes the first frame with the half byte 32 and rewrites byte 32
// whole with the second frame, so the two calls stay inside the 65 bytes.
TEST(Gsm49, HalvesAreWrittenAt0And32AndFillExactly65Bytes) {
  TGSM49Processor p;
  Samples pcm(320);
  for (int i = 0; i < 320; ++i) pcm[i] = int16_t(8000 * std::sin(i * 0.3));
  uint8_t block[80];
  std::memset(block, 0xA5, sizeof block);
  gsm_encode(p.Handle(), pcm.data(), block);
  for (int i = 33; i < 80; ++i) ASSERT_EQ(block[i], 0xA5) << "first half wrote byte " << i;
  gsm_encode(p.Handle(), pcm.data() + 160, block + 32);
  for (int i = 65; i < 80; ++i) ASSERT_EQ(block[i], 0xA5) << "second half wrote byte " << i;

  // The helper places them the same way.
  TGSM49Processor q;
  uint8_t viaHelper[80];
  std::memset(viaHelper, 0xA5, sizeof viaHelper);
  q.Encode(pcm.data(), viaHelper);
  EXPECT_EQ(0, std::memcmp(block, viaHelper, 80));

  Samples out(330, 0x5A5A);
  TGSM49Processor d;
  EXPECT_TRUE(d.Decode(block, out.data()));
  for (int i = 320; i < 330; ++i) EXPECT_EQ(out[i], 0x5A5A);
}

TEST(Gsm49, SilenceEncodesToTheWireSilenceBlockAndDecodesNearZero) {
  TGSM49Processor enc, dec;
  const Samples zeros(320, 0);
  for (int n = 0; n < 3; ++n) {
    uint8_t block[65];
    enc.Encode(zeros.data(), block);
    EXPECT_EQ(0, std::memcmp(block, kSilenceBlock, 65)) << "block " << n;
    Samples out(320, 1234);
    ASSERT_TRUE(dec.Decode(block, out.data()));
    for (int16_t v : out) EXPECT_LE(std::abs(v), 16);
  }
}

TEST(Gsm49, DecodesWhatSoxEncodedAsSoxDoes) {
  TempDir dir;
  SoxTone(dir / "tone.wav", "-r 8000 -c 1 -e gsm-full-rate", 0.92);
  Sh("sox " + (dir / "tone.wav") + " -t raw -e signed-integer -b 16 -L " + (dir / "tone.raw"));
  const Bytes data = WavData(ReadFile(dir / "tone.wav"));
  const Samples reference = ReadRaw(dir / "tone.raw");
  const size_t blocks = data.size() / 65;
  ASSERT_EQ(blocks, 23u);
  ASSERT_EQ(reference.size(), blocks * 320);

  TGSM49Processor p;
  Samples out(320);
  for (size_t b = 0; b < blocks; ++b) {
    ASSERT_TRUE(p.Decode(&data[b * 65], out.data()));
    ASSERT_EQ(0, std::memcmp(out.data(), &reference[b * 320], 640)) << "block " << b;
  }
}

TEST(Gsm49, EncodesTheBytesSoxWritesAndSoxReadsThemBack) {
  TempDir dir;
  // Speech-like material: a chirp with noise, made by sox.
  Sh("sox -n -r 8000 -c 1 -b 16 -e signed-integer -L " + (dir / "in.raw") +
     " synth 1.2 sine 200-3000 whitenoise remix 1v0.4,2v0.05");
  Sh("sox -r 8000 -c 1 -b 16 -e signed-integer -L " + (dir / "in.raw") + " -e gsm-full-rate " + (dir / "sox.wav"));
  const Samples pcm = ReadRaw(dir / "in.raw");
  ASSERT_EQ(pcm.size(), 30u * 320);
  const Bytes soxData = WavData(ReadFile(dir / "sox.wav"));
  ASSERT_GE(soxData.size(), 30u * 65);

  TGSM49Processor enc;
  Bytes ours(30 * 65);
  for (size_t b = 0; b < 30; ++b) enc.Encode(&pcm[b * 320], &ours[b * 65]);
  EXPECT_TRUE(std::equal(ours.begin(), ours.end(), soxData.begin()));

  // Decoding and encoding interleaved block by block on two processors gives
  // the same results as each direction on its own.
  TGSM49Processor e2, d1, d2;
  Samples alone(320), mixed(320);
  for (size_t b = 0; b < 30; ++b) {
    uint8_t block[65];
    e2.Encode(&pcm[b * 320], block);
    ASSERT_TRUE(d2.Decode(block, mixed.data()));
    ASSERT_TRUE(d1.Decode(&ours[b * 65], alone.data()));
    ASSERT_EQ(alone, mixed) << "block " << b;
  }
}

TEST(Gsm49, ExceptionTexts) {
  EGSMProcessorInvalidOperation a("Invalid GSM operation");
  const EGSMProcessorError& base = a;
  EXPECT_STREQ(base.ClassName(), "EGSMProcessorInvalidOperation");
  EXPECT_EQ(DaxExceptionText(EGSMProcessorCanNotCreateContext("Could not create GSM context")),
            "EGSMProcessorCanNotCreateContext: Could not create GSM context");
}

}  // namespace
