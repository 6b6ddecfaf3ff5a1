// Connection supervision, the password cycle, backup servers and server
// switches.
#include "engine/cli_backup_file.h"
#include "engine/mngr.h"
#include "engine/sound_modes.h"
#include "foundation/charset.h"
#include "foundation/exception.h"
#include "foundation/texts.h"
#include "net/checkmain.h"
#include "net/clq.h"
#include "net/dyn_pass.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/qflat.h"
#include "net/server.h"

namespace {

// The hard time-out: a logged-in link with nothing sent (or received as a
// keep-alive) for longer than this is dropped.
constexpr uint32_t kHardTimeoutMs = 8999;

bool StopsVoiceOnDisconnect(uint8_t sound_mode) {
  if (!VekIsSoundMode(sound_mode)) throw Exception("Unknown sound mode");
  return VekSoundModeHas(sound_mode, smp_SilencedByLink);
}

}  // namespace

// ---------------------------------------------------------------------------
// Small steps

TVEKServer& TVEKManager::LinkServer() const {
  TVEKServer* server = link_attr_ ? link_attr_->Server() : nullptr;
  if (!server) throw Exception("server is not assigned");
  return *server;
}

TVEKLoginInfo& TVEKManager::LinkLogin() const {
  TVEKLoginInfo* info = link_attr_ ? link_attr_->LoginInfo() : nullptr;
  if (!info) throw Exception("login info not provided");
  return *info;
}

void TVEKManager::GoOffline() {
  link_.LoginComplete = false;
  link_state_.store(mst_Offline);
  voice_.ReportedTalker.clear();
  if (client_lists_) client_lists_->Clear();
}

void TVEKManager::ScheduleReconnect() {
  link_.CycleStep = dpc_Static;
  link_.ReconnectWaitStart = pass_now_;
  link_.ReconnectWaitPending = true;
  link_.ManagerAskedThisWait = false;
}

void TVEKManager::RequestDisconnect() {
  if (player_queue_) player_queue_->Clear();
  const TVEKManagerState state = link_state_.load();
  if (state == mst_TxOn || state == mst_TxEnding) _tr_TxStop();
  protocol_->RequestDisconnect();
}

void TVEKManager::FinishDisconnect() {
  if (StopsVoiceOnDisconnect(sound_mode_.load())) StopVoice();
  const bool was_offline = link_state_.load() == mst_Offline;
  GoOffline();
  if (!was_offline) Notify(OnDisconnected);
}

void TVEKManager::BeginDisconnect() {
  protocol_->ResetStats();
  const TVEKManagerState state = link_state_.load();
  if (state == mst_Offline || state == mst_Disconnecting) return;
  link_state_.store(mst_Disconnecting);
  link_.LoginComplete = false;
  // No protocol event ends a disconnect when nothing was connected: a
  // password request, or a connect the protocol has not taken yet.
  if (state == mst_DynPassword) {
    dyn_pass_->Cancel();
    FinishDisconnect();
    return;
  }
  if (state == mst_Connecting) {
    protocol_->WithdrawConnect();
    if (!protocol_->HasLinkOrAttempt()) {
      FinishDisconnect();
      return;
    }
    // The attempt was taken: its failure or the disconnect ends it.
    RequestDisconnect();
    return;
  }
  RaiseNow(me_Evn_Proto_Disconnected);
  RequestDisconnect();
}

void TVEKManager::_tr_Timeout() {
  GoOffline();
  carrier_.Outcome = cco_NoConnection;
  StopVoice();
  Notify(OnServerTimedOut);
  RequestDisconnect();
}

// ---------------------------------------------------------------------------
// Backup state and server choice

TVEKBackupMode TVEKManager::GetBackupState() const {
  TVEKServer* server = link_attr_ ? link_attr_->Server() : nullptr;
  if (!server || !server->OnBackup()) return bm_MAIN;
  if (link_.BackupServerMode == bsm_YES) return bm_BACKUP;
  if (link_.BackupServerMode == bsm_FORCED) return bm_FORCED;
  return bm_MAIN;
}

