// The engine's state for received voice, service sounds, carrier detection
// and transmission (mngr_voice.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types_base.h"

struct TVEKVoiceState {
  // Clients in the last client list.
  int32_t ClientCount = 0;
};
