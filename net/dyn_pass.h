// The system-manager client: a worker thread that asks the network's system
// manager for dynamic passwords ("DP:") and registers accounts ("IG:"), one
// short connection per exchange. The owner writes the request fields, calls
// a request operation and learns the outcome only through the events, which
// all run in this thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/thread.h"
#include "net/conn.h"

class TVEKConnectionMaker;

class TVEKDynamicPassword : public TDaxThread {
 public:
  using TOnProxyError = std::function<void(std::uint8_t code, const std::u16string& message)>;
  using TOnText = std::function<void(const std::u16string& text)>;
  using TOnAnswerError = std::function<void(const std::u16string& text, const std::u16string& answer)>;
  using TOnEvent = std::function<void()>;

  enum : std::uint8_t { kIdle = 0, kRegistering = 1, kRequestingPassword = 2 };
  static constexpr std::uint32_t kIdleWaitMs = 600000;
  static constexpr std::int32_t kMaxAnswer = 16384;

  // The maker is not owned and must outlive the thread. A given connection
  // replaces the maker's (tests).
  explicit TVEKDynamicPassword(const TVEKConnectionMaker& maker,
                               std::unique_ptr<TVEKConnection> connection = nullptr);
  ~TVEKDynamicPassword() override;

  // Raise Exception("busy") while an exchange runs.
  void RequestPassword();
  void RequestRegister();
  // Ends the running exchange; does nothing while idle.
  void Cancel();
  // Ends the thread (without waiting for it).
  void Stop();

  bool Started() const { return started_.load(); }
  std::uint8_t State() const { return state_.load(); }
  // The last new dynamic password; for the event handlers of this thread.
  const std::u16string& ReceivedPassword() const { return received_password_; }

  // Request fields, written by the owner before a request operation and left
  // alone while an exchange runs.
  std::atomic<std::uint32_t> Latency{0};  // ms before a new password is published
  std::u16string EMail;
  std::u16string NameText;
  std::u16string BandText;
  std::u16string Description;
  std::u16string Country;
  std::u16string PlaceText;
  std::u16string StaticPassword;
  std::u16string ServerHost;   // the VEK server the password is for
  std::u16string CharsetName;  // the account's; no exchange uses it
  std::int32_t ClientVersion = 0;  // the engine's; no request line carries it
  std::uint8_t ProxyChoice = 0;
  std::u16string ManagerHost;
  std::int32_t ManagerPort = 0;
  // Seam: the answer's read timeout in ms; 0 keeps the connection's own.
  std::int32_t AnswerTimeoutMs = 0;

  // Handed to the connection before every exchange.
  TVEKConnection::TOnResolving OnResolving;
  TVEKConnection::TOnEvent OnConnected;
  TVEKConnection::TOnProxyConnecting OnProxyConnecting;
  TVEKConnection::TOnEvent OnProxyConnected;

  TOnProxyError OnProxyError;
  TOnText OnConnectError;
  // An unusable answer, or a failure after the connection was made (the
  // message, with an empty answer): the manager's protocol error.
  TOnAnswerError OnAnswerError;
  // An exception outside an exchange.
  TOnText OnError;
  TOnText OnPasswordRequest;
  TOnText OnRegisterRequest;
  TOnEvent OnRegistered;
  TOnText OnNewPassword;
  TOnText OnInvalidStaticPassword;

  // The request lines, CR LF included.
  std::string BuildPasswordLine() const;
  std::string BuildRegisterLine();

 protected:
  void Execute() override;

 private:
  bool Cancelled() const { return cancel_.load() || Terminated(); }
  // False when the exchange ended at connecting (its event fired).
  bool ConnectTo(bool password_exchange);
  // Builds and sends the request line, reads the trimmed answer and
  // disconnects. False when the exchange failed (reported) or was cancelled.
  bool Exchange(bool password_exchange, std::string& answer);
  void PasswordExchange();
  void RegisterExchange();
  // Cross-thread: ends a connect, read or write in progress.
  void Interrupt();
  void Fire(const TOnText& event, const std::u16string& text);
  // The event that ends an exchange, fired by EndExchange once idle.
  void Finish(std::function<void()> event);
  void FinishText(const TOnText& event, const std::u16string& text);
  void FinishAnswerError(const std::u16string& text, const std::u16string& answer);
  void EndExchange();

  const TVEKConnectionMaker& maker_;
  TAnsiUnicodeConverter converter_;
  std::unique_ptr<TVEKConnection> connection_;
  std::u16string received_password_;
  std::function<void()> final_event_;
  std::atomic<std::uint8_t> state_{kIdle};
  std::atomic<bool> cancel_{false};
  std::atomic<bool> password_request_{false};
  std::atomic<bool> register_request_{false};
  // A request is set and its wake-up sent under this lock, and taken under
  // it: a wake-up sent after the thread took the request would reach the
  // exchange's connect and end it as woken.
  std::mutex request_lock_;
  std::atomic<bool> started_{false};
};