void TVEKManager::UseMainServer(const std::u16string& host, int32_t port) {
  protocol_->TargetNetwork = link_attr_->Network();
  protocol_->TargetHost = host;
  protocol_->TargetPort = port;
  protocol_->TargetUseProxy = link_.MainServerUseProxy;
}

void TVEKManager::SelectBackupServer() {
  TVEKServer& server = LinkServer();
  const TVEKServerPair pair = server.GetServers();
  switch (GetBackupState()) {
    case bm_MAIN:
      UseMainServer(pair.MainHost, pair.MainPort);
      break;
    case bm_BACKUP:
      if (!pair.BackupHost.empty() && pair.BackupPort > 0) {
        protocol_->TargetNetwork = link_attr_->Network();
        protocol_->TargetHost = pair.BackupHost;
        protocol_->TargetPort = pair.BackupPort;
        protocol_->TargetUseProxy = link_.BackupServerUseProxy;
      } else {
        UseMainServer(pair.MainHost, pair.MainPort);
        server.SetOnBackup(false);
      }
      break;
    case bm_FORCED:
      if (!link_.ForcedBackupServerAddress.empty()) {
        protocol_->TargetHost = link_.ForcedBackupServerAddress;
        protocol_->TargetPort = link_.ForcedBackupServerPort > 0 ? link_.ForcedBackupServerPort : pair.MainPort;
        protocol_->TargetNetwork = !link_.ForcedBackupServerNetwork.empty() ? link_.ForcedBackupServerNetwork
                                                                             : link_attr_->Network();
        protocol_->TargetUseProxy = link_.ForcedBackupServerUseProxy;
      } else {
        UseMainServer(pair.MainHost, pair.MainPort);
        server.SetOnBackup(false);
      }
      break;
    default:
      throw Exception("Unknown backup server mode");
  }
}

// ---------------------------------------------------------------------------
// Connection attempts and passwords

void TVEKManager::SearchDynamicPassword(TVEKLoginInfo& info) {
  Notify(OnSearchDynamicPassword, info.Account().EMailAddress, protocol_->TargetHost, info);
}

void TVEKManager::RequestDynamicPassword() {
  TVEKDynamicPassword& dp = *dyn_pass_;
  // A request still winding down answers "busy": nothing would ever leave
  // the password state then, so wait for the next attempt instead.
  if (dp.State() != TVEKDynamicPassword::kIdle) {
    GoOffline();
    ScheduleReconnect();
    return;
  }
  TVEKLoginInfo& info = LinkLogin();
  dp.ManagerHost = ManagerAddress;
  dp.ManagerPort = ManagerPort.load();
  dp.EMail = info.Account().EMailAddress;
  dp.StaticPassword = info.Account().Password;
  dp.ClientVersion = protocol_->ClientVersion.load();
  dp.Latency = ManagerLatency.load();
  SelectBackupServer();
  dp.ServerHost = protocol_->TargetHost;
  try {
    dp.RequestPassword();
  } catch (const Exception&) {
    GoOffline();
    ScheduleReconnect();
    return;
  }
  link_.ManagerAskedThisWait = true;
  link_state_.store(mst_DynPassword);
  Notify(OnDynPassRequestStart);
}

// Whatever fails inside an attempt counts as a failed attempt: the next one
// waits the reconnect interval instead of following at the pass rate.
void TVEKManager::StartConnectAttempt() {
  try {
    RunConnectAttempt();
  } catch (const std::exception& e) {
    EndFailedAttempt(e);
  } catch (...) {
    EndFailedAttempt(Exception("unknown exception"));
  }
}

void TVEKManager::EndFailedAttempt(const std::exception& e) {
  ReportLoopError(e);
  if (link_state_.load() == mst_DynPassword) dyn_pass_->Cancel();
  GoOffline();
  ScheduleReconnect();
}

