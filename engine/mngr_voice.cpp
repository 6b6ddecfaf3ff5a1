// Received voice and the own sounds (service sounds, hour and informer
// files, script sounds): the player queue, the sound mode and the keying
// for them. Carrier detection and transmission: mngr_tx.cpp.
#include <algorithm>

#include "engine/executor.h"
#include "engine/mngr.h"
#include "engine/sound_modes.h"
#include "foundation/buffer_ptr.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/paths.h"
#include "foundation/pool_buffers.h"
#include "net/clq.h"
#include "net/proto.h"
#include "net/qflat.h"
#include "station/agc.h"
#include "station/connect_sounds.h"
#include "station/iir.h"
#include "station/paudio.h"
#include "station/sound_reader.h"

namespace {

constexpr int kMaxPlayBlocks = 64;
constexpr int kMaxClientLists = 16;

const char* QueueCommandText(int command) {
  switch (command) {
    case QCMD_NONE: return "NONE";
    case QCMD_PLAY_START: return "PLAY_START";
    case QCMD_PLAY_STOP: return "PLAY_STOP";
    case QCMD_PLAY_DATA: return "PLAY_DATA";
    case QCMD_CLIENTSLIST: return "CLIENT_LIST";
    default: return "";
  }
}

std::u16string WithoutTrailingSlashes(std::u16string dir) {
  while (dir.size() > 1 && (dir.back() == u'/' || dir.back() == u'\\')) dir.pop_back();
  return dir;
}

std::u16string WithWavEnding(const std::u16string& line) {
  if (line.size() >= 4) {
    std::u16string tail = line.substr(line.size() - 4);
    for (auto& c : tail)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (tail == u".WAV") return line;
  }
  return line + u".wav";
}

}  // namespace

// ---------------------------------------------------------------------------
// Readings of the sound card and the queue

bool TVEKManager::CardCaptures() const {
  if (!audio_) return false;
  const TVEKAudioMode m = audio_->Mode();
  return m == AMODE_CAPT_BACK || m == AMODE_CAPT;
}

bool TVEKManager::CardPlaying() const {
  return audio_ && audio_->Mode() == AMODE_PLAY && audio_->StreamOpen();
}

bool TVEKManager::CardPlayingWithData() const {
  return CardPlaying() && (audio_->QueueCount() > 0 || !audio_->PlayQueueDry());
}

bool TVEKManager::PlayStartQueued() const { return player_queue_->PlayStartCount() > 0; }

void TVEKManager::BackCapture() {
  if (audio_) audio_->CaptStartBack();
}

void TVEKManager::ResetCarrierDetector() { carrier_.Reset(); }

void TVEKManager::ReturnCommandBlocks(TVEKQueueFlatCmd* cmds, int n) {
  for (int i = 0; i < n; ++i) {
    if (cmds[i].Command == QCMD_PLAY_DATA && cmds[i].Data) {
      pool_->Buffers().PushOne(cmds[i].Data);
      cmds[i].Data = nullptr;
    }
  }
}

// ---------------------------------------------------------------------------
// Filter and AGC state shared by both directions, under capture_lock_: AgcOff
// takes it, the two set-ups expect it held.

void TVEKManager::AgcOff() {
  std::lock_guard<std::mutex> g(capture_lock_);
  capture_agc_active_ = false;
  playback_agc_active_ = false;
}

void TVEKManager::StartPlaybackAgc() {
  DaxAgcSetup(agc_state_, playback_agc_);
  playback_agc_active_ = true;
  capture_agc_active_ = false;
}

void TVEKManager::StartCaptureAgc() {
  DaxAgcSetup(agc_state_, capture_agc_);
  capture_agc_active_ = true;
  playback_agc_active_ = false;
}

