// The runner: the front end's one object between the main program and the
// engine. It owns the audio runtime and the engine (the engine goes first),
// and during a run the server entry and the login data; it writes every log
// line, to the output file the main program gives it (standard output or
// the log file).
//
// A run (Run): the banner and the configuration check, which makes the
// engine's radio lines; the radio lines switched on and their status
// logged; the login data, the server entry and the rest of the
// configuration handed to the engine (HandOverConfiguration); the engine's
// run state raised, then the engine switched online. The main thread then
// waits until the engine's thread has ended and logs how it ended (a fatal
// error, "Aborted [...]" after a stop signal).
//
// The engine's events reach the log through its owner callbacks, which the
// runner sets while the engine is being made (AssignManagerEvents). The
// engine's thread does not run them: it hands each call to the engine's
// dispatcher and waits while the main thread runs it, which happens only
// while Run or a console command waits for the engine (WaitServing). So
// every log line is written by the main thread and the log needs no lock;
// the signal thread only calls RequestStop and RequestLogReopen, which set
// requests on the engine. Lines reach the file through the output file's
// WriteLines (app/log_output.h), which makes every network text in them
// safe, so the handlers here pass such texts on as they came.
#include "app/run.h"

#include <charconv>
#include <cstdio>

#include "app/run_checkinp.h"
#include "engine/cli_backup_file.h"
#include "engine/cli_dtmf.h"
#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/exception.h"
#include "foundation/paths.h"
#include "foundation/tags.h"
#include "foundation/texts.h"
#include "foundation/types.h"
#include "net/dyn_pass.h"
#include "net/dyn_pass_file.h"
#include "net/logininfo.h"
#include "net/message.h"
#include "net/server.h"
#include "station/portaudio.h"

namespace {

std::u16string YesNo(bool v) { return v ? u"Yes" : u"No"; }

std::u16string ErrorTextOf(const std::exception& e) {
  return DaxSysToUnicodeProc(e.what());
}

// "%g" without the locale.
std::u16string GeneralFloat(float v) {
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(v),
                               std::chars_format::general, 6);
  return DaxAnsiToUnicodeRaw(std::string(buffer, r.ptr));
}

const char16_t* const kSignalNames[msig_Count] = {u"PTT", u"COS", u"LIGHT"};

// One automatic reply per sender per minute.
constexpr uint32_t kAutoReplyIntervalMs = 60000;

}  // namespace

std::u16string VekLevelBarText(uint32_t level, int32_t width) {
  if (width < 0) width = 0;
  int64_t n = (static_cast<int64_t>(level) * width + 16384) / 32768;
  if (n < 0) n = 0;
  if (n > width) n = width;
  char head[16];
  std::snprintf(head, sizeof head, "%7u  |", level);
  std::u16string bar = DaxAnsiToUnicodeRaw(head);
  bar.append(static_cast<size_t>(n), u'X');
  bar.append(static_cast<size_t>(width - n), u' ');
  bar += u'|';
  return bar;
}

// ---------------------------------------------------------------------------
// Creation

TVEKRun::TVEKRun(TVEKSetupData& setup, TVEKOutputFile* output) : output_(output), setup_(&setup) {}

TVEKRun::TVEKRun(uint32_t options, TVEKSetupData& setup, const std::u16string& config_file_name,
                 TVEKOutputFile* output, bool debug, const TVEKManagerSeams& seams)
    : output_(output), setup_(&setup), sections_(VekManagerSections(setup)), debug_(debug) {
  if ((options & ropt_NoSoundCard) == 0) audio_rt_ = std::make_unique<TVEKAudioRT>();
  if ((options & ropt_NoEngine) == 0) {
    uint32_t engine_options = 0;
    if (options & ropt_NoSoundCard) engine_options |= mopt_NoSoundCard;
    if (options & ropt_NoAbortingLine) engine_options |= mopt_NoAbortingLine;
    if (options & ropt_NoTimers) engine_options |= mopt_NoTimers;
    try {
      engine_ = std::make_unique<TVEKManager>(engine_options, audio_rt_.get(), sections_,
                                              config_file_name,
                                              [this](TVEKManager& e) { AssignManagerEvents(e); },
                                              seams);
      engine_->WaitThreadsStarted();
    } catch (...) {
      engine_.reset();
      audio_rt_.reset();
      throw;
    }
  }
}

TVEKRun::~TVEKRun() {
  check_input_.reset();
  engine_.reset();
  audio_rt_.reset();
  server_.reset();
  login_info_.reset();
}