void TVEKManager::RunConnectAttempt() {
  const TVEKManagerState state = link_state_.load();
  if (state != mst_Offline && state != mst_DynPassword) return;
  TVEKServer& server = LinkServer();
  TVEKLoginInfo& info = LinkLogin();
  const uint8_t mode = DynamicPasswordMode.load();
  if (mode != dpm_NO && link_.CycleStep != dpc_Static && info.NewDynamicPassword().empty()) {
    SearchDynamicPassword(info);
    if (info.NewDynamicPassword().empty()) {
      RequestDynamicPassword();
      return;
    }
  }
  if (player_queue_) player_queue_->Clear();

  const bool was_on_backup = server.OnBackup();
  if (link_.RemainingReconnects.load() <= 0) {
    server.SetOnBackup(link_.BackupServerMode == bsm_NO ? false : !server.OnBackup());
    link_.RemainingReconnects = link_.ReconnectCount;
  }
  SelectBackupServer();
  const bool on_backup = server.OnBackup();
  if (on_backup != was_on_backup) {
    Notify(OnBackupServerMode, on_backup);
    if (on_backup) {
      checker_->SetServerParams(link_attr_.get());
      checker_->StartChecking();
    } else {
      checker_->StopChecking();
    }
  }

  if (mode == dpm_NO) {
    info.SetPasswordToSend(info.Account().Password);
  } else {
    if (info.PasswordToSend().empty() || info.PasswordServer() != protocol_->TargetHost) {
      SearchDynamicPassword(info);
      info.SetPasswordServer(protocol_->TargetHost);
    } else if (info.NewDynamicPassword().empty() && info.OldDynamicPassword().empty()) {
      RequestDynamicPassword();
      return;
    }
    switch (link_.CycleStep) {
      case dpc_Static:
        info.SetPasswordToSend(info.Account().Password);
        break;
      case dpc_EMail:
        info.SetPasswordToSend(info.NewDynamicPassword());
        break;
      case dpc_Server:
        info.SetPasswordToSend(info.OldDynamicPassword());
        break;
      default:
        throw Exception("Unknown password cycle");
    }
  }
  link_state_.store(mst_Connecting);
  protocol_->RequestConnect();
}

void TVEKManager::HandleLoginRefusal(uint8_t kind, TVEKManagerEvent event) {
  TVEKLoginInfo& info = LinkLogin();
  const uint8_t mode = DynamicPasswordMode.load();
  const std::u16string new_password = info.NewDynamicPassword();
  const std::u16string old_password = info.OldDynamicPassword();
  uint8_t last = dpc_Server;
  if (mode == dpm_NO || new_password.empty())
    last = dpc_Static;
  else if (old_password.empty() || old_password == new_password)
    last = dpc_EMail;
  const uint8_t step = link_.CycleStep;
  if (step > dpc_Server) throw Exception("Unknown password cycle");

  link_.RefusalResults[step] = kind;
  const TVEKEventArgs& args = Args(event);
  if (kind == lrk_ServerError)
    Notify(OnAnswerUnknownError, args.Text);
  else if (kind == lrk_Blocked)
    Notify(OnAnswerAccountBlocked, args.Text);
  else
    Notify(OnAnswerInvalidPassword, step, args.Detail, args.Text);

  const bool online = link_.Online.load();
  if (step < last) {
    link_.CycleStep = step + 1;
    if (online) StartConnectAttempt();
    return;
  }

  for (int i = 0; i <= last; ++i) {
    if (link_.RefusalResults[i] == lrk_Blocked) {
      Notify(OnProtocolError, VekMsgAccountIsBlocked(), std::u16string());
      if (online) ScheduleReconnect();
      return;
    }
  }
  const bool first_password_due = FirstDynamicPasswordDue(last);
  if (LinkServer().OnBackup() && link_.RefusalResults[0] == lrk_InvalidPassword) {
    Notify(OnProtocolError, VekMsgAccountIsBlockedOrInvalidPassword(), std::u16string());
    if (online) {
      --link_.RemainingReconnects;
      if (first_password_due)
        RequestFirstDynamicPassword();
      else
        ScheduleReconnect();
      return;
    }
  }
  bool dynamic_refused = false;
  const std::u16string text = RefusedPasswordsText(last, dynamic_refused);
  if (text.empty()) {
    Notify(OnProtocolError, VekMsgUnknownServerError(), std::u16string());
    if (online) {
      --link_.RemainingReconnects;
      ScheduleReconnect();
    }
    return;
  }
  Notify(OnProtocolError, text, args.Detail);
  if (!online) return;
  // A manager that keeps handing out a password the server refuses is
  // asked once per reconnect wait, not at network speed.
  if (first_password_due)
    RequestFirstDynamicPassword();
  else if (dynamic_refused && !link_.ManagerAskedThisWait)
    RequestDynamicPassword();
  else
    ScheduleReconnect();
}

