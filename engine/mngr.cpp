// Creation, receivers, setters, accessors and teardown of the engine.
#include "engine/mngr.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "engine/executor.h"
#include "engine/program_starter.h"
#include "foundation/buffer_ptr.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/pool_buffers.h"
#include "foundation/tags.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "foundation/waiter2_bsd.h"
#include "net/checkmain.h"
#include "net/clq.h"
#include "net/conn_mk.h"
#include "net/dyn_pass.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/qflat.h"
#include "net/server.h"
#include "station/connect_sounds.h"
#include "station/ifc_line.h"
#include "station/ifc_pool.h"
#include "station/paudio.h"
#include "station/sound_reader.h"
#include "station/sound_writer.h"

namespace {

constexpr int kPoolBufferBytes = 640;
constexpr int kPoolBufferCount = 1050;
constexpr int kPlayerQueueCapacity = 2400;
constexpr int kCapturedRingCapacity = 1500;

// Polls `done` every `poll_ms`, up to `polls` times; the serving thread
// answers owner callbacks meanwhile instead of sleeping.
bool PollServing(TDaxSyncDispatcher& dispatcher, const std::function<bool()>& done, int polls,
                 uint32_t poll_ms) {
  for (int i = 0; i < polls; ++i) {
    if (done()) return true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(poll_ms);
    if (!dispatcher.OnServingThread()) {
      std::this_thread::sleep_until(until);
      continue;
    }
    for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now())
      dispatcher.Serve(static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1));
  }
  return done();
}

}  // namespace

TVEKManagerSections VekManagerSections(TVEKSetupData& setup) {
  TVEKManagerSections s;
  s.Audio = &setup.Audio;
  s.Internet = &setup.Internet;
  s.Server = &setup.Server;
  s.System = &setup.System;
  s.Sounds = &setup.Sounds;
  s.Hours = &setup.Hours;
  s.Informer = &setup.Informer;
  s.Recorder = &setup.Recorder;
  s.Manager = &setup.Manager;
  return s;
}

TVEKManager::TVEKManager(uint32_t options, TVEKAudioRT* audio_rt, const TVEKManagerSections& sections,
                         const std::u16string& config_file_name, const TOnCreated& on_created,
                         const TVEKManagerSeams& seams)
    : options_(options),
      audio_rt_(audio_rt),
      sections_(sections),
      config_file_name_(config_file_name),
      seams_(seams) {
  if (!sections_.Audio || !sections_.Internet || !sections_.Server || !sections_.System ||
      !sections_.Sounds || !sections_.Hours || !sections_.Informer || !sections_.Recorder)
    throw Exception("engine: a configuration section is missing");
  if (on_created) on_created(*this);
  CopySectionSettings();
  InitTimedSettings();
  try {
    CreateBaseObjects();
    GoOffline();
    Start();
  } catch (...) {
    JoinWorkers();
    FreeObjects();
    throw;
  }
}

TVEKManager::~TVEKManager() {
  TerminateAndWait();
  JoinWorkers();
  FreeObjects();
}

// The settings of the sections that the setters may change later. The
// reconnect count and interval are taken as they stand: the front end hands
// them over through their setters, which clamp, and engines built from bare
// sections (an interval of 0 reconnects at once) keep what they were given.
void TVEKManager::CopySectionSettings() {
  if (const TSection_Manager* m = sections_.Manager) ApplyManagerSection(*m);
  const TVEKServerParameters& s = *sections_.Server;
  link_.ReconnectCount = s.ServerReconnectCount;
  link_.ReconnectInterval = s.ServerReconnectInterval;
  link_.MainServerUseProxy = s.MainServerUseProxy;
  link_.BackupServerUseProxy = s.BackupServerUseProxy;
  link_.BackupServerMode = s.BackupServerMode;
  link_.ForcedBackupServerAddress = s.ForcedBackupServerAddress;
  link_.ForcedBackupServerPort = s.ForcedBackupServerPort;
  link_.ForcedBackupServerNetwork = s.ForcedBackupServerNetwork;
  link_.ForcedBackupServerUseProxy = s.ForcedBackupServerUseProxy;
  const TVEKAudioParams& a = *sections_.Audio;
  VekNormalizeLevelParams(capture_agc_, a.InAGC);
  VekNormalizeLevelParams(playback_agc_, a.OutAGC);
  capture_hpf_enabled_ = a.InHPFEnabled;
  capture_hpf_order_ = VekCheckRange2to10(a.InHPFOrder);
  playback_hpf_enabled_ = a.OutHPFEnabled;
  playback_hpf_order_ = VekCheckRange2to10(a.OutHPFOrder);
}

