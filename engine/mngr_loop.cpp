// The run method: raising, the pass with its fixed handling order, the
// wait, the end, and the handlers that only pass events on to the owner.
#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "engine/mngr.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/types.h"
#include "foundation/waiter2_bsd.h"
#include "net/logininfo.h"
#include "net/link_attr.h"
#include "net/proto.h"
#include "net/qflat.h"
#include "station/paudio.h"
#include "station/sound_reader.h"

namespace {

constexpr uint32_t kIdleWaitMs = 130;
constexpr size_t kOrderSize = kVekManagerHandlingOrder.size();
// The pass's position between the copy and the first handler.
constexpr size_t kBeforeDispatch = static_cast<size_t>(-1);

// Each event's place in the handling order; the order's size for the
// events outside it.
constexpr std::array<size_t, kVekManagerEventCount> kTurns = [] {
  std::array<size_t, kVekManagerEventCount> turns{};
  turns.fill(kOrderSize);
  for (size_t i = 0; i < kOrderSize; ++i) turns[kVekManagerHandlingOrder[i]] = i;
  return turns;
}();

// A handler takes nothing, or the event when it serves several.
void RunHandler(TVEKManager& engine, void (TVEKManager::*handler)(), TVEKManagerEvent) { (engine.*handler)(); }
void RunHandler(TVEKManager& engine, void (TVEKManager::*handler)(TVEKManagerEvent), TVEKManagerEvent event) {
  (engine.*handler)(event);
}

}  // namespace

// ----- raising

void TVEKManager::Raise(TVEKManagerEvent event, bool wake) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    pending_[event] = 1;
  }
  if (wake) Wake();
}

void TVEKManager::RaiseWith(TVEKManagerEvent event, const std::function<void(TVEKEventArgs&)>& store) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    store(pending_args_[event]);
    pending_[event] = 1;
  }
  Wake();
}

void TVEKManager::RaiseNow(TVEKManagerEvent event) {
  const bool dispatching = pass_position_ < kOrderSize;
  const bool ahead = pass_position_ == kBeforeDispatch ||
                     (dispatching && kTurns[event] > pass_position_ && kTurns[event] < kOrderSize);
  if (ahead) current_[event] = 1;
}

void TVEKManager::ClearPending(TVEKManagerEvent event) {
  std::lock_guard<std::mutex> guard(lock_);
  pending_[event] = 0;
}

void TVEKManager::Wake() {
  if (waiter_) waiter_->Signal();
}

// Flags and their data move together; the data of a flag raised twice is
// the later one's.
void TVEKManager::TakePending() {
  std::lock_guard<std::mutex> guard(lock_);
  if (reopen_request_.exchange(false)) pending_[me_Evn_Cmd_ReopenLog] = 1;
  for (int i = 0; i < kVekManagerEventCount; ++i) {
    current_[i] = pending_[i];
    if (!pending_[i]) continue;
    std::swap(current_args_[i], pending_args_[i]);
    pending_[i] = 0;
  }
}

bool TVEKManager::AnyPending() {
  std::lock_guard<std::mutex> guard(lock_);
  if (reopen_request_.load()) return true;
  for (uint8_t flag : pending_)
    if (flag) return true;
  return false;
}

void TVEKManager::ReturnUnhandled() {
  size_t from = kOrderSize;  // the copy had not been made
  if (pass_position_ == kBeforeDispatch)
    from = 0;
  else if (pass_position_ < kOrderSize)
    from = pass_position_ + 1;
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = from; i < kOrderSize; ++i) {
    const TVEKManagerEvent event = kVekManagerHandlingOrder[i];
    if (!current_[event] || pending_[event]) continue;
    pending_[event] = 1;
    std::swap(pending_args_[event], current_args_[event]);
  }
  current_.fill(0);
}

// ----- owner callbacks

void TVEKManager::CallOwner(const std::function<void()>& call) { dispatcher_.Call(call); }

