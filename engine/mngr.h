// The engine: one thread object that owns every worker of the gateway (sound
// card, service-sound reader, recorder, protocol, system-manager client,
// server checker, script executor) and bridges network voice, the sound card
// and the radio lines. Workers report through receivers that store the
// event's data and raise one of 90 event flags; the engine's loop handles the
// flags of a pass in one fixed order. What the front end must learn reaches
// it through the owner callbacks, which run on the thread that made the
// engine while the engine waits (see Dispatcher()).
//
// The class is spread over files of one concern each:
//   mngr.cpp        creation, receivers, setters, accessors, teardown
//   mngr_lines.cpp  radio signal and static lines, line upkeep
//   mngr_loop.cpp   the run method, raising, the pass and its dispatch
//   mngr_voice.cpp  received voice, service sounds
//   mngr_tx.cpp     carrier detection and transmission
//   mngr_link.cpp   connection supervision, passwords, backup servers
//   mngr_timed.cpp  DTMF commands, hour and informer announcements
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/cli_dtmf.h"
#include "engine/mngr_events.h"
#include "engine/mngr_link.h"
#include "engine/mngr_timed.h"
#include "engine/mngr_voice.h"
#include "foundation/clock.h"
#include "foundation/fifo_ts.h"
#include "foundation/setup_data.h"
#include "foundation/thread.h"
#include "foundation/types_base.h"
#include "net/message.h"
#include "net/proto_lists.h"
#include "station/agc.h"
#include "station/iir.h"

class TDaxBufferPtr;
class TDaxPoolBuffers;
class TDaxSerialPort;
class TVEKAudioPA;
class TVEKAudioRT;
class TVEKAudioStreamApi;
class TVEKCheckMain;
class TVEKClientListQueue;
class TVEKConnectionMaker;
class TVEKConnectSounds;
class TVEKDynamicPassword;
class TVEKExecutorProcess;
class TVEKLinkAttr;
class TVEKLoginInfo;
class TVEKProtocol;
class TVEKQueueFlat;
class TVEKRadioIfcLine;
class TVEKRadioIfcPool;
class TVEKServer;
class TVEKSoundReader;
class TVEKSoundWriter;
class TWaiter2Socket;

// Options word of the engine (the front end derives it from the command).
enum : uint32_t {
  mopt_NoSoundCard = 1u << 0,     // create no sound-card thread
  mopt_NoAbortingLine = 1u << 2,  // do not log "Aborting ..." at the end
  mopt_NoTimers = 1u << 3,        // run no hour and informer timers
};

// Signal line indexes.
enum : int { msig_PTT = 0, msig_COS = 1, msig_LIGHT = 2, msig_Count = 3 };

// The sections of the configuration the engine reads, not owned. Manager may
// be null.
struct TVEKManagerSections {
  TVEKAudioParams* Audio = nullptr;
  TVEKInternetParameters* Internet = nullptr;
  TVEKServerParameters* Server = nullptr;
  TVEKSystemParameters* System = nullptr;
  TVEKSoundParameters* Sounds = nullptr;
  TVEKHoursParameters* Hours = nullptr;
  TVEKInformerCfgParams* Informer = nullptr;
  TVEKWriterCfgParams* Recorder = nullptr;
  TSection_Manager* Manager = nullptr;
};

// The sections of a whole configuration.
TVEKManagerSections VekManagerSections(TVEKSetupData& setup);

// One STATIC spec and the error its line gave (empty when the line was made).
struct TVEKIfcErrorItem {
  std::u16string Spec;
  std::u16string Error;
};
using TVEKIfcErrorList = std::vector<TVEKIfcErrorItem>;

// Where time and hardware come from; empty members mean the real ones.
// Set at creation, before any thread reads them.
struct TVEKManagerSeams {
  std::function<uint32_t()> Clock;           // every "now" of the engine and its lines
  std::function<TDaxDateTime()> LocalTime;   // hour slots
  uint32_t InformerSeed = 0;                 // 0: from the clock's whole seconds
  // The sound card's stream interface (tests hand in a fake); null: PortAudio.
  std::function<std::unique_ptr<TVEKAudioStreamApi>()> MakeStreamApi;
  TDaxSerialPort* SerialPort = nullptr;      // serial lines
};

// The four counters of a reception or transmission (duration ms, audio ms,
// protocol passes, protocol waits).
struct TVEKLoopStats {
  uint32_t DurationMs = 0;
  uint32_t AudioMs = 0;
  int32_t Passes = 0;
  int32_t Waits = 0;
};

