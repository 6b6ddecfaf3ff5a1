// DTMF commands and the hour and informer announcements.
#include <cerrno>

#include "engine/cli_dtmf.h"
#include "engine/executor.h"
#include "engine/mngr.h"
#include "engine/sound_modes.h"
#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/paths.h"
#include "foundation/types.h"
#include "net/link_attr.h"
#include "net/proto.h"
#include "net/server.h"
#include "station/paudio.h"
#include "station/sound_reader.h"

namespace {

std::u16string MessageOf(const std::exception& e) {
  return DaxHookSysToUnicode(DaxHookAnsiToSys(e.what()));
}

}  // namespace

// ----- settings

void TVEKManager::InitTimedSettings() {
  TVEKHoursWorkParams& h = timed_.Hours;
  h = {};
  if (const TVEKHoursParameters* s = sections_.Hours) {
    h.Enabled = s->Enabled;
    h.Dir = s->Dir;
    h.IntervalMinutes = VekParseHoursInterval(s->Interval);
    h.IntervalSeconds = h.IntervalMinutes * 60;
    h.GuardTime = VekClampHoursGuardTime(s->GuardTime);
    h.Correction = s->Correction;
    h.Debug = s->Debug;
    h.ExtEnabled = s->ExtEnabled;
    h.ExtDir = s->ExtDir;
    h.ExtScript = s->ExtScript;
    h.ExtTempDir = s->ExtTempDir;
    h.ExtKeepEnabled = s->ExtKeepEnabled != 0;
    h.ExtKeepTime = VekClampHoursKeepTime(s->ExtKeepTime);
  }
  TVEKInformerCfgParams defaults;
  VekInformerCfgDefaults(defaults);
  VekInformerWorkParams(defaults, timed_.Informer);
  if (sections_.Informer) VekInformerWorkParams(*sections_.Informer, timed_.Informer);
  timed_.InformerPick = {};
  timed_.InformerTick = timed_.SilenceTick = Now();
}

// The engine matches tones from its start on: the table is built aside
// and swapped in whole, and the old one is freed outside the lock.
void TVEKManager::SetDtmfCommands(const std::u16string& text) {
  TVEKCLIDtmfCommands commands;
  VekParseDtmfCommands(text, commands);
  std::lock_guard<std::mutex> guard(timed_.DtmfCommandsLock);
  timed_.DtmfCommands.swap(commands);
}

TVEKCLIDtmfCommands TVEKManager::DtmfCommands() const {
  std::lock_guard<std::mutex> guard(timed_.DtmfCommandsLock);
  return timed_.DtmfCommands;
}

// ----- DTMF

void TVEKManager::CheckDtmfTimeout() { timed_.Dtmf.ExpireAt(pass_now_, DtmfTimeoutMs); }

void TVEKManager::EndDtmfSequence() { timed_.Dtmf.End(); }

void TVEKManager::Handle_Audio_DtmfTone() {
  if (!audio_) return;
  const TVEKSystemParameters* system = sections_.System;
  char tone;
  while (audio_->PopDtmfTone(tone)) {
    if (system && system->LogDtmfTones)
      PushInfo(u"DTMF tone: " + std::u16string(1, static_cast<char16_t>(static_cast<unsigned char>(tone))));
    TVEKCLIDtmfCommand command;
    {
      std::lock_guard<std::mutex> guard(timed_.DtmfCommandsLock);
      const TVEKCLIDtmfCommand* match = timed_.Dtmf.AddTone(tone, pass_now_, timed_.DtmfCommands);
      if (!match) continue;
      command = *match;  // the table may be replaced once the lock is gone
    }
    if (system && system->LogDtmfCommands) PushInfo(u"DTMF command: " + VekDtmfCommandToText(command));
    RunDtmfCommand(command);
  }
}

void TVEKManager::RunDtmfCommand(const TVEKCLIDtmfCommand& command) {
  switch (command.Kind) {
    case VEK_DTMF_CMD_RESET:
      return;
    case VEK_DTMF_CMD_NETWORK: {
      const TVEKServer* server = link_attr_ ? link_attr_->Server() : nullptr;
      if (!server) return;  // nothing to switch the network on
      protocol_->DisableReceive();
      SetPendingSwitch(ssk_Network, server->MainHost(), server->MainPort(), command.Network);
      return;
    }
    case VEK_DTMF_CMD_CONNECT:
      protocol_->DisableReceive();
      SetPendingSwitch(ssk_Connect, command.Host, command.Port, command.Network);
      return;
    case VEK_DTMF_CMD_EXECUTE: {
      // A bare name is a program beside the engine's other scripts: the
      // start does no search of its own.
      const std::u16string program = ProgramPath(command.CommandLine);
      if (VekRunProcess(program, 2, DaxAnsiToUnicodeRaw(command.Code), config_file_name_) != 0) {
        const int code = errno;
        PushError(DaxHookSysToUnicode(DaxFormatExecuteError(code, DaxHookUnicodeToSys(program))));
      }
      return;
    }
    default:
      RaiseInvalidDtmfCommandCode();
  }
}