void TVEKManager::NotifyLevel() {
  TEvent on_level;
  {
    std::lock_guard<std::mutex> guard(on_level_lock_);
    on_level = on_level_;
  }
  if (on_level) CallOwner(on_level);
}

// ----- the run method

void TVEKManager::Execute() {
  std::exception_ptr fatal;
  try {
    StartRun();
    while (!Terminated()) {
      try {
        RunPass();
      } catch (const std::exception& e) {
        ReturnUnhandled();
        ReportLoopError(e);
      } catch (...) {
        ReturnUnhandled();
        ReportLoopError(Exception("unknown exception"));
      }
      pass_position_ = kOrderSize;
      WaitForEvents();
    }
  } catch (...) {
    fatal = std::current_exception();
  }
  Teardown();
  run_ended_.store(true);
  dispatcher_.Wake();
  if (fatal) std::rethrow_exception(fatal);
}

void TVEKManager::StartRun() {
  pass_position_ = kOrderSize;
  started_.store(true);
  RecomputeHourSlot();
  if (audio_) audio_->CaptStartBack();
}

void TVEKManager::RunPass() {
  pass_position_ = kOrderSize;
  pass_now_ = Now();
  CheckDtmfTimeout();
  TakePending();
  pass_position_ = kBeforeDispatch;
  if (!(options_ & mopt_NoTimers)) CheckTimers();
  LineUpkeep(pass_now_);
  for (pass_position_ = 0; pass_position_ < kOrderSize; ++pass_position_) {
    const TVEKManagerEvent event = kVekManagerHandlingOrder[pass_position_];
    if (current_[event]) Dispatch(event);
  }
  SuperviseConnection();
}

// Nothing pending: sleep up to the tick; a wait that nobody cut short is
// the tick. Queued player commands and reader frames are picked up here
// even when their raise was missed.
void TVEKManager::WaitForEvents() {
  if (!AnyPending()) {
    const TWaiterResult result = waiter_->WaitOne(kIdleWaitMs);
    // A failing wait must not turn the loop into a spin.
    if (result == wr_Error) std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWaitMs));
    if (result == wr_Timeout || result == wr_Error) Raise(me_Evn_Timer_Tick, false);
  }
  const bool queued = player_queue_->Count() > 0;
  const bool frames = sound_mode_.load() != msm_Normal && reader_->AvailableFrames() > 0;
  std::lock_guard<std::mutex> guard(lock_);
  if (queued) pending_[me_Evn_Proto_QueueData] = 1;
  if (frames) pending_[me_Evn_Reader_DataReady] = 1;
}

// A report that fails itself (the owner's log is gone) is dropped: the
// loop and the teardown must go on.
void TVEKManager::ReportLoopError(const std::exception& e) {
  if (!OnErrorText) return;
  try {
    error_texts_->Push(u"VEK main loop error: " + DaxHookSysToUnicode(e.what()));
    CallOwner(OnErrorText);
  } catch (...) {
  }
}

void TVEKManager::LogAborting() {
  if (options_ & mopt_NoAbortingLine) return;
  try {
    info_texts_->Push(u"Aborting ...");
    Notify(OnInfoText);
  } catch (...) {
  }
}

void TVEKManager::Teardown() {
  auto guarded = [](auto&& step) {
    try {
      step();
    } catch (...) {
    }
  };
  LogAborting();
  guarded([this] { SetPTT(false); });
  guarded([this] { SetLIGHT(false); });
  guarded([this] { StopWorkers(); });
  guarded([this] { SetPTT(false); });
  guarded([this] { SetLIGHT(false); });
  guarded([this] { FreeLines(); });
}

// ----- dispatch

void TVEKManager::Dispatch(TVEKManagerEvent event) {
  switch (event) {
#define VEK_EVENT(row_event, handler)                    \
  case row_event:                                        \
    RunHandler(*this, &TVEKManager::handler, row_event); \
    break;
#include "engine/mngr_event_table.def"
    default: break;
  }
}

