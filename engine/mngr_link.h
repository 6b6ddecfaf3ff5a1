// The engine's state for connection supervision, the password cycle, backup
// servers and server switches (mngr_link.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types_base.h"

struct TVEKLinkState {
  // Set when Initiated is handled; cleared when the engine goes offline or
  // starts disconnecting.
  bool LoginComplete = false;
  // The last time a command went to the server (DataSent).
  uint32_t LastSendTime = 0;
};