// With no dynamic password obtained yet the cycle holds the static password
// alone; once a server refuses it, only the manager can hand out another.
bool TVEKManager::FirstDynamicPasswordDue(uint8_t last_step) const {
  const uint8_t mode = DynamicPasswordMode.load();
  return (mode == dpm_SOFT || mode == dpm_YES) && last_step == dpc_Static &&
         link_.RefusalResults[dpc_Static] == lrk_InvalidPassword && !link_.ManagerAskedThisWait;
}

// The manager's answer then goes out as the new dynamic password.
void TVEKManager::RequestFirstDynamicPassword() {
  link_.CycleStep = dpc_EMail;
  RequestDynamicPassword();
}

std::u16string TVEKManager::RefusedPasswordsText(int last_step, bool& dynamic_refused) const {
  std::u16string text;
  for (int i = 0; i <= last_step; ++i) {
    if (link_.RefusalResults[i] != lrk_InvalidPassword) continue;
    if (text.empty()) text = VekMsgInvalidPassword();
    text += u": ";
    if (i == dpc_Static) {
      text += VekMsgStatic();
    } else {
      text += VekMsgDynamic();
      dynamic_refused = true;
    }
  }
  return text;
}

// ---------------------------------------------------------------------------
// End of every pass

void TVEKManager::SuperviseConnection() {
  // A keep-alive counts like a command sent: under sound acknowledgement
  // the client answers none, and an idle link would be dropped otherwise.
  if (IsCurrent(me_Evn_Proto_DataSent) || IsCurrent(me_Evn_Proto_KeepAlive)) link_.LastSendTime = pass_now_;
  if (!link_.Online.load()) return;
  const TVEKManagerState state = link_state_.load();
  if (state == mst_Offline) {
    if (link_.ReconnectWaitPending && pass_now_ - link_.ReconnectWaitStart >= link_.ReconnectInterval)
      link_.ReconnectWaitPending = false;
    if (link_.ReconnectWaitPending) return;
    TVEKLoginInfo& info = LinkLogin();
    info.SetPasswordToSend(DynamicPasswordMode.load() == dpm_NO ? info.Account().Password
                                                                : info.GetNewDynamicPassword());
    StartConnectAttempt();
    return;
  }
  if (VekStateHas(state, msp_LoggedIn) && pass_now_ - link_.LastSendTime > kHardTimeoutMs) {
    link_.LastSendTime = pass_now_;
    Notify(OnServerTimeoutHard);
    protocol_->Abort();
    _tr_Timeout();
    ScheduleReconnect();
  }
}

// ---------------------------------------------------------------------------
// Handlers

void TVEKManager::Handle_Cmd_SetOnline() {
  SetPTT(false);
  SetLIGHT(false);
  const bool wanted = link_.WantedOnline.load();
  if (link_.Online.load() == wanted) return;
  link_.Online = wanted;
  if (!wanted) {
    dyn_pass_->Cancel();
    checker_->StopChecking();
  } else {
    protocol_->ResetStats();
    link_.RemainingReconnects = link_.ReconnectCount;
    link_.ReconnectWaitPending = false;
    link_.CycleStep = dpc_Static;
    link_.ManagerAskedThisWait = false;
  }
  Notify(OnOnlineChanged);
  if (!wanted) BeginDisconnect();
}

void TVEKManager::Handle_Proto_Error() {
  if (OnErrorText)
    Notify(OnErrorText);
  else if (error_texts_)
    error_texts_->Clear();
  if (link_state_.load() != mst_Offline) {
    link_state_.store(mst_Disconnecting);
    link_.LoginComplete = false;
  }
  RequestDisconnect();
  RaiseNow(me_Evn_Proto_PeerDisconnected);
}

