#include "station/wave_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "station/wave_file_gsm.h"
#include "station/wave_file_pcm.h"
#include "support/test_files.h"

namespace {

using Samples = std::vector<int16_t>;

using vektest::SoxTone;
using vektest::TempDir;

std::string U16(uint32_t v) { return {char(v & 0xFF), char((v >> 8) & 0xFF)}; }
std::string U32(uint32_t v) { return U16(v & 0xFFFF) + U16(v >> 16); }

// A chunk with its real size and the RIFF pad byte.
std::string Chunk(const std::string& id, const std::string& body) {
  std::string c = id + U32(uint32_t(body.size())) + body;
  if (body.size() & 1) c += '\0';
  return c;
}
// A chunk header that declares any size, followed by the given bytes.
std::string ChunkDeclared(const std::string& id, uint32_t size, const std::string& body) {
  return id + U32(size) + body;
}
std::string FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align,
                    uint16_t bits) {
  return U16(tag) + U16(channels) + U32(rate) + U32(rate * align) + U16(align) + U16(bits);
}
std::string Riff(const std::string& chunks) { return "RIFF" + U32(uint32_t(4 + chunks.size())) + "WAVE" + chunks; }
std::string PcmWav(uint16_t channels, uint32_t rate, uint16_t bits, const std::string& data) {
  uint16_t align = uint16_t(channels * (bits / 8));
  return Riff(Chunk("fmt ", FmtBody(1, channels, rate, align, bits)) + Chunk("data", data));
}
std::string Pcm16(const std::vector<int16_t>& v) {
  std::string s;
  for (int16_t x : v) s += U16(uint16_t(x));
  return s;
}
std::string GsmFmtBody() { return FmtBody(49, 1, 8000, 65, 0).replace(8, 4, U32(1625)) + U16(2) + U16(320); }

// Reads everything in calls of `step` samples or blocks.
Samples ReadAll(TSoundReader& reader, int samples_per_call, int step) {
  Samples all;
  std::vector<int16_t> buf(size_t(step) * samples_per_call);
  for (int guard = 0; guard < 100000; ++guard) {
    int n = reader.ReadBlocks(buf.data(), step);
    if (n == 0) break;
    all.insert(all.end(), buf.begin(), buf.begin() + n * samples_per_call);
  }
  return all;
}

Samples ReadMemoryPcm(const std::string& wav, int target = 8000) {
  TMappedMemoryStream s(wav.data(), int64_t(wav.size()));
  TWaveFilePcm r(target);
  r.Open(&s);
  return ReadAll(r, 1, 320);
}

template <class E>
std::string OpenError(TSoundReader& reader, const std::string& wav) {
  TMappedMemoryStream s(wav.data(), int64_t(wav.size()));
  try {
    reader.Open(&s);
  } catch (const E& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return std::string("wrong class: ") + e.what();
  }
  return "opened";
}

// Frequency from zero crossings over the middle half of the samples.
double ToneHz(const Samples& s, int rate = 8000) {
  size_t from = s.size() / 4, to = s.size() * 3 / 4;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i)
    if ((s[i - 1] < 0) != (s[i] < 0)) ++crossings;
  return crossings / 2.0 / (double(to - from) / rate);
}

int Peak(const Samples& s) {
  int p = 0;
  for (int16_t v : s) p = std::max(p, std::abs(int(v)));
  return p;
}

// ---------------------------------------------------------------------------
// Files nobody here wrote: every layout plays as about one second of 8000-Hz
// samples carrying the 440-Hz tone.

struct SoxCase {
  const char* encoding;
  int rate;
  int channels;
  int tag;  // what the probe reports
};

class SoxFiles : public ::testing::TestWithParam<SoxCase> {};