// ----- core handlers

void TVEKManager::Handle_Cmd_SetRunState() { ApplyRadioEnabled(wanted_run_state_.load()); }
void TVEKManager::Handle_Cmd_ReopenLog() { Notify(OnReopenLog); }

namespace {

// Calls the text event, or empties its FIFO when nobody listens.
template <class Call>
void OwnerOrClear(const TVEKManager::TEvent& event, TFifoStringThreadSafeU& fifo, Call call) {
  if (event)
    call();
  else
    fifo.Clear();
}

}  // namespace

void TVEKManager::Handle_Log_Error() { OwnerOrClear(OnErrorText, *error_texts_, [&] { Notify(OnErrorText); }); }
void TVEKManager::Handle_Log_Info() { OwnerOrClear(OnInfoText, *info_texts_, [&] { Notify(OnInfoText); }); }
void TVEKManager::Handle_Log_Warning() {
  OwnerOrClear(OnWarningText, *warning_texts_, [&] { Notify(OnWarningText); });
}

void TVEKManager::Handle_Proto_InfoText() {
  if (!OnInfoText) return;
  info_texts_->Push(u"PROTO: " + Args(me_Evn_Proto_InfoText).Text);
  Notify(OnInfoText);
}

void TVEKManager::Handle_Proto_LogLines() {
  std::u16string line;
  while (protocol_->PopLogLine(line))
    if (OnWarningText) warning_texts_->Push(u"PROTO: " + line);
  if (OnWarningText && warning_texts_->Count() > 0) Notify(OnWarningText);
}

void TVEKManager::Handle_Proto_ProxyConnecting() {
  const TVEKEventArgs& a = Args(me_Evn_Proto_ProxyConnecting);
  Notify(OnProxyConnecting, static_cast<uint8_t>(a.Number), a.Host, a.Port);
}

void TVEKManager::Handle_Proto_ProxyConnected() { Notify(OnProxyConnected); }

void TVEKManager::Handle_Proto_ServerConnecting() {
  const TVEKEventArgs& a = Args(me_Evn_Proto_ServerConnecting);
  Notify(OnServerConnecting, a.Host, a.Port);
}

void TVEKManager::Handle_Proto_ServerConnected() {
  voice_.ClientCount = 0;
  Notify(OnServerConnected);
}

void TVEKManager::Handle_DynPass_Connecting() {
  const TVEKEventArgs& a = Args(me_Evn_DynPass_Connecting);
  Notify(OnDynPassConnecting, a.Host, a.Port);
}

void TVEKManager::Handle_DynPass_Connected() { Notify(OnDynPassConnected); }

void TVEKManager::Handle_DynPass_StaticPasswordRequested() {
  Notify(OnStaticPasswordRequested, Args(me_Evn_DynPass_StaticPasswordRequested).Text);
}

void TVEKManager::Handle_DynPass_NewStaticPasswordSent() { Notify(OnNewStaticPasswordSent); }

void TVEKManager::Handle_DynPass_DynamicPasswordRequested() {
  Notify(OnDynamicPasswordRequested, Args(me_Evn_DynPass_DynamicPasswordRequested).Text);
}

// The got-password handler stored the new password and its server in the
// login data before raising this.
void TVEKManager::Handle_Int_DynPasswordSaved() {
  TVEKLoginInfo* info = link_attr_->LoginInfo();
  if (!info) return;
  Notify(OnSaveDynamicPassword, info->Account().EMailAddress, info->PasswordServer(), info->NewDynamicPassword());
}

void TVEKManager::Handle_Proto_HandshakeRequest() {
  const TVEKEventArgs& a = Args(me_Evn_Proto_HandshakeRequest);
  Notify(OnHandshakeRequest, a.Number, a.Text);
}