// Each worker is wired as soon as it exists: its thread runs from its
// constructor on.
void TVEKManager::CreateBaseObjects() {
  // The waiter first: every receiver wakes the engine through it.
  waiter_ = std::make_unique<TWaiter2Socket>(0);
  reader_texts_ = std::make_unique<TFifoStringThreadSafeU>(16);
  error_texts_ = std::make_unique<TFifoStringThreadSafeU>(16);
  warning_texts_ = std::make_unique<TFifoStringThreadSafeU>(16);
  info_texts_ = std::make_unique<TFifoStringThreadSafeU>(16);
  recorder_files_ = std::make_unique<TFifoStringThreadSafeU>(8);
  pool_ = std::make_unique<TDaxPoolBuffers>(kPoolBufferBytes, kPoolBufferCount);
  pool_->Fill();
  reader_ = std::make_unique<TVEKSoundReader>(pool_.get(), sections_.System, sections_.Sounds);
  AssignReaderEvents();
  client_lists_ = std::make_unique<TVEKClientListQueue>(16);
  player_queue_ = std::make_unique<TVEKQueueFlat>(kPlayerQueueCapacity, pool_.get());
  link_attr_ = std::make_unique<TVEKLinkAttr>();
  const TVEKServerParameters& server = *sections_.Server;
  link_attr_->SetProtoListFormat(static_cast<TVEKProtoListFormat>(server.ProtoListFormat));
  link_attr_->SetProtoSoundAck(server.ProtoSoundAck);
  link_attr_->SetProtoUnicode(server.ProtoUnicode);
  link_attr_->SetProtoShortFrames(server.ProtoShortFrames);
  maker_ = std::make_unique<TVEKConnectionMaker>(*sections_.Internet, nullptr);
  if (!(options_ & mopt_NoSoundCard)) {
    audio_ = std::make_unique<TVEKAudioPA>(
        audio_rt_, pool_.get(), *sections_.Audio, [this](TVEKAudioPA* audio) { OnAudioCreated(*audio); },
        seams_.MakeStreamApi ? seams_.MakeStreamApi() : nullptr);
    RecomputePlayTiming();
  }
  captured_ = std::make_unique<TDaxBufferPtr>(kCapturedRingCapacity, 4);
  protocol_ = std::make_unique<TVEKProtocol>(captured_.get(), pool_.get(), player_queue_.get(), *sections_.Internet,
                                             server, maker_.get(), *sections_.Audio);
  protocol_->SetLinkAttr(link_attr_.get());
  AssignProtocolEvents();
  dyn_pass_ = std::make_unique<TVEKDynamicPassword>(*maker_);
  AssignDynPassEvents();
  ifc_pool_ = std::make_unique<TVEKRadioIfcPool>();
  ifc_pool_->Seams.Clock = seams_.Clock;
  ifc_pool_->Seams.SerialPort = seams_.SerialPort;
  checker_ = std::make_unique<TVEKCheckMain>(server, *maker_);
  AssignCheckerEvents();
  executor_ = std::make_unique<TVEKExecutorProcess>();
  AssignExecutorEvents();
  recorder_ = std::make_unique<TVEKSoundWriter>(*sections_.Recorder, sections_.System->ProgramDir);
  AssignRecorderEvents();
  DtmfTimeoutMs = 15000;
  connect_sounds_ = std::make_unique<TVEKConnectSounds>(
      VekConnectSoundsPath(sections_.Sounds->ConnectSoundCfgFileName, sections_.System->ProgramDir));
  connect_sounds_->OnConnectSoundError = [this](const std::u16string& text) {
    PushError(u"CONNECT SOUND: " + text);
  };
}

void TVEKManager::OnAudioCreated(TVEKAudioPA& audio) { AssignAudioEvents(audio); }

