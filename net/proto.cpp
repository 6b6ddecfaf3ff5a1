#include "net/proto.h"

#include <cstring>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "net/conn_mk.h"
#include "net/conn_sock.h"
#include "net/exception.h"
#include "net/link_attr.h"
#include "net/server.h"
#include "station/gsmprocessor.h"

namespace {

std::u16string SysText(const std::string& s) { return DaxHookSysToUnicode(s); }

}  // namespace

TVEKProtocol::TVEKProtocol(TDaxBufferPtr* captured, TDaxPoolBuffers* pool, TVEKQueueFlat* playerQueue,
                           const TVEKInternetParameters& /*internet*/, const TVEKServerParameters& server,
                           TVEKConnectionMaker* maker, const TVEKAudioParams& audio,
                           std::unique_ptr<TVEKConnection> connection)
    : Clock([] { return DaxTickMs(); }),
      captured_(captured),
      pool_(pool),
      player_queue_(playerQueue),
      maker_(maker),
      pre_capture_blocks_(VekPreCaptureBlocks(audio.InPreCapturedTime)),
      rx_align_enabled_(server.RxAlignEnabled),
      rx_align_time_(static_cast<uint32_t>(server.RxAlignTime)),
      conn_(std::move(connection)) {
  if (!conn_) conn_ = maker_->NewConnection(false);
  decoder_ = std::make_unique<TGSM49Processor>();
  encoder_ = std::make_unique<TGSM49Processor>();
  DaxByteBufferInit(line_buffer_, 2048);
  networks_.assign(64, std::u16string());
  Start();
}

TVEKProtocol::~TVEKProtocol() {
  if (!Finished()) {
    Terminate();
    abort_ = true;
    StopConnectionFromOutside();
    WaitFor();
  }
  ReturnBatch();
  if (conn_->IsConnected()) conn_->Disconnect();
}

void TVEKProtocol::SetLinkAttr(TVEKLinkAttr* linkAttr) {
  link_attr_ = linkAttr;
  if (proto_) proto_->TakeConverter(linkAttr);
}

// ---------------------------------------------------------------------------
// Requests

void TVEKProtocol::WakeThread() { conn_->Wakeup(); }

void TVEKProtocol::StopConnectionFromOutside() {
  // Only the owner thread closes the socket; from here it is shut down so a
  // blocked read, write or connect returns.
  conn_->RequestStop();
}

void TVEKProtocol::SetRequest(TRequest r) {
  requests_[r].store(1, std::memory_order_release);
  WakeThread();
}

bool TVEKProtocol::TakeRequest(TRequest r) { return requests_[r].exchange(0, std::memory_order_acq_rel) != 0; }

bool TVEKProtocol::AnyRequest() const {
  for (const auto& r : requests_)
    if (r.load(std::memory_order_acquire) != 0) return true;
  return false;
}

void TVEKProtocol::RequestConnect() {
  if (!link_attr_) throw Exception("connect attributes server not provided");
  if (!link_attr_->Server()) throw Exception("server not provided");
  // The wake-up is sent before the thread can take the request: one sent
  // after would reach the connect it asked for and end it as woken.
  std::lock_guard<std::mutex> g(connect_lock_);
  SetRequest(req_Connect);
}

void TVEKProtocol::RequestDisconnect() {
  const uint8_t s = State();
  // A connect, handshake or payload read in progress is cut short: the
  // request is served as soon as the thread is back in its loop.
  if (s != PROTO_STATE_DISCONNECTED && s != PROTO_STATE_DISCONNECTING) {
    // The request before the abort: the thread that sees the abort must
    // find the request too (LoggedInStep).
    requests_[req_Disconnect].store(1, std::memory_order_release);
    abort_ = true;
    StopConnectionFromOutside();
    return;
  }
  SetRequest(req_Disconnect);
}