// ---------------------------------------------------------------------------
// Output

void TVEKRun::Log(const std::u16string& text) {
  if (output_) output_->WriteLines(VekLogStamp(), {text});
}

// One stamp for all, and one write.
void TVEKRun::LogLines(const std::vector<std::u16string>& lines) {
  if (output_) output_->WriteLines(VekLogStamp(), lines);
}

void TVEKRun::Print(const std::u16string& text) {
  if (output_) output_->WriteLines(u"", {text});
}

void TVEKRun::PrintUtf8(const std::u16string& text) {
  if (output_) output_->WriteLines(u"", {text}, TVEKLineCharset::Utf8);
}

// ---------------------------------------------------------------------------
// Stop and reopen requests

void TVEKRun::RequestStop(const std::u16string& reason) {
  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    if (stop_reason_.empty()) stop_reason_ = reason;
  }
  stop_requested_.store(true);
  if (engine_) engine_->TerminateAndWake();
}

void TVEKRun::RequestLogReopen() {
  if (engine_) engine_->RequestLogReopen();
}

std::u16string TVEKRun::StopReason() const {
  std::lock_guard<std::mutex> guard(stop_lock_);
  return stop_reason_;
}

void TVEKRun::SetBackupServer(bool found, const std::u16string& host, int32_t port) {
  backup_found_ = found;
  backup_host_ = host;
  backup_port_ = port;
}

// ---------------------------------------------------------------------------
// Run

void TVEKRun::WaitForEngine() {
  if (!engine_) return;
  TVEKManager& engine = *engine_;
  engine.Dispatcher().WaitServing([&] {
    TakeNewBackupServer();
    return engine.RunEnded();
  });
  // The thread only returns now; then its fatal text is kept.
  engine.WaitFor();
  TakeNewBackupServer();
}

bool TVEKRun::CheckConfiguration() {
  bool ok = true;
  Print(u"VEKClient-console (Linux-amd64) revision 5000r");
  Print(u"Site: localhost");
  Print(u"Origin: vekclient");
  Print(u"E-Mail: root@localhost");
  Log(u"Check configuration ...");
  const TVEKCfgSection_Radio& radio = setup_->Radio;
  const std::u16string* specs[msig_Count] = {&radio.PTT, &radio.COS, &radio.LIGHT};
  for (int i = 0; i < msig_Count && engine_; ++i) {
    if (specs[i]->empty()) continue;
    const std::u16string name = kSignalNames[i];
    try {
      std::u16string error;
      if (engine_->CreateSignalLine(i, *specs[i], error))
        Log(name + u" wire: config OK");
      else
        Log(name + u" wire: ERROR: " + error);
    } catch (const std::exception& e) {
      Log(u"Error: Radio: " + name + u": " + ErrorTextOf(e));
      ok = false;
    }
  }
  if (!radio.STATIC.empty() && engine_) {
    try {
      TVEKIfcErrorList errors;
      engine_->SetStaticLines(radio.STATIC, errors);
      for (size_t n = 0; n < errors.size(); ++n) {
        const std::u16string head = u"STATIC[" + DaxIntToStrW(static_cast<int64_t>(n + 1)) + u"]: ";
        Log(errors[n].Error.empty() ? head + u"config OK" : head + u"ERROR: " + errors[n].Error);
      }
    } catch (const std::exception& e) {
      Log(u"Error: Radio: STATIC: " + ErrorTextOf(e));
      ok = false;
    }
  }
  const TSection_Manager& manager = setup_->Manager;
  if (ok && manager.DynamicPasswordMode != dpm_NO) {
    if (DaxTrimW(manager.ManagerAddress).empty()) {
      Log(u"Error: SystemManager address is empty");
      ok = false;
    } else if (manager.ManagerPort == 0) {
      Log(u"Error: SystemManager port is invalid");
      ok = false;
    }
  }
  if (ok) LogAudioReport();
  return ok;
}

void TVEKRun::LogAgcLines(const std::u16string& prefix, const TVEKAgcCfgParams& agc) {
  const bool on = agc.Enabled > 0;
  Log(prefix + u" audio AGC enabled: " + YesNo(on));
  if (!on) return;
  Log(prefix + u" audio AGC level (%): " + DaxIntToStrW(VekCheckPercent50to100(agc.Level)));
  Log(prefix + u" audio AGC max gain (dB): " + GeneralFloat(VekCheckFloat30to60(agc.MaxGain)));
}