void TVEKManager::FilterBlockLocked(int16_t* samples, bool capture) {
  // Filter and AGC start afresh on the first block after their direction
  // was (re)started, which clears its flag.
  const bool hpf_enabled = capture ? capture_hpf_enabled_ : playback_hpf_enabled_;
  bool& iir_ready = capture ? iir_for_capture_ : iir_for_playback_;
  if (hpf_enabled) {
    if (!iir_ready) {
      DaxIirInit(iir_state_, capture ? capture_hpf_order_ : playback_hpf_order_);
      iir_ready = true;
    }
    DaxIirProcess(iir_state_, samples, TVEKAudioPA::kBlockSamples);
  }
  const bool agc_enabled = capture ? capture_agc_.Enabled : playback_agc_.Enabled;
  if (agc_enabled) {
    if (capture && !capture_agc_active_) StartCaptureAgc();
    if (!capture && !playback_agc_active_) StartPlaybackAgc();
    DaxAgcProcess(samples, TVEKAudioPA::kBlockSamples, agc_state_);
  }
}

// ---------------------------------------------------------------------------
// Player commands

void TVEKManager::Handle_Proto_QueueData() {
  ProcessClientLists();
  for (;;) {
    if (VekStateHas(link_state_.load(), msp_PlayerQueueHeld) || VekSoundModeHas(sound_mode_.load(), smp_HoldsQueue))
      return;
    if (!ProcessQueueCommands()) return;
  }
}

bool TVEKManager::ProcessQueueCommands() {
  bool taken = false;
  for (;;) {
    TVEKQueueFlatCmd head;
    int n = 0;
    if (!player_queue_->PeekRun(head, n)) return taken;
    while (head.Command == QCMD_CLIENTSLIST) {
      ProcessClientLists();
      taken = true;
      if (!player_queue_->PeekRun(head, n)) return taken;
    }
    switch (head.Command) {
      case QCMD_NONE:
        player_queue_->Skip(n);
        return true;
      case QCMD_PLAY_START:
        if (!player_queue_->GetOne(voice_.Command)) return taken;
        ProcessPlayStart();
        return true;
      case QCMD_PLAY_STOP: {
        TVEKQueueFlatCmd stop;
        if (!player_queue_->GetOne(stop)) return taken;
        voice_.RxDuration += static_cast<uint32_t>(stop.StatDuration);
        voice_.RxAudio += static_cast<uint32_t>(stop.StatAudio);
        voice_.RxPasses += stop.StatPasses;
        voice_.RxWaits += stop.StatWaits;
        KeepSilenceTimerFresh(stop.StatAudio);
        ProcessPlayStop();
        if (!PlayStartQueued()) return true;
        taken = true;
        continue;
      }
      case QCMD_PLAY_DATA:
        ProcessPlayData(n);
        return true;
      default:
        throw Exception("unknown queue cmd");
    }
  }
}

void TVEKManager::ProcessClientLists() {
  TVEKQueueFlatCmd cmds[kMaxClientLists];
  for (;;) {
    TVEKQueueFlatCmd head;
    int n = 0;
    if (!player_queue_->PeekRun(head, n) || head.Command != QCMD_CLIENTSLIST) break;
    const int got = player_queue_->GetMany(cmds, std::min(n, kMaxClientLists));
    if (got == 0) break;
    for (int i = 0; i < got; ++i) {
      voice_.ClientCount = static_cast<int32_t>(cmds[i].Clients.size());
      if (OnClientList) client_lists_->Push(std::move(cmds[i].Clients));
      cmds[i].Clients.clear();
    }
  }
  if (client_lists_->Count() == 0) return;
  if (OnClientList)
    Notify(OnClientList);
  else
    client_lists_->Clear();
}

