// PCM WAV files (8, 16, 24 or 32 bits, any channel count and rate) read as
// 16-bit mono samples at a target rate, converted with libsamplerate.
#pragma once

#include <samplerate.h>

#include <cstdint>
#include <memory>

#include "station/wave_file.h"

class TWaveFilePcm : public TWaveFile {
 public:
  static constexpr int kReadBufferSize = 65536;
  static constexpr int kRingSize = 131072;
  // Input of one conversion step, in bytes of file frames and in samples.
  static constexpr int kStepBytes = 16384;
  static constexpr int kStepSamples = kStepBytes / 2;
  static constexpr int kOutSamples = 4096;

  // target_rate 0: samples stay at the file's rate.
  explicit TWaveFilePcm(int target_rate);
  ~TWaveFilePcm() override;

  int _get_BytesPerBlock() override { return _get_BlockAlign(); }
  int _get_SamplesPerBlock() override { return 1; }
  void CheckFormat() override;
  void Open(TDaxStream* stream) override;
  void Close() override;
  // Count and result in samples of 16 bits.
  int ReadBlocks(void* destination, int count) override;

  int TargetRate() const noexcept { return target_rate_; }
  bool Converting() const noexcept { return converter_ != nullptr; }
  // File frames taken into one conversion step.
  int StepFrames() const noexcept { return step_frames_; }

 protected:
  const char* ReaderClassName() const override { return "TWaveFilePcm"; }

 private:
  // Takes frames from the ring and writes one mono sample per frame.
  void MixFrames(int frames, int16_t* out);
  void FreeConverter();

  int target_rate_;
  std::unique_ptr<uint8_t[]> read_buffer_;
  TDaxBufferThreadUnSafe ring_;
  std::unique_ptr<int16_t[]> mono_;      // kStepSamples
  std::unique_ptr<float[]> float_in_;    // kStepSamples
  std::unique_ptr<float[]> float_out_;   // kOutSamples
  int block_align_ = 0;
  int bytes_per_sample_ = 0;
  int channels_ = 0;
  int read_size_ = 0;
  bool eof_ = false;
  SRC_STATE* converter_ = nullptr;
  double ratio_ = 1.0;
  int step_frames_ = 0;
  int waiting_count_ = 0;
  int waiting_pos_ = 0;
};
