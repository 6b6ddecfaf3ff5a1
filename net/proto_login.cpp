// Connect, handshake and the versioned login of the protocol thread.
#include "net/proto_login.h"

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/tags.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "net/conn_mk.h"
#include "net/exception.h"
#include "net/idn.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/server.h"

namespace {

std::u16string SysText(const std::string& s) { return DaxHookSysToUnicode(s); }

}  // namespace

int32_t VekNewestClientVersion(const std::string& line1) {
  int32_t v = 0;
  return DaxTryStrToInt(line1, v) ? v : kVekUnknownNewestVersion;
}

bool VekParseBackupAnnouncement(const std::string& answerLine, std::u16string& host, int32_t& port) {
  std::string bn, bp;
  if (!VekTagExtract("BN", answerLine, bn)) return false;
  const std::u16string h = DaxHostToUnicode(bn);
  // A host with control bytes is no host: neither stored nor connected to.
  if (!VekIsCleanHostName(h) || !VekTagExtract("BP", answerLine, bp)) return false;
  int64_t p = 0;
  if (!DaxTryStrToInt64(bp, p) || p < 1 || p > 65535) return false;
  host = h;
  port = static_cast<int32_t>(p);
  return true;
}

uint8_t VekAccessLevelPrivilege(const std::string& accessLevel) {
  if (accessLevel == "OK") return clpr_USER;
  if (accessLevel == "ADMIN") return clpr_ADMIN;
  if (accessLevel == "OWNER") return clpr_SERVOWNER;
  if (accessLevel == "NETOWNER") return clpr_NETOWNER;
  return clpr_NONE;
}

// ---------------------------------------------------------------------------

std::u16string TVEKProtocol::ServerText(const std::string& bytes) {
  return converter_.BufToUnicode(bytes.data(), static_cast<int32_t>(bytes.size()));
}

std::u16string TVEKProtocol::ServerOrUtf8(const std::string& bytes) {
  return (sef_ & VEK_EXT_UTF8) ? DaxUtf8DecodeW(bytes) : ServerText(bytes);
}

void TVEKProtocol::ReadAnswerLine(std::string& line, int32_t maxLength) {
  try {
    conn_->Params.ReadTimeout = static_cast<int32_t>(ReceiveTimeoutMs.load());
    conn_->ReadLine(line, maxLength);
    if (conn_->Stopping) throw EVEKErrorProtoStopped("Connecting is aborted");
  } catch (...) {
    ResetSession();
    throw;
  }
}

TVEKProtocol::TStep TVEKProtocol::StepConnecting() {
  try {
    conn_->SetHost(TargetHost);
    conn_->SetPort(TargetPort);
    if (maker_) VekConnApplyParams(*conn_, *maker_, TargetUseProxy);
    conn_->PeerDisconnectIsError = false;
    InstallForwarders();
    conn_->ClearWakeup();
    conn_->Connect();
    if (abort_) {
      conn_->Disconnect();
      throw EVEKErrorConnection("Connecting is aborted");
    }
  } catch (const EVEKErrorConnectionProxy& e) {
    ResetSession();
    if (OnProxyError) OnProxyError(e.Code, SysText(e.Message()));
    return step_Wait;
  } catch (const std::exception& e) {
    ResetSession();
    if (OnServerConnectError) OnServerConnectError(SysText(e.what()));
    return step_Wait;
  }
  SetState(PROTO_STATE_HANDSHAKING);
  return StepHandshaking();
}