void TVEKProtocol::RequestTX() { SetRequest(req_TX); }
void TVEKProtocol::RequestStopTX() { SetRequest(req_StopTX); }
void TVEKProtocol::EnableReceive() { SetRequest(req_ReceiveOn); }
void TVEKProtocol::DisableReceive() { SetRequest(req_ReceiveOff); }

void TVEKProtocol::SetStatus(uint8_t status) {
  status_ = status;
  SetRequest(req_Status);
}

void TVEKProtocol::QueueTextMessage(std::unique_ptr<TVEKMessage> message) {
  outgoing_messages_.Push(std::move(message));
  SetRequest(req_Messages);
}

void TVEKProtocol::Abort() {
  abort_ = true;
  RecorderStop();
  StopConnectionFromOutside();
}

bool TVEKProtocol::WithdrawConnect() {
  std::lock_guard<std::mutex> g(connect_lock_);
  return requests_[req_Connect].exchange(0, std::memory_order_acq_rel) != 0;
}

bool TVEKProtocol::HasLinkOrAttempt() const {
  std::lock_guard<std::mutex> g(connect_lock_);
  return requests_[req_Connect].load(std::memory_order_acquire) != 0 || connect_pending_ ||
         State() != PROTO_STATE_DISCONNECTED;
}

void TVEKProtocol::ResetStats() {
  stat_start_ = 0;
  stat_end_ = 0;
  stat_frames_ = 0;
  stat_passes_ = 0;
  stat_waits_ = 0;
}

void TVEKProtocol::Stop() {
  RecorderStop();
  abort_ = true;
  Terminate();
  StopConnectionFromOutside();
  WakeThread();
}

// ---------------------------------------------------------------------------
// Results

bool TVEKProtocol::PopUnknownMarker(uint8_t& marker) {
  if (unknown_markers_.Count() == 0) return false;
  try {
    marker = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(unknown_markers_.PopOne()));
  } catch (const EPtrBufferErrorUnderflow&) {
    return false;
  }
  return true;
}

std::u16string TVEKProtocol::GetNetworkName() {
  if (IsLoggedIn()) return CurrentNetwork();
  return link_attr_ ? link_attr_->Network() : std::u16string();
}

std::u16string TVEKProtocol::GetPeerIP() { return conn_->GetPeerIP(); }

TVEKProtoRxStats TVEKProtocol::GetRxStats() const {
  TVEKProtoRxStats s;
  s.Duration = static_cast<int32_t>(stat_end_.load() - stat_start_.load());
  s.Audio = stat_frames_.load() * static_cast<int32_t>(kVekFrameMs);
  s.Passes = stat_passes_.load();
  s.Waits = stat_waits_.load();
  return s;
}

#define VEK_LOCKED_GETTER(Type, Name, field)      \
  Type TVEKProtocol::Name() const {               \
    std::lock_guard<std::mutex> g(data_lock_);    \
    return field;                                 \
  }
VEK_LOCKED_GETTER(std::u16string, ServerMessage, server_message_)
VEK_LOCKED_GETTER(std::string, RawServerMessage, raw_server_message_)
VEK_LOCKED_GETTER(std::u16string, CurrentNetwork, current_network_)
VEK_LOCKED_GETTER(std::u16string, OwnClientId, own_client_id_)
VEK_LOCKED_GETTER(std::string, HandshakeAnswer, handshake_answer_)
VEK_LOCKED_GETTER(TVEKClientsArray, Clients, clients_)
VEK_LOCKED_GETTER(std::vector<std::u16string>, Networks, networks_)
VEK_LOCKED_GETTER(TVEKBlockMuteArray, BannedList, banned_)
VEK_LOCKED_GETTER(TVEKBlockMuteArray, MutedList, muted_)
VEK_LOCKED_GETTER(TVEKAdminsArray, AdminList, admins_)
VEK_LOCKED_GETTER(TVEKRightsArray, AccessList, access_)
VEK_LOCKED_GETTER(TVEKModesArray, AccessModes, modes_)
VEK_LOCKED_GETTER(TVEKNoticesArray, Notices, notices_)
#undef VEK_LOCKED_GETTER