void TVEKManager::AssignAudioEvents(TVEKAudioPA& audio) {
  audio.OnErrorText = [this](const std::u16string& text) {
    if (sections_.System->LogAudioErrors) PushError(u"AUDIO: " + text);
  };
  audio.OnWarningText = [this](const std::u16string& text) { PushWarning(u"AUDIO: " + text); };
  audio.OnInfoText = [this](const std::u16string& text) { PushInfo(u"AUDIO: " + text); };
  audio.OnHardwareFailure = [this] { Raise(me_Evn_Audio_HardwareFailure); };
  audio.OnDtmfTone = [this] { Raise(me_Evn_Audio_DtmfTone); };
  audio.OnPoolUnderflow = [this] { Raise(me_Evn_Audio_PoolUnderflow); };
  TVEKAudioPA* card = &audio;
  audio.OnPlayLevel = [this, card] {
    const uint32_t word = card->LevelWord();
    RaiseWith(me_Evn_Audio_PlayLevel, [word](TVEKEventArgs& a) { a.Word = word; });
  };
  audio.OnCaptureLevel = [this, card] {
    const uint32_t word = card->LevelWord();
    capture_level_.store(word);
    RaiseWith(me_Evn_Audio_CaptureLevel, [word](TVEKEventArgs& a) { a.Word = word; });
  };
  // An own sound must not outrun the card: the reader pauses while the
  // card's queue is full.
  audio.SetOnQueueHigh([this] {
    if (sound_mode_.load() != msm_Normal && !Terminated()) reader_->PauseReading();
  });
  audio.SetOnQueueLow([this] {
    if (sound_mode_.load() != msm_Normal && !Terminated()) reader_->ResumeReading();
  });
}

void TVEKManager::AssignReaderEvents() {
  TVEKSoundReader& r = *reader_;
  r.OnSoundText = [this](const std::u16string& text) {
    PushText(*reader_texts_, me_Evn_Reader_Text, u"READER: " + text);
  };
  r.OnFixedSoundStarted = [this](int index) {
    RaiseWith(me_Evn_Reader_ServiceSoundStart, [index](TVEKEventArgs& a) { a.Number = index; });
  };
  r.OnFileStarted = [this] { Raise(me_Evn_Reader_ExternalSoundStart); };
  // A reader event supersedes an empty play buffer seen before it.
  r.OnFramesReady = [this] {
    voice_.ReaderFinished = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      pending_[me_Evn_Reader_DataReady] = 1;
      pending_[me_Evn_Audio_PlayBufferIsEmpty] = 0;
    }
    Wake();
  };
  r.OnSoundFinished = [this] {
    {
      std::lock_guard<std::mutex> guard(lock_);
      pending_[me_Evn_Reader_Finished] = 1;
      pending_[me_Evn_Audio_PlayBufferIsEmpty] = 0;
    }
    Wake();
  };
}

void TVEKManager::AssignRecorderEvents() {
  TVEKSoundWriter* rec = recorder_.get();
  rec->OnRecorderError = [this](const std::u16string& text) { PushError(u"RECORDER: " + text); };
  rec->OnFileWritten = [this](const std::u16string& name) {
    if (OnRecorderFileWritten) PushText(*recorder_files_, me_Evn_Writer_FileWritten, name);
  };
  // Each over may start the script, as fast as a server changes talkers:
  // a bounded number runs at once. The starter lives as long as the
  // recorder that calls it.
  const TVEKWriterCfgParams& cfg = *sections_.Recorder;
  if (cfg.Enabled && !DaxTrimW(cfg.Script).empty()) {
    auto starter = std::make_shared<TVEKProgramStarter>();
    starter->OnWarning = [this](const std::u16string& text) { PushWarning(u"RECORDER: " + text); };
    starter->OnError = [this](const std::u16string& text) { PushError(u"RECORDER: " + text); };
    rec->StartProgram = [starter](const std::u16string& program, const std::vector<std::u16string>& args) {
      return starter->StartProgram(program, args);
    };
  }
  protocol_->Recorder.Start = [rec](uint8_t direction, const std::u16string& band, const std::u16string& description,
                                    const std::u16string& name, const std::u16string& city,
                                    const std::u16string& country) {
    rec->QueueStart(direction == frd_SERVER, band, description, name, city, country);
  };
  protocol_->Recorder.Data = [rec](const void* pcm, int bytes) { rec->QueueData(pcm, bytes); };
  protocol_->Recorder.Stop = [rec] { rec->QueueStop(); };
}

void TVEKManager::AssignCheckerEvents() {
  TVEKCheckMain& c = *checker_;
  c.OnError = [this](const std::u16string& text) { PushError(u"CHECKER: " + text); };
  c.OnServerConfirmed = [this](uint8_t) { Raise(me_Evn_Checker_Result); };
  c.OnChecked = [this](uint8_t kind, const std::u16string& host, int32_t port, uint8_t online,
                       const std::u16string& text) {
    RaiseWith(me_Evn_Checker_Report, [&](TVEKEventArgs& a) {
      a.Number = kind;
      a.Host = host;
      a.Port = port;
      a.Number2 = online;
      a.Text = text;
    });
  };
}