// The data a receiver leaves with its event: one slot per event, stored and
// copied with the flag under the engine's lock, so a worker never writes a
// field the main thread is reading. Which fields an event fills is noted
// at its row in mngr_event_table.def.
struct TVEKEventArgs {
  std::u16string Text;    // error, answer, password, handshake text ...
  std::u16string Detail;  // detail, server message, server address ...
  std::u16string Host;
  int32_t Port = 0;
  int32_t Number = 0;     // kind, count, version, control sound index
  int32_t Number2 = 0;
  uint32_t Word = 0;      // level word
};

class TVEKManager : public TDaxThread {
 public:
  using TOnCreated = std::function<void(TVEKManager& engine)>;
  using TEvent = std::function<void()>;
  using TTextEvent = std::function<void(const std::u16string& text)>;

  // Builds every worker and starts the engine's thread last. `on_created`
  // runs first, before any worker exists: the front end sets the owner
  // callbacks there. Owner callbacks run on the calling thread (see
  // Dispatcher()). A failing step frees what was made and raises.
  TVEKManager(uint32_t options, TVEKAudioRT* audio_rt, const TVEKManagerSections& sections,
              const std::u16string& config_file_name, const TOnCreated& on_created = {},
              const TVEKManagerSeams& seams = {});
  // Stops the thread (serving owner callbacks while it winds down), joins
  // every worker and frees them in order.
  ~TVEKManager() override;

  // ----- start and end
  // Polls AllThreadsStarted 100 times, 20 ms apart; raises "Threads are not
  // started in time".
  void WaitThreadsStarted();
  bool AllThreadsStarted() const;
  void StartManager() {}
  // Any thread, also a signal thread: no lock, no allocation.
  void TerminateAndWake();
  // The owner callbacks' queue: the thread that made the engine serves it
  // while it waits for the engine (WaitServing).
  TDaxSyncDispatcher& Dispatcher() { return dispatcher_; }
  // Waits for the engine's thread to end, serving the owner callbacks.
  void WaitForEnd();
  // True once the run method has ended and woken the dispatcher; Finished()
  // follows a moment later, when no wake-up comes any more.
  bool RunEnded() const { return run_ended_.load() || Finished(); }
  // The text of an exception that ended the run method, empty when none.
  std::u16string FatalErrorText() const;
  // Called on the stopping thread, not through the dispatcher, when the
  // workers are about to be stopped (the teardown, or the destructor): the
  // part of a stop that can hang in a device. At once when that has
  // begun already. Must not block.
  void SetOnStopping(TEvent on_stopping);

  // ----- commands from the front end (stored, raised, handled in the loop)
  void SetRunState(bool on);
  void SetOnline(bool on);
  // Any thread, also a signal thread: no lock, no allocation.
  void RequestLogReopen();
  void SendTextMessage(const std::string& receiver_id, const std::u16string& text);
  void RegisterAccount(const TVEKAccount& account);

  // ----- setters (before the engine is switched on)
  void SetPlayDelay(uint32_t ms);
  void SetPostCaptureWait(int32_t ms);
  void SetCosHoldAfterCapture(int32_t ms);
  void SetCosHoldAfterPlayback(int32_t ms);
  void SetReconnectCount(int32_t count);
  void SetReconnectInterval(uint32_t ms);
  void SetStatus(uint8_t status);
  void SetClientVersion(int32_t version);
  void SetTxStartGap(int32_t ms);
  void SetNetwork(const std::u16string& network);
  void SetLoginInfo(TVEKLoginInfo* info);
  void SetServerEntry(TVEKServer* server);
  void ApplyProtocolSettings(const TVEKInternetParameters& internet);
  void SetDtmfCommands(const std::u16string& text);
  void SetLevelMode(int32_t mode);
  // [Manager]: address, port, password mode and latency (0..60000 ms). The
  // engine applies its own section at creation, the front end's hand-over
  // the configuration's.
  void ApplyManagerSection(const TSection_Manager& manager);
  // Fields the front end writes directly (before the engine is online).
  // Scalars are atomic: the engine's passes already run while the front end
  // writes them. The address is read only after SetOnline.
  std::atomic<bool> PTTEnabled{true};
  std::atomic<uint32_t> DtmfTimeoutMs{15000};
  std::atomic<bool> ResetCosDetectorOnTxReject{false};
  std::atomic<uint32_t> ResetCosDetectorOnTxRejectDelay{500};
  std::atomic<uint32_t> CarrierCatchTime{0};  // ms, 0..5000
  std::atomic<uint32_t> CarrierLostTime{0};   // ms, 0..5000
  std::atomic<uint8_t> DynamicPasswordMode{dpm_NO};
  std::u16string ManagerAddress;
  std::atomic<int32_t> ManagerPort{0};
  std::atomic<uint32_t> ManagerInterval{0};  // kept, not used
  std::atomic<uint32_t> ManagerLatency{0};   // ms, 0..60000