void TVEKManager::Handle_Proto_ProxyError() {
  GoOffline();
  ScheduleReconnect();
  const TVEKEventArgs& args = Args(me_Evn_Proto_ProxyError);
  Notify(OnProxyError, static_cast<uint8_t>(args.Number), args.Text);
}

void TVEKManager::Handle_Proto_ServerConnectError() {
  if (link_state_.load() != mst_Offline) {
    GoOffline();
    --link_.RemainingReconnects;
    ScheduleReconnect();
  }
  Notify(OnServerConnectError, Args(me_Evn_Proto_ServerConnectError).Text);
}

// The system manager's answers move the link only while the engine waits
// for them; a late answer (after a disconnect or a switch) is reported only.
void TVEKManager::Handle_DynPass_Error() {
  const bool waiting = link_state_.load() == mst_DynPassword;
  const uint8_t mode = DynamicPasswordMode.load();
  const bool dynamic = mode == dpm_SOFT || mode == dpm_YES;
  const TVEKEventArgs& args = Args(me_Evn_DynPass_Error);
  TVEKLoginInfo& info = LinkLogin();
  if (dynamic) {
    const std::u16string new_password = info.NewDynamicPassword();
    if (new_password.empty()) {
      // Asking a dead manager again at once would loop: wait instead.
      dyn_pass_->Cancel();
      if (waiting) {
        GoOffline();
        ScheduleReconnect();
      }
      Notify(OnDynPassError, args.Text, args.Detail);
      return;
    }
    if (waiting) info.SetPasswordToSend(new_password);
  }
  Notify(OnDynPassError, args.Text, args.Detail);
  if (waiting && link_.Online.load() && dynamic && !info.PasswordToSend().empty()) StartConnectAttempt();
}

void TVEKManager::Handle_DynPass_InvalidStaticPassword() {
  dyn_pass_->Cancel();
  if (link_state_.load() == mst_DynPassword) {
    GoOffline();
    ScheduleReconnect();
  }
  Notify(OnDynPassInvalidStaticPassword, Args(me_Evn_DynPass_InvalidStaticPassword).Text);
}

void TVEKManager::Handle_DynPass_GotPassword() {
  dyn_pass_->Cancel();
  const bool waiting = link_state_.load() == mst_DynPassword;
  const std::u16string received = Args(me_Evn_DynPass_GotPassword).Text;
  TVEKLoginInfo& info = LinkLogin();
  info.SetPasswordToSend(received);
  Notify(OnGotDynamicPassword, received);
  const std::u16string server_host = dyn_pass_->ServerHost;
  if (info.NewDynamicPassword() != received || info.PasswordServer() != server_host) {
    info.SetNewDynamicPassword(received);
    info.SetOldDynamicPassword(received);
    info.SetPasswordServer(server_host);
    RaiseNow(me_Evn_Int_DynPasswordSaved);
  }
  if (waiting && link_.Online.load()) StartConnectAttempt();
}

void TVEKManager::Handle_Proto_AnswerInvalidPassword() {
  HandleLoginRefusal(lrk_InvalidPassword, me_Evn_Proto_AnswerInvalidPassword);
}
void TVEKManager::Handle_Proto_AnswerUnknownError() {
  HandleLoginRefusal(lrk_ServerError, me_Evn_Proto_AnswerUnknownError);
}
void TVEKManager::Handle_Proto_AnswerBlocked() { HandleLoginRefusal(lrk_Blocked, me_Evn_Proto_AnswerBlocked); }

void TVEKManager::Handle_Proto_ProtocolError() {
  const TVEKEventArgs args = Args(me_Evn_Proto_ProtocolError);
  if (link_state_.load() < mst_Idle) {
    // Before login a protocol error is a failed connect.
    ClearNow(me_Evn_Proto_ProtocolError);
    RaiseWith(me_Evn_Proto_ServerConnectError, [&](TVEKEventArgs& a) { a.Text = args.Text; });
    return;
  }
  GoOffline();
  Notify(OnProtocolError, args.Text, args.Detail);
  ScheduleReconnect();
}

