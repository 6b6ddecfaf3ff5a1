#include "station/builtin_sounds.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "station/gsmprocessor.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 8000.0;

// One tone segment: frequency glides from f0 to f1 (exponentially) over
// the segment, under a raised-cosine attack and release so nothing clicks.
struct Segment {
  double start_ms, length_ms, f0, f1, level;
};

void Render(std::vector<int16_t>& pcm, const Segment& s) {
  const double ramp_ms = std::min(12.0, s.length_ms / 4);
  size_t first = static_cast<size_t>(s.start_ms * kRate / 1000);
  size_t count = static_cast<size_t>(s.length_ms * kRate / 1000);
  double phase = 0;
  for (size_t i = 0; i < count && first + i < pcm.size(); ++i) {
    double t_ms = i * 1000.0 / kRate;
    double f = s.f0 * std::pow(s.f1 / s.f0, t_ms / s.length_ms);
    double env = 1.0;
    if (t_ms < ramp_ms) env = 0.5 - 0.5 * std::cos(kPi * t_ms / ramp_ms);
    double left = s.length_ms - t_ms;
    if (left < ramp_ms) env = std::min(env, 0.5 - 0.5 * std::cos(kPi * left / ramp_ms));
    // A little second harmonic makes the tone rounder on a radio speaker.
    double v = std::sin(phase) + 0.15 * std::sin(2 * phase);
    pcm[first + i] = static_cast<int16_t>(std::lround(v * env * s.level * 32767 / 1.15));
    phase += 2 * kPi * f / kRate;
  }
}

// Writes the image into storage sized up front.
class TImageWriter {
 public:
  explicit TImageWriter(size_t size) : bytes_(size, 0) {}
  void U16(uint32_t v) {
    bytes_[at_++] = static_cast<uint8_t>(v);
    bytes_[at_++] = static_cast<uint8_t>(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void Id(const char* id) {
    for (int i = 0; i < 4; ++i) bytes_[at_++] = static_cast<uint8_t>(id[i]);
  }
  uint8_t* Here() { return bytes_.data() + at_; }
  void Skip(size_t n) { at_ += n; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
};

std::vector<uint8_t> Build(int number) {
  const TVEKBuiltinSoundInfo& info = kVekBuiltinSoundInfo[number - 1];
  std::vector<int16_t> pcm(static_cast<size_t>(info.Blocks) * kGsmBlockSamples, 0);
  switch (number) {
    case 1:  // 240 ms: a short 1 kHz beep
      Render(pcm, {10, 170, 1000, 1000, 0.45});
      break;
    case 2:  // 400 ms: two rising tones
      Render(pcm, {10, 150, 784, 784, 0.42});
      Render(pcm, {180, 170, 1175, 1175, 0.42});
      break;
    default:  // 1200 ms: a low tone sliding down an octave
      Render(pcm, {20, 1080, 520, 260, 0.5});
      break;
  }

  TImageWriter out(static_cast<size_t>(info.FileSize));
  out.Id("RIFF");
  out.U32(static_cast<uint32_t>(info.FileSize - 8));
  out.Id("WAVE");
  out.Id("fmt ");
  out.U32(20);
  out.U16(49);     // GSM 06.10
  out.U16(1);      // mono
  out.U32(8000);   // samples per second
  out.U32(1625);   // bytes per second
  out.U16(65);     // block align
  out.U16(0);      // bits per sample
  out.U16(2);      // extra size
  out.U16(320);    // samples per block
  out.Id("fact");
  out.U32(4);
  out.U32(info.FactSamples);
  out.Id("data");
  out.U32(static_cast<uint32_t>(info.Blocks * kGsmBlockBytes));
  TGSM49Processor encoder;
  for (int b = 0; b < info.Blocks; ++b) {
    encoder.Encode(pcm.data() + static_cast<size_t>(b) * kGsmBlockSamples, out.Here());
    out.Skip(kGsmBlockBytes);
  }
  return out.Take();
}

}  // namespace

const std::vector<uint8_t>& VekBuiltinSound(int number) {
  static const std::vector<uint8_t> sounds[kVekBuiltinSoundCount] = {Build(1), Build(2), Build(3)};
  if (number < 1 || number > kVekBuiltinSoundCount) number = 1;
  return sounds[number - 1];
}