  // ----- accessors for the reports
  std::u16string GetNetworkName() const;
  uint8_t GetAccessLevel() const;
  std::u16string GetServerMessage() const;
  uint32_t GetExtensionFlags() const;
  std::u16string GetServerAddress() const;
  int32_t GetServerPort() const;
  std::u16string GetPeerIP() const;
  TVEKBlockMuteArray GetBlockedList() const;
  TVEKBlockMuteArray GetMutedList() const;
  TVEKAdminsArray GetAdminsList() const;
  TVEKRightsArray GetAccessList() const;
  TVEKModesArray GetModes() const;
  TVEKNetworksArray GetNetworks() const;
  TVEKNoticesArray GetNotices() const;
  std::unique_ptr<TVEKMessage> PopMessage();
  bool PopUnknownMarker(uint8_t& marker);
  // The newest client list (older ones are dropped); false when none.
  bool PopClientList(TVEKClientsArray& list);
  bool PopInfoText(std::u16string& text);
  bool PopWarningText(std::u16string& text);
  bool PopErrorText(std::u16string& text);
  bool PopRecorderFileName(std::u16string& name);
  bool PopStartedFileName(std::u16string& name);
  std::u16string GetSoundName(int index) const;
  void AudioTakeSkipCounters(int32_t& dropped_by_limit, int32_t& dropped_by_overflow);
  TVEKBackupMode GetBackupState() const;
  TVEKCLIDtmfCommands DtmfCommands() const;
  // The level word of the last capture-level event (OnLevel reads it).
  uint32_t LevelWord() const { return capture_level_.load(); }
  TVEKManagerState LinkState() const { return link_state_.load(); }
  uint8_t SoundMode() const { return sound_mode_.load(); }

  // ----- radio lines
  bool CreateSignalLine(int index, const std::u16string& spec, std::u16string& error_text);
  void SetStaticLines(const std::u16string& spec, TVEKIfcErrorList& errors);
  bool SignalAssigned(int index) const;
  std::u16string SignalWireName(int index) const;
  TVEKRadioIfcType SignalInterfaceType(int index) const;
  std::u16string SignalInterfaceName(int index) const;
  bool SignalIsInverted(int index) const;
  bool SignalIsOpen(int index) const;
  int StaticLineCount() const;
  std::u16string StaticLineWireName(int index) const;
  TVEKRadioIfcType StaticLineInterfaceType(int index) const;
  std::u16string StaticLineInterfaceName(int index) const;
  bool StaticLineIsInverted(int index) const;
  bool StaticLineIsOpen(int index) const;
  // In the caller's thread: before the engine is switched on and after its
  // thread ended.
  void SetRadioEnabled(bool on);

  // ----- worker accessors (front end commands and tests)
  TVEKProtocol* Protocol() const { return protocol_.get(); }
  TVEKAudioPA* Audio() const { return audio_.get(); }
  TVEKSoundReader* SoundReader() const { return reader_.get(); }
  TVEKSoundWriter* Recorder() const { return recorder_.get(); }
  TVEKDynamicPassword* DynPass() const { return dyn_pass_.get(); }
  TVEKCheckMain* Checker() const { return checker_.get(); }
  TVEKExecutorProcess* Executor() const { return executor_.get(); }
  TVEKLinkAttr* LinkAttr() const { return link_attr_.get(); }
  TDaxPoolBuffers* Pool() const { return pool_.get(); }
  TDaxBufferPtr* CapturedRing() const { return captured_.get(); }
  TVEKQueueFlat* PlayerQueue() const { return player_queue_.get(); }
  uint32_t Options() const { return options_; }