bool TVEKManager::IsStaleLinkEvent() const {
  // While connecting the engine starts nothing new, so a link or attempt
  // the protocol still has is the one asked for: the event came from the
  // link before it (one that went down after a time-out, say).
  return link_state_.load() == mst_Connecting && protocol_->HasLinkOrAttempt();
}

void TVEKManager::Handle_Proto_PeerDisconnected() {
  const TVEKManagerState state = link_state_.load();
  if (state == mst_DynPassword || IsStaleLinkEvent()) return;
  carrier_.Outcome = cco_NoConnection;
  ScheduleReconnect();
  if (StopsVoiceOnDisconnect(sound_mode_.load())) StopVoice();
  GoOffline();
  if (state == mst_Disconnecting)
    Notify(OnDisconnected);
  else
    Notify(OnPeerDisconnected);
}

void TVEKManager::Handle_Proto_Disconnecting() {
  const TVEKManagerState state = link_state_.load();
  if (state == mst_DynPassword) return;
  if (StopsVoiceOnDisconnect(sound_mode_.load())) StopVoice();
  // While connecting, the protocol is already taking its link down (a
  // refused login) or the event is an older link's: a disconnect request
  // would only cut the attempt short.
  if (state != mst_Connecting) RequestDisconnect();
  Notify(OnDisconnecting);
}

void TVEKManager::Handle_Proto_Disconnected() {
  if (link_state_.load() == mst_DynPassword || IsStaleLinkEvent()) return;
  FinishDisconnect();
}

void TVEKManager::Handle_Proto_Initiated() {
  // A login that completes while the engine is leaving (or has left) the
  // link is not taken up: the link goes down instead.
  if (link_state_.load() != mst_Connecting) {
    RequestDisconnect();
    return;
  }
  link_.RemainingReconnects = link_.ReconnectCount;
  link_state_.store(mst_Idle);
  link_.LoginComplete = true;
  link_.LastSendTime = pass_now_;
  link_.ManagerAskedThisWait = false;
  Notify(OnSessionInitiated);
  PlayConnectSound();
}

void TVEKManager::Handle_Proto_ServerTimeout() {
  if (VekStateHas(link_state_.load(), msp_LoggedIn)) _tr_Timeout();
}

void TVEKManager::Handle_Checker_Result() {
  TVEKServer& server = LinkServer();
  if (server.OnBackup()) {
    server.SetOnBackup(false);
    Notify(OnBackupServerMode, false);
    link_.ReconnectWaitPending = false;
    link_.CycleStep = dpc_Static;
    checker_->StopChecking();
  }
  BeginDisconnect();
}

// ---------------------------------------------------------------------------
// Server switches (DTMF NETWORK and CONNECT)

void TVEKManager::SwitchServer(const std::u16string& host, int32_t port, const std::u16string& network) {
  Notify(OnServerSwitch, host, port, network);
  std::u16string backup_host = host;
  int32_t backup_port = port;
  if (sections_.System) {
    // A broken backup-server file must not lose the switch.
    try {
      std::u16string found_host;
      int32_t found_port = 0;
      if (VekBackupFileLookup(*sections_.System, host, port, found_host, found_port)) {
        backup_host = found_host;
        backup_port = found_port;
      }
    } catch (const std::exception& e) {
      PushError(DaxHookSysToUnicode(e.what()));
    }
  }
  TVEKServerPair servers;
  servers.MainHost = host;
  servers.MainPort = port;
  servers.BackupHost = backup_host;
  servers.BackupPort = backup_port;
  LinkServer().SetServers(servers);
  link_attr_->SetNetwork(network);
  BeginDisconnect();
  ScheduleReconnect();
}

void TVEKManager::ApplyPendingSwitch() {
  if (!link_.SwitchPending) return;
  link_.SwitchPending = false;
  const std::u16string host = link_.SwitchHost;
  const std::u16string network = link_.SwitchNetwork;
  SwitchServer(host, link_.SwitchPort, network);
}
