#include "engine/mngr_events.h"

#include <charconv>

#include "foundation/types.h"

// clang-format off
const std::array<TVEKManagerEvent, 80> kVekManagerHandlingOrder = {
    me_Evn_Reader_Text, me_Evn_Reader_ServiceSoundStart, me_Evn_Reader_ExternalSoundStart,
    me_Evn_Proto_DataSent, me_Evn_Audio_CaptureLevel, me_Evn_Audio_PlayLevel, me_Evn_Audio_DtmfTone,
    me_Evn_Proto_TxDataEnded, me_Evn_Reader_DataReady, me_Evn_Reader_Finished,
    me_Evn_Audio_PlayBufferIsEmpty, me_Evn_Proto_TxRejected, me_Evn_Proto_InfoText,
    me_Evn_Proto_LogLines, me_Evn_Proto_Error, me_Evn_Proto_ProxyConnecting,
    me_Evn_Proto_ProxyConnected, me_Evn_Proto_ProxyError, me_Evn_Proto_ServerConnecting,
    me_Evn_DynPass_Connecting, me_Evn_DynPass_Connected, me_Evn_DynPass_Error,
    me_Evn_DynPass_InvalidStaticPassword, me_Evn_DynPass_StaticPasswordRequested,
    me_Evn_DynPass_NewStaticPasswordSent, me_Evn_DynPass_DynamicPasswordRequested,
    me_Evn_DynPass_GotPassword, me_Evn_Int_DynPasswordSaved, me_Evn_Proto_ServerConnected,
    me_Evn_Proto_HandshakeRequest, me_Evn_Proto_ServerConnectError, me_Evn_Proto_Handshaked,
    me_Evn_Proto_ProtocolError, me_Evn_Proto_AnswerUnknownError,
    me_Evn_Proto_AnswerInvalidPassword, me_Evn_Proto_AnswerBlocked,
    me_Evn_Proto_TxAbortedByServer, me_Evn_Proto_RxAlignSkipped, me_Evn_Proto_RxAborted,
    me_Evn_Proto_Disconnecting, me_Evn_Proto_ServerTimeout, me_Evn_Proto_PeerDisconnected,
    me_Evn_Proto_Disconnected, me_Evn_Proto_Message, me_Evn_Proto_PoolUnderflow,
    me_Evn_Audio_PoolUnderflow, me_Evn_Proto_TxApproved, me_Evn_Proto_KeepAlive,
    me_Evn_Proto_LoginPhase1, me_Evn_Proto_LoggedInPhase1, me_Evn_Proto_LoginPhase2,
    me_Evn_Proto_LoggedInPhase2, me_Evn_Proto_LoginPhase3, me_Evn_Proto_BlockedList,
    me_Evn_Proto_MutedList, me_Evn_Proto_AdminsList, me_Evn_Proto_Modes,
    me_Evn_Proto_AccessList, me_Evn_Proto_Notices, me_Evn_Proto_Networks,
    me_Evn_Proto_LoggedInPhase3, me_Evn_Proto_Marker, me_Evn_Checker_Report,
    me_Evn_Checker_Result, me_Evn_Proto_Initiated, me_Evn_Proto_QueueData,
    me_Evn_Writer_FileWritten, me_Evn_Log_Error, me_Evn_Log_Warning, me_Evn_Int_CarrierOn,
    me_Evn_Int_CarrierOff, me_Evn_Cmd_SetRunState, me_Evn_Int_TxRequest,
    me_Evn_Int_TxCaptureEnd, me_Evn_Cmd_SetOnline, me_Evn_Timer_HourSound,
    me_Evn_Timer_Informer, me_Evn_Log_Info, me_Evn_Cmd_ReopenLog,
    me_Evn_Audio_HardwareFailure,
};
// clang-format on

namespace {

constexpr uint32_t kStateProps[kVekManagerStateCount] = {
    0xA0,   // mst_Init
    0,      // mst_Offline
    0,      // mst_Disconnecting
    0,      // mst_DynPassword
    0,      // mst_Connecting
    0x9,    // mst_Idle
    0x383,  // mst_TxOn
    0x3A3,  // mst_TxEnding
    0x381,  // mst_TxRequested
    0xE5,   // mst_RxDraining
    0xA5,   // mst_RxPlaying
};

constexpr const char* kStateNames[kVekManagerStateCount] = {
    "mst_Init",        "mst_Offline", "mst_Disconnecting", "mst_DynPassword",
    "mst_Connecting",  "mst_Idle",    "mst_TxOn",          "mst_TxEnding",
    "mst_TxRequested", "mst_RxDraining", "mst_RxPlaying",
};

// Fixed-point text of a value, independent of the process locale.
std::string Fixed(float value, int decimals) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<double>(value),
                                 std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "0";
  return std::string(buf, end);
}

}  // namespace

uint32_t VekManagerStateProps(TVEKManagerState state) {
  return state < kVekManagerStateCount ? kStateProps[state] : 0;
}

const char* VekManagerStateName(TVEKManagerState state) {
  return state < kVekManagerStateCount ? kStateNames[state] : "mst_?";
}

std::u16string VekFormatLoopStats(uint32_t a, uint32_t b, int32_t c, int32_t d) {
  const float pt = static_cast<float>(a) / 1000.0f;
  const float st = static_cast<float>(b) / 1000.0f;
  std::string text;
  if (pt >= 0.001f) {
    text = "LP=" + Fixed(static_cast<float>(c) / pt, 1) + "; WT=" + Fixed(static_cast<float>(d) / pt, 1);
  } else {
    text = "LP=INFINITY; WT=INFINITY";
  }
  text += "; PT=" + Fixed(pt, 3) + "; ST=" + Fixed(st, 2);
  return DaxAnsiToUnicodeRaw(text);
}