  // ----- owner callbacks: set in the on-created callback; each runs on the
  // thread that made the engine while the engine waits. Text events pop the
  // matching FIFO themselves.
  TEvent OnReopenLog;
  TEvent OnInfoText, OnWarningText, OnErrorText;
  TEvent OnRecorderFileWritten;
  std::function<void(uint8_t kind, const std::u16string& host, int32_t port)> OnProxyConnecting;
  TEvent OnProxyConnected;
  std::function<void(uint8_t kind, const std::u16string& text)> OnProxyError;
  std::function<void(const std::u16string& host, int32_t port)> OnServerConnecting;
  TEvent OnServerConnected;
  TTextEvent OnServerConnectError;
  std::function<void(const std::u16string& text, const std::u16string& detail)> OnProtocolError;
  std::function<void(uint8_t step, const std::u16string& detail, const std::u16string& text)>
      OnAnswerInvalidPassword;
  TTextEvent OnAnswerAccountBlocked, OnAnswerUnknownError;
  std::function<void(bool on_backup)> OnBackupServerMode;
  TEvent OnPeerDisconnected, OnDisconnecting, OnDisconnected;
  TEvent OnDynPassRequestStart;
  std::function<void(const std::u16string& host, int32_t port)> OnDynPassConnecting;
  TEvent OnDynPassConnected;
  std::function<void(const std::u16string& text, const std::u16string& detail)> OnDynPassError;
  TTextEvent OnDynPassInvalidStaticPassword;
  TTextEvent OnStaticPasswordRequested, OnDynamicPasswordRequested;
  TEvent OnNewStaticPasswordSent;
  TTextEvent OnGotDynamicPassword;
  std::function<void(const std::u16string& email, const std::u16string& server,
                     const std::u16string& password)>
      OnSaveDynamicPassword;
  std::function<void(const std::u16string& email, const std::u16string& server, TVEKLoginInfo& info)>
      OnSearchDynamicPassword;
  std::function<void(int32_t version, const std::u16string& text)> OnHandshakeRequest;
  std::function<void(int32_t last_version, int32_t server_version, const std::u16string& text)>
      OnHandshaked;
  TEvent OnLoginPhase1, OnLoggedInPhase1, OnLoginPhase2, OnLoggedInPhase2, OnLoginPhase3,
      OnLoggedInPhase3;
  TEvent OnSessionInitiated;
  TEvent OnMarkers;
  TEvent OnKeepAlive;
  TEvent OnMessages;
  TEvent OnRxPoolUnderflow, OnAudioPoolUnderflow, OnAudioHardwareFailure;
  std::function<void(int32_t count)> OnNetworks, OnBlockedList, OnMutedList, OnAdminsList,
      OnAccessList, OnModes, OnNotices;
  TEvent OnClientList;
  TEvent OnRxStarted;
  std::function<void(const TVEKLoopStats& stats)> OnRxStopped;
  TEvent OnRxAborted;
  std::function<void(int32_t count)> OnRxAlignSkipped;
  TEvent OnTxRequested, OnTxRejected, OnTxApproved, OnTxDataEnded;
  std::function<void(const TVEKLoopStats& stats)> OnTxStopped, OnTxAbortedByServer;
  TEvent OnCarrierOn, OnCarrierOff;
  // The control sound that started (TVEKControlSound).
  std::function<void(int32_t sound)> OnServiceSoundStarted;
  TEvent OnServiceSoundStopped;
  TEvent OnExternalSoundStarted, OnExternalSoundStopped, OnExternalSoundAborted;
  TEvent OnServerTimedOut, OnServerTimeoutHard;
  TEvent OnOnlineChanged;
  std::function<void(uint8_t kind, const std::u16string& host, int32_t port, bool online,
                     const std::u16string& text)>
      OnCheckServer;
  TEvent OnPlayLevel, OnLightChanged;
  std::function<void(const std::u16string& host, int32_t port, const std::u16string& network)>
      OnServerSwitch;
  // Set while the engine runs (the audio-level and input-check commands):
  // thread-safe. Called on every capture-level event.
  void SetOnLevel(TEvent on_level);

  // The talker of the current reception, for the reports.
  TVEKClientRec CurrentTalker() const;
  int32_t ClientCount() const { return voice_.ClientCount; }

 protected:
  void Execute() override;

  // ====================================================================
  // Core: objects, receivers, raising and the loop (mngr.cpp,
  // mngr_lines.cpp, mngr_loop.cpp)
  // ====================================================================
 private:
  // Tests define it to read private state.
  friend struct TVEKManagerProbe;
  void CreateBaseObjects();
  void OnAudioCreated(TVEKAudioPA& audio);
  void AssignAudioEvents(TVEKAudioPA& audio);
  void StopWorkers();
  void NotifyStopping();
  void FreeObjects();
  void TerminateAndWait();
  uint32_t Now() const;

  // Raising: into pending (any thread; wakes the engine unless `wake` is
  // false), with data stored under the same lock.
  void Raise(TVEKManagerEvent event, bool wake = true);
  void RaiseWith(TVEKManagerEvent event, const std::function<void(TVEKEventArgs&)>& store);
  // For the running pass (engine thread only): an event whose turn is still
  // ahead is handled in this pass. A raise behind its turn (or after the
  // last handler) is dropped on purpose: the worker's own event follows (the
  // protocol reports the disconnect that BeginDisconnect asks for), and
  // handling it at the next pass would come before the events that lead to
  // it ("Disconnected" before "Disconnecting").
  void RaiseNow(TVEKManagerEvent event);
  void ClearPending(TVEKManagerEvent event);
  void ClearNow(TVEKManagerEvent event) { current_[event] = 0; }
  bool IsCurrent(TVEKManagerEvent event) const { return current_[event] != 0; }
  // The data of the event in this pass.
  const TVEKEventArgs& Args(TVEKManagerEvent event) const { return current_args_[event]; }
  void Wake();