void TVEKManager::SetPendingSwitch(uint8_t kind, const std::u16string& host, int32_t port,
                                   const std::u16string& network) {
  link_.SwitchPending = true;
  link_.SwitchKind = kind;
  link_.SwitchHost = host;
  link_.SwitchPort = port;
  link_.SwitchNetwork = network;
}

// ----- hour slots

TDaxDateTime TVEKManager::LocalNow() const {
  return seams_.LocalTime ? seams_.LocalTime() : DaxNowLocal();
}

TVEKHourSlot TVEKManager::CurrentHourSlot() const {
  // With the radio lines on, the slot starts the keying delay early so the
  // file is heard on the boundary.
  int32_t correction = timed_.Hours.Correction;
  if (radio_lines_on_.load()) correction -= static_cast<int32_t>(play_delay_rounded_ms_);
  return VekHourSlotAt(LocalNow(), correction, timed_.Hours.IntervalMinutes);
}

std::u16string TVEKManager::HourFileName(int hour, int minute) const {
  return VekHourFileName(hour, minute, timed_.Hours.Debug);
}

void TVEKManager::RecomputeHourSlot() {
  if (timed_.Hours.Enabled) timed_.LastHourSlot.store(CurrentHourSlot().Slot);
}

void TVEKManager::RestartSilenceTick() { timed_.SilenceTick = pass_now_; }

void TVEKManager::CheckTimers() {
  ApplySwitchAfterHourSound();
  if (VekStateHas(link_state_.load(), msp_NoTimedSounds)) return;
  const uint32_t now = pass_now_;
  bool guard = false;
  const TVEKHoursWorkParams& hours = timed_.Hours;
  if (hours.Enabled) {
    const TVEKHourSlot slot = CurrentHourSlot();
    if (timed_.LastHourSlot.exchange(slot.Slot) != slot.Slot) {
      const int64_t start_ms = VekLocalToMs(slot.Start);
      if (slot.SinceStartMs <= 200 &&
          VekHourSlotIsNew(timed_.AnnouncedHour, start_ms, now, hours.IntervalSeconds)) {
        timed_.AnnouncedHour = {true, start_ms, now};
        timed_.SlotStart = slot.Start;
        timed_.HourFileName = HourFileName(slot.Start.Hour, slot.Start.Minute);
        RaiseNow(me_Evn_Timer_HourSound);
        ClearNow(me_Evn_Timer_Informer);
        timed_.InformerTick = timed_.SilenceTick = now;
        return;
      }
    }
    guard = VekInHourGuard(slot, hours.IntervalSeconds, hours.GuardTime);
  }
  const TVEKInformerWorkParams& informer = timed_.Informer;
  const bool intervalDue =
      informer.Enabled && now - timed_.InformerTick >= static_cast<uint32_t>(informer.Interval);
  const bool silenceDue = informer.SilenceEnabled &&
                          now - timed_.SilenceTick >= static_cast<uint32_t>(informer.SilenceInterval);
  if (intervalDue || silenceDue) {
    timed_.InformerTick = timed_.SilenceTick = now;
    if (!guard) RaiseNow(me_Evn_Timer_Informer);
  }
}

void TVEKManager::ApplySwitchAfterHourSound() {
  if (!timed_.SwitchAfterHourSound) return;
  if (!link_.SwitchPending) {  // applied elsewhere meanwhile
    timed_.SwitchAfterHourSound = false;
    return;
  }
  const uint8_t mode = sound_mode_.load();
  const bool busy = VekStateHas(link_state_.load(), msp_Transmitting | msp_Receiving | msp_TxTurn);
  if (mode != msm_Normal || busy) return;
  timed_.SwitchAfterHourSound = false;
  ApplyPendingSwitch();
}

// ----- announcements

std::u16string TVEKManager::ProgramPath(const std::u16string& path) const {
  return DaxResolvePath(DaxExcludeTrailingSlashesW(path), ProgramDir());
}