void TVEKRun::LogAudioReport() {
  const TVEKAudioParams& a = setup_->Audio;
  if (!setup_->Message.PrivateAutoResponse.empty())
    Log(u"Private messages auto response: \"" + setup_->Message.PrivateAutoResponse + u"\"");
  Log(u"Visible status: " +
      VekEnumText(static_cast<TVEKVisibleStatus>(setup_->Server.VisibleStatus)));

  const int32_t in_rate = VekCheckSampleRate(a.InSampleRate);
  Log(u"Input audio device name: " + VekQuoteIfSpaces(VekIniValueOrEmpty(a.InDevice)));
  Log(u"Input audio sample rate (Hz): " + DaxIntToStrW(in_rate));
  if (in_rate != 8000)
    Log(u"Input audio sample rate conversion (" + DaxIntToStrW(in_rate) + u"->8000) quality: " +
        VekEnumText(static_cast<TVEKAudioConvertQuality>(a.InQuality)));
  Log(u"Input audio factor: " + DaxIntToStrW(VekCheckRange1to5(a.InFactor)));
  Log(u"Input audio precaptured time (ms): " + DaxIntToStrW(DaxClamp0To1000(a.InPreCapturedTime)));
  LogAgcLines(u"Input", a.InAGC);
  Log(u"Input audio HPF enabled: " + YesNo(a.InHPFEnabled));
  if (a.InHPFEnabled) Log(u"Input audio HPF order: " + DaxIntToStrW(VekCheckRange2to10(a.InHPFOrder)));
  Log(u"Input DTMF decoder enabled: " + YesNo(a.InDtmfEnabled));

  const int32_t out_rate = VekCheckSampleRate(a.OutSampleRate);
  Log(u"Output audio device name: " + VekQuoteIfSpaces(VekIniValueOrEmpty(a.OutDevice)));
  Log(u"Output audio sample rate (Hz): " + DaxIntToStrW(out_rate));
  if (out_rate != 8000)
    Log(u"Output audio sample rate conversion (8000->" + DaxIntToStrW(out_rate) + u") quality: " +
        VekEnumText(static_cast<TVEKAudioConvertQuality>(a.OutQuality)));
  Log(u"Output audio factor: " + DaxIntToStrW(VekCheckRange1to5(a.OutFactor)));
  LogAgcLines(u"Output", a.OutAGC);
  Log(u"Output audio HPF enabled: " + YesNo(a.OutHPFEnabled));
  if (a.OutHPFEnabled) Log(u"Output audio HPF order: " + DaxIntToStrW(VekCheckRange2to10(a.OutHPFOrder)));
}

std::u16string TVEKRun::SignalStatusLine(const std::u16string& name, TVEKRadioIfcType type,
                                         const std::u16string& device,
                                         const std::u16string& wire, bool inverted,
                                         bool open) const {
  std::u16string type_text = VekEnumText(type);
  if (type_text.empty() || type == rit_UNKNOWN) type_text = u"UNKNOWN";
  return u"  " + name + u": " + type_text + u":" + device + u":" + wire + u":" +
         (inverted ? u"INVERTED" : u"NORMAL") + u": " + (open ? u"ON" : u"OFF");
}

void TVEKRun::LogRadioStatus() {
  TVEKManager& e = *engine_;
  Log(u"Radio interface status:");
  for (int i = 0; i < msig_Count; ++i) {
    if (!e.SignalAssigned(i)) {
      Log(u"  " + std::u16string(kSignalNames[i]) + u": not used");
      continue;
    }
    Log(SignalStatusLine(kSignalNames[i], e.SignalInterfaceType(i), e.SignalInterfaceName(i),
                         e.SignalWireName(i), e.SignalIsInverted(i), e.SignalIsOpen(i)));
  }
  const int count = e.StaticLineCount();
  if (count == 0) Log(u"  STATIC: not used");
  for (int n = 0; n < count; ++n)
    Log(SignalStatusLine(u"STATIC[" + DaxIntToStrW(n + 1) + u"]", e.StaticLineInterfaceType(n),
                         e.StaticLineInterfaceName(n), e.StaticLineWireName(n),
                         e.StaticLineIsInverted(n), e.StaticLineIsOpen(n)));
}