  // Owner callbacks, run on the front end's thread; an exception there is
  // an exception of the pass.
  void CallOwner(const std::function<void()>& call);
  template <class F, class... A>
  void Notify(const F& callback, A&&... args) {
    if (callback) CallOwner([&] { callback(args...); });
  }
  // Pushes a text to a FIFO and raises its log event.
  void PushError(const std::u16string& text);
  void PushWarning(const std::u16string& text);
  void PushInfo(const std::u16string& text);

  void RunPass();
  void TakePending();
  // Runs the handler of the event's row in mngr_event_table.def.
  void Dispatch(TVEKManagerEvent event);
  void ReportLoopError(const std::exception& e);
  void WaitForEvents();
  // Calls OnLevel when it is set (the capture-level handler's last step).
  void NotifyLevel();
  // Run method pieces (mngr_loop.cpp).
  void StartRun();
  void Teardown();
  void LogAborting();
  bool AnyPending();
  // After a failed pass: flags of the pass not yet handled go back to
  // pending (with their data) unless raised again meanwhile.
  void ReturnUnhandled();
  // Receivers (mngr.cpp).
  void CopySectionSettings();
  void AssignProtocolEvents();
  void AssignDynPassEvents();
  void AssignReaderEvents();
  void AssignRecorderEvents();
  void AssignCheckerEvents();
  void PushText(TFifoStringThreadSafeU& fifo, TVEKManagerEvent event, const std::u16string& text);
  void RaiseText(TVEKManagerEvent event, const std::u16string& text, const std::u16string& detail = {});
  void RadioError(const std::u16string& text);
  void RadioInfo(const std::u16string& text);
  void ProtocolClientList();
  void JoinWorkers();

  // Lines (mngr_lines.cpp).
  void ApplyRadioEnabled(bool on);
  void SetPTT(bool on);
  void SetLIGHT(bool on);
  bool ReadCos(uint32_t level_word);
  void CheckStaticLines(uint32_t now);
  void CheckSignalLine(int index, uint32_t now);
  void ReapplyStaticLines(uint32_t now);
  void ReapplySignal(int index, uint32_t now);
  void LineUpkeep(uint32_t now);
  void FreeLines();
  TVEKRadioIfcLine& AssignedSignal(int index) const;
  // A line of the spec whose texts go to the engine's log (lines lock held).
  std::unique_ptr<TVEKRadioIfcLine> MakeLine(TVEKIfcSignalType type, const std::u16string& spec,
                                             std::u16string& error_text);

  // Play timing values (SetPlayDelay and buffer layout changes).
  void RecomputePlayTiming();

  // Core handlers. Every handler of the engine has its row (or rows) in
  // mngr_event_table.def.
  void Handle_Cmd_SetRunState();
  void Handle_Cmd_ReopenLog();
  void Handle_Log_Error();
  void Handle_Log_Info();
  void Handle_Log_Warning();
  void Handle_Proto_InfoText();
  void Handle_Proto_LogLines();
  void Handle_Proto_ProxyConnecting();
  void Handle_Proto_ProxyConnected();
  void Handle_Proto_ServerConnecting();
  void Handle_Proto_ServerConnected();
  void Handle_DynPass_Connecting();
  void Handle_DynPass_Connected();
  void Handle_DynPass_StaticPasswordRequested();
  void Handle_DynPass_NewStaticPasswordSent();
  void Handle_DynPass_DynamicPasswordRequested();
  void Handle_Int_DynPasswordSaved();
  void Handle_Proto_HandshakeRequest();
  void Handle_Proto_Handshaked();
  void Handle_Proto_LoginPhase(TVEKManagerEvent event);
  void Handle_Proto_Marker();
  void Handle_Proto_KeepAlive();
  void Handle_Proto_Message();
  void Handle_Proto_PoolUnderflow();
  void Handle_Proto_ListCount(TVEKManagerEvent event);
  void Handle_Proto_RxAlignSkipped();
  void Handle_Proto_DataSent();
  void Handle_Reader_Text();
  void Handle_Writer_FileWritten();
  void Handle_Audio_PoolUnderflow();
  void Handle_Audio_HardwareFailure();
  void Handle_Checker_Report();

