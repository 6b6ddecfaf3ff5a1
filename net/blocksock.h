// The blocking socket under every connection: one descriptor at a time,
// remembered options, connect with a time limit, sends and receives with
// timeouts, and the SOCKS4/4a/5 and HTTP CONNECT clients. Its external wait
// hooks let the owner run every wait in its own waiter, so that a wake-up
// from another thread ends any wait. The socket is in blocksock.cpp, the
// SOCKS client in blocksock_socks.cpp, the HTTP tunnel in
// blocksock_tunnel.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/exception.h"
#include "net/sock.h"

enum THookSocketReason {
  HR_ResolvingBegin,
  HR_ResolvingEnd,
  HR_SocketCreate,
  HR_SocketClose,
  HR_Bind,
  HR_Connect,
  HR_CanRead,
  HR_CanWrite,
  HR_Listen,
  HR_Accept,
  HR_ReadCount,
  HR_WriteCount,
  HR_Wait,
  HR_Error,
};

enum TSocketFamily { SF_Any, SF_IP4, SF_IP6 };
enum TSocksType { ST_Socks5, ST_Socks4 };

class TBlockSocket;

using THookSocketStatus = std::function<void(TBlockSocket& sender, THookSocketReason reason,
                                             const std::u16string& value)>;
// Waits up to `timeoutMs`; stores an error number in `error` (0 when ready).
using THookExtWaitFor = std::function<bool(TBlockSocket& sender, std::uint32_t timeoutMs, std::int32_t& error)>;
using THookExtSocketCreated = std::function<void(TBlockSocket& sender, int socket)>;
using THookDataFilter = std::function<void(TBlockSocket& sender, std::string& value)>;
using THookCreateSocket = std::function<void(TBlockSocket& sender)>;
using THookMonitor = std::function<void(TBlockSocket& sender, bool writing, const void* buffer, int length)>;
using THookHeartbeat = std::function<void(TBlockSocket& sender)>;
using THookAfterConnect = std::function<void(TBlockSocket& sender)>;
using THookHTTPTunnelConnectAnswer = std::function<void(TBlockSocket& sender, std::int32_t code,
                                                        const std::string& text)>;

class EBlockSocketError : public Exception {
 public:
  EBlockSocketError(std::int32_t code, std::string description);
  const char* ClassName() const noexcept override { return "EBlockSocketError"; }
  std::int32_t ErrorCode;
  std::string ErrorMessage;
};

// Option numbers the setters queue.
enum : std::uint8_t {
  SOT_Linger = 0,
  SOT_RecvBuff = 1,
  SOT_SendBuff = 2,
  SOT_NonBlock = 3,
  SOT_RecvTimeout = 4,
  SOT_SendTimeout = 5,
  SOT_NoDelay = 6,
  SOT_Reuse = 7,
  SOT_TTL = 8,
  SOT_Broadcast = 9,
  SOT_MulticastTTL = 10,
  SOT_MulticastLoop = 11,
};

struct TSockOption {
  std::uint8_t Option = 0;
  bool Enabled = false;
  std::int32_t Value = 0;
};

constexpr std::uint32_t kBlockSockInfinite = 4294967295u;
// Longest HTTP proxy answer line accepted.
constexpr std::uint32_t kHttpTunnelMaxLine = 16384;

class TBlockSocket {
 public:
  TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;
  virtual ~TBlockSocket();

  THookSocketStatus OnStatus;
  THookExtWaitFor OnExtCanRead;
  THookExtWaitFor OnExtCanAccept;  // kept, never used
  THookExtWaitFor OnExtCanWrite;
  THookExtWaitFor OnExtCanConnect;
  THookExtSocketCreated OnExtSocketCreated;
  THookDataFilter OnReadFilter;
  THookCreateSocket OnCreateSocket;
  THookMonitor OnMonitor;
  THookHeartbeat OnHeartbeat;

  std::uint32_t Tag = 0;
  bool RaiseExcept = true;
  std::uint32_t MaxLineLength = 0;
  bool ConvertLineEnd = false;
  bool PreferIP4 = true;
  bool InterPacketTimeout = true;
  std::uint32_t SendMaxChunk = 65536;
  // The one field another thread may set: ends the next send, receive or
  // long read wait.
  std::atomic<bool> StopFlag{false};
  std::uint32_t NonblockSendTimeout = 15000;
  std::uint32_t HeartbeatRate = 0;
  std::uint32_t ConnectionTimeout = 0;
  void* Owner = nullptr;