void TVEKRun::HandOverConfiguration() {
  TVEKManager& e = *engine_;
  const TVEKSetupData& s = *setup_;
  e.SetStatus(s.Server.VisibleStatus);
  e.SetClientVersion(s.Server.PretendAsVersion);
  e.SetNetwork(s.Server.Network);
  e.SetReconnectCount(s.Server.ServerReconnectCount);
  e.SetReconnectInterval(s.Server.ServerReconnectInterval);
  e.ApplyProtocolSettings(s.Internet);
  e.PTTEnabled = s.Radio.PTTEnabled;
  e.SetDtmfCommands(s.Radio.DtmfCommands);
  e.DtmfTimeoutMs = static_cast<uint32_t>(s.Radio.DtmfTimeout < 0 ? 0 : s.Radio.DtmfTimeout);
  e.ResetCosDetectorOnTxReject = s.Radio.ResetCosDetectorOnTxReject;
  e.ResetCosDetectorOnTxRejectDelay = static_cast<uint32_t>(
      s.Radio.ResetCosDetectorOnTxRejectDelay < 0 ? 0 : s.Radio.ResetCosDetectorOnTxRejectDelay);
  e.SetPostCaptureWait(s.Radio.CourtesyDelay);
  e.SetCosHoldAfterCapture(s.Radio.SquelchSettlingTimeIn);
  e.SetCosHoldAfterPlayback(s.Radio.SquelchSettlingTime);
  e.SetPlayDelay(s.Radio.CTCSSWakeTime);
  e.CarrierCatchTime = s.Radio.CarrierCatchTime > 5000 ? 5000 : s.Radio.CarrierCatchTime;
  e.CarrierLostTime = s.Radio.CarrierLostTime > 5000 ? 5000 : s.Radio.CarrierLostTime;
  e.ApplyManagerSection(s.Manager);
  e.ManagerInterval = s.Manager.Interval;
}

void TVEKRun::MakeServerEntry() {
  server_ = std::make_unique<TVEKServer>();
  server_->SetMainServer(setup_->Server.ServerAddress, setup_->Server.ServerPort);
  server_->SetMainUseProxy(setup_->Server.MainServerUseProxy);
  if (backup_found_) server_->SetBackup(backup_host_, backup_port_);
  server_->OnNewBackupServer = [this](const std::u16string& main_host,
                                      const std::u16string& backup_host, int32_t main_port,
                                      int32_t backup_port) {
    OnNewBackupServer(main_host, backup_host, main_port, backup_port);
  };
  server_->SetCharsetName(setup_->Server.CharsetName);
}

void TVEKRun::LogDtmfCommands() {
  const TVEKCLIDtmfCommands& commands = engine_->DtmfCommands();
  if (commands.empty()) return;
  Log(u"DTMF commands:");
  for (const TVEKCLIDtmfCommand& c : commands) Log(u" " + VekDtmfCommandToText(c));
}

void TVEKRun::Run() {
  if (!engine_) return;
  TVEKManager& e = *engine_;
  if (!CheckConfiguration()) {
    e.TerminateAndWake();
    WaitForEngine();
    return;
  }
  e.SetRadioEnabled(true);
  LogRadioStatus();

  login_info_ = std::make_unique<TVEKLoginInfo>(setup_->Account);
  e.SetLoginInfo(login_info_.get());
  MakeServerEntry();
  e.SetServerEntry(server_.get());
  HandOverConfiguration();
  LogDtmfCommands();

  // A stop that came before this point keeps its reason and ends the wait.
  if (!stop_requested_.load() && e.LinkState() == mst_Init) {
    e.SetRunState(true);
    e.Dispatcher().WaitServing(
        [&] { return e.RunEnded() || stop_requested_.load() || e.LinkState() != mst_Init; });
  }
  if (!stop_requested_.load() && !e.RunEnded()) e.SetOnline(true);
  WaitForEngine();
  e.SetRadioEnabled(false);

  const std::u16string fatal = e.FatalErrorText();
  if (!fatal.empty()) Log(u"VEK engine terminated with fatal exception: " + fatal);
  const std::u16string reason = StopReason();
  if (!reason.empty()) Log(u"Aborted [" + reason + u"]");
  // The engine's lines still point at the entry and the login data; they go
  // with the engine.
}

// ---------------------------------------------------------------------------
// Owner callbacks

void TVEKRun::DrainTexts(bool (TVEKManager::*pop)(std::u16string&), const std::u16string& prefix) {
  std::u16string text;
  while ((events_->*pop)(text)) Log(prefix + text);
}

void TVEKRun::StopOnAnswer() {
  if (stop_on_manager_answer_ && events_) events_->TerminateAndWake();
}

std::u16string TVEKRun::WithDebugDetail(const std::u16string& line, const std::u16string& detail) const {
  return debug_ ? line + u": " + detail : line;
}