  // ----- core state
  const uint32_t options_;
  TVEKAudioRT* const audio_rt_;
  const TVEKManagerSections sections_;
  const std::u16string config_file_name_;
  const TVEKManagerSeams seams_;
  TDaxSyncDispatcher dispatcher_;

  std::mutex lock_;  // pending flags and their data only
  TVEKManagerEventFlags pending_{};
  TVEKManagerEventFlags current_{};
  std::vector<TVEKEventArgs> pending_args_ = std::vector<TVEKEventArgs>(kVekManagerEventCount);
  std::vector<TVEKEventArgs> current_args_ = std::vector<TVEKEventArgs>(kVekManagerEventCount);
  // Requests that signal threads may set: merged into pending at the copy.
  std::atomic<bool> reopen_request_{false};
  std::atomic<bool> started_{false};
  std::atomic<uint32_t> capture_level_{0};
  std::mutex on_level_lock_;
  TEvent on_level_;
  std::mutex on_stopping_lock_;
  TEvent on_stopping_;      // under on_stopping_lock_
  bool stopping_ = false;   // under on_stopping_lock_
  std::atomic<bool> run_ended_{false};
  // The position in the handling order of the handler that runs; the
  // order's size before the copy and after the dispatch, size_t(-1)
  // between the copy and the first handler (ReturnUnhandled reads it).
  size_t pass_position_ = 0;
  uint32_t pass_now_ = 0;  // "now" of the running pass
  std::u16string network_;         // SetNetwork

  std::unique_ptr<TFifoStringThreadSafeU> reader_texts_, error_texts_, warning_texts_, info_texts_,
      recorder_files_;
  std::unique_ptr<TDaxPoolBuffers> pool_;
  std::unique_ptr<TVEKSoundReader> reader_;
  std::unique_ptr<TVEKClientListQueue> client_lists_;
  std::unique_ptr<TVEKQueueFlat> player_queue_;
  std::unique_ptr<TVEKLinkAttr> link_attr_;
  std::unique_ptr<TVEKConnectionMaker> maker_;
  std::unique_ptr<TWaiter2Socket> waiter_;
  std::unique_ptr<TVEKAudioPA> audio_;
  std::unique_ptr<TDaxBufferPtr> captured_;
  std::unique_ptr<TVEKProtocol> protocol_;
  std::unique_ptr<TVEKDynamicPassword> dyn_pass_;
  std::unique_ptr<TVEKRadioIfcPool> ifc_pool_;
  std::unique_ptr<TVEKCheckMain> checker_;
  std::unique_ptr<TVEKExecutorProcess> executor_;
  std::unique_ptr<TVEKSoundWriter> recorder_;
  std::unique_ptr<TVEKConnectSounds> connect_sounds_;

  // Radio lines; the lines lock guards the line objects against the
  // engine's upkeep while the main thread creates or switches them. Never
  // held across an owner callback.
  mutable std::mutex lines_lock_;
  std::unique_ptr<TVEKRadioIfcLine> signals_[msig_Count];
  std::vector<std::unique_ptr<TVEKRadioIfcLine>> static_lines_;
  std::atomic<bool> radio_lines_on_{false};
  std::atomic<bool> wanted_run_state_{false};
  std::atomic<bool> ptt_state_{false};
  std::atomic<bool> light_state_{false};

  // Link and sound mode, read by the front end's reports and by tests.
  std::atomic<TVEKManagerState> link_state_{mst_Init};
  std::atomic<uint8_t> sound_mode_{msm_Normal};

  // Sound processing shared by both directions.
  TVEKLevelParams capture_agc_{}, playback_agc_{};
  bool capture_agc_active_ = false, playback_agc_active_ = false;
  TDaxAgcState agc_state_{};
  bool capture_hpf_enabled_ = false, playback_hpf_enabled_ = false;
  int capture_hpf_order_ = 5, playback_hpf_order_ = 5;
  TDaxIirState iir_state_{};
  bool iir_for_capture_ = false, iir_for_playback_ = false;
  // Play timing values (set by the main thread, read by passes).
  std::atomic<uint32_t> play_delay_ms_{0};
  std::atomic<uint32_t> play_delay_rounded_ms_{0};
  std::atomic<uint32_t> play_buffer_ms_{0};

  // ====================================================================
  // Voice: received voice and service sounds (mngr_voice.cpp), carrier
  // detection and transmission (mngr_tx.cpp); state in mngr_voice.h
  // ====================================================================
 public:
  // Protocol thread: the channel request was repeated.
  void PrepareCapture();