TVEKServer* TVEKProtocol::ServerEntry() const { return link_attr_ ? link_attr_->Server() : nullptr; }

void TVEKProtocol::SetRawServerMessage(const std::string& raw) {
  std::lock_guard<std::mutex> g(data_lock_);
  raw_server_message_ = raw;
}

// ---------------------------------------------------------------------------
// Sending

void TVEKProtocol::SendBytes(const void* data, int32_t length) {
  if (length <= 0) return;
  try {
    conn_->WriteBuffer(data, length);
  } catch (...) {
    // The next logged-in step sees the closed link and reports it.
    if (conn_->IsConnected()) conn_->Disconnect();
  }
}

void TVEKProtocol::SendText(const std::string& text) { SendBytes(text.data(), static_cast<int32_t>(text.size())); }

void TVEKProtocol::FlushOutput() {
  try {
    conn_->Flush();
  } catch (...) {
    if (conn_->IsConnected()) conn_->Disconnect();
  }
}

// ---------------------------------------------------------------------------
// Events and errors

void TVEKProtocol::LogText(const std::u16string& text) {
  log_fifo_.Push(text);
  if (OnLogText) OnLogText();
}

void TVEKProtocol::ThreadError(const std::u16string& text) {
  if (OnThreadError) OnThreadError(text);
}

void TVEKProtocol::ReportError(const std::u16string& message, const std::u16string& context) {
  SetState(PROTO_STATE_DISCONNECTING);
  if (OnProtocolError) OnProtocolError(message, context);
}

void TVEKProtocol::InstallForwarders() {
  TVEKConnection& c = *conn_;
  c.SetOnResolving([this](const std::u16string& host, int32_t port) {
    if (OnServerConnecting) OnServerConnecting(host, port);
  });
  c.SetOnConnected([this] {
    if (!abort_ && OnServerConnected) OnServerConnected();
  });
  c.SetOnProxyConnecting([this](uint8_t kind, const std::u16string& host, int32_t port) {
    if (OnProxyConnecting) OnProxyConnecting(kind, host, port);
  });
  c.SetOnProxyConnected([this] {
    if (OnProxyConnected) OnProxyConnected();
  });
  c.SetOnReadTimedOut([this] { ThreadError(u"Read timed out"); });
  c.SetOnReservedA([this] {
    if (OnServerConnectError) OnServerConnectError(std::u16string());
  });
  c.SetOnReservedB([this] {
    if (OnProxyError) OnProxyError(0, std::u16string());
  });
  c.OnReservedD = [this] { ThreadError(u"Write timed out"); };
  c.SetOnReadError([this](const std::u16string& t) { ThreadError(u"Read error: " + t); });
  c.SetOnWriteError([this](const std::u16string& t) { ThreadError(u"Write error: " + t); });
  c.SetOnReservedC([this] {
    if (OnPeerDisconnected) OnPeerDisconnected();
  });
  c.SetOnDisconnected([this] {
    if (OnDisconnected) OnDisconnected();
  });
  c.SetOnFatalError([this](const std::u16string& t) { ThreadError(u"connection fatal error: " + t); });
}

// ---------------------------------------------------------------------------
// Link reset and disconnecting

void TVEKProtocol::ResetSession() {
  SetState(PROTO_STATE_DISCONNECTED);
  abort_ = false;
  receive_on_ = false;
  client_list_queue_.Clear();
  {
    std::lock_guard<std::mutex> g(data_lock_);
    current_network_.clear();
    server_message_.clear();
    own_client_id_.clear();
    // Talker look-ups and list changes must never run against the list of
    // a previous session.
    clients_.clear();
  }
  talker_id_.clear();
  privilege_ = clpr_NONE;
  sef_ = 0;
  ReturnBatch();
  conn_->Disconnect();
}

void TVEKProtocol::CloseConnection() {
  if (conn_->IsConnected()) conn_->Disconnect();
  ResetSession();
}

