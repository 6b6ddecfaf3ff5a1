// The TCP connection: a TTCPBlockSocket (direct, HTTP CONNECT or SOCKS) whose
// every wait, the connect and each proxy handshake included, runs in the
// connection's own waiter, so another thread's wake-up ends any of them.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "net/blocksock.h"
#include "net/conn.h"

class TVEKConnSock : public TVEKConnection {
 public:
  explicit TVEKConnSock(bool peerDisconnectIsError);
  ~TVEKConnSock() override;

  std::atomic<bool> Connecting{false};
  std::int32_t LastReadError = 0;
  std::int32_t LastWriteError = 0;

  TTCPBlockSocket& Socket() { return *socket_; }
  TWaiter2Socket& Waiter() { return *waiter_; }

  bool IsActive() override;
  std::u16string GetWriteErrorText() override;
  std::u16string GetReadErrorText() override;
  std::uint8_t ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) override;
  std::uint8_t WriteRaw(const void* buffer, std::int32_t length, std::int32_t& count) override;
  void DoClose() override;
  void DoAbort() override;
  std::u16string DoGetPeerIP() override;
  TWaiterResult DoWaitWakeup(std::uint32_t ms) override;
  TWaiterResult DoWaitReadable(std::uint32_t ms) override;
  TWaiterResult DoWaitWritable(std::uint32_t ms) override;
  void DoWakeup() override;
  void DoClearWakeup() override;
  void Connect() override;
  bool IsConnected() override;
  void SetParams(const TVEKConnectionParams& params) override;

  // From any thread: sets Stopping, shuts the socket down (never closes it:
  // only the owner does) and wakes the owner.
  void RequestStop() override;

  static void ApplyProxySettings(TTCPBlockSocket& socket, const TVEKConnectionParams& params);

 private:
  void ReleaseSocket();
  void PrepareConnect();
  TWaiterResult WaitFor(std::uint8_t mask, std::uint32_t ms);
  bool HookWait(std::uint8_t mask, std::uint32_t ms, std::int32_t& error);
  void OnSocketStatus(THookSocketReason reason);
  void OnProxyStatus(THookSocketReason reason);
  void OnTunnelAnswer(std::int32_t code, const std::string& text);

  std::unique_ptr<TWaiter2Socket> waiter_;
  std::unique_ptr<TTCPBlockSocket> socket_;
  TWaiter2Resource* wait_resource_ = nullptr;
  // Guards the descriptor number another thread may shut down.
  std::mutex fd_mutex_;
  int shutdown_fd_ = -1;
};

// The text of an error number as the system gives it (the socket layer's own
// text for its negative codes).
std::u16string VekSocketSystemErrorText(std::int32_t code);
// "HTTP Proxy error <code>: <text>".
std::u16string VekHttpProxyErrorText(std::int32_t code, const std::u16string& text);