 private:
  void Handle_Int_TxRequest();
  void Handle_Int_TxCaptureEnd();
  void Handle_Int_CarrierOn();
  void Handle_Int_CarrierOff();
  void Handle_Proto_QueueData();
  void Handle_Proto_RxAborted();
  void Handle_Proto_TxApproved();
  void Handle_Proto_TxRejected();
  void Handle_Proto_TxAbortedByServer();
  void Handle_Proto_TxDataEnded();
  void Handle_Reader_ExternalSoundStart();
  void Handle_Reader_ServiceSoundStart();
  void Handle_Reader_DataReady();
  void Handle_Reader_Finished();
  void Handle_Audio_PlayBufferIsEmpty();
  void Handle_Audio_PlayLevel();
  void Handle_Audio_CaptureLevel();
  // Entry points the other concerns call.
  // The connect sound after login (Initiated calls it).
  void PlayConnectSound();
  bool PlayControlSound(uint8_t mode, uint8_t sound);
  bool StopAndPlayControlSound(uint8_t sound);
  // Plays the files queued in the reader (hour, informer, scripts).
  void StartFilePlayback(uint8_t mode);
  void FinishSound();
  // The connection dropped or the server aborted the own transmission.
  void StopVoice();
  void _tr_PlayStop();
  void _tr_TxStop();
  void EnableReceive();
  // --- voice block: the concern's own members.
  bool ProcessQueueCommands();
  void ProcessClientLists();
  void ProcessPlayStart();
  void ProcessPlayData(int run_length);
  void ProcessPlayStop();
  void StartRxPlayback(bool start_player, bool ptt_was_on);
  void ReportRxStopped();
  void OnPlayBufferIsEmpty();
  void EndScriptSound(uint8_t mode);
  // Stops the reader and forgets the events of the sound it stopped.
  void StopReader();
  // StopVoice; the queue stays when another talker's start is in it.
  void SilenceOutput(bool clear_queue);
  void KeepSilenceTimerFresh(int32_t audio_ms);
  std::u16string ProgramDir() const;
  void KeyForOwnSound();
  void KeyForReceivedVoice();
  void NotifyRepeated(TDaxRepeatGate& gate, const TEvent& event, const char16_t* prefix);
  void AgcOff();
  void StartPlaybackAgc();
  void StartCaptureAgc();
  // One block through its direction's high-pass filter and AGC
  // (capture_lock_ held).
  void FilterBlockLocked(int16_t* samples, bool capture);
  bool CardCaptures() const;
  bool CardPlaying() const;
  bool CardPlayingWithData() const;
  bool PlayStartQueued() const;
  void BackCapture();
  void ResetCarrierDetector();
  // The blocks of taken player commands go back to the pool.
  void ReturnCommandBlocks(TVEKQueueFlatCmd* cmds, int n);
  // Carrier and transmission (mngr_tx.cpp).
  void _CheckCos(uint32_t level_word);
  void RequestTxOnCarrier();
  void ForwardCapturedBlocks();
  void ForwardCapturedLocked();  // capture_lock_ held
  void EndTxOnCarrierLoss();
  bool PlayCarrierEndSound(uint8_t sound);
  // The carrier or its end sound has the channel: the hour and informer
  // sounds raised in this pass do not play.
  void SkipTimedSoundsThisPass();
  // The protocol's counters of the ended transmission, kept for the reports.
  TVEKLoopStats TakeTxStats();
  // The sound that answers a carrier which ended without a transmission
  // (what its request came to), and the one after the own transmission.
  uint8_t CarrierEndSound(TVEKManagerState state) const;
  uint8_t TxEndSound() const;
  // The courtesy sound starts PostCaptureWait after the carrier dropped.
  void WaitOutPostCaptureWait();

  TVEKVoiceState voice_;
  TVEKCarrierDetector carrier_{[this] { return Now(); }};
  // The engine and protocol threads share the capture filter and AGC state.
  std::mutex capture_lock_;