void TVEKProtocol::StepDisconnecting(bool withEvent) {
  if (withEvent && OnDisconnecting) OnDisconnecting();
  CloseConnection();
  SetState(PROTO_STATE_DISCONNECTED);
  if (OnDisconnected) OnDisconnected();
}

void TVEKProtocol::HandleDisconnectRequest() {
  const uint8_t s = State();
  if (s == PROTO_STATE_DISCONNECTED) return;
  abort_ = true;
  switch (s) {
    case PROTO_STATE_RX:
      try {
        QueuePlayStop();
      } catch (const std::exception& e) {
        ThreadError(SysText(e.what()));
      }
      if (OnRxAborted) OnRxAborted();
      break;
    case PROTO_STATE_TX_REQ_WAITS_APPROVE:
      DropTxRequest();
      break;
    case PROTO_STATE_TX:
      FinishTx();
      break;
    default:
      break;
  }
  if (conn_->IsConnected()) conn_->Disconnect();
  conn_->Abort();
  SetState(PROTO_STATE_DISCONNECTING);
}

// ---------------------------------------------------------------------------
// The loop

void TVEKProtocol::HandleRequests() {
  if (TakeRequest(req_StopTX)) {
    if (State() == PROTO_STATE_TX_REQ_WAITS_APPROVE)
      DropTxRequest();
    else if (State() == PROTO_STATE_TX)
      FinishTx();
  }
  if (TakeRequest(req_TX)) SendTxRequest();
  if (TakeRequest(req_Messages)) SendQueuedMessages();
  if (TakeRequest(req_Disconnect)) {
    // Only a connect already taken (waiting for the link to go down) is
    // overtaken here; one still untaken is served after the disconnect, so
    // the engine withdraws a connect it no longer wants (WithdrawConnect).
    {
      std::lock_guard<std::mutex> g(connect_lock_);
      connect_pending_ = false;
    }
    HandleDisconnectRequest();
  }
  if (TakeRequest(req_Status) && IsLoggedIn() && proto_) proto_->SendStatus(status_);
  {
    // A connect outside DISCONNECTED waits until the link is down. Taking
    // the request and stepping to CONNECTING is one move for the engine.
    std::lock_guard<std::mutex> g(connect_lock_);
    if (TakeRequest(req_Connect)) connect_pending_ = true;
    if (connect_pending_ && State() == PROTO_STATE_DISCONNECTED) {
      connect_pending_ = false;
      ResetSession();
      SetState(PROTO_STATE_CONNECTING);
    }
  }
  if (TakeRequest(req_ReceiveOn) && IsLoggedIn()) receive_on_ = true;
  if (TakeRequest(req_ReceiveOff)) receive_on_ = false;
}

void TVEKProtocol::RunPass() {
  HandleRequests();
  uint8_t s = State();
  if (s == PROTO_STATE_TX_REQ_WAITS_APPROVE || s == PROTO_STATE_TX) TxPacing();
  if (Terminated()) return;
  ++stat_passes_;
  TStep r = StateStep();
  while (r == step_Wait) {
    if (Terminated()) return;
    if (AnyRequest()) return;
    s = State();
    if (connect_pending_ && s == PROTO_STATE_DISCONNECTED) return;
    if (s == PROTO_STATE_DISCONNECTED) {
      while (conn_->WaitWakeup(640000) == wr_Timeout && !Terminated() && !AnyRequest()) {
      }
      return;
    }
    if (s == PROTO_STATE_TX_REQ_WAITS_APPROVE || s == PROTO_STATE_TX) {
      ++stat_waits_;
      conn_->WaitReadable(TxWaitMs());
      return;
    }
    ++stat_waits_;
    if (conn_->WaitReadable(ReceiveTimeoutMs.load()) != wr_Timeout) return;
    if (OnServerTimeout) OnServerTimeout();
    SetState(PROTO_STATE_DISCONNECTING);
    r = StateStep();
  }
}

