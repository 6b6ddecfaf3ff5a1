// DTMF commands and the hour and informer announcements.
#include "engine/mngr.h"

#include "engine/cli_dtmf.h"

void TVEKManager::SetDtmfCommands(const std::u16string& text) {
  VekParseDtmfCommands(text, timed_.DtmfCommands);
}
void TVEKManager::CheckTimers() {}
void TVEKManager::CheckDtmfTimeout() {}
void TVEKManager::RecomputeHourSlot() {}
void TVEKManager::RestartSilenceTick() {}
void TVEKManager::EndDtmfSequence() {}
void TVEKManager::Handle_Timer_HourSound() {}
void TVEKManager::Handle_Timer_Informer() {}
void TVEKManager::Handle_Audio_DtmfTone() {}
void TVEKManager::AssignExecutorEvents() {}
void TVEKManager::StartSoundScript(const std::u16string&, const std::u16string&) {}
bool TVEKManager::SoundScriptDone() const { return true; }
void TVEKManager::AbortSoundScript() {}
