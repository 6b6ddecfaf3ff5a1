#include "station/dtmf.h"

#include "station/gsmprocessor.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Samples = std::vector<int16_t>;

const std::map<char, std::pair<int, int>> kPairs = {
    {'1', {697, 1209}}, {'2', {697, 1336}}, {'3', {697, 1477}}, {'A', {697, 1633}},
    {'4', {770, 1209}}, {'5', {770, 1336}}, {'6', {770, 1477}}, {'B', {770, 1633}},
    {'7', {852, 1209}}, {'8', {852, 1336}}, {'9', {852, 1477}}, {'C', {852, 1633}},
    {'*', {941, 1209}}, {'0', {941, 1336}}, {'#', {941, 1477}}, {'D', {941, 1633}},
};

// Raw 16-bit mono 8000-Hz samples that sox synthesises from the effect text.
Samples Sox(const std::string& effects) {
  const std::string cmd = "sox -n -r 8000 -c 1 -b 16 -e signed-integer -t raw - " + effects;
  const vektest::ProcessResult r = vektest::RunShell(cmd);
  EXPECT_EQ(r.exit_code, 0) << cmd;
  Samples out(r.out.size() / sizeof(int16_t));
  std::memcpy(out.data(), r.out.data(), out.size() * sizeof(int16_t));
  return out;
}

// A digit's two tones for the given number of 40-ms blocks, each tone at the
// given fraction of full scale.
Samples Tone(char digit, int blocks, double low = 0.3, double high = 0.3) {
  const auto [lo, hi] = kPairs.at(digit);
  Samples s = Sox("synth " + std::to_string(blocks * 0.04) + " sine " + std::to_string(lo) + " sine " +
                  std::to_string(hi) + " remix 1v" + std::to_string(low) + ",2v" + std::to_string(high));
  EXPECT_EQ(s.size(), size_t(blocks) * 320);
  return s;
}

Samples Silence(int blocks) { return Samples(size_t(blocks) * 320, 0); }

Samples Cat(std::initializer_list<Samples> parts) {
  Samples out;
  for (const Samples& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Report {
  int block;
  char digit;
  bool operator==(const Report&) const = default;
  friend void PrintTo(const Report& r, std::ostream* os) { *os << r.digit << "@" << r.block; }
};

std::vector<Report> Feed(TDTMFDecoder& d, const Samples& s) {
  std::vector<Report> out;
  for (size_t at = 0; at + 320 <= s.size(); at += 320) {
    d.Process(s.data() + at, 320);
    char c = 0;
    if (d.Detect(c)) out.push_back({int(at / 320), c});
  }
  return out;
}

std::string Digits(const std::vector<Report>& r) {
  std::string s;
  for (const Report& x : r) s += x.digit;
  return s;
}

TEST(Dtmf, EveryDigitIsReportedOnceWhenItsToneEnds) {
  TDTMFDecoder d(8000);
  for (const auto& [digit, pair] : kPairs) {
    SCOPED_TRACE(std::string("digit ") + digit);
    EXPECT_EQ(Feed(d, Cat({Tone(digit, 4), Silence(2)})), (std::vector<Report>{{4, digit}}));
  }
}

TEST(Dtmf, SequenceWithSilenceAndUnalignedBlocks) {
  // 160-ms tones with 80-ms gaps, shifted by 100 samples against the blocks.
  Samples s = Silence(1);
  s.resize(100);
  for (char c : std::string("159#0*D"))
    s = Cat({s, Tone(c, 4), Silence(2)});
  TDTMFDecoder d(8000);
  EXPECT_EQ(Digits(Feed(d, s)), "159#0*D");
}

TEST(Dtmf, EdgeCases) {
  struct Case {
    const char* name;
    Samples input;
    std::vector<Report> expected;
  } cases[] = {
      {"two blocks are too short", Cat({Tone('5', 2), Silence(2)}), {}},
      {"three blocks are enough", Cat({Tone('5', 3), Silence(1)}), {{3, '5'}}},
      {"digit follows digit", Cat({Tone('5', 3), Tone('6', 3), Silence(1)}), {{3, '5'}, {6, '6'}}},
      {"one-block glitch blocks the next digit", Cat({Tone('8', 1), Tone('5', 6), Silence(2)}), {}},
      {"a glitch after a full digit reports it and swallows the rest",
       Cat({Tone('5', 3), Tone('8', 1), Tone('5', 3), Silence(1)}), {{3, '5'}}},
      {"three strong tones end the digit",
       Cat({Tone('5', 4), Sox("synth 0.04 sine 770 sine 1336 sine 1477 remix 1v0.3,2v0.3,3v0.3"),
            Tone('5', 1)}),
       {{4, '5'}}},
      {"6 dB twist is a digit", Cat({Tone('2', 4, 0.4, 0.2), Silence(1)}), {{4, '2'}}},
      {"12 dB twist is not", Cat({Tone('2', 4, 0.4, 0.1), Silence(1)}), {}},
      {"a very quiet tone is below the threshold", Cat({Tone('2', 4, 0.0003, 0.0003), Silence(1)}), {}},
      {"a quiet tone is detected", Cat({Tone('2', 4, 0.002, 0.002), Silence(1)}), {{4, '2'}}},
      {"tone in white noise",
       Cat({Sox("synth 0.2 sine 852 sine 1477 whitenoise remix 1v0.2,2v0.2,3v0.1"), Silence(1)}), {{5, '9'}}},
      {"a held tone is reported once", Cat({Tone('#', 40), Silence(3)}), {{40, '#'}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TDTMFDecoder d(8000);
    EXPECT_EQ(Feed(d, c.input), c.expected);
  }
}

TEST(Dtmf, DigitsSurviveAGsmRoundTrip) {
  Samples s;
  for (char c : std::string("2580#*"))
    s = Cat({s, Tone(c, 4, 0.25, 0.25), Silence(2)});
  TGSM49Processor enc, dec;
  Samples coded(s.size());
  for (size_t at = 0; at < s.size(); at += 320) {
    uint8_t block[65];
    enc.Encode(&s[at], block);
    ASSERT_TRUE(dec.Decode(block, &coded[at]));
  }
  TDTMFDecoder d(8000);
  EXPECT_EQ(Digits(Feed(d, coded)), "2580#*");
}

TEST(Dtmf, ResetForgetsTheCurrentDigit) {
  TDTMFDecoder d(8000);
  EXPECT_TRUE(Feed(d, Tone('7', 3)).empty());
  d.Reset();
  EXPECT_TRUE(Feed(d, Silence(1)).empty());
  // Nothing of a block carries into the next: a block's magnitudes are its own.
  Feed(d, Tone('7', 1));
  Feed(d, Silence(1));
  for (int i = 0; i < TDTMFDecoder::kToneCount; ++i) EXPECT_EQ(d.Magnitudes()[i], 0.0f);
}

}  // namespace
