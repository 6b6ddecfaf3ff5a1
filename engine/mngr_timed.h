// The engine's state for DTMF commands and the hour and informer
// announcements (mngr_timed.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/cli_dtmf.h"
#include "engine/timed_rules.h"
#include "foundation/clock.h"
#include "foundation/setup_data.h"

// [Hours] as the engine takes it at creation.
struct TVEKHoursWorkParams {
  bool Enabled = false;
  std::u16string Dir;
  int32_t IntervalMinutes = 60;
  int32_t IntervalSeconds = 3600;
  int32_t GuardTime = 120;  // s
  int32_t Correction = 0;   // ms
  bool Debug = false;
  bool ExtEnabled = false;
  std::u16string ExtScript;
  std::u16string ExtDir;
  std::u16string ExtTempDir;
  bool ExtKeepEnabled = true;  // read and kept; the executor has no keep time
  int32_t ExtKeepTime = 180;   // minutes
};

struct TVEKTimedState {
  // The front end may hand over a new table while tones are matched.
  mutable std::mutex DtmfCommandsLock;
  TVEKCLIDtmfCommands DtmfCommands;
  TVEKDtmfSequence Dtmf;

  TVEKHoursWorkParams Hours;
  // Also recomputed by the setters on the front end's thread.
  std::atomic<int32_t> LastHourSlot{-1};
  TVEKAnnouncedHour AnnouncedHour;  // engine thread
  TDaxDateTime SlotStart;       // of the announced slot
  std::u16string HourFileName;  // of the announced slot

  TVEKInformerWorkParams Informer;
  uint32_t InformerTick = 0;
  uint32_t SilenceTick = 0;
  TVEKInformerPick InformerPick;

  // The script of the current own sound: the executor's run that belongs to
  // it (0: none), and the last run the executor reported done (written by
  // the executor thread).
  uint32_t ScriptRun = 0;
  uint8_t ScriptMode = 0;  // the sound mode the script belongs to
  std::atomic<uint32_t> DoneRun{0};

  // An hour sound replaced the control sound that carried a pending server
  // switch: the switch follows the hour sound instead.
  bool SwitchAfterHourSound = false;
};