// Data slots of the proxy events, shared by the protocol and the
// system-manager client: Number the proxy type (or error code), Host, Port,
// Text.
void TVEKManager::AssignDynPassEvents() {
  TVEKDynamicPassword& d = *dyn_pass_;
  TVEKDynamicPassword* dp = dyn_pass_.get();
  d.OnResolving = [this](const std::u16string& host, int32_t port) {
    RaiseWith(me_Evn_DynPass_Connecting, [&](TVEKEventArgs& a) {
      a.Host = host;
      a.Port = port;
    });
  };
  d.OnConnected = [this] { Raise(me_Evn_DynPass_Connected); };
  // The proxy steps raise the protocol's proxy events (wired before this).
  d.OnProxyConnecting = protocol_->OnProxyConnecting;
  d.OnProxyConnected = protocol_->OnProxyConnected;
  d.OnProxyError = protocol_->OnProxyError;
  d.OnConnectError = [this, dp](const std::u16string& text) {
    RaiseText(me_Evn_DynPass_Error, u"CONNECT: " + text, VekHostPortText(dp->ManagerHost, dp->ManagerPort));
  };
  d.OnAnswerError = [this](const std::u16string& text, const std::u16string& answer) {
    RaiseText(me_Evn_DynPass_Error, u"PROTOCOL: " + text, answer);
  };
  d.OnError = [this](const std::u16string& text) { RaiseText(me_Evn_DynPass_Error, text); };
  d.OnRegisterRequest = [this](const std::u16string& text) {
    RaiseText(me_Evn_DynPass_StaticPasswordRequested, text);
  };
  d.OnRegistered = [this] { Raise(me_Evn_DynPass_NewStaticPasswordSent); };
  d.OnPasswordRequest = [this](const std::u16string& text) {
    RaiseText(me_Evn_DynPass_DynamicPasswordRequested, text);
  };
  d.OnInvalidStaticPassword = [this](const std::u16string& text) {
    RaiseText(me_Evn_DynPass_InvalidStaticPassword, text);
  };
  d.OnNewPassword = [this](const std::u16string& text) { RaiseText(me_Evn_DynPass_GotPassword, text); };
}

