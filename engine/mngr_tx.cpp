// Carrier detection and transmission: the capture level against the COS
// line, the channel request and its answers, the forwarding of captured
// blocks, and the sounds at the end of a transmission.
#include <chrono>
#include <thread>

#include "engine/mngr.h"
#include "engine/sound_modes.h"
#include "foundation/buffer_ptr.h"
#include "foundation/exception.h"
#include "foundation/pool_buffers.h"
#include "net/proto.h"
#include "station/paudio.h"
#include "station/sound_reader.h"

namespace {

// Captured blocks forwarded at once.
constexpr int kMaxCapturedBlocks = 64;

}  // namespace

// ---------------------------------------------------------------------------
// Carrier

void TVEKManager::Handle_Audio_CaptureLevel() {
  const uint32_t word = capture_level_.load();
  const TVEKManagerState state = link_state_.load();
  if (!VekStateHas(state, msp_CarrierIgnored)) {
    if (CardCaptures() && VekSoundModeHas(sound_mode_.load(), smp_CarrierSampled)) {
      if (carrier_.HoldOffPassed(radio_lines_on_.load())) _CheckCos(word);
    } else {
      ResetCarrierDetector();
    }
  }
  if ((word & kLevelPlayEmpty) && VekStateHas(link_state_.load(), msp_CapturedForwarded))
    ForwardCapturedBlocks();
  NotifyLevel();
}

void TVEKManager::_CheckCos(uint32_t level_word) {
  const bool cos = ReadCos(level_word);
  carrier_.CatchTime = CarrierCatchTime;
  carrier_.LostTime = CarrierLostTime;
  carrier_.ResetOnReject = ResetCosDetectorOnTxReject;
  carrier_.ResetOnRejectDelay = ResetCosDetectorOnTxRejectDelay;
  const TVEKCarrierDetector::TStep step = carrier_.Sample(cos, radio_lines_on_.load(), pass_now_);
  if (step.BackCapture) BackCapture();
  if (step.StartCapture && audio_) {
    try {
      audio_->CaptStart();
    } catch (const std::exception& e) {
      throw Exception(std::string("_CheckCos: ") + e.what());
    }
  }
  if (step.CarrierOn) {
    RaiseNow(me_Evn_Int_CarrierOn);
    SkipTimedSoundsThisPass();
  }
  if (step.CarrierOff) RaiseNow(me_Evn_Int_CarrierOff);
}

void TVEKManager::SkipTimedSoundsThisPass() {
  ClearNow(me_Evn_Timer_HourSound);
  ClearNow(me_Evn_Timer_Informer);
}

void TVEKManager::Handle_Int_CarrierOn() {
  SkipTimedSoundsThisPass();
  Notify(OnCarrierOn);
  RequestTxOnCarrier();
}

void TVEKManager::RequestTxOnCarrier() {
  if (VekStateHas(link_state_.load(), msp_MayRequestTx) && link_.LoginComplete) {
    RaiseNow(me_Evn_Int_TxRequest);
    return;
  }
  carrier_.Outcome = cco_NoConnection;
  BackCapture();
}

void TVEKManager::Handle_Int_CarrierOff() {
  Notify(OnCarrierOff);
  const TVEKManagerState state = link_state_.load();
  if (state == mst_TxOn || state == mst_TxEnding) {
    EndTxOnCarrierLoss();
    return;
  }
  if (state == mst_TxRequested) {
    protocol_->RequestStopTX();
    return;
  }
  if (!PlayCarrierEndSound(CarrierEndSound(state))) ApplyPendingSwitch();
}

uint8_t TVEKManager::CarrierEndSound(TVEKManagerState state) const {
  if (!VekStateHas(state, msp_LoggedIn)) return csnd_NoConnection;
  switch (carrier_.Outcome) {
    case cco_None: return csnd_Roger;
    case cco_NoConnection: return csnd_NoConnection;
    case cco_Unanswered: return csnd_Error;
    default: return csnd_Reject;
  }
}

void TVEKManager::EndTxOnCarrierLoss() { RaiseNow(me_Evn_Int_TxCaptureEnd); }

bool TVEKManager::PlayCarrierEndSound(uint8_t sound) {
  const uint32_t hold = static_cast<uint32_t>(voice_.HoldAfterCapture);
  if (!reader_->IsSoundEnabled(sound)) {
    carrier_.StartHoldOff(hold);
    BackCapture();
    return false;
  }
  SkipTimedSoundsThisPass();
  AgcOff();
  if (audio_) audio_->StopCurrent();
  carrier_.StartHoldOff(hold);
  SetPTT(true);
  SetLIGHT(false);
  StopAndPlayControlSound(sound);
  return true;
}

// ---------------------------------------------------------------------------
// Transmission

void TVEKManager::Handle_Int_TxRequest() {
  const TVEKManagerState state = link_state_.load();
  if (!VekStateHas(state, msp_LoggedIn)) {
    carrier_.Outcome = cco_NoConnection;
    return;
  }
  if (state != mst_Idle) {
    carrier_.Outcome = cco_Rejected;
    return;
  }
  carrier_.Outcome = cco_Unanswered;
  EndDtmfSequence();
  PrepareCapture();
  protocol_->RequestTX();
  link_state_.store(mst_TxRequested);
  Notify(OnTxRequested);
}

void TVEKManager::PrepareCapture() {
  std::lock_guard<std::mutex> g(capture_lock_);
  iir_for_capture_ = false;
  capture_agc_active_ = false;
  if (!audio_) return;
  audio_->TrimCaptureQueue();
  ForwardCapturedLocked();
}