std::u16string TVEKRun::WithLoopStats(const std::u16string& line, const TVEKLoopStats& s) const {
  if (!setup_->System.LogTiming) return line;
  return line + u": " + VekFormatLoopStats(s.DurationMs, s.AudioMs, s.Passes, s.Waits);
}

void TVEKRun::AssignManagerEvents(TVEKManager& e) {
  // The handlers use this reference: the engine may call them before its
  // constructor has returned it into engine_.
  events_ = &e;
  const TVEKSystemParameters& sys = setup_->System;
  e.OnInfoText = [this] { DrainTexts(&TVEKManager::PopInfoText, u""); };
  e.OnWarningText = [this] { DrainTexts(&TVEKManager::PopWarningText, u"WARNING: "); };
  e.OnErrorText = [this] { DrainTexts(&TVEKManager::PopErrorText, u"ERROR: "); };
  e.OnReopenLog = [this] { OnReopenLog(); };
  e.OnOnlineChanged = [this] {
    // The engine calls it only when the state flips.
    online_ = !online_;
    Log(online_ ? VekMsgStarted() : VekMsgStopped());
  };
  e.OnProxyConnecting = [this](uint8_t kind, const std::u16string& host, int32_t port) {
    Log(VekConnectingToProxyText(static_cast<TVEKProxyType>(kind), host, port));
  };
  e.OnProxyConnected = [this] { Log(VekMsgConnectedToProxyServer() + u": OK"); };
  e.OnProxyError = [this](uint8_t kind, const std::u16string& text) {
    Log(VekMsgErrorOfConnectingToProxyServer() + u": " +
        VekEnumText(static_cast<TVEKProxyType>(kind)) + u": " + text);
    StopOnAnswer();
  };
  e.OnServerConnecting = [this](const std::u16string& host, int32_t port) {
    Log(VekConnectingToServerText(host, port));
  };
  e.OnServerConnected = [this] { Log(VekMsgConnectedToVekServer() + u": OK"); };
  e.OnServerConnectError = [this](const std::u16string& text) {
    Log(VekMsgErrorOfConnectingToVekServer() + u": " + text);
  };
  e.OnPeerDisconnected = [this] { Log(VekMsgPeerDisconnected()); };
  e.OnDisconnecting = [this] { Log(u"Disconnecting..."); };
  e.OnDisconnected = [this] { Log(u"Disconnected OK"); };
  e.OnHandshakeRequest = [this](int32_t version, const std::u16string& text) {
    std::u16string line = u"Handshake request as " + DaxIntToStrW(version) + u" client version";
    if (debug_ && !DaxTrimW(text).empty()) line += u": " + DaxTrimW(text);
    Log(line);
  };
  e.OnHandshaked = [this](int32_t last, int32_t server, const std::u16string& text) {
    std::u16string line =
        u"Handshaked: client last version " + DaxIntToStrW(last) + u"; server version " + DaxIntToStrW(server);
    if (debug_) line += u"; " + text;
    Log(line);
  };
  e.OnLoginPhase1 = [this] { Log(u"Login phase 1 ..."); };
  e.OnLoggedInPhase1 = [this] {
    Log(u"Logged in at phase 1 as " +
        VekEnumText(static_cast<TVEKClientPriv>(events_->GetAccessLevel())));
  };
  e.OnLoginPhase2 = [this] { Log(u"Login phase 2 ..."); };
  e.OnLoggedInPhase2 = [this] { Log(u"Logged in at phase 2"); };
  e.OnLoginPhase3 = [this] { Log(u"Login phase 3 ..."); };
  e.OnLoggedInPhase3 = [this] { Log(u"Logged in at phase 3"); };
  e.OnProtocolError = [this](const std::u16string& text, const std::u16string& detail) {
    Log(WithDebugDetail(VekMsgVekServerProtocolError() + u": " + text, detail));
  };
  e.OnAnswerInvalidPassword = [this](uint8_t cycle, const std::u16string& detail,
                                     const std::u16string&) {
    Log(WithDebugDetail(VekMsgVekServerAnswer() + u": " + VekMsgInvalidPassword() + u": " +
                            VekEnumText(static_cast<TVEKPasswordCycle>(cycle)),
                        detail));
  };
  e.OnAnswerAccountBlocked = [this](const std::u16string& text) {
    std::u16string line = VekMsgVekServerAnswer() + u": " + VekMsgAccountIsBlocked();
    if (!text.empty()) line += u": " + text;
    Log(line);
  };
  e.OnAnswerUnknownError = [this](const std::u16string& text) {
    std::u16string line = VekMsgVekServerAnswer() + u": " + VekMsgUnknownServerError();
    if (!text.empty()) line += u": " + text;
    Log(line);
  };
  e.OnSessionInitiated = [this] { OnSessionInitiated(); };
  e.OnMarkers = [this] {
    uint8_t marker = 0;
    while (events_->PopUnknownMarker(marker)) Log(u"Marker " + DaxIntToStrW(marker));
  };
  e.OnClientList = [this] { OnClientList(); };
  auto count_line = [this](std::u16string (*title)()) {
    return [this, title](int32_t count) { Log(title() + u": " + DaxIntToStrW(count)); };
  };
  e.OnNetworks = count_line(&VekMsgNetworks);
  e.OnBlockedList = count_line(&VekMsgBlockedClients);
  e.OnMutedList = count_line(&VekMsgMutedClients);
  e.OnAdminsList = count_line(&VekMsgAdministrators);
  e.OnAccessList = count_line(&VekMsgAccessList);
  e.OnModes = count_line(&VekMsgModes);
  e.OnNotices = count_line(&VekMsgNotices);
  e.OnMessages = [this] { OnMessages(); };
  e.OnRxStarted = [this] { OnRxStarted(); };
  e.OnRxStopped = [this, &sys](const TVEKLoopStats& stats) {
    if (!sys.LogRx) return;
    Log(WithLoopStats(VekMsgRxIsStopped(), stats));
  };
  e.OnRxAborted = [this, &sys] {
    if (sys.LogRx) Log(VekMsgRxIsAborted());
  };
  e.OnRxAlignSkipped = [this](int32_t count) {
    Log(u"PROTO: RX time align: skipped audio: " + DaxIntToStrW(count));
  };
  e.OnRxPoolUnderflow = [this] { Log(VekMsgRxBufferPoolUnderflow()); };
  e.OnTxRequested = [this] { Log(u"TX is requested"); };
  e.OnTxRejected = [this] { Log(u"TX is rejected"); };
  e.OnTxApproved = [this, &sys] {
    if (sys.LogTx) Log(VekMsgTxIsApprovedAndStarted());
  };
  e.OnTxDataEnded = [this, &sys] {
    if (sys.LogTx && sys.LogTxDataEnded) Log(VekMsgTxDataEnded());
  };
  e.OnTxStopped = [this, &sys](const TVEKLoopStats& stats) {
    if (!sys.LogTx) return;
    Log(WithLoopStats(VekMsgTxIsStopped(), stats));
  };
  e.OnTxAbortedByServer = [this, &sys](const TVEKLoopStats& stats) {
    if (!sys.LogTx) return;
    Log(WithLoopStats(VekMsgTxHaveBeenAbortedByServer(), stats));
  };
  e.OnCarrierOn = [this, &sys] {
    if (sys.LogCarrier) Log(u"Carrier ON");
  };
  e.OnCarrierOff = [this, &sys] {
    if (sys.LogCarrier) Log(u"Carrier OFF");
  };
  e.OnServerTimedOut = [this] { Log(VekMsgServerTimedOut()); };
  e.OnServerTimeoutHard = [this] { Log(VekMsgServerTimeoutHard()); };
  e.OnServiceSoundStarted = [this, &sys](int32_t sound) {
    if (!sys.LogControlSound) return;
    std::u16string file = events_->GetSoundName(sound);
    if (file.empty()) file = u"INTERNAL";
    Log(VekMsgServiceSoundIsStarted() + u": " + VekEnumText(static_cast<TVEKControlSound>(sound)) +
        u" [" + file + u"]");
  };
  e.OnServiceSoundStopped = [this, &sys] {
    if (sys.LogControlSound) Log(VekMsgServiceSoundIsStopped());
  };
  e.OnExternalSoundStarted = [this, &sys] {
    std::u16string name;
    while (events_->PopStartedFileName(name))
      if (sys.LogExternalSound) Log(VekMsgExternalSoundIsStarted() + u": " + name);
  };
  e.OnExternalSoundStopped = [this, &sys] {
    if (sys.LogExternalSound) Log(VekMsgExternalSoundIsStopped());
  };
  e.OnExternalSoundAborted = [this, &sys] {
    if (sys.LogExternalSound) Log(VekMsgExternalSoundIsAborted());
  };
  e.OnAudioPoolUnderflow = [this] { Log(VekMsgAudioBufferPoolUnderflow()); };
  e.OnAudioHardwareFailure = [this] {
    Log(VekMsgAudioHardwareIssuesCheckSoundCardOrPowerSupply());
    events_->TerminateAndWake();
  };
  e.OnRecorderFileWritten = [this, &sys] {
    std::u16string name;
    while (events_->PopRecorderFileName(name))
      if (sys.LogRecorder) Log(VekMsgRecorderFileIsWritten() + u": " + name);
  };
  e.OnCheckServer = [this, &sys](uint8_t kind, const std::u16string& host, int32_t port,
                                 bool online, const std::u16string& text) {
    if (sys.LogCheckServer) Log(VekCheckServerText(kind, host, port, online, text));
  };
  e.OnBackupServerMode = [this, &sys](bool on) {
    if (sys.LogBackupServerMode) Log(VekBackupServerModeText(on));
  };
  e.OnDynPassRequestStart = [this] { Log(u"Start request to VEK System manager"); };
  e.OnDynPassConnecting = [this](const std::u16string& host, int32_t port) {
    Log(VekMsgConnectingToVekSystemManager() + u": " + host + u":" + DaxIntToStrW(port) + u" ...");
  };
  e.OnDynPassConnected = [this] { Log(VekMsgConnectedToVekSystemManager() + u": OK"); };
  e.OnDynPassError = [this](const std::u16string& text, const std::u16string& detail) {
    Log(WithDebugDetail(VekMsgVekSystemManagerError() + u": " + text, detail));
    StopOnAnswer();
  };
  e.OnDynPassInvalidStaticPassword = [this](const std::u16string& detail) {
    Log(WithDebugDetail(VekMsgVekSystemManagerError() + u": invalid static password", detail));
    StopOnAnswer();
  };
  e.OnStaticPasswordRequested = [this](const std::u16string& detail) {
    Log(VekStaticPassRequestedText(debug_, detail));
  };
  e.OnDynamicPasswordRequested = [this](const std::u16string& detail) {
    Log(VekDynPassRequestedText(debug_, detail));
  };
  e.OnGotDynamicPassword = [this](const std::u16string& password) {
    Log(debug_ ? u"Got dynamic password: " + password : u"Got dynamic password");
  };
  e.OnSaveDynamicPassword = [this](const std::u16string& key1, const std::u16string& key2,
                                   const std::u16string& password) {
    OnSaveDynamicPassword(key1, key2, password);
  };
  e.OnSearchDynamicPassword = [this](const std::u16string& key1, const std::u16string& key2,
                                     TVEKLoginInfo& info) {
    OnSearchDynamicPassword(key1, key2, info);
  };
  e.OnNewStaticPasswordSent = [this] {
    std::u16string email = setup_->Account.EMailAddress;
    if (events_->DynPass() && !events_->DynPass()->EMail.empty())
      email = events_->DynPass()->EMail;
    Log(VekMsgNewStaticPasswordWasSentByEmail(email));
    registered_ = true;
    StopOnAnswer();
  };
}