// Data slots: Text/Detail for texts (37: the password sent and the server's
// message), Host/Port for addresses, Number/Number2 for versions and counts.
void TVEKManager::AssignProtocolEvents() {
  TVEKProtocol& p = *protocol_;
  p.OnLogText = [this] { Raise(me_Evn_Proto_LogLines); };
  p.OnError = [this](const std::u16string& text) { PushText(*error_texts_, me_Evn_Proto_Error, u"PROTO: " + text); };
  p.OnThreadError = [this](const std::u16string& text) {
    PushText(*error_texts_, me_Evn_Proto_Error, u"PROTO: FATAL: " + text);
  };
  p.OnProxyConnecting = [this](uint8_t kind, const std::u16string& host, int32_t port) {
    RaiseWith(me_Evn_Proto_ProxyConnecting, [&](TVEKEventArgs& a) {
      a.Number = kind;
      a.Host = host;
      a.Port = port;
    });
  };
  p.OnProxyConnected = [this] { Raise(me_Evn_Proto_ProxyConnected); };
  p.OnProxyError = [this](uint8_t code, const std::u16string& text) {
    RaiseWith(me_Evn_Proto_ProxyError, [&](TVEKEventArgs& a) {
      a.Number = code;
      a.Text = text;
    });
  };
  p.OnServerConnecting = [this](const std::u16string& host, int32_t port) {
    RaiseWith(me_Evn_Proto_ServerConnecting, [&](TVEKEventArgs& a) {
      a.Host = host;
      a.Port = port;
    });
  };
  p.OnServerConnected = [this] {
    player_queue_->Clear();
    Raise(me_Evn_Proto_ServerConnected);
  };
  p.OnServerConnectError = [this](const std::u16string& text) { RaiseText(me_Evn_Proto_ServerConnectError, text); };
  p.OnProtocolError = [this](const std::u16string& text, const std::u16string& detail) {
    RaiseText(me_Evn_Proto_ProtocolError, text, detail);
  };
  p.OnLoginWrong = [this](const std::u16string& password_sent, const std::string& server_message) {
    RaiseText(me_Evn_Proto_AnswerInvalidPassword, password_sent, DaxHookSysToUnicode(server_message));
  };
  p.OnLoginBlocked = [this](const std::u16string& text) { RaiseText(me_Evn_Proto_AnswerBlocked, text); };
  p.OnLoginError = [this](const std::u16string& text) { RaiseText(me_Evn_Proto_AnswerUnknownError, text); };
  p.OnPeerDisconnected = [this] { Raise(me_Evn_Proto_PeerDisconnected); };
  p.OnDisconnecting = [this] { Raise(me_Evn_Proto_Disconnecting); };
  p.OnDisconnected = [this] { Raise(me_Evn_Proto_Disconnected); };
  p.OnHandshakeRequest = [this](int32_t version, const std::u16string& text) {
    RaiseWith(me_Evn_Proto_HandshakeRequest, [&](TVEKEventArgs& a) {
      a.Number = version;
      a.Text = text;
    });
  };
  p.OnHandshaked = [this](int32_t newest, int32_t server_version, const std::u16string& text) {
    RaiseWith(me_Evn_Proto_Handshaked, [&](TVEKEventArgs& a) {
      a.Number = newest;
      a.Number2 = server_version;
      a.Text = text;
    });
  };
  p.OnLoginPhase1 = [this] { Raise(me_Evn_Proto_LoginPhase1); };
  p.OnLoggedInPhase1 = [this] { Raise(me_Evn_Proto_LoggedInPhase1); };
  p.OnLoginPhase2 = [this] { Raise(me_Evn_Proto_LoginPhase2); };
  p.OnLoggedInPhase2 = [this] { Raise(me_Evn_Proto_LoggedInPhase2); };
  p.OnLoginPhase3 = [this] { Raise(me_Evn_Proto_LoginPhase3); };
  p.OnLoggedInPhase3 = [this] { Raise(me_Evn_Proto_LoggedInPhase3); };
  p.OnInitiated = [this] { Raise(me_Evn_Proto_Initiated); };
  p.OnUnknownMarker = [this] { Raise(me_Evn_Proto_Marker); };
  p.OnKeepAlive = [this] { Raise(me_Evn_Proto_KeepAlive); };
  p.OnMessage = [this] { Raise(me_Evn_Proto_Message); };
  p.OnPoolUnderflow = [this] { Raise(me_Evn_Proto_PoolUnderflow); };
  // The list events carry a tick; the count is the list's own.
  TVEKProtocol* pr = protocol_.get();
  auto count_event = [this](TVEKManagerEvent event, std::function<size_t()> count) {
    return [this, event, count](uint32_t) {
      const int32_t n = static_cast<int32_t>(count());
      RaiseWith(event, [n](TVEKEventArgs& a) { a.Number = n; });
    };
  };
  p.OnNetworks = count_event(me_Evn_Proto_Networks, [pr] { return pr->Networks().size(); });
  p.OnBannedList = count_event(me_Evn_Proto_BlockedList, [pr] { return pr->BannedList().size(); });
  p.OnMutedList = count_event(me_Evn_Proto_MutedList, [pr] { return pr->MutedList().size(); });
  p.OnAdminsList = count_event(me_Evn_Proto_AdminsList, [pr] { return pr->AdminList().size(); });
  p.OnAccessList = count_event(me_Evn_Proto_AccessList, [pr] { return pr->AccessList().size(); });
  p.OnModes = count_event(me_Evn_Proto_Modes, [pr] { return pr->AccessModes().size(); });
  p.OnNotices = count_event(me_Evn_Proto_Notices, [pr] { return pr->Notices().size(); });
  p.OnClientList = [this] { ProtocolClientList(); };
  p.OnPlayStart = [this] { Raise(me_Evn_Proto_QueueData); };
  p.OnPlayData = [this] { Raise(me_Evn_Proto_QueueData); };
  p.OnPlayStop = [this] { Raise(me_Evn_Proto_QueueData); };
  p.OnRxAborted = [this] { Raise(me_Evn_Proto_RxAborted); };
  p.OnRxAlignSkipped = [this](uint32_t ms) {
    RaiseWith(me_Evn_Proto_RxAlignSkipped, [ms](TVEKEventArgs& a) { a.Number = static_cast<int32_t>(ms); });
  };
  p.OnServerTimeout = [this] { Raise(me_Evn_Proto_ServerTimeout); };
  p.OnTxApproved = [this] { Raise(me_Evn_Proto_TxApproved); };
  p.OnTxRejected = [this] { Raise(me_Evn_Proto_TxRejected); };
  p.OnTxAbortedByServer = [this] { Raise(me_Evn_Proto_TxAbortedByServer); };
  p.OnTxDataEnded = [this] { Raise(me_Evn_Proto_TxDataEnded); };
  p.OnAfterSend = [this] { Raise(me_Evn_Proto_DataSent, false); };
  p.OnTxRequestRepeated = [this] { PrepareCapture(); };
}