void TVEKManager::ProcessPlayStart() {
  carrier_.ClearHoldOff();
  const TVEKManagerState remembered = link_state_.load();
  if (audio_) audio_->FlushQueue();
  if (sound_mode_.load() != msm_Normal) {
    StopReader();
    if (audio_) audio_->FlushQueue();
    sound_mode_.store(msm_Normal);
    Notify(OnExternalSoundAborted);
  }
  if (!VekStateHas(remembered, msp_Receiving)) {
    voice_.RxStart = Now();
    // A reception from scratch reports its start, also when the previous
    // one ended without a stop (the link dropped meanwhile).
    voice_.RxReported = false;
    voice_.RxUnkeyed = voice_.RxUnkeyedReported = false;
    AgcOff();
    if (audio_) audio_->StopCurrent();
    link_state_.store(mst_RxPlaying);
    ResetCarrierDetector();
    if (PlayControlSound(msm_ControlBOT, csnd_RadioBOT)) return;
    const bool ptt_was_on = ptt_state_.load();
    SetLIGHT(false);
    StartRxPlayback(true, ptt_was_on);
    return;
  }
  link_state_.store(mst_RxPlaying);
  ResetCarrierDetector();
  StartRxPlayback(false, true);
}

void TVEKManager::StartRxPlayback(bool start_player, bool ptt_was_on) {
  sound_mode_.store(msm_Normal);
  {
    std::lock_guard<std::mutex> g(capture_lock_);
    if (playback_hpf_enabled_) {
      DaxIirInit(iir_state_, playback_hpf_order_);
      iir_for_playback_ = true;
    }
    if (playback_agc_.Enabled)
      StartPlaybackAgc();
    else
      playback_agc_active_ = false;
  }
  const int32_t limit = static_cast<int32_t>(Now() - voice_.RxStart) +
                        VekCheckRange400to3000(sections_.Audio ? sections_.Audio->OutBufferLimitTime : 0);
  if (audio_) {
    if (start_player) {
      const uint32_t delay = (radio_lines_on_.load() && !ptt_was_on) ? play_delay_ms_.load() : 0u;
      audio_->PlayStart(static_cast<int32_t>(delay), limit);
    } else {
      audio_->SetPlayLimitMs(limit);
    }
  }
  if (start_player) KeyForReceivedVoice();
  VekClientRecCopy(voice_.Talker, voice_.Command.Client);
  // Servers without client ids give every talker the empty id: a start is
  // due whenever none went out since the last stop.
  if (!voice_.RxReported || voice_.Talker.ID != voice_.ReportedTalker) {
    voice_.ReportedTalker = voice_.Talker.ID;
    voice_.RxReported = true;
    voice_.RxDuration = voice_.RxAudio = 0;
    voice_.RxPasses = voice_.RxWaits = 0;
    Notify(OnRxStarted);
  }
}

void TVEKManager::ProcessPlayData(int run_length) {
  const TVEKManagerState state = link_state_.load();
  if (state != mst_RxPlaying && state != mst_RxDraining) {
    // Voice outside a reception is dropped.
    while (run_length > 0) {
      const int skipped = player_queue_->Skip(std::min(run_length, kMaxPlayBlocks));
      if (skipped == 0) break;
      run_length -= skipped;
    }
    return;
  }
  const int n = std::min(run_length, kMaxPlayBlocks);
  TVEKQueueFlatCmd cmds[kMaxPlayBlocks];
  const int got = player_queue_->GetMany(cmds, n);
  // The queue may have been cleared between the peek and the take; the
  // taken blocks go back before the error ends the pass.
  if (got < n) {
    ReturnCommandBlocks(cmds, got);
    throw Exception("Got unsynchonous command queue");
  }
  for (int i = 0; i < n; ++i) {
    if (cmds[i].Command != QCMD_PLAY_DATA) {
      ReturnCommandBlocks(cmds, n);
      throw Exception(std::string("Got") + QueueCommandText(cmds[i].Command) +
                      " queue command instead of" + "PLAY_DATA");
    }
  }
  void* blocks[kMaxPlayBlocks];
  {
    std::lock_guard<std::mutex> g(capture_lock_);
    for (int i = 0; i < n; ++i) {
      blocks[i] = cmds[i].Data;
      FilterBlockLocked(static_cast<int16_t*>(blocks[i]), /*capture=*/false);
    }
  }
  if (audio_)
    audio_->PlayPCMArray(blocks, n);
  else
    pool_->Buffers().PushMany(blocks, n);
}