void TVEKRun::OnReopenLog() {
  if (!output_ || !output_->IsLog()) return;
  try {
    output_->Reopen();
  } catch (const std::exception& e) {
    // The old file stays; the error goes where the lines still go.
    Log(u"ERROR: " + ErrorTextOf(e));
  }
}

void TVEKRun::OnSessionInitiated() {
  TVEKManager& e = *events_;
  Log(VekProtoInitiatedText(e.GetBackupState(), e.GetServerAddress(),
                            DaxUnicodeToAnsiRaw(e.GetPeerIP()), e.GetServerPort(),
                            e.GetNetworkName()));
  if (e.GetExtensionFlags() != 0) Log(VekProtoExtensionsText(e.GetExtensionFlags()));
  const std::u16string access = e.GetServerMessage();
  if (!access.empty()) Log(VekAccessInfoText(access));
}

void TVEKRun::OnClientList() {
  TVEKClientsArray clients;
  if (!events_->PopClientList(clients)) return;
  const TVEKSystemParameters& sys = setup_->System;
  if (sys.LogClientList == clsm_NONE) return;
  std::vector<std::u16string> lines;
  lines.push_back(VekMsgClients() + u": " + DaxIntToStrW(static_cast<int64_t>(clients.size())));
  if (sys.LogClientList == clsm_FULL)
    for (const TVEKClientRec& c : clients)
      lines.push_back(VekMsgClient() + u": " +
                      VekClientRecText(c, sys.LogClientListDelimiter));
  LogLines(lines);
}

