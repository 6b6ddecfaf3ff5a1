// The engine's state for received voice, service sounds, carrier detection
// and transmission (mngr_voice.cpp, mngr_tx.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/mngr_carrier.h"
#include "foundation/backoff.h"
#include "foundation/types_base.h"
#include "net/qflat.h"

struct TVEKVoiceState {
  // Clients in the last client list.
  int32_t ClientCount = 0;

  // Set by the front end's setters (ms): the courtesy sound's wait after the
  // carrier drop, and the carrier hold-offs after the own transmission or a
  // carrier-end sound and after playback to the radio.
  int32_t PostCaptureWait = 0;
  int32_t HoldAfterCapture = 1;
  int32_t HoldAfterPlayback = 1;

  // The own sound: the reader reported its start (and the player was opened
  // for it); the reader reported its end.
  bool SoundStarted = false;
  std::atomic<bool> ReaderFinished{false};  // the reader's receiver clears it
  int32_t LastControlSound = -1;

  // The current reception: its talker, whether "RX is started" went out
  // since the last stop, its counters and its start tick.
  TVEKClientRec Talker;
  std::string ReportedTalker;
  bool RxReported = false;
  uint32_t RxDuration = 0, RxAudio = 0;
  int32_t RxPasses = 0, RxWaits = 0;
  uint32_t RxStart = 0;
  TVEKQueueFlatCmd Command;

  // Level words kept for the owner (low 24 bits).
  uint32_t PlayLevel = 0;

  // The transmission's counters, taken at its end.
  int32_t TxDuration = 0, TxAudio = 0, TxPasses = 0, TxWaits = 0;

  // Received voice left PTT off because the card could not play (and the
  // line telling so went out in this over).
  bool RxUnkeyed = false;
  bool RxUnkeyedReported = false;

  // Pool underflows of the sound card and of the reception: an empty pool
  // stays empty for many passes, and each would be a line.
  TDaxRepeatGate AudioPoolUnderflows{1000, 60000};
  TDaxRepeatGate RxPoolUnderflows{1000, 60000};
};
