// The byte-stream connection every network conversation runs on: a fixed
// receive buffer, line and block reads against deadlines, block writes, and
// a wake-up that any thread may send. The transport (socket, proxy, waits)
// is left to the concrete class.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/ansi_unicode_converter.h"
#include "foundation/byte_buffers.h"
#include "foundation/types_base.h"
#include "foundation/waiter2_bsd.h"

struct TVEKConnectionParams {
  std::int32_t ConnectTimeout = 0;       // ms
  std::int32_t ProxyConnectTimeout = 0;  // ms
  std::int32_t ReadTimeout = 8000;       // ms
  std::int32_t WriteTimeout = 8000;      // ms
  std::uint8_t ProxyType = VEK_PROXY_TYPE_NONE;  // TVEKProxyType
  std::u16string ProxyHost;
  std::int32_t ProxyPort = 0;
  std::u16string ProxyUser;
  std::u16string ProxyPassword;
  std::u16string CharsetName;
  bool PreferIPv4 = false;
};

// Results of a raw read or write.
enum : std::uint8_t { VEK_RAW_DONE = 0, VEK_RAW_CLOSED = 1, VEK_RAW_ERROR = 2 };

constexpr std::int32_t kVekRecvBufferSize = 16384;

class TVEKConnection {
 public:
  using TOnResolving = std::function<void(const std::u16string& host, std::int32_t port)>;
  using TOnProxyConnecting = std::function<void(std::uint8_t kind, const std::u16string& host, std::int32_t port)>;
  using TOnEvent = std::function<void()>;
  using TOnText = std::function<void(const std::u16string& text)>;

  explicit TVEKConnection(bool peerDisconnectIsError);
  TVEKConnection(const TVEKConnection&) = delete;
  TVEKConnection& operator=(const TVEKConnection&) = delete;
  virtual ~TVEKConnection();

  std::uint8_t LastReadResult = VEK_RAW_DONE;
  bool ReadTimedOut = false;
  bool WriteTimedOut = false;
  // Ends every read and write loop; set by Disconnect/Abort (and by another
  // thread's stop request), cleared by DoReset.
  std::atomic<bool> Stopping{false};
  TAnsiUnicodeConverter Converter;
  std::u16string Host;
  std::int32_t Port = 0;
  bool PeerDisconnectIsError;
  TVEKConnectionParams Params;
  // Time seam for the deadlines.
  std::function<std::uint32_t()> Clock;

  TOnResolving OnResolving;
  TOnEvent OnConnected;
  TOnEvent OnReservedA;
  TOnProxyConnecting OnProxyConnecting;
  TOnEvent OnProxyConnected;
  TOnEvent OnReservedB;
  TOnEvent OnReadTimedOut;
  TOnEvent OnReservedD;  // stored directly by the protocol thread
  TOnText OnReadError;
  TOnText OnWriteError;
  TOnEvent OnReservedC;
  TOnEvent OnDisconnected;
  TOnText OnFatalError;