void TVEKManager::ProcessPlayStop() {
  if (CardPlayingWithData()) {
    // The end follows from the play-out.
    if (!PlayStartQueued()) link_state_.store(mst_RxDraining);
    return;
  }
  if (PlayStartQueued()) return;
  if (reader_->IsSoundEnabled(csnd_Roger)) {
    ReportRxStopped();
    PlayControlSound(msm_Control, csnd_Roger);
  } else {
    _tr_PlayStop();
  }
}

void TVEKManager::ReportRxStopped() {
  voice_.ReportedTalker.clear();
  voice_.RxReported = false;
  TVEKLoopStats stats{voice_.RxDuration, voice_.RxAudio, voice_.RxPasses, voice_.RxWaits};
  Notify(OnRxStopped, stats);
  voice_.RxDuration = voice_.RxAudio = 0;
  voice_.RxPasses = voice_.RxWaits = 0;
}

void TVEKManager::Handle_Proto_RxAborted() {
  for (;;) {
    TVEKQueueFlatCmd head;
    int n = 0;
    if (!player_queue_->PeekRun(head, n)) break;
    if (head.Command == QCMD_NONE || head.Command == QCMD_PLAY_DATA) {
      if (player_queue_->Skip(n) == 0) break;
      continue;
    }
    if (head.Command == QCMD_CLIENTSLIST) {
      ProcessClientLists();
      continue;
    }
    if (head.Command == QCMD_PLAY_STOP) ProcessQueueCommands();
    // A play start begins the next reception: it stays for the queue.
    break;
  }
  Notify(OnRxAborted);
}

void TVEKManager::KeepSilenceTimerFresh(int32_t audio_ms) {
  const TVEKInformerWorkParams& informer = timed_.Informer;
  if (informer.SilenceEnabled && audio_ms >= informer.SilenceTime) RestartSilenceTick();
}

// ---------------------------------------------------------------------------
// End of playback

void TVEKManager::_tr_PlayStop() {
  AgcOff();
  if (audio_ && audio_->Mode() == AMODE_PLAY) audio_->PlayStop();
  SetPTT(false);
  SetLIGHT(false);
  const uint8_t mode = sound_mode_.load();
  if (!VekIsSoundMode(mode)) throw Exception("Unknown sound mode");
  if (VekSoundModeHas(mode, smp_TransitPath)) throw Exception("TVEKManager._tr_PlayStop: f_Sound_Mode=TRANSIT");
  if (mode == msm_Normal) {
    if (VekStateHas(link_state_.load(), msp_Receiving)) ReportRxStopped();
  } else if (VekSoundModeHas(mode, smp_EndsOwnSound)) {
    ClearNow(me_Evn_Audio_PlayBufferIsEmpty);
    sound_mode_.store(msm_Normal);
    voice_.ReaderFinished = false;
    if (voice_.SoundStarted)
      Notify(VekSoundModeHas(mode, smp_ServiceSound) ? OnServiceSoundStopped : OnExternalSoundStopped);
    if (VekSoundModeHas(mode, smp_SwitchAtEnd)) ApplyPendingSwitch();
  }
  voice_.SoundStarted = false;
  carrier_.StartHoldOff(static_cast<uint32_t>(voice_.HoldAfterPlayback));
  BackCapture();
  if (VekStateHas(link_state_.load(), msp_Receiving)) link_state_.store(mst_Idle);
}

void TVEKManager::StopVoice() { SilenceOutput(true); }

void TVEKManager::SilenceOutput(bool clear_queue) {
  const bool playing = CardPlaying();
  // A card left in play mode without a stream is stopped as well, or
  // background capture could not start.
  if (audio_ && audio_->Mode() == AMODE_PLAY) {
    AgcOff();
    audio_->StopCurrent();
  }
  SetPTT(false);
  SetLIGHT(false);
  if (playing) carrier_.StartHoldOff(static_cast<uint32_t>(voice_.HoldAfterPlayback));
  BackCapture();
  if (clear_queue) player_queue_->Clear();
}

