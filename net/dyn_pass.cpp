#include "net/dyn_pass.h"

#include "foundation/charset.h"
#include "foundation/tags.h"
#include "foundation/types.h"
#include "net/conn_mk.h"
#include "net/exception.h"
#include "net/idn.h"

namespace {

std::u16string MessageOf(const std::exception& e) { return DaxHookSysToUnicode(e.what()); }

bool IsAlphanumeric(const std::string& s) {
  for (unsigned char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

}  // namespace

TVEKDynamicPassword::TVEKDynamicPassword(const TVEKConnectionMaker& maker,
                                         std::unique_ptr<TVEKConnection> connection)
    : maker_(maker), connection_(connection ? std::move(connection) : maker.NewConnection(false)) {
  Start();
}

TVEKDynamicPassword::~TVEKDynamicPassword() {
  if (!Finished()) {
    Terminate();
    Interrupt();
    WaitFor();
  }
  connection_.reset();
}

void TVEKDynamicPassword::RequestPassword() {
  if (state_.load() != kIdle) throw Exception("busy");
  // A Cancel that landed as the last exchange ended must not drop this one.
  cancel_ = false;
  std::lock_guard<std::mutex> lock(request_lock_);
  password_request_ = true;
  connection_->Wakeup();
}

void TVEKDynamicPassword::RequestRegister() {
  if (state_.load() != kIdle) throw Exception("busy");
  cancel_ = false;
  std::lock_guard<std::mutex> lock(request_lock_);
  register_request_ = true;
  connection_->Wakeup();
}

void TVEKDynamicPassword::Cancel() {
  if (state_.load() == kIdle) return;
  cancel_ = true;
  Interrupt();
}

void TVEKDynamicPassword::Stop() {
  Terminate();
  cancel_ = true;
  Interrupt();
}

void TVEKDynamicPassword::Interrupt() {
  // Only the owner thread may close the socket; a stop request from here
  // ends its connect, read or write at once.
  connection_->RequestStop();
}

void TVEKDynamicPassword::Fire(const TOnText& event, const std::u16string& text) {
  if (event) event(text);
}

void TVEKDynamicPassword::Finish(std::function<void()> event) { final_event_ = std::move(event); }

void TVEKDynamicPassword::FinishText(const TOnText& event, const std::u16string& text) {
  if (event) Finish([event, text] { event(text); });
}

void TVEKDynamicPassword::FinishAnswerError(const std::u16string& text, const std::u16string& answer) {
  if (OnAnswerError) Finish([event = OnAnswerError, text, answer] { event(text, answer); });
}

void TVEKDynamicPassword::EndExchange() {
  // Idle first: an owner that reacts to the final event may ask again at once.
  state_ = kIdle;
  std::function<void()> event = std::move(final_event_);
  final_event_ = nullptr;
  if (event) event();
}

std::string TVEKDynamicPassword::BuildPasswordLine() const {
  return "DP:" + VekTagBuild("EA", DaxUnicodeToAnsiRaw(EMail)) +
         VekTagBuild("PW", DaxUnicodeToAnsiRaw(StaticPassword)) +
         VekTagBuild("Sr", DaxHostToAscii(ServerHost)) + "\r\n";
}

std::string TVEKDynamicPassword::BuildRegisterLine() {
  return "IG:" + VekTagBuild("ON", converter_.UnicodeToAnsi(NameText)) +
         VekTagBuild("EA", converter_.UnicodeToAnsi(EMail)) +
         VekTagBuild("BC", converter_.UnicodeToAnsi(BandText)) +
         VekTagBuild("DS", converter_.UnicodeToAnsi(Description)) +
         VekTagBuild("NN", converter_.UnicodeToAnsi(Country)) +
         VekTagBuild("CT", converter_.UnicodeToAnsi(PlaceText)) + "\r\n";
}

bool TVEKDynamicPassword::ConnectTo(bool password_exchange) {
  TVEKConnection& c = *connection_;
  try {
    // Bad proxy settings surface here; they end the request like a failed
    // connect instead of being retried at once forever.
    c.SetHost(ManagerHost);
    c.SetPort(ManagerPort);
    VekConnApplyParams(c, maker_, ProxyChoice);
    if (AnswerTimeoutMs > 0) c.Params.ReadTimeout = AnswerTimeoutMs;
    if (password_exchange) c.PeerDisconnectIsError = true;
    c.SetOnResolving(OnResolving);
    c.SetOnConnected(OnConnected);
    c.SetOnProxyConnecting(OnProxyConnecting);
    c.SetOnProxyConnected(OnProxyConnected);
    if (password_exchange) c.ClearWakeup();
    if (Cancelled()) return false;
    c.Connect();
  } catch (const EVEKErrorConnectionProxy& e) {
    c.Disconnect();
    if (!Cancelled() && OnProxyError)
      Finish([event = OnProxyError, code = e.Code, text = MessageOf(e)] { event(code, text); });
    return false;
  } catch (const std::exception& e) {
    c.Disconnect();
    if (!Cancelled()) FinishText(OnConnectError, MessageOf(e));
    return false;
  }
  if (Cancelled()) {
    c.Disconnect();
    return false;
  }
  return true;
}

bool TVEKDynamicPassword::Exchange(bool password_exchange, std::string& answer) {
  TVEKConnection& c = *connection_;
  try {
    const std::string line = password_exchange ? BuildPasswordLine() : BuildRegisterLine();
    Fire(password_exchange ? OnPasswordRequest : OnRegisterRequest,
         DaxAnsiToUnicodeRaw(line.substr(0, line.size() - 2)));
    c.WriteBuffer(line.data(), static_cast<std::int32_t>(line.size()));
    c.Flush();
    c.ReadLine(answer, kMaxAnswer);
    c.Disconnect();
  } catch (const std::exception& e) {
    c.Disconnect();
    // The manager went away or never answered: its protocol error, reported
    // once through the event the owner logs; the request is over.
    if (!Cancelled()) FinishAnswerError(MessageOf(e), std::u16string());
    return false;
  }
  if (Cancelled()) return false;
  answer = DaxTrim(answer);
  return true;
}

void TVEKDynamicPassword::PasswordExchange() {
  received_password_.clear();
  if (!ConnectTo(true)) return;
  std::string answer;
  if (!Exchange(true, answer)) return;
  const std::u16string wide = DaxAnsiToUnicodeRaw(answer);
  if (answer.empty() || answer == "-") {
    FinishAnswerError(u"no answer", wide);
  } else if (!IsAlphanumeric(answer)) {
    FinishAnswerError(u"invalid answer", wide);
  } else if (answer == "A") {
    FinishText(OnInvalidStaticPassword, StaticPassword);
  } else {
    const std::uint32_t latency = Latency.load();
    if (latency > 0) connection_->WaitWakeup(latency);
    if (Terminated()) return;
    received_password_ = wide;
    FinishText(OnNewPassword, received_password_);
  }
}

void TVEKDynamicPassword::RegisterExchange() {
  if (!ConnectTo(false)) return;
  std::string answer;
  if (!Exchange(false, answer)) return;
  // Without the peer-close switch a manager that hangs up unanswered reads
  // as an empty line.
  const std::u16string wide = DaxAnsiToUnicodeRaw(answer);
  if (answer == "OK") {
    if (OnRegistered) Finish(OnRegistered);
  } else if (answer == "NU") {
    FinishAnswerError(u"Callsign/User \"" + NameText + u"\" already in use", wide);
  } else if (answer == "NOK") {
    FinishAnswerError(u"Wrong auth value(s) or user is online", wide);
  } else {
    FinishAnswerError(u"got unknown answer", wide);
  }
}

void TVEKDynamicPassword::Execute() {
  started_ = true;
  while (!Terminated()) {
    try {
      if (cancel_.exchange(false)) {
        register_request_ = false;
        password_request_ = false;
        state_ = kIdle;
      }
      {
        std::lock_guard<std::mutex> lock(request_lock_);
        if (register_request_.exchange(false))
          state_ = kRegistering;
        else if (password_request_.exchange(false))
          state_ = kRequestingPassword;
      }
      switch (state_.load()) {
        case kIdle:
          connection_->WaitWakeup(kIdleWaitMs);
          break;
        case kRequestingPassword:
          PasswordExchange();
          EndExchange();
          break;
        case kRegistering:
          RegisterExchange();
          EndExchange();
          break;
        default:
          state_ = kIdle;
      }
    } catch (const std::exception& e) {
      // Never repeat a failed exchange at once: that would spin without end.
      final_event_ = nullptr;
      state_ = kIdle;
      if (!Terminated()) Fire(OnError, MessageOf(e));
    }
  }
}
