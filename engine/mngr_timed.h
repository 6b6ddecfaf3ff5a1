// The engine's state for DTMF commands and the hour and informer
// announcements (mngr_timed.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "engine/cli_dtmf.h"

struct TVEKTimedState {
  TVEKCLIDtmfCommands DtmfCommands;
};
