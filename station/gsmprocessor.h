// One GSM 06.10 codec state switched to the two-frame WAV49 layout: a 65-byte
// block carries 320 samples (40 ms at 8000 Hz). libgsm alternates halves on
// every call of a state, so a state codes whole blocks in one direction only:
// use one processor for encoding and another for decoding.
#pragma once

#include <gsm.h>

#include <cstddef>
#include <cstdint>

#include "foundation/exception.h"

DAX_DECLARE_EXCEPTION(EGSMProcessorError, Exception);
DAX_DECLARE_EXCEPTION(EGSMProcessorInvalidOperation, EGSMProcessorError);
DAX_DECLARE_EXCEPTION(EGSMProcessorCanNotCreateContext, EGSMProcessorError);

constexpr size_t kGsmBlockBytes = 65;
constexpr size_t kGsmBlockSamples = 320;
// Where each frame's bytes start in a block. The first frame ends in half of
// byte 32, which libgsm keeps in the state and writes whole with the second
// frame; when decoding it reads byte 32 with the first frame.
constexpr size_t kGsmEncodeSecondHalf = 32;
constexpr size_t kGsmDecodeSecondHalf = 33;

class TGSM49Processor {
 public:
  // Raises EGSMProcessorCanNotCreateContext or EGSMProcessorInvalidOperation.
  TGSM49Processor();
  ~TGSM49Processor();
  TGSM49Processor(const TGSM49Processor&) = delete;
  TGSM49Processor& operator=(const TGSM49Processor&) = delete;

  gsm Handle() const { return handle_; }

  // 320 samples into one 65-byte block.
  void Encode(const int16_t* pcm, uint8_t* block);
  // One 65-byte block into 320 samples; false for a bad block (the second
  // half is not decoded when the first is bad).
  bool Decode(const uint8_t* block, int16_t* pcm);

 private:
  gsm handle_ = nullptr;
};