TEST_P(SoxFiles, PlayAsOneSecondOf440HzAt8000) {
  const SoxCase& c = GetParam();
  TempDir dir;
  std::string path = dir / "t.wav";
  SoxTone(path, "-r " + std::to_string(c.rate) + " -c " + std::to_string(c.channels) + " " + c.encoding, 1.0);

  TVEKFileStream stream;
  stream.FileName = path;
  stream.Open();
  EXPECT_EQ(VekProbeSoundFile(stream, true), c.tag);
  EXPECT_EQ(VekProbeSoundFile(stream, false), c.rate == 8000 ? c.tag : -1);
  EXPECT_EQ(stream.Position(), 0);

  TWaveFilePcm reader(8000);
  reader.Open(&stream);
  EXPECT_EQ(reader.Converting(), c.rate != 8000);
  Samples s = ReadAll(reader, 1, 320);
  if (c.rate == 8000) {
    EXPECT_EQ(s.size(), 8000u);
  } else {
    // The converter keeps its filter delay back: end of input is never signalled.
    EXPECT_GE(s.size(), 7800u);
    EXPECT_LE(s.size(), 8000u);
  }
  EXPECT_NEAR(ToneHz(s), 440.0, 4.0);
  // Channels are averaged, not summed: vol 0.5 stays about half scale.
  EXPECT_NEAR(Peak(s), 16384, 1200);
  EXPECT_EQ(reader.ReadBlocks(s.data(), 320), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SoxFiles,
    ::testing::Values(SoxCase{"-e unsigned-integer -b 8", 8000, 1, 1},
                      SoxCase{"-e signed-integer -b 16", 8000, 1, 1},
                      SoxCase{"-e signed-integer -b 16", 8000, 2, 1},
                      SoxCase{"-e signed-integer -b 16", 11025, 1, 1},
                      SoxCase{"-e signed-integer -b 16", 12000, 1, 1},
                      SoxCase{"-e unsigned-integer -b 8", 11025, 1, 1},
                      SoxCase{"-e signed-integer -b 16", 4000, 1, 1},
                      SoxCase{"-e signed-integer -b 16", 44100, 2, 1},
                      SoxCase{"-e signed-integer -b 24", 48000, 1, 0xFFFE},
                      SoxCase{"-e signed-integer -b 32", 44100, 1, 0xFFFE},
                      SoxCase{"-e signed-integer -b 16", 48000, 3, 0xFFFE}));

TEST(GsmFile, SoxGsmFilePlaysAs23BlocksOf440Hz) {
  TempDir dir;
  std::string path = dir / "g.wav";
  SoxTone(path, "-r 8000 -c 1 -e gsm-full-rate", 0.92);
  TVEKFileStream stream;
  stream.FileName = path;
  stream.Open();
  EXPECT_EQ(VekProbeSoundFile(stream, false), 49);

  TWaveFileGsm reader;
  reader.Open(&stream);
  EXPECT_EQ(reader._get_SamplesPerBlock(), 320);
  Samples s = ReadAll(reader, 320, 1);
  EXPECT_EQ(s.size(), 23u * 320u);
  EXPECT_NEAR(ToneHz(s), 440.0, 4.0);
  Samples more(320 * 4);
  EXPECT_EQ(reader.ReadBlocks(more.data(), 4), 0);

  // Reused for another file after Close.
  reader.Close();
  stream.Seek(0, TDaxSeekOrigin::Beginning);
  reader.Open(&stream);
  EXPECT_EQ(ReadAll(reader, 320, 7).size(), 23u * 320u);
}

// ---------------------------------------------------------------------------
// Chunk walk

TEST(WaveChunks, ListChunksBeforeAndAfterDataAndOddChunksArePassedOver) {
  Samples pcm = {1, -2, 3, -4, 5};
  std::string wav = Riff(Chunk("LIST", "INFOxxxx") + Chunk("JUNK", "abc") +
                         Chunk("fmt ", FmtBody(1, 1, 8000, 2, 16)) + Chunk("odd ", "z") +
                         Chunk("data", Pcm16(pcm)) + Chunk("LIST", std::string(400, '\x55')));
  EXPECT_EQ(ReadMemoryPcm(wav), pcm);
}

TEST(WaveChunks, DataSizeZeroAllOnesOrPastTheEndReadsToTheEnd) {
  Samples pcm = {100, 200, 300, 400};
  std::string fmt = Chunk("fmt ", FmtBody(1, 1, 8000, 2, 16));
  for (uint32_t declared : {0u, 0xFFFFFFFFu, 1000u}) {
    std::string wav = Riff(fmt + ChunkDeclared("data", declared, Pcm16(pcm)));
    EXPECT_EQ(ReadMemoryPcm(wav), pcm) << declared;
  }
  // A declared size inside the file stops there.
  std::string wav = Riff(fmt + ChunkDeclared("data", 4, Pcm16(pcm)));
  EXPECT_EQ(ReadMemoryPcm(wav), (Samples{100, 200}));
}

TEST(WaveChunks, BrokenHeadersRaiseTheirClassAndText) {
  std::string fmt = Chunk("fmt ", FmtBody(1, 1, 8000, 2, 16));
  std::string good = Riff(fmt + Chunk("data", Pcm16({1, 2})));
  struct Case {
    std::string wav;
    std::string text;
  } cases[] = {
      {"RIFX" + good.substr(4), "File is not RIFF"},
      {good.substr(0, 8) + "AVI " + good.substr(12), "File is not WAVE"},
      {Riff(fmt + fmt + Chunk("data", "")), "WAVE file is corrupted"},
      {Riff(Chunk("data", "ab")), "WAVE file is corrupted"},
      {Riff(fmt), "WAVE file is corrupted"},
      {Riff(Chunk("fmt ", std::string(120, '\0')) + Chunk("data", "")), "WAVE file header is too long"},
      {Riff(ChunkDeclared("LIST", 0x80000000u, "") + fmt), "WAVE file header is too long"},
      {Riff(ChunkDeclared("fact", 0xFFFFFFF0u, "") + fmt), "WAVE file header is too long"},
  };
  for (const Case& c : cases) {
    TWaveFile plain;
    EXPECT_EQ(OpenError<EWaveFileError>(plain, c.wav), c.text);
    EXPECT_FALSE(plain.Opened());
  }
  // Every cut inside the header is a short read.
  for (size_t cut : {size_t(0), size_t(5), size_t(10), size_t(14), size_t(22), size_t(39)}) {
    TWaveFile plain;
    EXPECT_EQ(OpenError<EWaveFileErrorWaveCorrupted>(plain, good.substr(0, cut)), "WAVE file is corrupted")
        << cut;
  }
  // Many small chunks before the data fill the 128-byte area.
  std::string many;
  for (int i = 0; i < 14; ++i) many += Chunk("LIST", "");
  TWaveFile plain;
  EXPECT_EQ(OpenError<EWaveFileError>(plain, Riff(fmt + many + Chunk("data", ""))),
            "WAVE file header is too long");
}

TEST(WaveChunks, PlainReaderHasNoBlocksAndChecksOpened) {
  TWaveFile plain;
  EXPECT_THROW(
      {
        try {
          plain._get_Channels();
        } catch (const Exception& e) {
          EXPECT_STREQ(e.what(), "File is not opened");
          throw;
        }
      },
      Exception);
  std::string wav = PcmWav(1, 8000, 16, Pcm16({1}));
  TMappedMemoryStream s(wav.data(), int64_t(wav.size()));
  plain.Open(&s);
  EXPECT_EQ(plain._get_SampleRate(), 8000);
  int16_t buf[4];
  try {
    plain.ReadBlocks(buf, 1);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TWaveFile.ReadBlocks: no implementation");
  }
  try {
    plain.Open(&s);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "already opened");
  }
}

