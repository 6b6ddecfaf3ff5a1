// Received voice, service sounds, carrier detection and transmission.
#include "engine/mngr.h"

void TVEKManager::PrepareCapture() {}
void TVEKManager::PlayConnectSound() {}
void TVEKManager::Handle_Int_TxRequest() {}
void TVEKManager::Handle_Int_TxCaptureEnd() {}
void TVEKManager::Handle_Int_CarrierOn() {}
void TVEKManager::Handle_Int_CarrierOff() {}
void TVEKManager::Handle_Proto_QueueData() {}
void TVEKManager::Handle_Proto_RxAborted() {}
void TVEKManager::Handle_Proto_TxApproved() {}
void TVEKManager::Handle_Proto_TxRejected() {}
void TVEKManager::Handle_Proto_TxAbortedByServer() {}
void TVEKManager::Handle_Proto_TxDataEnded() {}
void TVEKManager::Handle_Reader_ExternalSoundStart() {}
void TVEKManager::Handle_Reader_ServiceSoundStart() {}
void TVEKManager::Handle_Reader_DataReady() {}
void TVEKManager::Handle_Reader_Finished() {}
void TVEKManager::Handle_Audio_PlayBufferIsEmpty() {}
void TVEKManager::Handle_Audio_PlayLevel() {}
void TVEKManager::Handle_Audio_CaptureLevel() {}
bool TVEKManager::PlayControlSound(uint8_t, uint8_t) { return false; }
bool TVEKManager::StopAndPlayControlSound(uint8_t) { return false; }
void TVEKManager::StartFilePlayback(uint8_t) {}
void TVEKManager::FinishSound() {}
void TVEKManager::StopVoice() {}
void TVEKManager::_tr_PlayStop() {}
void TVEKManager::_tr_TxStop() {}
void TVEKManager::EnableReceive() {}