  virtual void SetFamilyValue(TSocketFamily family);
  TSocketFamily Family() const { return family_; }
  // Adopts a connected descriptor (counters reset, addresses read).
  virtual void AttachHandle(int descriptor);
  virtual bool WaitReadableOnce(std::uint32_t timeoutMs);
  virtual void Close();
  virtual void CloseHandle();
  virtual void Connect(const std::u16string& ip, const std::u16string& port);
  virtual int SendBytes(const void* buffer, int length);
  void SendOneByte(std::uint8_t value);
  void SendText(const std::string& text);
  void SendInt32(std::uint32_t value);
  void SendLengthBlock(const std::string& data);
  virtual int ReceiveBytes(void* buffer, int length);
  int ReceiveBytesWithin(void* buffer, int length, std::uint32_t timeoutMs);
  std::string ReceiveText(int length, std::uint32_t timeoutMs);
  std::uint8_t ReceiveOneByte(std::uint32_t timeoutMs);
  std::uint32_t ReceiveInt32(std::uint32_t timeoutMs);
  std::string ReceiveCrLfLine(std::uint32_t timeoutMs);
  std::string ReceiveUntil(std::uint32_t timeoutMs, const std::string& terminator);
  std::string ReceiveChunk(std::uint32_t timeoutMs);
  std::string ReceiveLengthBlock(std::uint32_t timeoutMs);
  int PeekBytes(void* buffer, int length);
  virtual int PendingBytes();
  int CheckResult(int systemResult);
  virtual std::u16string LocalAddressText();
  virtual std::u16string GetRemoteIP();
  virtual int LocalPortNumber();
  virtual int RemotePortNumber();
  bool CanReadWithin(std::uint32_t timeoutMs);
  bool CanReadBuffered(std::uint32_t timeoutMs);
  bool CanWriteWithin(std::uint32_t timeoutMs);
  bool CanConnectWithin(std::uint32_t timeoutMs);
  virtual int SocketTypeValue() const { return 0; }
  virtual int SocketProtocolValue() const { return 0; }
  virtual std::u16string GetErrorDescEx();

  // The socket layer's text of an error number or of its own negative codes.
  static std::u16string GetErrorDesc(std::int32_t code);

  void SetNonBlockMode(bool value);
  void TcpNoDelay(bool value);
  void SetLinger(bool enabled, std::int32_t ms);
  void SetSizeRecvBuffer(std::int32_t size);
  void SetSizeSendBuffer(std::int32_t size);
  void SetRecvTimeout(std::int32_t ms);
  void SetSendTimeout(std::int32_t ms);
  void EnableReuse(bool value);
  void SetTTL(std::int32_t ttl);

  void ResolveAll(const std::u16string& name, std::vector<std::string>& list);
  std::string ResolveFirst(const std::u16string& name);
  std::uint16_t ResolveServicePort(const std::u16string& port);
  std::u16string LocalHostName();
  // Reads and drops what is still waiting, bounded so a peer that keeps
  // sending cannot hold the closer.
  void DrainInput();

  int Socket() const { return socket_; }
  std::int32_t LastError() const { return last_error_; }
  const std::u16string& LastErrorDesc() const { return last_error_desc_; }
  bool NonBlockMode() const { return non_block_; }
  bool NoDelayMode() const { return no_delay_; }
  bool IP6Used() const { return ip6_used_; }
  std::uint64_t RecvCounter() const { return recv_counter_; }
  std::uint64_t SendCounter() const { return send_counter_; }
  const std::string& LineBuffer() const { return buffer_; }
  // Hands out bytes the handshake reads left in the line buffer.
  int TakeBuffered(void* buffer, int length);
  const DaxSockAddr& RemoteSin() const { return remote_sin_; }
  std::size_t DelayedOptionCount() const { return delayed_options_.size(); }