void TVEKProtocol::Execute() {
  started_ = true;
  while (!Terminated()) {
    try {
      RunPass();
    } catch (const Exception& e) {
      ThreadError(u"Proto thread execute: " + SysText(e.ClassName()) + u": " + SysText(e.Message()));
    } catch (const std::exception& e) {
      // Not one of the program's classes: a fault of the program itself.
      ThreadError(u"Proto thread execute: std::exception: " + SysText(e.what()));
    }
  }
}

TVEKProtocol::TStep TVEKProtocol::StateStep() {
  switch (State()) {
    case PROTO_STATE_DISCONNECTED:
      return step_Wait;
    case PROTO_STATE_DISCONNECTING:
      StepDisconnecting(true);
      return step_Wait;
    case PROTO_STATE_CONNECTING:
      return StepConnecting();
    case PROTO_STATE_HANDSHAKING:
      return StepHandshaking();
    case PROTO_STATE_LOGIN_P1:
      return StepLoginP1();
    case PROTO_STATE_LOGIN_P2:
      return StepLoginP2();
    case PROTO_STATE_LOGIN_SEQ:
    case PROTO_STATE_RX:
    case PROTO_STATE_TX_REQ_WAITS_APPROVE:
    case PROTO_STATE_TX:
    case PROTO_STATE_IDLE:
      return LoggedInStep();
    default:
      throw Exception("Unknown proto state");
  }
}

TVEKProtocol::TStep TVEKProtocol::LoggedInStep() {
  // A disconnect request is served by the next pass, so that a reception or
  // transmission ends as that request says. One that comes while this step
  // runs shows here first as its abort or as the socket it shut down (it
  // sets its flag before either): the link's end is then that request's,
  // announced by it, not a link lost.
  auto disconnect_requested = [this] {
    return requests_[req_Disconnect].load(std::memory_order_acquire) != 0;
  };
  if (disconnect_requested()) return step_Continue;
  // After Abort the socket is only shut down; it counts as disconnected,
  // not as closed by the server.
  if (!conn_->IsConnected() || abort_) {
    if (disconnect_requested()) return step_Continue;
    if (conn_->IsConnected()) conn_->Disconnect();
    ResetSession();
    if (OnDisconnected) OnDisconnected();
    return step_Wait;
  }
  const uint32_t now = Now();
  if (now - last_received_ >= ReceiveTimeoutMs.load()) {
    last_received_ = now;
    if (OnServerTimeout) OnServerTimeout();
    StepDisconnecting(false);
    return step_Wait;
  }
  int32_t available = 0;
  try {
    available = conn_->Available();
  } catch (const EVEKErrorPeerDisconnected&) {
    if (disconnect_requested()) return step_Continue;
    ResetSession();
    if (OnPeerDisconnected) OnPeerDisconnected();
    return step_Continue;
  } catch (const std::exception& e) {
    if (disconnect_requested()) return step_Continue;
    ResetSession();
    ThreadError(SysText(e.what()));
    return step_Continue;
  }
  if (available <= 0) {
    // A peer that closed without an error shows as a closed read.
    if (conn_->LastReadResult == VEK_RAW_CLOSED) {
      if (disconnect_requested()) return step_Continue;
      ResetSession();
      if (OnPeerDisconnected) OnPeerDisconnected();
      return step_Continue;
    }
    return step_Wait;
  }
  try {
    uint8_t marker = 0;
    ReadPayload(&marker, 1);
    ProcessMarker(marker);
  } catch (const EVEKErrorProtoStopped&) {
    // The link is being stopped: the pending request takes over.
  } catch (const Exception& e) {
    if (conn_->Stopping) return step_Continue;
    ThreadError(SysText(e.what()));
    ResetSession();
  }
  return step_Continue;
}

void TVEKProtocol::ReadPayload(void* buffer, int32_t length) {
  conn_->ReadBuffer(buffer, length);
  if (conn_->Stopping) throw EVEKErrorProtoStopped("read stopped");
}