// Protocol thread, the player queue's only producer: its room cannot shrink
// between the test and the put.
void TVEKManager::ProtocolClientList() {
  TVEKClientsArray list;
  if (protocol_->ClientListQueue().PopLatest(list) && player_queue_->HasRoom())
    player_queue_->PutClientsList(list);
  Raise(me_Evn_Proto_QueueData);
}

void TVEKManager::PushText(TFifoStringThreadSafeU& fifo, TVEKManagerEvent event, const std::u16string& text) {
  fifo.Push(text);
  Raise(event);
}

void TVEKManager::RaiseText(TVEKManagerEvent event, const std::u16string& text, const std::u16string& detail) {
  RaiseWith(event, [&](TVEKEventArgs& a) {
    a.Text = text;
    a.Detail = detail;
  });
}

void TVEKManager::PushError(const std::u16string& text) { PushText(*error_texts_, me_Evn_Log_Error, text); }
void TVEKManager::PushWarning(const std::u16string& text) { PushText(*warning_texts_, me_Evn_Log_Warning, text); }
void TVEKManager::PushInfo(const std::u16string& text) { PushText(*info_texts_, me_Evn_Log_Info, text); }
void TVEKManager::RadioError(const std::u16string& text) { PushError(u"RADIO: " + text); }
void TVEKManager::RadioInfo(const std::u16string& text) { PushInfo(u"RADIO: " + text); }

uint32_t TVEKManager::Now() const { return seams_.Clock ? seams_.Clock() : DaxTickMs(); }

// ----- start and end

bool TVEKManager::AllThreadsStarted() const {
  return started_.load() && (!audio_ || audio_->Started()) && checker_->Started() && reader_->Started() &&
         dyn_pass_->Started() && protocol_->Started() && recorder_->Started() && executor_->Started();
}

void TVEKManager::WaitThreadsStarted() {
  if (!PollServing(dispatcher_, [this] { return AllThreadsStarted(); }, 100, 20))
    throw Exception("Threads are not started in time");
}

void TVEKManager::TerminateAndWake() {
  Terminate();
  waiter_->Signal();
}

void TVEKManager::RequestLogReopen() {
  reopen_request_.store(true);
  waiter_->Signal();
}

void TVEKManager::WaitForEnd() {
  if (dispatcher_.OnServingThread())
    dispatcher_.WaitServing([this] { return RunEnded(); });
  WaitFor();
}

void TVEKManager::TerminateAndWait() {
  if (Finished()) {
    WaitFor();
    return;
  }
  TerminateAndWake();
  WaitForEnd();
}

std::u16string TVEKManager::FatalErrorText() const { return DaxHookSysToUnicode(FatalExceptionText()); }

void TVEKManager::SetOnStopping(TEvent on_stopping) {
  bool begun;
  {
    std::lock_guard<std::mutex> guard(on_stopping_lock_);
    on_stopping_ = on_stopping;
    begun = stopping_;
  }
  if (begun && on_stopping) on_stopping();
}

void TVEKManager::NotifyStopping() {
  TEvent on_stopping;
  {
    std::lock_guard<std::mutex> guard(on_stopping_lock_);
    stopping_ = true;
    on_stopping = on_stopping_;
  }
  if (on_stopping) on_stopping();
}

void TVEKManager::StopWorkers() {
  NotifyStopping();
  auto guarded = [](auto&& stop) {
    try {
      stop();
    } catch (...) {
    }
  };
  if (reader_) guarded([&] { reader_->Stop(); });
  if (audio_) guarded([&] { audio_->Stop(); });
  if (recorder_) guarded([&] { recorder_->Stop(); });
  if (executor_) guarded([&] { executor_->Stop(); });
  if (dyn_pass_) guarded([&] { dyn_pass_->Stop(); });
  if (checker_) guarded([&] { checker_->Stop(); });
  if (protocol_) guarded([&] { protocol_->Stop(); });
  if (player_queue_) player_queue_->Clear();
  SetRunState(false);
}