  virtual std::u16string CodeToStrA(std::int32_t code);
  virtual std::u16string CodeToStrB(std::int32_t code);
  virtual bool IsActive() = 0;
  virtual void SetOnResolving(TOnResolving e) { OnResolving = std::move(e); }
  virtual void SetOnConnected(TOnEvent e) { OnConnected = std::move(e); }
  virtual void SetOnReservedA(TOnEvent e) { OnReservedA = std::move(e); }
  virtual void SetOnProxyConnecting(TOnProxyConnecting e) { OnProxyConnecting = std::move(e); }
  virtual void SetOnProxyConnected(TOnEvent e) { OnProxyConnected = std::move(e); }
  virtual void SetOnReservedB(TOnEvent e) { OnReservedB = std::move(e); }
  virtual void SetOnReadTimedOut(TOnEvent e) { OnReadTimedOut = std::move(e); }
  virtual void SetOnReadError(TOnText e) { OnReadError = std::move(e); }
  virtual void SetOnWriteError(TOnText e) { OnWriteError = std::move(e); }
  virtual void SetOnReservedC(TOnEvent e) { OnReservedC = std::move(e); }
  virtual void SetOnDisconnected(TOnEvent e) { OnDisconnected = std::move(e); }
  virtual void SetOnFatalError(TOnText e) { OnFatalError = std::move(e); }
  virtual void SetHost(const std::u16string& host) { Host = host; }
  virtual void SetPort(std::int32_t port) { Port = port; }
  virtual void DoReset();
  virtual std::u16string GetWriteErrorText() { return {}; }
  virtual std::u16string GetReadErrorText() { return {}; }
  virtual std::uint8_t ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) = 0;
  virtual std::uint8_t WriteRaw(const void* buffer, std::int32_t length, std::int32_t& count) = 0;
  virtual void DoClose() = 0;
  virtual void DoAbort() {}
  virtual void DoFlush() {}
  virtual std::u16string DoGetPeerIP() { return u"not detected"; }
  virtual TWaiterResult DoWaitWakeup(std::uint32_t ms) = 0;
  virtual TWaiterResult DoWaitReadable(std::uint32_t ms) = 0;
  virtual TWaiterResult DoWaitWritable(std::uint32_t ms) = 0;
  virtual void DoWakeup() = 0;
  virtual void DoClearWakeup() = 0;
  virtual void Connect();
  virtual bool IsConnected() = 0;
  virtual void SetParams(const TVEKConnectionParams& params);

  // One LF-terminated line (LF and one CR before it removed), at most
  // maxLength bytes kept; the rest of an over-long line is dropped.
  void ReadLine(std::string& line, std::int32_t maxLength);
  void ReadLineToBuffer(TDaxByteBuffer& buffer, std::int32_t maxLength);
  void ReadBuffer(void* destination, std::int32_t count);
  void WriteBuffer(const void* source, std::int32_t count);
  // Bytes readable now; never waits.
  std::int32_t Available();
  void Flush() { DoFlush(); }
  void Reset() { DoReset(); }
  void Disconnect();
  void Abort();
  // The operations meant for other threads. A stop request ends the
  // owner's current connect, read or write at once; only the owner closes.
  void Wakeup() { DoWakeup(); }
  virtual void RequestStop() {
    Stopping = true;
    Wakeup();
  }
  void ClearWakeup() { DoClearWakeup(); }
  TWaiterResult WaitReadable(std::uint32_t ms) { return DoWaitReadable(ms); }
  TWaiterResult WaitWakeup(std::uint32_t ms) { return DoWaitWakeup(ms); }
  void CheckReadTimedOut();
  std::u16string GetPeerIP() { return DoGetPeerIP(); }

  std::int32_t RecvFill() const { return recv_fill_; }
  std::int32_t RecvPos() const { return recv_pos_; }

 protected:
  void FillBuffer();
  // Deadline bookkeeping of one operation.
  struct Deadline {
    std::uint32_t start;
    std::uint32_t timeout;
    bool expired = false;
  };
  Deadline StartDeadline(std::int32_t timeout);
  // Waits for readability within the deadline; false when the operation
  // must go on (woken), true when something may be read. Raises on timeout.
  bool WaitReadWithin(Deadline& deadline);
  void ConsumeAll() { recv_pos_ = recv_fill_ = 0; }
  // How a line scan ended: with its LF or another way (stop request, closed
  // connection after its last bytes), with the peer's close and no bytes
  // unread, or with an LF found just as a stop request came (the line is
  // left as it is).
  enum class TLineScan { Ended, Closed, Abandoned };
  // The scan both line readers share: hands each run of bytes before the LF
  // to `append` and consumes the LF. With `closeEndsIdleRead` a close ends
  // the read even when nothing is unread.
  template <class Append>
  TLineScan ScanLine(Append append, bool closeEndsIdleRead);

  std::uint8_t recv_buffer_[kVekRecvBufferSize];
  std::int32_t recv_fill_ = 0;
  std::int32_t recv_pos_ = 0;
};