// ---------------------------------------------------------------------------
// PCM reader

TEST(PcmReader, HeadersThatWouldDivideByZeroOrOverReadAreRejected) {
  struct Case {
    uint16_t tag, channels, align, bits;
    uint32_t rate;
    const char* text;
  } cases[] = {
      {1, 1, 0, 16, 8000, "Header of wave file is corrupted"},
      {1, 0, 2, 16, 8000, "Header of wave file is corrupted"},
      {1, 1, 5, 40, 8000, "Header of wave file is corrupted"},
      {1, 1, 1, 4, 8000, "Header of wave file is corrupted"},
      {1, 2, 2, 16, 8000, "Header of wave file is corrupted"},
      {1, 1, 2, 16, 0, "Header of wave file is corrupted"},
      {3, 1, 4, 32, 8000, "Not PCM wave"},
      {49, 1, 65, 0, 8000, "Not PCM wave"},
  };
  for (const Case& c : cases) {
    std::string wav = Riff(Chunk("fmt ", FmtBody(c.tag, c.channels, c.rate, c.align, c.bits)) +
                           Chunk("data", std::string(64, '\1')));
    TWaveFilePcm r(8000);
    EXPECT_EQ(OpenError<EWaveFileError>(r, wav), c.text) << c.channels << "/" << c.align << "/" << c.bits;
    EXPECT_FALSE(r.Opened());
  }
  // A 14-byte fmt body (the old WAVEFORMAT) has no bits field.
  std::string short_fmt = Riff(Chunk("fmt ", FmtBody(1, 1, 8000, 2, 16).substr(0, 14)) + Chunk("data", ""));
  TWaveFilePcm r(8000);
  EXPECT_EQ(OpenError<EWaveFileErrorWaveCorrupted>(r, short_fmt), "Header of wave file is corrupted");
  // An extensible header whose sub-format is float.
  std::string ext = FmtBody(0xFFFE, 1, 8000, 4, 32) + U16(22) + U16(32) + U32(4) + U16(3) +
                    std::string(14, '\0');
  TWaveFilePcm f(8000);
  EXPECT_EQ(OpenError<EWaveFileErrorNotWave>(f, Riff(Chunk("fmt ", ext) + Chunk("data", ""))), "Not PCM wave");
}