 protected:
  void DoStatus(THookSocketReason reason, const std::u16string& value);
  void SetLastError(std::int32_t code) { last_error_ = code; }
  // The error check that ends an operation.
  void RaiseSocketError();
  bool StopFlagCheck();
  void QueueOption(std::uint8_t option, bool enabled, std::int32_t value);
  void ApplyOption(const TSockOption& option);
  void PrepareAddress(const std::u16string& ip, const std::u16string& port, DaxSockAddr& address);
  void CreateSocketFor(const DaxSockAddr& address);
  void PlainConnect(const std::u16string& ip, const std::u16string& port);
  int FamilyToAF() const;
  // ReceiveUntil with an optional line cap and an overall deadline.
  std::string ReceiveUntilCore(std::uint32_t timeoutMs, const std::string& terminator, std::uint32_t maxLength,
                               bool wholeTimeout);

  int socket_ = -1;
  std::int32_t last_error_ = 0;
  std::u16string last_error_desc_;
  std::string buffer_;
  bool non_block_ = false;
  bool no_delay_ = false;
  bool last_cr_ = false;
  bool last_lf_ = false;
  bool ip6_used_ = false;
  TSocketFamily family_ = SF_Any;
  TSocketFamily family_save_ = SF_Any;
  std::list<TSockOption> delayed_options_;  // newest first
  std::uint64_t recv_counter_ = 0;
  std::uint64_t send_counter_ = 0;
  DaxSockAddr local_sin_{};
  DaxSockAddr remote_sin_{};
};

class TSocksBlockSocket : public TBlockSocket {
 public:
  std::u16string SocksIP;
  std::u16string SocksPort = u"1080";
  std::uint32_t SocksTimeout = 60000;
  std::u16string SocksUsername;
  std::u16string SocksPassword;
  bool SocksResolver = true;
  TSocksType SocksType = ST_Socks5;

  bool UsingSocks() const { return using_socks_; }
  std::int32_t SocksLastError() const { return socks_result_; }
  const std::u16string& SocksResponseIP() const { return socks_response_ip_; }
  const std::u16string& SocksResponsePort() const { return socks_response_port_; }

  // The handshake steps on the connected socket; each returns success. A
  // failure leaves the socket's error, or none (the caller makes it -2).
  bool SocksOpen();
  bool SocksRequest(std::uint8_t command, const std::u16string& ip, const std::u16string& port);
  bool SocksResponse();

  std::u16string LocalAddressText() override;
  std::u16string GetRemoteIP() override;
  int LocalPortNumber() override;
  int RemotePortNumber() override;

 protected:
  void SocksConnect(const std::u16string& ip, const std::u16string& port);
  // The address part of a request; false when it cannot be encoded.
  bool SocksCode(const std::u16string& ip, const std::u16string& port, std::string& out);

  bool using_socks_ = false;
  std::int32_t socks_result_ = 0;
  std::u16string socks_response_ip_;
  std::u16string socks_response_port_;
  std::u16string socks_local_ip_;
  std::u16string socks_local_port_;
  std::u16string socks_remote_ip_;
  std::u16string socks_remote_port_;
  bool bypass_flag_ = false;
};

class TTCPBlockSocket : public TSocksBlockSocket {
 public:
  THookAfterConnect OnAfterConnect;
  THookSocketStatus OnHTTPTunnelStatus;
  THookHTTPTunnelConnectAnswer OnHTTPTunnelConnectAnswer;
  std::u16string HTTPTunnelIP;
  std::u16string HTTPTunnelPort;
  std::u16string HTTPTunnelUser;
  std::u16string HTTPTunnelPass;
  std::uint32_t HTTPTunnelTimeout = 30000;

  void Close() override;
  void Connect(const std::u16string& ip, const std::u16string& port) override;
  int SocketTypeValue() const override { return SOCK_STREAM; }
  int SocketProtocolValue() const override { return IPPROTO_TCP; }
  std::u16string GetRemoteIP() override;
  int RemotePortNumber() override;
  bool HTTPTunnel() const { return tunnel_open_; }

  // Sends the CONNECT request and reads the answer on the connected socket.
  void HTTPTunnelHandshake(const std::u16string& ip, const std::u16string& port);

 protected:
  void HTTPTunnelDoConnect(const std::u16string& ip, const std::u16string& port);

  bool tunnel_open_ = false;
  std::u16string tunnel_remote_ip_;
  std::u16string tunnel_remote_port_;
};

// The status code of an HTTP answer line ("HTTP/1.0 200 OK" -> 200), -1 when
// the line is no status line; `reason` gets the trimmed text after the code.
std::int32_t VekHttpStatusCode(const std::string& line, std::string* reason);