bool TVEKRun::AutoReplyAllowed(const std::string& sender_id, uint32_t now) {
  for (auto it = auto_replies_.begin(); it != auto_replies_.end();)
    it = now - it->second >= kAutoReplyIntervalMs ? auto_replies_.erase(it) : std::next(it);
  if (auto_replies_.count(sender_id) != 0) return false;
  auto_replies_[sender_id] = now;
  return true;
}

void TVEKRun::OnMessages() {
  const std::u16string& reply = setup_->Message.PrivateAutoResponse;
  while (std::unique_ptr<TVEKMessage> m = events_->PopMessage()) {
    std::u16string head = (m->Private ? VekMsgPrivate() : VekMsgPublic()) + u" " +
                          VekMsgMessageFrom() + u": " + m->SenderName + u"; " +
                          m->SenderCity;
    if (debug_) head += u"; " + DaxAnsiToUnicodeRaw(m->SenderId);
    Log(head);
    for (const std::u16string& line : m->Lines) Log(u"> " + line);
    if (m->Private && !reply.empty() && AutoReplyAllowed(m->SenderId, DaxTickMs())) {
      events_->SendTextMessage(m->SenderId, reply);
      Log(VekMsgAutomaticPrivateReplyIsSent());
    }
  }
}

void TVEKRun::OnRxStarted() {
  if (!setup_->System.LogRx) return;
  const TVEKClientRec talker = events_->CurrentTalker();
  std::u16string line = VekMsgRxIsStarted() + u": " + talker.ON;
  if (!talker.CT.empty()) line += u"; " + talker.CT;
  if (debug_) line += u": " + DaxAnsiToUnicodeRaw(talker.ID);
  Log(line);
}