TEST(PcmReader, SampleValuesOfEveryWidthAndChannelCount) {
  // 8-bit unsigned mono: no limit, 0x00 is the full negative value.
  EXPECT_EQ(ReadMemoryPcm(PcmWav(1, 8000, 8, std::string("\x80\x00\xFF", 3))),
            (Samples{0, -32768, 32512}));
  // Stereo 8-bit: the average, limited.
  EXPECT_EQ(ReadMemoryPcm(PcmWav(2, 8000, 8, std::string("\x00\x00\x80\xFF", 4))),
            (Samples{-32767, 16256}));
  // Several 16-bit channels: the sum divided toward zero.
  EXPECT_EQ(ReadMemoryPcm(PcmWav(2, 8000, 16, Pcm16({1000, -3000, -3, 0, 32767, 32767}))),
            (Samples{-1000, -1, 32767}));
  EXPECT_EQ(ReadMemoryPcm(PcmWav(3, 8000, 16, Pcm16({-32768, -32768, -32768, 7, 7, 8}))),
            (Samples{-32767, 7}));
  // 24-bit: shifted down by 8 bits, toward zero, limited.
  std::string s24 = std::string("\x00\x00\x80", 3) + std::string("\xFF\xFF\x7F", 3) +
                    std::string("\x80\xFF\xFF", 3) + std::string("\x00\x01\x00", 3);
  EXPECT_EQ(ReadMemoryPcm(PcmWav(1, 8000, 24, s24)), (Samples{-32767, 32767, 0, 1}));
  // 32-bit stereo: sum / channels / 65536.
  std::string s32 = U32(0x40000000u) + U32(0x40000000u) + U32(0xFFFF0000u) + U32(0xFFFFFFFFu);
  EXPECT_EQ(ReadMemoryPcm(PcmWav(2, 8000, 32, s32)), (Samples{16384, 0}));
}

TEST(PcmReader, MonoSixteenBitNeedsAnAlignOfTwo) {
  std::string wav = Riff(Chunk("fmt ", FmtBody(1, 1, 8000, 4, 16)) + Chunk("data", std::string(16, '\0')));
  TMappedMemoryStream s(wav.data(), int64_t(wav.size()));
  TWaveFilePcm r(8000);
  r.Open(&s);
  int16_t buf[320];
  try {
    r.ReadBlocks(buf, 320);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Align must be 2");
  }
}

