// GSM 06.10 WAV files (format 49, 65-byte blocks of two frames) decoded into
// blocks of 320 samples at 8000 Hz.
#pragma once

#include <cstdint>
#include <memory>

#include "station/gsmprocessor.h"
#include "station/wave_file.h"

class TWaveFileGsm : public TWaveFile {
 public:
  static constexpr int kBlocksPerRead = 252;
  static constexpr int kReadBufferSize = kBlocksPerRead * 65;  // 16380
  static constexpr int kRingSize = 2 * kReadBufferSize;         // 32760

  TWaveFileGsm();

  int _get_BytesPerSample() override { return 2; }
  int _get_BytesPerBlock() override { return 640; }
  int _get_SamplesPerBlock() override;
  int _get_BlockAlign() override { return 640; }
  void CheckFormat() override;
  void Open(TDaxStream* stream) override;
  void Close() override;
  // Count and result in blocks of 320 samples; undecodable blocks are
  // skipped.
  int ReadBlocks(void* destination, int count) override;

 protected:
  const char* ReaderClassName() const override { return "TWaveFileGsm"; }

 private:
  std::unique_ptr<uint8_t[]> read_buffer_;
  TDaxBufferThreadUnSafe ring_;
  TGSM49Processor codec_;
  bool eof_ = false;
};