TVEKProtocol::TStep TVEKProtocol::StepHandshaking() {
  std::string line1, line2;
  {
    std::lock_guard<std::mutex> g(data_lock_);
    handshake_answer_.clear();
    answer_line1_.clear();
  }
  const int32_t clientVersion = ClientVersion.load();
  proto_ = VekMakeProtoObject(vpc_Custom, *this);
  proto_class_ = vpc_Custom;
  proto_->TakeConverter(link_attr_);
  {
    std::lock_guard<std::mutex> g(link_attr_->ConverterLock());
    converter_.SetCharset(DaxAnsiToUnicodeRaw(link_attr_->Converter().CharsetName()));
  }
  try {
    link_attr_->SetClientVersion(clientVersion);
    const std::string cs = link_attr_->BuildConnectionString(TargetNetwork);
    if (OnHandshakeRequest) OnHandshakeRequest(clientVersion, ServerText(DaxTrim(cs)));
    try {
      conn_->WriteBuffer(cs.data(), static_cast<int32_t>(cs.size()));
      conn_->Flush();
    } catch (const std::exception& e) {
      if (OnServerConnectError) OnServerConnectError(SysText(e.what()));
      ResetSession();
      return step_Wait;
    }
    AfterSend();
    conn_->Params.ReadTimeout = static_cast<int32_t>(ReceiveTimeoutMs.load());
    conn_->PeerDisconnectIsError = true;

    ReadAnswerLine(line1, kVekAnswerLineMax);
    newest_version_ = VekNewestClientVersion(line1);
    last_received_ = Now();
    {
      std::lock_guard<std::mutex> g(data_lock_);
      answer_line1_ = line1;
    }
    ReadAnswerLine(line2, kVekAnswerLineMax);
    {
      std::lock_guard<std::mutex> g(data_lock_);
      handshake_answer_ = line2;
    }
    std::string sv;
    if (!VekTagExtract("SV", line2, sv)) RaiseVekInvalidServerResponse(VekMsgNoServerVersionTag(), line2);
    int32_t serverVersion = 0;
    if (!DaxTryStrToInt(sv, serverVersion)) RaiseVekInvalidServerVersion(sv);
    server_version_ = serverVersion;
    if (OnHandshaked) OnHandshaked(newest_version_.load(), serverVersion, ServerText(line2));
    ParseLoginAnswer(line2);
    const TVekProtoClass kind = VekSelectProtoClass(serverVersion, clientVersion);
    proto_ = VekMakeProtoObject(kind, *this);
    proto_->TakeConverter(link_attr_);
    proto_class_ = kind;
  } catch (const EVEKErrorProtocolAnswerWrong& e) {
    SetState(PROTO_STATE_DISCONNECTING);
    if (OnLoginWrong) OnLoginWrong(e.PasswordSent, e.ServerMessage);
    return step_Continue;
  } catch (const EVEKErrorProtocolAnswerBlocked& e) {
    SetState(PROTO_STATE_DISCONNECTING);
    if (OnLoginBlocked) OnLoginBlocked(e.ServerMessage);
    return step_Continue;
  } catch (const EVEKErrorProtocolAnswerError& e) {
    SetState(PROTO_STATE_DISCONNECTING);
    if (OnLoginError) OnLoginError(e.ServerMessage);
    return step_Continue;
  } catch (const EVEKErrorPeerDisconnected& e) {
    ResetSession();
    if (OnServerConnectError) OnServerConnectError(SysText(e.Message()));
    return step_Wait;
  } catch (const EVEKErrorConnection& e) {
    ResetSession();
    if (OnServerConnectError) OnServerConnectError(u"Connect error: " + SysText(e.Message()));
    return step_Wait;
  } catch (const std::exception& e) {
    std::u16string context = ServerText(line1);
    if (!line2.empty()) context += u": " + ServerText(line2);
    ReportError(SysText(e.what()), context);
    return step_Continue;
  }
  SetState(PROTO_STATE_LOGIN_P1);
  return StepLoginP1();
}