TEST(PcmReader, EveryConversionStepIsUsedWhole) {
  // Slow rates and narrow frames are the ones whose output could overflow.
  for (int rate : {2000, 4000, 6000, 7999, 8001, 11025, 12000, 16000, 22050, 96000, 192000}) {
    for (int bits : {8, 16}) {
      int frames = rate / 2;
      std::string data(size_t(frames) * (bits / 8), '\0');
      for (int i = 0; i < frames; ++i) {
        int v = int(12000 * std::sin(2 * M_PI * 300.0 * i / rate));
        if (bits == 8) data[size_t(i)] = char((v >> 8) + 128);
        else data.replace(size_t(i) * 2, 2, U16(uint16_t(int16_t(v))));
      }
      Samples s = ReadMemoryPcm(PcmWav(1, uint32_t(rate), uint16_t(bits), data));
      EXPECT_NEAR(double(s.size()), 4000.0, 150.0) << rate << "/" << bits;
      EXPECT_NEAR(ToneHz(s), 300.0, 5.0) << rate << "/" << bits;
    }
  }
}

TEST(PcmReader, AbortEndsAReadAndTheNextOpenClearsIt) {
  std::string wav = PcmWav(1, 8000, 16, Pcm16(Samples(1000, 5)));
  TMappedMemoryStream s(wav.data(), int64_t(wav.size()));
  TWaveFilePcm r(8000);
  r.Open(&s);
  r.Abort();
  Samples buf(320);
  EXPECT_EQ(r.ReadBlocks(buf.data(), 320), 0);
  r.Close();
  s.Seek(0, TDaxSeekOrigin::Beginning);
  r.Open(&s);
  EXPECT_EQ(r.ReadBlocks(buf.data(), 320), 320);
}

// ---------------------------------------------------------------------------
// GSM reader

TEST(GsmReader, HeaderChecksInOrder) {
  std::string fact = Chunk("fact", U32(320));
  auto with = [&](std::string body, bool has_fact = true, std::string fact_chunk = "") {
    if (fact_chunk.empty()) fact_chunk = Chunk("fact", U32(320));
    return Riff(Chunk("fmt ", body) + (has_fact ? fact_chunk : "") + Chunk("data", std::string(65, '\0')));
  };
  std::string good = GsmFmtBody();
  auto patch = [&](size_t at, const std::string& v) { return std::string(good).replace(at, v.size(), v); };
  struct Case {
    std::string wav;
    std::string text;
  } cases[] = {
      {with(good.substr(0, 16)), "Header of wave gsm 610 file is corrupted"},
      {with(patch(0, U16(1))), "Not GSM format"},
      {with(patch(2, U16(2))), "Not mono sound"},
      {with(patch(4, U32(16000))), "Sample rate is not 8000 Hz"},
      {with(patch(12, U16(64))), "Not GSM format"},
      {with(patch(16, U16(0))), "Unknown format of header of wave gsm 610 file"},
      {with(patch(18, U16(160))), "Unknown format of header of wave gsm 610 file"},
      {with(good, false), "No \"fact\" chunk in wave"},
      {with(good, true, Chunk("fact", U16(1))), "No \"fact\" chunk in wave"},
  };
  for (const Case& c : cases) {
    TWaveFileGsm r;
    EXPECT_EQ(OpenError<EWaveGsmFileError>(r, c.wav), c.text);
  }
  TWaveFileGsm r;
  EXPECT_EQ(OpenError<EWaveGsmFileError>(r, with(good)), "opened");
}