// Every worker thread ends before anything is freed: the protocol feeds
// the recorder, and every worker raises through the engine's lock and
// waiter until its thread is gone.
void TVEKManager::JoinWorkers() {
  TDaxThread* workers[] = {reader_.get(), audio_.get(), recorder_.get(), executor_.get(),
                           dyn_pass_.get(), checker_.get(), protocol_.get()};
  try {
    StopWorkers();
  } catch (...) {
  }
  for (TDaxThread* w : workers)
    if (w) w->WaitFor();
}

void TVEKManager::FreeObjects() {
  connect_sounds_.reset();
  timed_.DtmfCommands.clear();
  recorder_.reset();
  executor_.reset();
  dyn_pass_.reset();
  protocol_.reset();
  checker_.reset();
  FreeLines();
  reader_.reset();
  audio_.reset();
  if (captured_ && pool_) pool_->Buffers().MoveAllFrom(*captured_);
  captured_.reset();
  ifc_pool_.reset();
  maker_.reset();
  link_attr_.reset();
  if (player_queue_) player_queue_->Clear();
  player_queue_.reset();
  client_lists_.reset();
  pool_.reset();
  recorder_files_.reset();
  info_texts_.reset();
  warning_texts_.reset();
  error_texts_.reset();
  reader_texts_.reset();
  waiter_.reset();
}

// ----- commands

void TVEKManager::SetRunState(bool on) {
  wanted_run_state_.store(on);
  Raise(me_Evn_Cmd_SetRunState);
}

void TVEKManager::SetOnline(bool on) {
  if (link_.Online.load() == on) return;
  if (on) {
    link_.RemainingReconnects = link_.ReconnectCount;
    if (TVEKServer* server = link_attr_->Server()) server->SetOnBackup(false);
  }
  link_.WantedOnline.store(on);
  Raise(me_Evn_Cmd_SetOnline);
}

void TVEKManager::SendTextMessage(const std::string& receiver_id, const std::u16string& text) {
  std::unique_ptr<TVEKMessage> message = VekCreateMessage(receiver_id, text);
  if (VekStateHas(link_state_.load(), msp_LoggedIn)) protocol_->QueueTextMessage(std::move(message));
}

void TVEKManager::RegisterAccount(const TVEKAccount& account) {
  TVEKDynamicPassword& d = *dyn_pass_;
  d.ManagerHost = ManagerAddress;
  d.ManagerPort = ManagerPort;
  d.EMail = account.EMailAddress;
  d.NameText = VekNameText(account);
  d.BandText = VekClientTypeText(account);
  d.Description = account.Description;
  d.Country = account.Country;
  d.PlaceText = VekCityText(account);
  d.CharsetName = account.CharsetName;
  d.RequestRegister();
}

// ----- setters

void TVEKManager::SetPlayDelay(uint32_t ms) {
  const uint32_t delay = ms > 1000 ? 1000 : ms;
  if (delay == play_delay_ms_.load()) return;
  play_delay_ms_.store(delay);
  // The hour slot depends on the rounded delay: compute that first.
  RecomputePlayTiming();
  RecomputeHourSlot();
}

void TVEKManager::RecomputePlayTiming() {
  const auto delay = static_cast<int32_t>(play_delay_ms_.load());
  if (!audio_) {
    play_delay_rounded_ms_.store(static_cast<uint32_t>(delay));
    play_buffer_ms_.store(0);
    return;
  }
  play_delay_rounded_ms_.store(static_cast<uint32_t>(audio_->RoundToPlayBufferMs(delay)));
  play_buffer_ms_.store(static_cast<uint32_t>(audio_->PlayBuffersToMs(1)));
}

void TVEKManager::SetPostCaptureWait(int32_t ms) { voice_.PostCaptureWait = DaxClamp0To2000(ms); }
void TVEKManager::SetCosHoldAfterCapture(int32_t ms) { voice_.HoldAfterCapture = DaxClamp1To10000(ms); }
void TVEKManager::SetCosHoldAfterPlayback(int32_t ms) { voice_.HoldAfterPlayback = DaxClamp1To10000(ms); }
void TVEKManager::SetReconnectCount(int32_t count) { link_.ReconnectCount = DaxClamp2To10(count); }
void TVEKManager::SetReconnectInterval(uint32_t ms) { link_.ReconnectInterval = DaxClamp3000To300000(ms); }

