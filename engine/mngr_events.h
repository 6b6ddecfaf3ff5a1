// The engine's vocabulary: its events, the flags that carry them, the link
// state with the property word of each state, the fixed order in which a pass
// handles the events, and the text form of the reception and transmission
// counters.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// Every member has its row in mngr_event_table.def: its handler and its
// place in the handling order, or its place outside the order. Members
// without a name of their own (1, 2, 5, 7, 8, 9, 15, 82, 88) are never
// raised.
enum TVEKManagerEvent : uint8_t {
  me_Evn_Cmd_SetRunState = 0,
  me_Evn_Unused1 = 1,
  me_Evn_Unused2 = 2,
  me_Evn_Int_TxRequest = 3,
  me_Evn_Int_TxCaptureEnd = 4,
  me_Evn_Unused5 = 5,
  me_Evn_Cmd_SetOnline = 6,
  me_Evn_Unused7 = 7,
  me_Evn_Unused8 = 8,
  me_Evn_Unused9 = 9,
  me_Evn_Int_CarrierOn = 10,
  me_Evn_Int_CarrierOff = 11,
  me_Evn_Cmd_ReopenLog = 12,
  me_Evn_Timer_HourSound = 13,
  me_Evn_Timer_Informer = 14,
  me_Evn_Unused15 = 15,
  me_Evn_Log_Error = 16,
  me_Evn_Log_Info = 17,
  me_Evn_Log_Warning = 18,
  me_Evn_Proto_InfoText = 19,
  me_Evn_Proto_LogLines = 20,
  me_Evn_Proto_Error = 21,
  me_Evn_Proto_ProxyConnecting = 22,
  me_Evn_Proto_ProxyConnected = 23,
  me_Evn_Proto_ProxyError = 24,
  me_Evn_Proto_ServerConnecting = 25,
  me_Evn_Proto_ServerConnected = 26,
  me_Evn_Proto_ServerConnectError = 27,
  me_Evn_DynPass_Connecting = 28,
  me_Evn_DynPass_Connected = 29,
  me_Evn_DynPass_Error = 30,
  me_Evn_DynPass_StaticPasswordRequested = 31,
  me_Evn_DynPass_NewStaticPasswordSent = 32,
  me_Evn_DynPass_DynamicPasswordRequested = 33,
  me_Evn_DynPass_InvalidStaticPassword = 34,
  me_Evn_DynPass_GotPassword = 35,
  me_Evn_Int_DynPasswordSaved = 36,
  me_Evn_Proto_AnswerInvalidPassword = 37,
  me_Evn_Proto_AnswerUnknownError = 38,
  me_Evn_Proto_AnswerBlocked = 39,
  me_Evn_Proto_ProtocolError = 40,
  me_Evn_Proto_PeerDisconnected = 41,
  me_Evn_Proto_Disconnecting = 42,
  me_Evn_Proto_Disconnected = 43,
  me_Evn_Proto_HandshakeRequest = 44,
  me_Evn_Proto_Handshaked = 45,
  me_Evn_Proto_LoginPhase1 = 46,
  me_Evn_Proto_LoggedInPhase1 = 47,
  me_Evn_Proto_LoginPhase2 = 48,
  me_Evn_Proto_LoggedInPhase2 = 49,
  me_Evn_Proto_LoginPhase3 = 50,
  me_Evn_Proto_LoggedInPhase3 = 51,
  me_Evn_Proto_Initiated = 52,
  me_Evn_Proto_Marker = 53,
  me_Evn_Proto_KeepAlive = 54,
  me_Evn_Proto_Message = 55,
  me_Evn_Proto_PoolUnderflow = 56,
  me_Evn_Proto_Networks = 57,
  me_Evn_Proto_BlockedList = 58,
  me_Evn_Proto_MutedList = 59,
  me_Evn_Proto_AdminsList = 60,
  me_Evn_Proto_AccessList = 61,
  me_Evn_Proto_Modes = 62,
  me_Evn_Proto_Notices = 63,
  me_Evn_Proto_QueueData = 64,
  me_Evn_Timer_Tick = 65,
  me_Evn_Proto_RxAborted = 66,
  me_Evn_Proto_TxApproved = 67,
  me_Evn_Proto_TxRejected = 68,
  me_Evn_Proto_TxAbortedByServer = 69,
  me_Evn_Proto_RxAlignSkipped = 70,
  me_Evn_Proto_DataSent = 71,
  me_Evn_Proto_TxDataEnded = 72,
  me_Evn_Proto_ServerTimeout = 73,
  me_Evn_Reader_Text = 74,
  me_Evn_Reader_ExternalSoundStart = 75,
  me_Evn_Reader_ServiceSoundStart = 76,
  me_Evn_Reader_DataReady = 77,
  me_Evn_Reader_Finished = 78,
  me_Evn_Writer_FileWritten = 79,
  me_Evn_Audio_PlayBufferIsEmpty = 80,
  me_Evn_Audio_PoolUnderflow = 81,
  me_Evn_Unused82 = 82,
  me_Evn_Audio_PlayLevel = 83,
  me_Evn_Audio_CaptureLevel = 84,
  me_Evn_Audio_DtmfTone = 85,
  me_Evn_Audio_HardwareFailure = 86,
  me_Evn_Checker_Result = 87,
  me_Evn_Unused88 = 88,
  me_Evn_Checker_Report = 89,
};