void TVEKManager::FinishSound() {
  const uint8_t mode = sound_mode_.load();
  if (!PlayStartQueued()) {
    // A card that could not open its stream is still in play mode and
    // keyed: it is released all the same.
    if (!audio_ || audio_->Mode() == AMODE_PLAY) _tr_PlayStop();
    sound_mode_.store(msm_Normal);
    voice_.SoundStarted = false;
    return;
  }
  // The transit path has no own sound to finish: it counts as unknown here.
  if (!VekIsSoundMode(mode) || VekSoundModeHas(mode, smp_TransitPath)) throw Exception("Unknown sound mode");
  if (VekSoundModeHas(mode, smp_EndsOwnSound)) {
    if (voice_.SoundStarted)
      Notify(VekSoundModeHas(mode, smp_ServiceSound) ? OnServiceSoundStopped : OnExternalSoundStopped);
    sound_mode_.store(msm_Normal);
    voice_.SoundStarted = false;
    voice_.ReaderFinished = false;
  }
  if (!ProcessQueueCommands()) throw Exception("No commands{1}");
}

void TVEKManager::EnableReceive() { protocol_->EnableReceive(); }

// ---------------------------------------------------------------------------
// Own sounds

void TVEKManager::StopReader() {
  // Events the stopped sound raised before the reader confirmed belong to
  // it; a late Finished would end the next sound before it starts.
  if (!reader_->StopPlayback()) return;
  for (auto ev : {me_Evn_Reader_ExternalSoundStart, me_Evn_Reader_ServiceSoundStart,
                  me_Evn_Reader_DataReady, me_Evn_Reader_Finished}) {
    ClearPending(ev);
    ClearNow(ev);
  }
}

bool TVEKManager::PlayControlSound(uint8_t mode, uint8_t sound) {
  voice_.SoundStarted = false;
  voice_.ReaderFinished = false;
  if (!reader_->IsSoundEnabled(sound)) return false;
  const uint8_t old_mode = sound_mode_.load();
  try {
    sound_mode_.store(mode);
    StopReader();
    if (audio_) {
      audio_->FlushQueue();
      audio_->SetPlayLimitMs(0);
    }
    ClearNow(me_Evn_Audio_PlayBufferIsEmpty);
    reader_->RequestFixedSound(sound);
  } catch (...) {
    sound_mode_.store(old_mode);
    throw;
  }
  return true;
}

bool TVEKManager::StopAndPlayControlSound(uint8_t sound) {
  AgcOff();
  if (audio_) audio_->StopCurrent();
  return PlayControlSound(msm_Control, sound);
}

void TVEKManager::StartFilePlayback(uint8_t mode) {
  if (VekStateHas(link_state_.load(), msp_NoTimedSounds) || reader_->FileCount() == 0) return;
  voice_.ReaderFinished = false;
  sound_mode_.store(mode);
  voice_.SoundStarted = false;
  reader_->RequestFiles();
}

void TVEKManager::KeyForOwnSound() {
  const bool ptt_was_on = ptt_state_.load();
  if (CardCaptures()) audio_->CaptStop();
  SetPTT(true);
  SetLIGHT(false);
  if (audio_ && !CardPlaying()) {
    // A play mode whose stream never opened is left first, so the open is
    // tried again rather than refused.
    if (audio_->Mode() == AMODE_PLAY) audio_->PlayStop();
    audio_->FlushQueue();
    const uint32_t delay = (!radio_lines_on_.load() || ptt_was_on) ? 0u : play_delay_ms_.load();
    audio_->PlayStart(static_cast<int32_t>(delay), 0);
  }
}

void TVEKManager::Handle_Reader_ServiceSoundStart() {
  const int index = Args(me_Evn_Reader_ServiceSoundStart).Number;
  voice_.LastControlSound = index;
  if (index < csnd_ServerBOT) {
    voice_.SoundStarted = true;
    KeyForOwnSound();
  }
  Notify(OnServiceSoundStarted, index);
  RaiseNow(me_Evn_Reader_DataReady);
}