void TVEKManager::ApplyManagerSection(const TSection_Manager& manager) {
  ManagerAddress = manager.ManagerAddress;
  ManagerPort = manager.ManagerPort;
  DynamicPasswordMode = manager.DynamicPasswordMode;
  ManagerLatency = static_cast<uint32_t>(DaxClamp0To60000(manager.Latency));
}
void TVEKManager::SetStatus(uint8_t status) { protocol_->SetStatus(status); }
void TVEKManager::SetClientVersion(int32_t version) { protocol_->ClientVersion = version; }
void TVEKManager::SetTxStartGap(int32_t) {}

void TVEKManager::SetNetwork(const std::u16string& network) {
  network_ = network;
  link_attr_->SetNetwork(network);
}

void TVEKManager::SetLoginInfo(TVEKLoginInfo* info) { link_attr_->SetLoginInfo(info); }
void TVEKManager::SetServerEntry(TVEKServer* server) { link_attr_->SetServer(server); }
void TVEKManager::ApplyProtocolSettings(const TVEKInternetParameters& internet) { maker_->SetParams(internet); }

void TVEKManager::SetLevelMode(int32_t mode) {
  if (audio_) audio_->SetLevelMode(mode);
}

void TVEKManager::SetOnLevel(TEvent on_level) {
  std::lock_guard<std::mutex> guard(on_level_lock_);
  on_level_ = std::move(on_level);
}

// ----- accessors

std::u16string TVEKManager::GetNetworkName() const {
  return protocol_->IsLoggedIn() ? protocol_->CurrentNetwork() : network_;
}
uint8_t TVEKManager::GetAccessLevel() const { return protocol_->Privilege(); }
std::u16string TVEKManager::GetServerMessage() const { return protocol_->ServerMessage(); }
uint32_t TVEKManager::GetExtensionFlags() const { return protocol_->ServerFlags(); }
std::u16string TVEKManager::GetServerAddress() const { return protocol_->TargetHost; }
int32_t TVEKManager::GetServerPort() const { return protocol_->TargetPort; }
std::u16string TVEKManager::GetPeerIP() const { return protocol_->GetPeerIP(); }
TVEKBlockMuteArray TVEKManager::GetBlockedList() const { return protocol_->BannedList(); }
TVEKBlockMuteArray TVEKManager::GetMutedList() const { return protocol_->MutedList(); }
TVEKAdminsArray TVEKManager::GetAdminsList() const { return protocol_->AdminList(); }
TVEKRightsArray TVEKManager::GetAccessList() const { return protocol_->AccessList(); }
TVEKModesArray TVEKManager::GetModes() const { return protocol_->AccessModes(); }
TVEKNetworksArray TVEKManager::GetNetworks() const { return protocol_->Networks(); }
TVEKNoticesArray TVEKManager::GetNotices() const { return protocol_->Notices(); }
std::unique_ptr<TVEKMessage> TVEKManager::PopMessage() { return protocol_->PopMessage(); }
bool TVEKManager::PopUnknownMarker(uint8_t& marker) { return protocol_->PopUnknownMarker(marker); }
bool TVEKManager::PopClientList(TVEKClientsArray& list) { return client_lists_->PopLatest(list); }
bool TVEKManager::PopInfoText(std::u16string& text) { return info_texts_ && info_texts_->Pop(text); }
bool TVEKManager::PopWarningText(std::u16string& text) { return warning_texts_ && warning_texts_->Pop(text); }
bool TVEKManager::PopErrorText(std::u16string& text) { return error_texts_ && error_texts_->Pop(text); }
bool TVEKManager::PopRecorderFileName(std::u16string& name) { return recorder_files_ && recorder_files_->Pop(name); }
bool TVEKManager::PopStartedFileName(std::u16string& name) { return reader_->PopStartedFileName(name); }
std::u16string TVEKManager::GetSoundName(int index) const { return reader_->GetSoundName(index); }

void TVEKManager::AudioTakeSkipCounters(int32_t& dropped_by_limit, int32_t& dropped_by_overflow) {
  dropped_by_limit = 0;
  dropped_by_overflow = 0;
  if (audio_) audio_->TakeSkipCounters(dropped_by_limit, dropped_by_overflow);
}