// The order in which one pass handles its current flags. Handlers may set
// flags of later events for the same pass; a flag set behind the handler
// that is running waits for the next copy.
inline constexpr auto kVekManagerHandlingOrder = std::to_array<TVEKManagerEvent>({
#define VEK_EVENT(event, handler) event,
#include "engine/mngr_event_table.def"
});

// The events no handler of the order takes: the tick and the unused ones.
inline constexpr auto kVekManagerEventsOutsideOrder = std::to_array<TVEKManagerEvent>({
#define VEK_EVENT_OUTSIDE_ORDER(event) event,
#include "engine/mngr_event_table.def"
});

// mngr_events.cpp checks that the two lists hold every member once.
constexpr int kVekManagerEventCount =
    static_cast<int>(kVekManagerHandlingOrder.size() + kVekManagerEventsOutsideOrder.size());

// One byte per event: set when the event is pending (or current in a pass).
using TVEKManagerEventFlags = std::array<uint8_t, kVekManagerEventCount>;

// "me_Evn_Proto_Disconnected" and so on, for debug texts and test messages.
const char* VekManagerEventName(TVEKManagerEvent event);

// The engine's own view of the link, kept apart from the protocol's state.
enum TVEKManagerState : uint8_t {
  mst_Init = 0,
  mst_Offline = 1,
  mst_Disconnecting = 2,
  mst_DynPassword = 3,
  mst_Connecting = 4,
  mst_Idle = 5,
  mst_TxOn = 6,
  mst_TxEnding = 7,
  mst_TxRequested = 8,
  mst_RxDraining = 9,
  mst_RxPlaying = 10,
};
constexpr int kVekManagerStateCount = 11;

// Property bits of a link state; handlers test these rather than states.
enum : uint32_t {
  msp_LoggedIn = 1u << 0,
  msp_Transmitting = 1u << 1,
  msp_Receiving = 1u << 2,
  msp_MayRequestTx = 1u << 3,
  msp_CarrierIgnored = 1u << 5,
  msp_PlayerQueueHeld = 1u << 6,
  msp_NoTimedSounds = 1u << 7,
  msp_TxTurn = 1u << 8,           // TX turn pending or running
  msp_CapturedForwarded = 1u << 9,
};

// The property word of each state.
uint32_t VekManagerStateProps(TVEKManagerState state);
inline bool VekStateHas(TVEKManagerState state, uint32_t bits) {
  return (VekManagerStateProps(state) & bits) != 0;
}
// "mst_Idle" and so on, for debug texts and test messages.
const char* VekManagerStateName(TVEKManagerState state);

// The text form of four reception or transmission counters:
// "LP=..; WT=..; PT=..; ST=.." (see the reports of the front end).
std::u16string VekFormatLoopStats(uint32_t a, uint32_t b, int32_t c, int32_t d);