void TVEKManager::Handle_Reader_ExternalSoundStart() {
  if (!voice_.SoundStarted) {
    voice_.SoundStarted = true;
    AgcOff();
    if (!VekSoundModeHas(sound_mode_.load(), smp_TransitPath)) KeyForOwnSound();
  }
  Notify(OnExternalSoundStarted);
  RaiseNow(me_Evn_Reader_DataReady);
}

void TVEKManager::Handle_Reader_DataReady() {
  if (!voice_.SoundStarted) return;
  void* frames[kMaxPlayBlocks];
  for (;;) {
    int room = kMaxPlayBlocks;
    if (audio_) room = std::min(room, audio_->Queue().Capacity() - audio_->Queue().Count());
    if (room < 1) return;
    const int n = reader_->ReadFrames(frames, room);
    if (n <= 0) return;
    ClearNow(me_Evn_Audio_PlayBufferIsEmpty);
    if (audio_)
      audio_->PlayPCMArray(frames, n);
    else
      pool_->Buffers().PushMany(frames, n);
  }
}

void TVEKManager::Handle_Reader_Finished() {
  voice_.ReaderFinished = true;
  if (!voice_.SoundStarted) {
    OnPlayBufferIsEmpty();
    return;
  }
  if (sound_mode_.load() == msm_Normal) return;
  // The end is taken from the play-out; a card that is not playing has
  // none to give.
  if (CardPlaying())
    ClearNow(me_Evn_Audio_PlayBufferIsEmpty);
  else
    OnPlayBufferIsEmpty();
}

// Received voice keys the transmitter only while the card plays: a card
// that cannot open its stream would send a dead carrier for the whole over.
void TVEKManager::KeyForReceivedVoice() {
  if (!audio_ || audio_->StreamOpen()) {
    SetPTT(true);
    voice_.RxUnkeyed = false;
    return;
  }
  SetPTT(false);
  voice_.RxUnkeyed = true;
  if (voice_.RxUnkeyedReported) return;
  voice_.RxUnkeyedReported = true;
  PushWarning(u"RX: the playback device cannot be opened: received voice does not key PTT");
}

void TVEKManager::Handle_Audio_PlayLevel() {
  const uint32_t word = Args(me_Evn_Audio_PlayLevel).Word;
  voice_.PlayLevel = word & 0x00FFFFFFu;
  // Within an over the stream may fail and not come back at once (PTT goes
  // off), or come back (PTT goes on again).
  if (sound_mode_.load() == msm_Normal && VekStateHas(link_state_.load(), msp_Receiving) &&
      (voice_.RxUnkeyed ? CardPlaying() : word == kLevelPlayReopenFailed && ptt_state_.load()))
    KeyForReceivedVoice();
  if (word & kLevelPlayEmpty) RaiseNow(me_Evn_Audio_PlayBufferIsEmpty);
  Notify(OnPlayLevel);
}

void TVEKManager::Handle_Audio_PlayBufferIsEmpty() {
  // The level word may predate blocks queued since (a sound's first frames
  // right after the player opened): a card that holds data again is not
  // empty, and the next dry buffer reports the real end.
  if (CardPlayingWithData()) return;
  OnPlayBufferIsEmpty();
}

void TVEKManager::OnPlayBufferIsEmpty() {
  const uint8_t mode = sound_mode_.load();
  if (!VekIsSoundMode(mode)) throw Exception("EVENT HANDLER: me_Evn_Audio_PlayBufferIsEmpty: Unknown sound mode");
  if (VekSoundModeHas(mode, smp_TransitPath)) return;
  if (mode == msm_Normal) {
    if (link_state_.load() != mst_RxDraining) return;
    if (PlayStartQueued()) {
      RaiseNow(me_Evn_Proto_QueueData);
      link_state_.store(mst_RxPlaying);
      return;
    }
    link_state_.store(mst_Idle);
    ReportRxStopped();
    if (!PlayControlSound(msm_Control, csnd_Roger)) FinishSound();
    return;
  }
  if (VekSoundModeHas(mode, smp_LeadsIntoVoice)) {
    if (!voice_.ReaderFinished) return;
    if (voice_.SoundStarted) Notify(OnServiceSoundStopped);
    // The player the sound opened goes on with the voice, PTT keyed.
    if (audio_ && !CardPlaying()) KeyForReceivedVoice();
    StartRxPlayback(false, true);
    return;
  }
  if (VekSoundModeHas(mode, smp_RunsScript)) {
    if (voice_.ReaderFinished) EndScriptSound(mode);
    return;
  }
  if (voice_.ReaderFinished) FinishSound();
  // Every play-out of the connect script's files opens the reception, not
  // only the last.
  if (VekSoundModeHas(mode, smp_OpensReception)) EnableReceive();
}