  // ====================================================================
  // Link: connection supervision, passwords, backup servers --
  // mngr_link.cpp, state in mngr_link.h
  // ====================================================================
 private:
  void GoOffline();
  void RequestDisconnect();
  void ScheduleReconnect();
  // DTMF NETWORK and CONNECT commands.
  void SwitchServer(const std::u16string& host, int32_t port, const std::u16string& network);
  // End of every pass: reconnect when due, or the hard server time-out.
  void SuperviseConnection();
  void ApplyPendingSwitch();
  void Handle_Cmd_SetOnline();
  void Handle_Proto_Error();
  void Handle_Proto_ProxyError();
  void Handle_Proto_ServerConnectError();
  void Handle_DynPass_Error();
  void Handle_DynPass_InvalidStaticPassword();
  void Handle_DynPass_GotPassword();
  void Handle_Proto_AnswerInvalidPassword();
  void Handle_Proto_AnswerUnknownError();
  void Handle_Proto_AnswerBlocked();
  void Handle_Proto_ProtocolError();
  void Handle_Proto_PeerDisconnected();
  void Handle_Proto_Disconnecting();
  void Handle_Proto_Disconnected();
  void Handle_Proto_Initiated();
  void Handle_Proto_ServerTimeout();
  void Handle_Checker_Result();
  // --- link block: the concern's own members.
  void BeginDisconnect();
  void _tr_Timeout();
  // Runs the attempt; whatever it raises is reported and ends in a
  // reconnect wait.
  void StartConnectAttempt();
  void RunConnectAttempt();
  void EndFailedAttempt(const std::exception& e);
  void SelectBackupServer();
  void UseMainServer(const std::u16string& host, int32_t port);
  void RequestDynamicPassword();
  // kind: lrk_ServerError, lrk_Blocked or lrk_InvalidPassword.
  void HandleLoginRefusal(uint8_t kind, TVEKManagerEvent event);
  // A refused static password of a dynamic-password account that has none
  // yet, and the manager not asked in this reconnect wait.
  bool FirstDynamicPasswordDue(uint8_t last_step) const;
  void RequestFirstDynamicPassword();
  // The invalid-password report over the cycle's steps up to last_step
  // (empty when no step got that answer); dynamic_refused is set when a
  // dynamic password was among them.
  std::u16string RefusedPasswordsText(int last_step, bool& dynamic_refused) const;
  // Asks the owner for the stored passwords of the account and the server
  // the protocol targets.
  void SearchDynamicPassword(TVEKLoginInfo& info);
  // Ends a disconnect that no protocol event will end (nothing connected).
  void FinishDisconnect();
  // A disconnect event of an earlier link, seen while a new attempt runs.
  bool IsStaleLinkEvent() const;
  TVEKServer& LinkServer() const;
  TVEKLoginInfo& LinkLogin() const;
  // Tests reach the server switch from an owner callback, while the engine
  // thread waits for it.
  friend struct TVEKManagerLinkPeer;

  TVEKLinkState link_;

  // ====================================================================
  // Timed: DTMF commands, hour and informer announcements --
  // mngr_timed.cpp, state in mngr_timed.h
  // ====================================================================
 private:
  // Start of every pass unless mopt_NoTimers: may raise 13 and 14 now.
  void CheckTimers();
  // Ends an active DTMF sequence whose time ran out.
  void CheckDtmfTimeout();
  // The hour slot of now; the run method and the setters recompute it.
  void RecomputeHourSlot();
  // Restart the silence tick (any own sound or voice keeps it fresh).
  void RestartSilenceTick();
  // Ends the DTMF sequence (a transmission ended).
  void EndDtmfSequence();
  // The executor's events; the script of an own sound (hour, informer,
  // connect sound): only the current sound's own run counts as done, and a
  // sound that ends early aborts its script.
  void AssignExecutorEvents();
  // The connect sound's script (call it before the sound starts).
  void StartSoundScript(const std::u16string& script, const std::u16string& argument);
  bool SoundScriptDone() const;
  void AbortSoundScript();
  void Handle_Timer_HourSound();
  void Handle_Timer_Informer();
  void Handle_Audio_DtmfTone();
  // --- timed block: the concern's own members.
  // The constructor calls it: [Hours] and the informer settings, both
  // informer timers started now.
  void InitTimedSettings();
  TVEKHourSlot CurrentHourSlot() const;
  std::u16string HourFileName(int hour, int minute) const;
  TDaxDateTime LocalNow() const;
  void RunDtmfCommand(const TVEKCLIDtmfCommand& command);
  // A server switch that ApplyPendingSwitch carries out once the channel is
  // free.
  void SetPendingSwitch(uint8_t kind, const std::u16string& host, int32_t port,
                        const std::u16string& network);
  void ApplySwitchAfterHourSound();
  // A script setting resolved against the program directory.
  std::u16string ProgramPath(const std::u16string& path) const;
  std::u16string ScriptTempDir(const std::u16string& ext_temp_dir) const;
  // Runs an hour or informer script; a start error is reported, the file
  // plays anyway.
  void StartAnnouncementScript(uint8_t mode, const std::u16string& script,
                               const std::u16string& temp_dir, const std::u16string& argument);
  // The script of the own sound of this mode (StartSoundScript: the connect
  // sound's); raises when the executor refuses.
  void RunSoundScript(uint8_t mode, const std::u16string& script, const std::u16string& argument);

  TVEKTimedState timed_;
};