void TVEKProtocol::ParseLoginAnswer(const std::string& line) {
  tx_packet_[2] = '1';
  sef_ = 0;
  std::string v;
  int64_t flags = 0;
  if (VekTagExtract("SEF", line, v) && DaxTryStrToInt64(v, flags)) {
    sef_ = static_cast<uint32_t>(flags);
    if (sef_ & VEK_EXT_SHORT_FRAMES) tx_packet_[2] = '8';
  }
  std::u16string message;
  bool haveMessage = false;
  if ((sef_ & VEK_EXT_UTF8) && VekTagExtract("MTU", line, v)) {
    message = DaxUtf8DecodeW(v);
    haveMessage = true;
  } else if (VekTagExtract("MT", line, v)) {
    message = ServerText(v);
    haveMessage = true;
  }
  if (haveMessage) {
    std::lock_guard<std::mutex> g(data_lock_);
    server_message_ = message;
  } else {
    message = ServerMessage();
  }
  std::string al;
  if (!VekTagExtract("AL", line, al)) RaiseVekInvalidServerResponse(VekMsgNoAccessLevelTag(), line);
  if (al == "WRONG") {
    // Disconnect however the step is left.
    requests_[req_Disconnect].store(1);
    const TVEKLoginInfo* info = link_attr_->LoginInfo();
    RaiseVekAnswerWrong(VekMsgInvalidPassword(), info ? info->PasswordToSend() : std::u16string(),
                        DaxHookUnicodeToSys(message));
  }
  if (al == "BLOCK") RaiseVekAnswerBlocked(VekMsgAccountIsBlocked(), message);
  if (al == "DUPL") RaiseVekAnswerDupl(VekMsgAccountIsAlreadyConnected(), message);
  if (al == "ERROR") RaiseVekAnswerError(VekMsgUnknownServerError(), message);
  const uint8_t privilege = VekAccessLevelPrivilege(al);
  if (privilege == clpr_NONE) RaiseVekInvalidServerResponse(VekQuotedText(VekMsgUnknownAccessLevel(), al), line);
  privilege_ = privilege;
  std::u16string network, id;
  if (VekTagExtract("NT", line, v)) network = ServerOrUtf8(v);
  if (VekTagExtract("ID", line, v)) id = ServerOrUtf8(v);
  std::lock_guard<std::mutex> g(data_lock_);
  current_network_ = network;
  own_client_id_ = id;
}

TVEKProtocol::TStep TVEKProtocol::StepLoginP1() {
  if (OnLoginPhase1) OnLoginPhase1();
  try {
    proto_->LoginPhase1(HandshakeAnswer());
    if (privilege_ == clpr_NONE) RaiseVekInvalidClientMode();
  } catch (const std::exception& e) {
    ReportError(SysText(e.what()), ServerText(HandshakeAnswer()));
    return step_Continue;
  }
  last_received_ = Now();
  if (OnLoggedInPhase1) OnLoggedInPhase1();
  SetState(PROTO_STATE_LOGIN_P2);
  return StepLoginP2();
}

TVEKProtocol::TStep TVEKProtocol::StepLoginP2() {
  if (OnLoginPhase2) OnLoginPhase2();
  try {
    proto_->LoginPhase2();
  } catch (const std::exception& e) {
    ReportError(SysText(e.what()), u"PROTO_STATE_LOGIN_P2");
    return step_Continue;
  }
  last_received_ = Now();
  if (OnLoggedInPhase2) OnLoggedInPhase2();
  SendRxState();
  if (OnLoginPhase3) OnLoginPhase3();
  SetState(PROTO_STATE_LOGIN_SEQ);
  return StateStep();
}

void TVEKProtocol::CompleteLogin() {
  if (OnLoggedInPhase3) OnLoggedInPhase3();
  std::u16string chosen;
  {
    std::lock_guard<std::mutex> g(data_lock_);
    if (!current_network_.empty() && DaxIndexOfText(networks_, current_network_) < 0) current_network_.clear();
    if (current_network_.empty()) {
      const int i = DaxIndexOfText(networks_, TargetNetwork);
      current_network_ = i >= 0 ? networks_[static_cast<size_t>(i)] : networks_.front();
    }
    chosen = current_network_;
  }
  SetState(PROTO_STATE_IDLE);
  if (TVEKServer* server = ServerEntry()) {
    server->SetServerText(std::u16string());
    server->Confirm(chosen);
  }
  if (OnInitiated) OnInitiated();
}