std::u16string TVEKManager::ProgramDir() const {
  if (sections_.System && !sections_.System->ProgramDir.empty()) return sections_.System->ProgramDir;
  return VekProgramDirW();
}

void TVEKManager::EndScriptSound(uint8_t mode) {
  bool ext_enabled = false;
  std::u16string dir;
  if (mode == msm_Hour) {
    ext_enabled = timed_.Hours.ExtEnabled;
    dir = timed_.Hours.ExtDir.empty() ? u"hours" : timed_.Hours.ExtDir;
  } else if (mode == msm_Annon) {
    const TVEKInformerWorkParams& informer = timed_.Informer;
    ext_enabled = informer.ExtEnabled;
    dir = informer.ExtDir.empty() ? u"informer" : informer.ExtDir;
  } else {
    const TVEKSoundParameters* s = sections_.Sounds;
    ext_enabled = s && s->ConnectSoundExtEnabled;
    dir = s ? s->ConnectSoundExtDir : std::u16string();
    if (dir.empty() && s) dir = s->SoundsDir;
    if (dir.empty()) dir = u"sounds";
  }
  if (!ext_enabled || !SoundScriptDone()) {
    AbortSoundScript();
    FinishSound();
    if (VekSoundModeHas(mode, smp_OpensReception)) EnableReceive();
    return;
  }
  if (VekSoundModeHas(mode, smp_ServiceSound) && voice_.SoundStarted) Notify(OnServiceSoundStopped);
  dir = DaxResolvePath(WithoutTrailingSlashes(dir), ProgramDir());
  std::u16string line;
  while (executor_->PopOutput(line)) reader_->AddFileName(dir + u"/" + WithWavEnding(line));
  sound_mode_.store(VekScriptFilesMode(mode));
  voice_.ReaderFinished = false;
  voice_.SoundStarted = false;
  reader_->RequestFiles();
}

void TVEKManager::PlayConnectSound() {
  const TVEKSoundParameters* s = sections_.Sounds;
  if (!reader_->IsSoundEnabled(csnd_Connect) || !s) {
    EnableReceive();
    if (carrier_.Carrier()) RequestTxOnCarrier();
    return;
  }
  // Without supremacy received voice is accepted while the sound plays.
  if (!s->ConnectSoundSupremacy) EnableReceive();
  reader_->SetConnectSoundFile(u"");
  if (s->ConnectSoundCfgEnabled && connect_sounds_) {
    std::u16string file;
    if (connect_sounds_->FindSound(GetServerAddress(), GetServerPort(), GetNetworkName(), file))
      reader_->SetConnectSoundFile(file);
  }
  if (s->ConnectSoundExtEnabled && !s->ConnectSoundExtScript.empty()) {
    try {
      if (executor_ && !executor_->Busy()) {
        std::u16string temp = sections_.System ? VekTempDir(*sections_.System) : std::u16string();
        executor_->SetTempDir(temp.empty() ? ProgramDir() : temp);
      }
      StartSoundScript(DaxResolvePath(s->ConnectSoundExtScript, ProgramDir()), u"");
    } catch (const std::exception& e) {
      PushError(u"CONNECT EXECUTE SCRIPT: " + DaxHookSysToUnicode(e.what()));
    }
  }
  PlayControlSound(msm_Conn, csnd_Connect);
}

TVEKClientRec TVEKManager::CurrentTalker() const { return voice_.Talker; }
