#include "station/wave_file_pcm.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "station/rate_convert.h"

namespace {

// Room kept free in the output buffer: one step's output may run a few
// samples above input x ratio.
constexpr int kOutMargin = 64;

[[noreturn]] void RaiseHeaderCorrupted() {
  throw EWaveFileErrorWaveCorrupted("Header of wave file is corrupted");
}

inline int16_t Limit(int64_t v) {
  if (v > 32767) return 32767;
  if (v < -32767) return -32767;
  return static_cast<int16_t>(v);
}

inline int32_t ChannelValue(const uint8_t* p, int width) {
  switch (width) {
    case 1:
      return static_cast<int32_t>(p[0]) * 256 - 32768;
    case 2:
      return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    case 3: {
      uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                   (static_cast<uint32_t>(p[2]) << 16);
      return static_cast<int32_t>(u << 8) >> 8;
    }
    default: {
      uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                   (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
      return static_cast<int32_t>(u);
    }
  }
}

}  // namespace

TWaveFilePcm::TWaveFilePcm(int target_rate)
    : target_rate_(target_rate),
      read_buffer_(new uint8_t[kReadBufferSize]),
      ring_(kRingSize),
      mono_(new int16_t[kStepSamples]),
      float_in_(new float[kStepSamples]),
      float_out_(new float[kOutSamples]) {}

TWaveFilePcm::~TWaveFilePcm() { FreeConverter(); }

void TWaveFilePcm::FreeConverter() {
  if (converter_ != nullptr) src_delete(converter_);
  converter_ = nullptr;
}

void TWaveFilePcm::CheckFormat() {
  if (FmtSize() < 16) RaiseHeaderCorrupted();
  uint16_t tag = FmtU16(0);
  if (tag != kWaveFormatPcm && tag != kWaveFormatExtensible)
    throw EWaveFileErrorNotWave("Not PCM wave");
  // The sub-format of an extensible header starts with the format tag it
  // stands for; float or compressed data would play as noise.
  if (tag == kWaveFormatExtensible && FmtSize() >= 40 && FmtU16(24) != kWaveFormatPcm)
    throw EWaveFileErrorNotWave("Not PCM wave");
  // Each of these would divide by zero or read past a frame.
  int channels = FmtU16(2);
  int width = BitsPerSample() / 8;
  int align = FmtU16(12);
  if (channels == 0 || align == 0 || width < 1 || width > 4 || align < channels * width ||
      FmtU32(4) == 0 || FmtU32(4) > 0x7FFFFFFFu)
    RaiseHeaderCorrupted();
}

void TWaveFilePcm::Open(TDaxStream* stream) {
  TWaveFile::Open(stream);
  eof_ = false;
  waiting_count_ = waiting_pos_ = 0;
  ring_.Clear();
  block_align_ = _get_BlockAlign();
  bytes_per_sample_ = _get_BytesPerSample();
  channels_ = _get_Channels();
  read_size_ = (kReadBufferSize / block_align_) * block_align_;
  FreeConverter();
  step_frames_ = 0;
  int rate = _get_SampleRate();
  if (target_rate_ > 0 && rate != target_rate_) {
    ratio_ = static_cast<double>(target_rate_) / rate;
    int error = 0;
    converter_ = src_new(SRC_SINC_FASTEST, 1, &error);
    if (converter_ == nullptr) {
      TWaveFile::Close();
      throw Exception(src_strerror(error));
    }
    // Bounded by the input bytes, the mono work buffer and, through the
    // ratio, the output buffer, so that every step is used whole.
    int frames = std::min(kStepBytes / block_align_, kStepSamples);
    double by_output = (kOutSamples - kOutMargin) / ratio_;
    if (by_output < frames) frames = static_cast<int>(by_output);
    step_frames_ = std::max(frames, 1);
  }
}

void TWaveFilePcm::Close() {
  eof_ = false;
  ring_.Clear();
  FreeConverter();
  waiting_count_ = waiting_pos_ = 0;
  TWaveFile::Close();
}

void TWaveFilePcm::MixFrames(int frames, int16_t* out) {
  const int max_frames = kReadBufferSize / block_align_;
  while (frames > 0) {
    int n = std::min(frames, max_frames);
    ring_.Read(read_buffer_.get(), n * block_align_);
    const uint8_t* p = read_buffer_.get();
    for (int f = 0; f < n; ++f, p += block_align_) {
      if (channels_ == 1 && bytes_per_sample_ <= 2) {
        // One channel of 8 or 16 bits needs no limit: 0x00 stays -32768.
        *out++ = static_cast<int16_t>(ChannelValue(p, bytes_per_sample_));
        continue;
      }
      int64_t sum = 0;
      for (int c = 0; c < channels_; ++c) sum += ChannelValue(p + c * bytes_per_sample_, bytes_per_sample_);
      int64_t v = sum / channels_;
      if (bytes_per_sample_ == 3) v /= 256;
      if (bytes_per_sample_ == 4) v /= 65536;
      *out++ = Limit(v);
    }
    frames -= n;
  }
}

int TWaveFilePcm::ReadBlocks(void* destination, int count) {
  auto* out = static_cast<int16_t*>(destination);
  int done = 0;
  while (done < count && !Aborted()) {
    if (converter_ != nullptr && waiting_count_ > 0) {
      int n = std::min(waiting_count_, count - done);
      DaxFloatToSmallIntScaled(float_out_.get() + waiting_pos_, out + done, n);
      waiting_pos_ += n;
      waiting_count_ -= n;
      done += n;
      continue;
    }
    if (!eof_) {
      while (ring_.FreeSpace() >= read_size_) {
        int64_t got = ReadData(read_buffer_.get(), read_size_);
        if (got <= 0) {
          eof_ = true;
          break;
        }
        ring_.Write(read_buffer_.get(), static_cast<int>(got));
        if (Aborted()) return done;
      }
    }
    int frames = ring_.Count() / block_align_;
    if (frames == 0) return done;
    if (converter_ == nullptr) {
      frames = std::min(frames, count - done);
      if (bytes_per_sample_ == 2 && channels_ == 1) {
        if (block_align_ != 2) throw Exception("Align must be 2");
        ring_.Read(out + done, frames * 2);
      } else {
        MixFrames(frames, out + done);
      }
      done += frames;
      continue;
    }
    frames = std::min(frames, step_frames_);
    MixFrames(frames, mono_.get());
    src_short_to_float_array(mono_.get(), float_in_.get(), frames);
    SRC_DATA data{};
    data.data_in = float_in_.get();
    data.data_out = float_out_.get();
    data.input_frames = frames;
    data.output_frames = kOutSamples;
    data.end_of_input = 0;
    data.src_ratio = ratio_;
    int error = src_process(converter_, &data);
    if (error != 0) throw Exception(src_strerror(error));
    if (data.input_frames_used != frames) {
      char text[96];
      std::snprintf(text, sizeof text, "input count does not match used count: %d <> %d", frames,
                    static_cast<int>(data.input_frames_used));
      throw Exception(text);
    }
    waiting_count_ = static_cast<int>(data.output_frames_gen);
    waiting_pos_ = 0;
  }
  return done;
}
