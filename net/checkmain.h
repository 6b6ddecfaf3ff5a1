// The server checker: while the client works on a backup server, a worker
// thread probes the main server now and then with the connection string of
// a placeholder account and tells the owner when the main server has
// answered like a VEK server three times in a row.
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
class TVEKLinkAttr;
struct TVEKServerParameters;

class TVEKCheckMain : public TDaxThread {
 public:
  using TOnServerConfirmed = std::function<void(std::uint8_t target)>;
  using TOnChecked = std::function<void(std::uint8_t target, const std::u16string& host,
                                        std::int32_t port, std::uint8_t online,
                                        const std::u16string& text)>;
  using TOnError = std::function<void(const std::u16string& text)>;

  enum : std::uint32_t { kIdle = 0, kChecking = 1 };
  static constexpr std::uint32_t kIdleWaitMs = 610000;
  static constexpr std::uint32_t kRetryDelayMs = 3000;
  static constexpr std::int32_t kSuccessesNeeded = 3;
  static constexpr std::int32_t kMaxLine = 16384;

  // The maker is not owned and must outlive the thread. The period comes
  // from [Server] CheckServerInterval. A given connection replaces the
  // maker's (tests).
  TVEKCheckMain(const TVEKServerParameters& server, const TVEKConnectionMaker& maker,
                std::unique_ptr<TVEKConnection> connection = nullptr);
  ~TVEKCheckMain() override;

  // The link attributes whose server entry is checked; not owned. Set
  // before StartChecking.
  void SetServerParams(TVEKLinkAttr* link);
  void StartChecking();
  // Also cuts a check in progress short.
  void StopChecking();
  void Stop();

  bool Started() const { return started_.load(); }
  std::uint32_t Mode() const { return mode_.load(); }
  std::int32_t Countdown() const { return countdown_.load(); }
  std::int32_t PeriodSeconds() const { return period_s_; }

  // Seams for tests: the waits after a good check (the period) and after a
  // check that is not yet confirmed, and the I/O timeout of the answer.
  std::atomic<std::uint32_t> PeriodMs;
  std::atomic<std::uint32_t> RetryDelayMs{kRetryDelayMs};
  std::atomic<std::int32_t> IoTimeoutMs{8000};

  // Called in the checker's thread; set before StartChecking.
  TOnServerConfirmed OnServerConfirmed;
  TOnChecked OnChecked;
  TOnError OnError;

 protected:
  void Execute() override;

 private:
  // 1: wait the period; 0: wait the retry delay.
  int CheckOnce();
  bool TakeStartRequest();
  void Probe(TVEKLinkAttr& link);
  void Interrupt();

  const TVEKConnectionMaker& maker_;
  TAnsiUnicodeConverter converter_;
  std::unique_ptr<TVEKConnection> connection_;
  std::atomic<TVEKLinkAttr*> link_{nullptr};
  std::int32_t period_s_;
  std::atomic<std::uint32_t> mode_{kIdle};
  std::atomic<std::int32_t> countdown_{kSuccessesNeeded};
  std::atomic<bool> start_request_{false};
  // A start request is set and its wake-up sent under this lock, and taken
  // under it: a wake-up sent after the thread took the request would reach
  // the check's connect and end it as woken.
  std::mutex request_lock_;
  std::atomic<bool> stop_request_{false};
  std::atomic<bool> started_{false};
};