// Damaged headers (fixed seed) never read outside the file or hang: they
// either fail to open with a wave error or play what they claim.
TEST(WaveReaders, RandomlyDamagedHeadersAreRefusedOrReadSafely) {
  std::string pcm = Riff(Chunk("fmt ", FmtBody(1, 2, 22050, 4, 16)) + Chunk("LIST", "abc") +
                         Chunk("data", std::string(2000, '\x11')));
  std::string gsm = Riff(Chunk("fmt ", GsmFmtBody()) + Chunk("fact", U32(640)) +
                         Chunk("data", std::string(650, '\x22')));
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  TWaveFilePcm pcm_reader(8000);
  TWaveFileGsm gsm_reader;
  Samples buf(320 * 4);
  for (int i = 0; i < 3000; ++i) {
    std::string wav = (i % 2 ? gsm : pcm);
    for (int k = 0, n = 1 + int(next() % 4); k < n; ++k) wav[next() % 80] = char(next());
    if (next() % 4 == 0) wav.resize(next() % wav.size());
    TMappedMemoryStream s(wav.data(), int64_t(wav.size()));
    TSoundReader& r = i % 2 ? static_cast<TSoundReader&>(gsm_reader) : pcm_reader;
    VekProbeSoundFile(s, true);
    try {
      r.Open(&s);
    } catch (const EWaveFileError&) {
      continue;
    }
    try {
      int total = 0;
      for (int n; (n = r.ReadBlocks(buf.data(), i % 2 ? 4 : 320)) > 0;) total += n;
      // At most one sample per byte, times libsamplerate's largest ratio.
      EXPECT_LE(total, i % 2 ? 10 : int(wav.size()) * 256) << i;
    } catch (const Exception&) {
      // A rate libsamplerate refuses fails on reading.
    }
    r.Close();
  }
}

// ---------------------------------------------------------------------------
// Probe and file stream

TEST(Probe, ResultsAndTheStreamPositionKept) {
  std::string text = "just some text, not a sound file at all";
  TMappedMemoryStream t(text.data(), int64_t(text.size()));
  t.Seek(7, TDaxSeekOrigin::Beginning);
  EXPECT_EQ(VekProbeSoundFile(t, true), 0);
  EXPECT_EQ(t.Position(), 7);

  struct Case {
    std::string wav;
    bool convert;
    int result;
  } cases[] = {
      {PcmWav(1, 16000, 16, ""), false, -1},
      {PcmWav(1, 16000, 16, ""), true, 1},
      {PcmWav(1, 8000000, 16, ""), true, -1},
      {Riff(Chunk("fmt ", FmtBody(1, 0, 8000, 2, 16)) + Chunk("data", "")), false, -2},
      {Riff(Chunk("fmt ", GsmFmtBody()) + Chunk("fact", U32(0)) + Chunk("data", "")), false, 49},
      {Riff(Chunk("fmt ", FmtBody(85, 1, 8000, 1, 0)) + Chunk("data", "")), false, 85},
  };
  for (const Case& c : cases) {
    TMappedMemoryStream s(c.wav.data(), int64_t(c.wav.size()));
    EXPECT_EQ(VekProbeSoundFile(s, c.convert), c.result);
    EXPECT_EQ(s.Position(), 0);
  }
  EXPECT_EQ(VekExtFileMsgRateNot8000(u"a.wav"), u"external file \"a.wav\": sample rate is not 8000");
  EXPECT_EQ(VekExtFileMsgNotFound(u"b"), u"external file \"b\": not found");
}

TEST(FileStream, OpenReadSeekAndTheirErrors) {
  TempDir dir;
  TVEKFileStream missing;
  missing.FileName = dir / "none.wav";
  try {
    missing.Open();
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "error [2] of creating file \"" + missing.FileName + "\": No such file or directory");
  }
  EXPECT_FALSE(missing.IsOpen());

  TVEKFileStream out;
  out.FileName = dir / "f.bin";
  out.Mode = TVEKFileStream::kModeCreate;
  out.Open();
  EXPECT_EQ(out.Write("abcdef", 6), 6);
  out.Close();

  TVEKFileStream in;
  in.FileName = out.FileName;
  in.Open();
  EXPECT_EQ(in.Size(), 6);
  EXPECT_EQ(in.Seek(2, TDaxSeekOrigin::Beginning), 2);
  char buf[8] = {};
  EXPECT_EQ(in.Read(buf, 8), 4);
  EXPECT_STREQ(buf, "cdef");
  EXPECT_EQ(in.Read(buf, 8), 0);
  // A read-only descriptor refuses writing.
  EXPECT_THROW(in.Write("x", 1), Exception);
  try {
    in.Seek(-100, TDaxSeekOrigin::Current);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("error [22] of seeking on the file \"", 0), 0u) << e.Message();
  }
}

}  // namespace
