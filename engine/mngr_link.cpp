// Connection supervision, the password cycle, backup servers and server
// switches.
#include "engine/mngr.h"

void TVEKManager::GoOffline() {
  link_.LoginComplete = false;
  link_state_.store(mst_Offline);
}
void TVEKManager::SuperviseConnection() {}
void TVEKManager::ApplyPendingSwitch() {}
void TVEKManager::Handle_Cmd_SetOnline() {}
void TVEKManager::Handle_Proto_Error() {}
void TVEKManager::Handle_Proto_ProxyError() {}
void TVEKManager::Handle_Proto_ServerConnectError() {}
void TVEKManager::Handle_DynPass_Error() {}
void TVEKManager::Handle_DynPass_InvalidStaticPassword() {}
void TVEKManager::Handle_DynPass_GotPassword() {}
void TVEKManager::Handle_Proto_AnswerInvalidPassword() {}
void TVEKManager::Handle_Proto_AnswerUnknownError() {}
void TVEKManager::Handle_Proto_AnswerBlocked() {}
void TVEKManager::Handle_Proto_ProtocolError() {}
void TVEKManager::Handle_Proto_PeerDisconnected() {}
void TVEKManager::Handle_Proto_Disconnecting() {}
void TVEKManager::Handle_Proto_Disconnected() {}
void TVEKManager::Handle_Proto_Initiated() {}
void TVEKManager::Handle_Proto_ServerTimeout() {}
void TVEKManager::Handle_Checker_Result() {}
void TVEKManager::RequestDisconnect() {}
void TVEKManager::ScheduleReconnect() {}
void TVEKManager::SwitchServer(const std::u16string&, int32_t, const std::u16string&) {}