void TVEKManager::ForwardCapturedBlocks() {
  if (!audio_) return;
  std::lock_guard<std::mutex> g(capture_lock_);
  ForwardCapturedLocked();
}

void TVEKManager::ForwardCapturedLocked() {
  void* blocks[kMaxCapturedBlocks];
  const int n = audio_->Queue().PopMany(blocks, kMaxCapturedBlocks);
  if (n <= 0) return;
  for (int i = 0; i < n; ++i) FilterBlockLocked(static_cast<int16_t*>(blocks[i]), /*capture=*/true);
  const int pushed = captured_->PushMany(blocks, n);
  // A full ring must not lose the blocks: they go back to the pool.
  if (pushed < n) pool_->Buffers().PushMany(blocks + pushed, n - pushed);
}

void TVEKManager::Handle_Proto_TxApproved() {
  carrier_.Outcome = cco_None;
  const TVEKManagerState state = link_state_.load();
  if (!carrier_.Carrier()) {
    BackCapture();
    // The carrier dropped while the approval was on its way: the carrier-off
    // handler could only ask to stop a request the protocol had already
    // turned into a transmission, which ends without an event.
    if (state == mst_TxRequested) {
      link_state_.store(mst_Idle);
      protocol_->RequestStopTX();
    }
    return;
  }
  if (state == mst_TxRequested) {
    link_state_.store(mst_TxOn);
    SetPTT(false);
    SetLIGHT(true);
    if (audio_) {
      if (sections_.Audio && sections_.Audio->InCaptureAfterApproval) audio_->FlushQueue();
      audio_->CaptStart();
    }
  }
  Notify(OnTxApproved);
}

void TVEKManager::Handle_Int_TxCaptureEnd() {
  if (link_state_.load() != mst_TxOn) return;
  protocol_->TxDataState.store(1);
  BackCapture();
  link_state_.store(mst_TxEnding);
}

void TVEKManager::Handle_Proto_TxDataEnded() {
  Notify(OnTxDataEnded);
  if (link_state_.load() != mst_TxEnding) return;
  const uint8_t mode = sound_mode_.load();
  if (!VekIsSoundMode(mode)) throw Exception("Unknown sound mode");
  if (mode != msm_Normal) return;
  link_state_.store(mst_Idle);
  const uint8_t sound = TxEndSound();
  protocol_->RequestStopTX();
  SetLIGHT(false);
  carrier_.StartHoldOff(static_cast<uint32_t>(voice_.HoldAfterCapture));
  const bool enabled = reader_->IsSoundEnabled(sound);
  if (enabled) {
    AgcOff();
    if (audio_) audio_->StopCurrent();
  } else {
    BackCapture();
  }
  const TVEKLoopStats stats = TakeTxStats();
  KeepSilenceTimerFresh(voice_.TxAudio);
  Notify(OnTxStopped, stats);
  if (!enabled) {
    // No sound to wait for: a pending server switch goes now.
    ApplyPendingSwitch();
    return;
  }
  WaitOutPostCaptureWait();
  StopAndPlayControlSound(sound);
}

uint8_t TVEKManager::TxEndSound() const {
  if (carrier_.Outcome != cco_None) return csnd_Error;
  // Nobody else in the network: its own courtesy sound, when there is one.
  if (voice_.ClientCount < 2 && reader_->IsSoundEnabled(csnd_CourtesyEmptyNet)) return csnd_CourtesyEmptyNet;
  return csnd_Courtesy;
}

void TVEKManager::WaitOutPostCaptureWait() {
  const uint32_t wait = static_cast<uint32_t>(voice_.PostCaptureWait);
  const uint32_t since_drop = pass_now_ - carrier_.LostAt();
  if (wait != 0 && since_drop < wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait - since_drop));
    pass_now_ = Now();
  }
}

void TVEKManager::Handle_Proto_TxRejected() {
  if (link_state_.load() != mst_TxRequested) return;
  link_state_.store(mst_Idle);
  carrier_.Outcome = cco_Rejected;
  carrier_.ResetOnReject = ResetCosDetectorOnTxReject;
  carrier_.ResetOnRejectDelay = ResetCosDetectorOnTxRejectDelay;
  carrier_.Rejected();
  Notify(OnTxRejected);
  // With the reject sound off nothing else would apply a pending switch.
  if (!PlayCarrierEndSound(csnd_Reject)) ApplyPendingSwitch();
  if (sound_mode_.load() == msm_Normal) BackCapture();
}

void TVEKManager::Handle_Proto_TxAbortedByServer() {
  carrier_.Outcome = cco_Rejected;
  if (VekStateHas(link_state_.load(), msp_TxTurn)) link_state_.store(mst_Idle);
  const TVEKLoopStats stats = TakeTxStats();
  // Another talker took over: the protocol already stopped the own stream,
  // queued that talker's start and opened its recording; both stay.
  if (VekSoundModeHas(sound_mode_.load(), smp_SilencedByLink)) SilenceOutput(false);
  Notify(OnTxAbortedByServer, stats);
}

TVEKLoopStats TVEKManager::TakeTxStats() {
  const TVEKProtoRxStats rx = protocol_->GetRxStats();
  voice_.TxDuration = rx.Duration;
  voice_.TxAudio = rx.Audio;
  voice_.TxPasses = rx.Passes;
  voice_.TxWaits = rx.Waits;
  return TVEKLoopStats{static_cast<uint32_t>(rx.Duration), static_cast<uint32_t>(rx.Audio), rx.Passes,
                       rx.Waits};
}

void TVEKManager::_tr_TxStop() {
  link_state_.store(mst_Idle);
  protocol_->RequestStopTX();
  StopVoice();
}