std::u16string TVEKManager::ScriptTempDir(const std::u16string& ext_temp_dir) const {
  if (!ext_temp_dir.empty()) return ProgramPath(ext_temp_dir);
  if (sections_.System) {
    const std::u16string temp = VekTempDir(*sections_.System);
    if (!temp.empty()) return temp;
  }
  return ProgramPath(u".");
}

void TVEKManager::StartAnnouncementScript(uint8_t mode, const std::u16string& script,
                                          const std::u16string& temp_dir,
                                          const std::u16string& argument) {
  try {
    executor_->SetTempDir(ScriptTempDir(temp_dir));
    RunSoundScript(mode, ProgramPath(script), argument);
  } catch (const std::exception& e) {
    PushError(u"INFORMER: " + MessageOf(e));
  }
}

void TVEKManager::Handle_Timer_HourSound() {
  const uint8_t mode = sound_mode_.load();
  if (!VekSoundModeHas(mode, smp_YieldsToHour)) return;
  if (VekStateHas(link_state_.load(), msp_NoTimedSounds)) return;
  const TVEKHoursWorkParams& hours = timed_.Hours;
  // The sound being replaced takes its script with it.
  AbortSoundScript();
  if (hours.ExtEnabled)
    StartAnnouncementScript(msm_Hour, hours.ExtScript, hours.ExtTempDir, timed_.HourFileName);
  const std::u16string dir = ProgramPath(hours.Dir.empty() ? u"hours" : hours.Dir);
  const std::u16string file = DaxIncludeTrailingSlashW(dir) + timed_.HourFileName + u".wav";
  if (mode != msm_Normal) {
    StopReader();
    if (audio_) audio_->FlushQueue();
  }
  // The switch the replaced sound's end would have applied waits for the
  // hour sound's end.
  if (VekSoundModeHas(mode, smp_SwitchAtEnd) && link_.SwitchPending) timed_.SwitchAfterHourSound = true;
  reader_->AddFileName(file);
  StartFilePlayback(msm_Hour);
}

void TVEKManager::Handle_Timer_Informer() {
  if (sound_mode_.load() != msm_Normal) return;
  if (VekStateHas(link_state_.load(), msp_NoTimedSounds)) return;
  const TVEKInformerWorkParams& informer = timed_.Informer;
  const std::u16string dir = ProgramPath(informer.Dir.empty() ? u"informer" : informer.Dir);
  TVEKInformerRandom generator(seams_.InformerSeed != 0 ? seams_.InformerSeed : Now() / 1000);
  std::u16string file;
  if (!VekChooseInformerFile([&] { return VekListInformerFiles(dir); },
                             informer.Mode == infm_Random, timed_.InformerPick, generator, file))
    return;
  AbortSoundScript();
  if (informer.ExtEnabled)
    StartAnnouncementScript(msm_Annon, informer.ExtScript, informer.ExtTempDir, u"informer");
  reader_->AddFileName(file);
  StartFilePlayback(msm_Annon);
}

// ----- the script of an own sound

void TVEKManager::AssignExecutorEvents() {
  TVEKExecutorProcess* executor = executor_.get();
  executor->OnError = [this](const std::u16string& text) { PushError(u"EXECUTOR: " + text); };
  // Only the number of the finished run is kept: the engine compares it with
  // the run of the sound playing now.
  executor->OnDone = [this, executor] { timed_.DoneRun.store(executor->CurrentRun()); };
}

void TVEKManager::StartSoundScript(const std::u16string& script, const std::u16string& argument) {
  RunSoundScript(msm_Conn, script, argument);
}

void TVEKManager::RunSoundScript(uint8_t mode, const std::u16string& script, const std::u16string& argument) {
  AbortSoundScript();
  timed_.ScriptRun = executor_->Run(script, argument);
  timed_.ScriptMode = mode;
}

bool TVEKManager::SoundScriptDone() const {
  // A script whose sound was replaced meanwhile belongs to no sound now.
  return timed_.ScriptRun != 0 && timed_.DoneRun.load() == timed_.ScriptRun &&
         sound_mode_.load() == timed_.ScriptMode;
}

void TVEKManager::AbortSoundScript() {
  // Whatever the executor has is a script of a sound that no longer wants
  // it; a request not yet taken up never runs.
  if (executor_ && timed_.ScriptRun != 0) executor_->Abort();
  timed_.ScriptRun = 0;
}
