// The engine's state for connection supervision, the password cycle, backup
// servers and server switches (mngr_link.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/types_base.h"

// A DTMF NETWORK or CONNECT command waiting for its control sound to end.
enum TVEKServerSwitchKind : uint8_t { ssk_Network = 0, ssk_Connect = 1 };

// Kinds of a login refusal, one per password cycle step.
enum : uint8_t { lrk_ServerError = 0, lrk_Blocked = 1, lrk_InvalidPassword = 2 };

struct TVEKLinkState {
  // Set when Initiated is handled; cleared when the engine goes offline or
  // starts disconnecting.
  bool LoginComplete = false;
  // The last time a command went to the server (DataSent), or a keep-alive
  // arrived: the hard time-out counts from it.
  uint32_t LastSendTime = 0;

  // ----- settings: [Server] as read at creation; the setters clamp count
  // (2..10) and interval (3000..300000 ms).
  int32_t ReconnectCount = 2;
  uint32_t ReconnectInterval = 3000;
  uint8_t BackupServerMode = bsm_YES;
  uint8_t MainServerUseProxy = 0;
  uint8_t BackupServerUseProxy = 0;
  std::u16string ForcedBackupServerAddress;
  int32_t ForcedBackupServerPort = 0;
  std::u16string ForcedBackupServerNetwork;
  uint8_t ForcedBackupServerUseProxy = 0;

  // ----- supervision. Online is written by the engine thread, read by the
  // front end's SetOnline; WantedOnline and RemainingReconnects are also
  // written by SetOnline on the main thread.
  std::atomic<bool> Online{false};
  std::atomic<bool> WantedOnline{false};
  std::atomic<int32_t> RemainingReconnects{2};
  bool ReconnectWaitPending = false;
  uint32_t ReconnectWaitStart = 0;
  // The system manager is asked at most once per reconnect wait, for a
  // first password as after a refused cycle.
  bool ManagerAskedThisWait = false;

  // ----- password cycle
  uint8_t CycleStep = dpc_Static;  // TVEKPasswordCycle
  uint8_t RefusalResults[3] = {0, 0, 0};

  // ----- a server switch waiting for its control sound
  bool SwitchPending = false;
  uint8_t SwitchKind = ssk_Network;
  std::u16string SwitchHost;
  int32_t SwitchPort = 0;
  std::u16string SwitchNetwork;
};