void TVEKRun::OnSaveDynamicPassword(const std::u16string& key1, const std::u16string& key2,
                                    const std::u16string& password) {
  try {
    VekStoreDynamicPassword(setup_->System, key1, key2, password);
  } catch (const std::exception& e) {
    Log(u"saving dynamic password: " + ErrorTextOf(e));
    return;
  }
  Log(debug_ ? u"New dynamic password is saved: " + password : u"New dynamic password is saved");
}

// new: the newest password of the account, whichever server it came from;
// old: the one stored for this server.
void TVEKRun::OnSearchDynamicPassword(const std::u16string& key1, const std::u16string& key2,
                                      TVEKLoginInfo& info) {
  std::u16string newest, exact;
  try {
    VekFindDynamicPassword(setup_->System, key1, key2, newest, exact);
  } catch (const std::exception& e) {
    // A file that cannot be read adds nothing to what the login data
    // hold: the login goes on and may ask the system manager.
    Log(u"searching dynamic password: " + ErrorTextOf(e));
    return;
  }
  info.SetNewDynamicPassword(newest);
  info.SetOldDynamicPassword(exact);
  std::u16string line = u"Search for dynamic password";
  if (debug_) line += u": " + VekBracketPair(key1, key2);
  if (exact.empty()) {
    line += u": not found";
  } else {
    line += u": found";
    if (debug_) {
      line += u": " + exact;
      if (!newest.empty()) line += u", " + newest;
    }
  }
  Log(line);
}

void TVEKRun::OnNewBackupServer(const std::u16string& main_host,
                                const std::u16string& backup_host, int32_t main_port,
                                int32_t backup_port) {
  {
    std::lock_guard<std::mutex> guard(backup_lock_);
    pending_main_host_ = main_host;
    pending_backup_host_ = backup_host;
    pending_main_port_ = main_port;
    pending_backup_port_ = backup_port;
    backup_pending_ = true;
  }
  if (events_) events_->Dispatcher().Wake();
}

void TVEKRun::TakeNewBackupServer() {
  std::u16string main_host, backup_host;
  int32_t main_port = 0, backup_port = 0;
  {
    std::lock_guard<std::mutex> guard(backup_lock_);
    if (!backup_pending_) return;
    backup_pending_ = false;
    main_host = pending_main_host_;
    backup_host = pending_backup_host_;
    main_port = pending_main_port_;
    backup_port = pending_backup_port_;
  }
  backup_host_ = backup_host;
  backup_port_ = backup_port;
  backup_found_ = true;
  try {
    VekBackupFileStore(setup_->System, main_host, backup_host, main_port, backup_port);
  } catch (const std::exception& e) {
    Log(u"saving backup server info: " + ErrorTextOf(e));
  }
  Log(u"New Backup server: " + VekHostPortText(backup_host, backup_port));
}