void TVEKManager::Handle_Proto_Handshaked() {
  const TVEKEventArgs& a = Args(me_Evn_Proto_Handshaked);
  Notify(OnHandshaked, a.Number, a.Number2, a.Text);
}

void TVEKManager::Handle_Proto_LoginPhase(TVEKManagerEvent event) {
  switch (event) {
    case me_Evn_Proto_LoginPhase1: Notify(OnLoginPhase1); break;
    case me_Evn_Proto_LoggedInPhase1: Notify(OnLoggedInPhase1); break;
    case me_Evn_Proto_LoginPhase2: Notify(OnLoginPhase2); break;
    case me_Evn_Proto_LoggedInPhase2: Notify(OnLoggedInPhase2); break;
    case me_Evn_Proto_LoginPhase3: Notify(OnLoginPhase3); break;
    default: Notify(OnLoggedInPhase3); break;
  }
}

void TVEKManager::Handle_Proto_Marker() { Notify(OnMarkers); }
void TVEKManager::Handle_Proto_KeepAlive() { Notify(OnKeepAlive); }
void TVEKManager::Handle_Proto_Message() { Notify(OnMessages); }

void TVEKManager::Handle_Proto_PoolUnderflow() {
  protocol_->FlushCaptureBuffer();
  NotifyRepeated(voice_.RxPoolUnderflows, OnRxPoolUnderflow, u"RX: ");
}

void TVEKManager::NotifyRepeated(TDaxRepeatGate& gate, const TEvent& event, const char16_t* prefix) {
  uint32_t held = 0;
  if (!gate.Pass(pass_now_, held)) return;
  Notify(event);
  if (held > 0)
    PushInfo(prefix + DaxIntToStrW(held) + u" more buffer pool underflows since the last report");
}

void TVEKManager::Handle_Proto_ListCount(TVEKManagerEvent event) {
  const int32_t count = Args(event).Number;
  switch (event) {
    case me_Evn_Proto_Networks: Notify(OnNetworks, count); break;
    case me_Evn_Proto_BlockedList: Notify(OnBlockedList, count); break;
    case me_Evn_Proto_MutedList: Notify(OnMutedList, count); break;
    case me_Evn_Proto_AdminsList: Notify(OnAdminsList, count); break;
    case me_Evn_Proto_AccessList: Notify(OnAccessList, count); break;
    case me_Evn_Proto_Modes: Notify(OnModes, count); break;
    default: Notify(OnNotices, count); break;
  }
}

void TVEKManager::Handle_Proto_RxAlignSkipped() {
  Notify(OnRxAlignSkipped, Args(me_Evn_Proto_RxAlignSkipped).Number);
}

void TVEKManager::Handle_Proto_DataSent() { link_.LastSendTime = pass_now_; }

void TVEKManager::Handle_Reader_Text() {
  if (!OnErrorText) {
    reader_texts_->Clear();
    return;
  }
  std::u16string text;
  while (reader_texts_->Pop(text)) error_texts_->Push(text);
  Notify(OnErrorText);
}

void TVEKManager::Handle_Writer_FileWritten() {
  OwnerOrClear(OnRecorderFileWritten, *recorder_files_, [&] { Notify(OnRecorderFileWritten); });
}

void TVEKManager::Handle_Audio_PoolUnderflow() {
  if (audio_) audio_->FlushQueue();
  NotifyRepeated(voice_.AudioPoolUnderflows, OnAudioPoolUnderflow, u"Audio: ");
}

void TVEKManager::Handle_Audio_HardwareFailure() { Notify(OnAudioHardwareFailure); }

void TVEKManager::Handle_Checker_Report() {
  const TVEKEventArgs& a = Args(me_Evn_Checker_Report);
  Notify(OnCheckServer, static_cast<uint8_t>(a.Number), a.Host, a.Port, a.Number2 != 0, a.Text);
}
