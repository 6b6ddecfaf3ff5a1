#include "station/gsmprocessor.h"

TGSM49Processor::TGSM49Processor() {
  handle_ = gsm_create();
  if (!handle_) throw EGSMProcessorCanNotCreateContext("Could not create GSM context");
  int on = 1;
  if (gsm_option(handle_, GSM_OPT_WAV49, &on) < 0 || (on = 1, gsm_option(handle_, GSM_OPT_FRAME_CHAIN, &on)) < 0) {
    gsm_destroy(handle_);
    handle_ = nullptr;
    throw EGSMProcessorInvalidOperation("Invalid GSM operation");
  }
}

TGSM49Processor::~TGSM49Processor() {
  if (handle_) gsm_destroy(handle_);
  handle_ = nullptr;
}

void TGSM49Processor::Encode(const int16_t* pcm, uint8_t* block) {
  // libgsm's encoder does not write its input; its prototype is not const.
  gsm_encode(handle_, const_cast<gsm_signal*>(pcm), block);
  gsm_encode(handle_, const_cast<gsm_signal*>(pcm + kGsmBlockSamples / 2), block + kGsmEncodeSecondHalf);
}

bool TGSM49Processor::Decode(const uint8_t* block, int16_t* pcm) {
  if (gsm_decode(handle_, const_cast<gsm_byte*>(block), pcm) != 0) return false;
  return gsm_decode(handle_, const_cast<gsm_byte*>(block + kGsmDecodeSecondHalf), pcm + kGsmBlockSamples / 2) == 0;
}
