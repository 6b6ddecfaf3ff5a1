#include "net/blocksock.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "net/idn.h"

namespace {

std::u16string Widen(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (unsigned char c : s) out += static_cast<char16_t>(c);
  return out;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t u : s) out += static_cast<char>(u & 0xFF);
  return out;
}

std::u16string Num(long long v) { return Widen(std::to_string(v)); }

// Milliseconds left of `total` since `start`; 0 when none.
std::uint32_t TimeLeft(std::uint32_t start, std::uint32_t total) {
  if (total == kBlockSockInfinite) return total;
  const std::uint32_t spent = DaxTickMs() - start;
  return spent >= total ? 0 : total - spent;
}

int PollOne(int fd, short events, std::uint32_t timeoutMs) {
  pollfd p{fd, events, 0};
  const int t = timeoutMs == kBlockSockInfinite ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF));
  int r;
  do {
    r = ::poll(&p, 1, t);
  } while (r < 0 && errno == EINTR);
  return r;
}

// The callers' status hook is put back whatever happens in between.
class StatusSwap {
 public:
  StatusSwap(THookSocketStatus& slot, const THookSocketStatus& replacement) : slot_(slot), saved_(slot) {
    slot_ = replacement;
  }
  ~StatusSwap() { slot_ = saved_; }

 private:
  THookSocketStatus& slot_;
  THookSocketStatus saved_;
};

struct ErrorText {
  int code;
  const char* text;
};

// Keyed by the platform's constants, so each number reads right here.
const ErrorText kErrorTexts[] = {
    {0, ""},
    {DAX_SOCK_ERR_HOST_NOT_FOUND, "Host not found"},
    {DAX_SOCK_ERR_NO_DATA, "Valid name, no data record of requested type"},
    {DAX_SOCK_ERR_DISCONNECT, "Disconnect"},
    {DAX_SOCK_ERR_NOT_INITIALISED, "Winsock not initialized"},
    {DAX_SOCK_ERR_VERSION, "Winsock DLL cannot support this application"},
    {DAX_SOCK_ERR_UNUSABLE, "Network subsystem is unusable"},
    {DAX_SOCK_ERR_PROCESSES, "Too many processes"},
    {EINTR, "Interrupted system call"},
    {EBADF, "Bad file descriptor"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EINVAL, "Invalid argument"},
    {EMFILE, "Too many open files"},
    {EWOULDBLOCK, "Operation would block"},
    {EINPROGRESS, "Operation now in progress"},
    {EALREADY, "Operation already in progress"},
    {ENOTSOCK, "Socket operation on nonsocket"},
    {EDESTADDRREQ, "Destination address required"},
    {EMSGSIZE, "Message too long"},
    {EPROTOTYPE, "Protocol wrong type for Socket"},
    {ENOPROTOOPT, "Protocol not available"},
    {EPROTONOSUPPORT, "Protocol not supported"},
    {ESOCKTNOSUPPORT, "Socket not supported"},
    {EOPNOTSUPP, "Operation not supported on Socket"},
    {EPFNOSUPPORT, "Protocol family not supported"},
    {EAFNOSUPPORT, "Address family not supported"},
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Can't assign requested address"},
    {ENETDOWN, "Network is down"},
    {ENETUNREACH, "Network is unreachable"},
    {ENETRESET, "Network dropped connection on reset"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNRESET, "Connection reset by peer"},
    {ENOBUFS, "No Buffer space available"},
    {EISCONN, "Socket is already connected"},
    {ENOTCONN, "Socket is not connected"},
    {ESHUTDOWN, "Can't send after Socket shutdown"},
    {ETOOMANYREFS, "Too many references:can't splice"},
    {ETIMEDOUT, "Connection timed out"},
    {ECONNREFUSED, "Connection refused"},
    {ELOOP, "Too many levels of symbolic links"},
    {ENAMETOOLONG, "File name is too long"},
    {EHOSTDOWN, "Host is down"},
    {EHOSTUNREACH, "No route to host"},
    {ENOTEMPTY, "Directory is not empty"},
    {EUSERS, "Too many users"},
    {EDQUOT, "Disk quota exceeded"},
    {ESTALE, "Stale NFS file handle"},
    {EREMOTE, "Too many levels of remote in path"},
};

}  // namespace

EBlockSocketError::EBlockSocketError(std::int32_t code, std::string description)
    : Exception("SSocket error " + std::to_string(code) + ": " + description),
      ErrorCode(code),
      ErrorMessage(std::move(description)) {}

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() {
  if (socket_ != -1) DaxSockClose(socket_);
}

std::u16string TBlockSocket::GetErrorDesc(std::int32_t code) {
  for (const ErrorText& e : kErrorTexts)
    if (e.code == code) return Widen(e.text);
  return u"Other socket error (" + Num(code) + u")";
}

std::u16string TBlockSocket::GetErrorDescEx() { return GetErrorDesc(last_error_); }

void TBlockSocket::DoStatus(THookSocketReason reason, const std::u16string& value) {
  if (OnStatus) OnStatus(*this, reason, value);
}

void TBlockSocket::RaiseSocketError() {
  last_error_desc_ = GetErrorDescEx();
  if (last_error_ == 0 || last_error_ == EINPROGRESS || last_error_ == EAGAIN) return;
  DoStatus(HR_Error, Num(last_error_) + u"," + last_error_desc_);
  if (RaiseExcept) throw EBlockSocketError(last_error_, DaxHookUnicodeToSys(last_error_desc_));
}

int TBlockSocket::CheckResult(int systemResult) {
  last_error_ = 0;
  if (systemResult == -1) {
    last_error_ = errno;
    last_error_desc_ = GetErrorDescEx();
  }
  return last_error_;
}

bool TBlockSocket::StopFlagCheck() {
  if (HeartbeatRate != 0 && OnHeartbeat) OnHeartbeat(*this);
  if (!StopFlag.exchange(false)) return false;
  last_error_ = ECONNABORTED;
  RaiseSocketError();
  return true;
}

void TBlockSocket::SetFamilyValue(TSocketFamily family) {
  family_ = family;
  family_save_ = family;
}

int TBlockSocket::FamilyToAF() const {
  switch (family_) {
    case SF_IP4: return AF_INET;
    case SF_IP6: return AF_INET6;
    default: return 0;
  }
}

// ---- options

void TBlockSocket::QueueOption(std::uint8_t option, bool enabled, std::int32_t value) {
  TSockOption o{option, enabled, value};
  if (socket_ == -1) delayed_options_.push_front(o);
  else ApplyOption(o);
}

void TBlockSocket::ApplyOption(const TSockOption& o) {
  const int fd = socket_;
  int v = o.Value;
  int flag = o.Enabled ? 1 : 0;
  switch (o.Option) {
    case SOT_Linger: {
      linger l{flag, o.Value / 1000};
      DaxSockSetOption(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      break;
    }
    case SOT_RecvBuff: DaxSockSetOption(fd, SOL_SOCKET, SO_RCVBUF, &v, sizeof v); break;
    case SOT_SendBuff: DaxSockSetOption(fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof v); break;
    case SOT_NonBlock:
      non_block_ = o.Enabled;
      DaxSockIoctl(fd, FIONBIO, &flag);
      break;
    case SOT_RecvTimeout:
    case SOT_SendTimeout: {
      timeval tv{o.Value / 1000, (o.Value % 1000) * 1000};
      DaxSockSetOption(fd, SOL_SOCKET, o.Option == SOT_RecvTimeout ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof tv);
      break;
    }
    case SOT_NoDelay:
      no_delay_ = o.Enabled;
      DaxSockSetOption(fd, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
      break;
    case SOT_Reuse: DaxSockSetOption(fd, SOL_SOCKET, SO_REUSEADDR, &flag, sizeof flag); break;
    case SOT_TTL:
      if (ip6_used_) DaxSockSetOption(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &v, sizeof v);
      else DaxSockSetOption(fd, IPPROTO_IP, IP_TTL, &v, sizeof v);
      break;
    case SOT_Broadcast: DaxSockSetOption(fd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag); break;
    case SOT_MulticastTTL:
      if (ip6_used_) DaxSockSetOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &v, sizeof v);
      else DaxSockSetOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v);
      break;
    case SOT_MulticastLoop:
      if (ip6_used_) DaxSockSetOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &flag, sizeof flag);
      else DaxSockSetOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &flag, sizeof flag);
      break;
    default: break;
  }
}

void TBlockSocket::SetNonBlockMode(bool value) { QueueOption(SOT_NonBlock, value, 0); }
void TBlockSocket::TcpNoDelay(bool value) { QueueOption(SOT_NoDelay, value, 0); }
void TBlockSocket::SetLinger(bool enabled, std::int32_t ms) { QueueOption(SOT_Linger, enabled, ms); }
void TBlockSocket::SetSizeRecvBuffer(std::int32_t size) { QueueOption(SOT_RecvBuff, true, size); }
void TBlockSocket::SetSizeSendBuffer(std::int32_t size) { QueueOption(SOT_SendBuff, true, size); }
void TBlockSocket::SetRecvTimeout(std::int32_t ms) { QueueOption(SOT_RecvTimeout, true, ms); }
void TBlockSocket::SetSendTimeout(std::int32_t ms) { QueueOption(SOT_SendTimeout, true, ms); }
void TBlockSocket::EnableReuse(bool value) { QueueOption(SOT_Reuse, value, 0); }
void TBlockSocket::SetTTL(std::int32_t ttl) { QueueOption(SOT_TTL, true, ttl); }

// ---- descriptors

void TBlockSocket::AttachHandle(int descriptor) {
  if (socket_ != -1 && socket_ != descriptor) CloseHandle();
  socket_ = descriptor;
  recv_counter_ = send_counter_ = 0;
  buffer_.clear();
  last_cr_ = last_lf_ = false;
  DaxSockGetLocalAddress(socket_, local_sin_);
  DaxSockGetPeerAddress(socket_, remote_sin_);
  ip6_used_ = remote_sin_.sa.sa_family == AF_INET6;
}

void TBlockSocket::CreateSocketFor(const DaxSockAddr& address) {
  StopFlag = false;
  recv_counter_ = send_counter_ = 0;
  last_error_ = 0;
  if (socket_ == -1) {
    buffer_.clear();
    ip6_used_ = address.sa.sa_family == AF_INET6;
    socket_ = DaxSockCreate(address.sa.sa_family, SocketTypeValue(), SocketProtocolValue());
    if (socket_ == -1) last_error_ = errno;
    if (last_error_ == 0 && OnExtSocketCreated) OnExtSocketCreated(*this, socket_);
  }
  RaiseSocketError();
  if (last_error_ != 0) return;
  DoStatus(HR_SocketCreate, ip6_used_ ? u"IPv6" : u"IPv4");
  while (!delayed_options_.empty()) {  // oldest (back) first
    ApplyOption(delayed_options_.back());
    delayed_options_.pop_back();
  }
  if (OnCreateSocket) OnCreateSocket(*this);
}

void TBlockSocket::CloseHandle() {
  if (socket_ != -1) DaxSockClose(socket_);
  socket_ = -1;
  delayed_options_.clear();
  family_ = family_save_;
  DoStatus(HR_SocketClose, u"");
}

void TBlockSocket::Close() { CloseHandle(); }

void TBlockSocket::DrainInput() {
  // At most this much is read and dropped before the descriptor closes.
  constexpr std::size_t kDrainLimit = 1u << 20;
  constexpr int kDrainPasses = 64;
  try {
    VekSleepMs(1);
    std::size_t drained = 0;
    for (int pass = 0; pass < kDrainPasses && drained < kDrainLimit; ++pass) {
      if (buffer_.empty() && PendingBytes() <= 0) break;
      drained += ReceiveChunk(0).size();
      if (last_error_ != 0) break;
    }
  } catch (...) {
  }
  last_error_ = 0;
}

// ---- addresses and connect

void TBlockSocket::PrepareAddress(const std::u16string& ip, const std::u16string& port, DaxSockAddr& address) {
  DoStatus(HR_ResolvingBegin, ip + u":" + port);
  last_error_ = 0;
  const std::string host = DaxHostToAscii(ip);
  int af;
  if (socket_ == -1) {
    if (family_ == SF_Any) af = VekIsIPv4Text(host) ? AF_INET : VekIsIPv6Text(host) ? AF_INET6 : 0;
    else af = FamilyToAF();
  } else {
    af = ip6_used_ ? AF_INET6 : AF_INET;
  }
  last_error_ = DaxSockSetAddress(address, host, Narrow(port), af, SocketProtocolValue(), SocketTypeValue(),
                                  PreferIP4);
  DoStatus(HR_ResolvingEnd,
           DaxHostToUnicode(DaxSockAddressText(address)) + u":" + Num(DaxSockAddressPort(address)));
}

void TBlockSocket::PlainConnect(const std::u16string& ip, const std::u16string& port) {
  DaxSockAddr sin{};
  PrepareAddress(ip, port, sin);
  if (last_error_ == 0) {
    if (socket_ == -1) CreateSocketFor(sin);
    if (last_error_ == 0) {
      if (ConnectionTimeout > 0) {
        const bool wasNonBlocking = non_block_;
        SetNonBlockMode(true);
        CheckResult(DaxSockConnect(socket_, sin));
        // Only EINPROGRESS means the connect is under way; EAGAIN (no local
        // port left) is a failure like any other.
        if (last_error_ == EINPROGRESS) {
          if (CanConnectWithin(ConnectionTimeout)) {
            int so = 0;
            socklen_t len = sizeof so;
            if (DaxSockGetOption(socket_, SOL_SOCKET, SO_ERROR, &so, &len) == 0) last_error_ = so;
          } else if (last_error_ == 0) {
            last_error_ = ETIMEDOUT;
          }
        } else if (last_error_ == EAGAIN) {
          last_error_ = EADDRNOTAVAIL;
        }
        const std::int32_t keep = last_error_;
        SetNonBlockMode(wasNonBlocking);
        last_error_ = keep;
      } else {
        CheckResult(DaxSockConnect(socket_, sin));
      }
      if (last_error_ == 0) {
        DaxSockGetLocalAddress(socket_, local_sin_);
        DaxSockGetPeerAddress(socket_, remote_sin_);
      }
      buffer_.clear();
      last_cr_ = last_lf_ = false;
    }
  }
  RaiseSocketError();
  if (last_error_ == 0) DoStatus(HR_Connect, ip + u":" + port);
}

void TBlockSocket::Connect(const std::u16string& ip, const std::u16string& port) { PlainConnect(ip, port); }

// ---- waits

bool TBlockSocket::WaitReadableOnce(std::uint32_t timeoutMs) {
  if (OnExtCanRead) {
    last_error_ = 0;
    std::int32_t err = 0;
    const bool ready = OnExtCanRead(*this, timeoutMs, err);
    last_error_ = err;
    return ready;
  }
  const int r = PollOne(socket_, POLLIN, timeoutMs);
  CheckResult(r < 0 ? -1 : 0);
  return r > 0 && last_error_ == 0;
}

bool TBlockSocket::CanReadWithin(std::uint32_t timeoutMs) {
  const std::uint32_t rate = HeartbeatRate;
  const bool whole = rate == 0 || timeoutMs == kBlockSockInfinite;
  bool ready = WaitReadableOnce(whole ? timeoutMs : timeoutMs % rate);
  if (!ready) {
    const std::uint32_t passes = rate == 0 ? 1 : timeoutMs / rate + 1;
    for (std::uint32_t i = 0; i < passes; ++i) {
      if (rate != 0 && OnHeartbeat) OnHeartbeat(*this);
      if (StopFlag.exchange(false)) break;
      const std::int32_t before = last_error_;
      ready = WaitReadableOnce(rate);
      if (ready) break;
      if (rate == 0 && last_error_ == 0) last_error_ = before;  // keep the first wait's verdict
    }
  }
  RaiseSocketError();
  if (ready) DoStatus(HR_CanRead, u"");
  return ready;
}

bool TBlockSocket::CanReadBuffered(std::uint32_t timeoutMs) {
  return !buffer_.empty() || CanReadWithin(timeoutMs);
}

bool TBlockSocket::CanWriteWithin(std::uint32_t timeoutMs) {
  if (OnExtCanWrite) {
    last_error_ = 0;
    std::int32_t err = 0;
    const bool ready = OnExtCanWrite(*this, timeoutMs, err);
    last_error_ = err;
    return ready;
  }
  const int r = PollOne(socket_, POLLOUT, timeoutMs);
  CheckResult(r < 0 ? -1 : 0);
  RaiseSocketError();
  const bool ready = r > 0 && last_error_ == 0;
  if (ready) DoStatus(HR_CanWrite, u"");
  return ready;
}

bool TBlockSocket::CanConnectWithin(std::uint32_t timeoutMs) {
  if (OnExtCanConnect) {
    last_error_ = 0;
    std::int32_t err = 0;
    const bool ready = OnExtCanConnect(*this, timeoutMs, err);
    if (err != 0) {
      last_error_ = err;
      last_error_desc_ = GetErrorDescEx();
    }
    return ready;
  }
  const int r = PollOne(socket_, POLLOUT, timeoutMs);
  CheckResult(r < 0 ? -1 : 0);
  RaiseSocketError();
  return r > 0 && last_error_ == 0;
}

// ---- sending

int TBlockSocket::SendBytes(const void* buffer, int length) {
  if (StopFlagCheck()) return 0;
  if (OnMonitor) OnMonitor(*this, true, buffer, length);
  const char* p = static_cast<const char*>(buffer);
  int remaining = std::max(length, 0);
  int sent = 0;
  const std::uint32_t start = DaxTickMs();
  while (remaining > 0) {
    const int chunk = std::min<int>(remaining, static_cast<int>(std::max<std::uint32_t>(SendMaxChunk, 1)));
    const ssize_t r = DaxSockSend(socket_, p, static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
    CheckResult(r < 0 ? -1 : 0);
    if (last_error_ == EAGAIN) {
      // Keep at it for the whole send timeout, not one retry: a full socket
      // buffer is normal on a slow link.
      const std::uint32_t left = TimeLeft(start, NonblockSendTimeout);
      if (left == 0 || !CanWriteWithin(left)) {
        last_error_ = ETIMEDOUT;
        break;
      }
      if (StopFlag.exchange(false)) {
        last_error_ = ECONNABORTED;
        break;
      }
      last_error_ = 0;
      continue;
    }
    if (last_error_ != 0) break;
    p += r;
    remaining -= static_cast<int>(r);
    sent += static_cast<int>(r);
    send_counter_ += static_cast<std::uint64_t>(r);
    DoStatus(HR_WriteCount, Num(r));
  }
  RaiseSocketError();
  return sent;
}

void TBlockSocket::SendOneByte(std::uint8_t value) { SendBytes(&value, 1); }
void TBlockSocket::SendText(const std::string& text) { SendBytes(text.data(), static_cast<int>(text.size())); }
void TBlockSocket::SendInt32(std::uint32_t value) { SendBytes(&value, 4); }

void TBlockSocket::SendLengthBlock(const std::string& data) {
  std::string block(4, '\0');
  const std::uint32_t n = static_cast<std::uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) block[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  SendText(block + data);
}

// ---- receiving

int TBlockSocket::ReceiveBytes(void* buffer, int length) {
  if (StopFlagCheck()) return 0;
  if (length <= 0) return 0;
  const ssize_t r = DaxSockRecv(socket_, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  if (r == 0) last_error_ = ECONNRESET;
  else CheckResult(r < 0 ? -1 : 0);
  RaiseSocketError();
  int count = r > 0 ? static_cast<int>(r) : 0;
  if (count > 0) {
    recv_counter_ += static_cast<std::uint64_t>(count);
    DoStatus(HR_ReadCount, Num(count));
    if (OnMonitor) OnMonitor(*this, false, buffer, count);
    if (OnReadFilter) {
      std::string data(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
      OnReadFilter(*this, data);
      count = static_cast<int>(std::min<std::size_t>(data.size(), static_cast<std::size_t>(length)));
      std::memcpy(buffer, data.data(), static_cast<std::size_t>(count));
    }
  }
  return count;
}

int TBlockSocket::TakeBuffered(void* buffer, int length) {
  const int n = std::min<int>(std::max(length, 0), static_cast<int>(buffer_.size()));
  std::memcpy(buffer, buffer_.data(), static_cast<std::size_t>(n));
  buffer_.erase(0, static_cast<std::size_t>(n));
  return n;
}

int TBlockSocket::PendingBytes() {
  int n = 0;
  if (socket_ == -1 || DaxSockIoctl(socket_, FIONREAD, &n) != 0) return 0;
  return std::clamp(n, 0, 65536);
}

int TBlockSocket::PeekBytes(void* buffer, int length) {
  const ssize_t r = DaxSockRecv(socket_, buffer, static_cast<std::size_t>(std::max(length, 0)), MSG_PEEK | MSG_NOSIGNAL);
  CheckResult(r < 0 ? -1 : 0);
  RaiseSocketError();
  return r > 0 ? static_cast<int>(r) : 0;
}

std::string TBlockSocket::ReceiveChunk(std::uint32_t timeoutMs) {
  last_error_ = 0;
  std::string s;
  if (!buffer_.empty()) {
    s.swap(buffer_);
  } else {
    int n = PendingBytes();
    if (n <= 0) {
      if (CanReadWithin(timeoutMs)) {
        n = PendingBytes();
        if (n <= 0) {
          // Readable with nothing pending: the peer closed. A read tells an
          // orderly close from a reset.
          char probe[1];
          const ssize_t r = DaxSockRecv(socket_, probe, 1, MSG_PEEK | MSG_NOSIGNAL);
          if (r < 0 && errno != EAGAIN) last_error_ = errno;
          else if (r > 0) n = 1;
          else last_error_ = ECONNRESET;
        }
      } else if (last_error_ == 0) {
        last_error_ = ETIMEDOUT;
      }
    }
    if (n > 0 && last_error_ == 0) {
      s.resize(static_cast<std::size_t>(n));
      s.resize(static_cast<std::size_t>(ReceiveBytes(s.data(), n)));
    }
  }
  if (ConvertLineEnd && !s.empty()) {
    if ((last_cr_ && s[0] == '\n') || (last_lf_ && s[0] == '\r')) s.erase(0, 1);
    last_cr_ = last_lf_ = false;
  }
  RaiseSocketError();
  return s;
}

std::string TBlockSocket::ReceiveUntilCore(std::uint32_t timeoutMs, const std::string& terminator,
                                           std::uint32_t maxLength, bool wholeTimeout) {
  last_error_ = 0;
  if (terminator.empty()) return {};
  const std::uint32_t start = DaxTickMs();
  std::uint32_t wait = timeoutMs;
  std::string work;
  std::size_t found = std::string::npos, termLength = terminator.size();
  const bool anyLineEnd = ConvertLineEnd && terminator == "\r\n";
  for (;;) {
    work += ReceiveChunk(wait);
    if (last_error_ == EAGAIN) last_error_ = 0;  // readiness without data: wait again
    if (last_error_ != 0) break;
    if (anyLineEnd) {
      TVekLineEnd end;
      found = VekFindLineEnd(work, end);
      if (found != std::string::npos) {
        termLength = (end == vle_CRLF || end == vle_LFCR) ? 2 : 1;
        if (termLength == 1 && found + 1 == work.size()) {
          last_cr_ = end == vle_CR;
          last_lf_ = end == vle_LF;
        }
      }
    } else {
      found = work.find(terminator);
    }
    const std::size_t lineLength = found == std::string::npos ? work.size() : found;
    if (maxLength != 0 && lineLength > maxLength) {
      last_error_ = ENOBUFS;
      break;
    }
    if (found != std::string::npos) break;
    if (!InterPacketTimeout || wholeTimeout) {
      wait = TimeLeft(start, timeoutMs);
      if (wait == 0) {
        last_error_ = ETIMEDOUT;
        break;
      }
    }
  }
  std::string result;
  if (found != std::string::npos && last_error_ == 0) {
    result = work.substr(0, found);
    buffer_ = work.substr(found + termLength) + buffer_;
  } else {
    buffer_ = work + buffer_;
  }
  RaiseSocketError();
  return result;
}

std::string TBlockSocket::ReceiveUntil(std::uint32_t timeoutMs, const std::string& terminator) {
  return ReceiveUntilCore(timeoutMs, terminator, MaxLineLength, false);
}

std::string TBlockSocket::ReceiveCrLfLine(std::uint32_t timeoutMs) { return ReceiveUntil(timeoutMs, "\r\n"); }

int TBlockSocket::ReceiveBytesWithin(void* buffer, int length, std::uint32_t timeoutMs) {
  last_error_ = 0;
  int got = 0;
  const std::uint32_t start = DaxTickMs();
  char* out = static_cast<char*>(buffer);
  while (got < length) {
    const std::string s = ReceiveChunk(TimeLeft(start, timeoutMs));
    if (last_error_ == EAGAIN) last_error_ = 0;  // readiness without data: wait again
    if (last_error_ != 0) break;
    const std::size_t take = std::min<std::size_t>(s.size(), static_cast<std::size_t>(length - got));
    std::memcpy(out + got, s.data(), take);
    got += static_cast<int>(take);
    if (take < s.size()) buffer_ = s.substr(take) + buffer_;
    if (got < length && TimeLeft(start, timeoutMs) == 0) {
      last_error_ = ETIMEDOUT;
      break;
    }
  }
  RaiseSocketError();
  return got;
}

std::string TBlockSocket::ReceiveText(int length, std::uint32_t timeoutMs) {
  if (length <= 0) return {};
  std::string s(static_cast<std::size_t>(length), '\0');
  const int n = ReceiveBytesWithin(s.data(), length, timeoutMs);
  if (last_error_ != 0) return {};
  s.resize(static_cast<std::size_t>(n));
  return s;
}

std::uint8_t TBlockSocket::ReceiveOneByte(std::uint32_t timeoutMs) {
  last_error_ = 0;
  if (buffer_.empty()) buffer_ = ReceiveChunk(timeoutMs);
  if (last_error_ != 0 || buffer_.empty()) return 0;
  const std::uint8_t b = static_cast<std::uint8_t>(buffer_[0]);
  buffer_.erase(0, 1);
  return b;
}

std::uint32_t TBlockSocket::ReceiveInt32(std::uint32_t timeoutMs) {
  const std::string s = ReceiveText(4, timeoutMs);
  if (s.size() < 4) return 0;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[i]);
  return v;
}

std::string TBlockSocket::ReceiveLengthBlock(std::uint32_t timeoutMs) {
  const std::uint32_t n = ReceiveInt32(timeoutMs);
  if (last_error_ != 0) return {};
  // A peer's length field is not trusted with memory.
  constexpr std::uint32_t kMaxLengthBlock = 16u << 20;
  if (n > kMaxLengthBlock) {
    last_error_ = ENOBUFS;
    RaiseSocketError();
    return {};
  }
  std::string out;
  while (out.size() < n && last_error_ == 0) {
    const std::size_t piece = std::min<std::size_t>(n - out.size(), 65536);
    out += ReceiveText(static_cast<int>(piece), timeoutMs);
  }
  return last_error_ == 0 ? out : std::string();
}

// ---- texts and resolution

std::u16string TBlockSocket::LocalAddressText() { return DaxHostToUnicode(DaxSockAddressText(local_sin_)); }
std::u16string TBlockSocket::GetRemoteIP() { return DaxHostToUnicode(DaxSockAddressText(remote_sin_)); }
int TBlockSocket::LocalPortNumber() { return DaxSockAddressPort(local_sin_); }
int TBlockSocket::RemotePortNumber() { return DaxSockAddressPort(remote_sin_); }

void TBlockSocket::ResolveAll(const std::u16string& name, std::vector<std::string>& list) {
  DaxSockResolveName(DaxHostToAscii(name), FamilyToAF(), SocketProtocolValue(), SocketTypeValue(), list);
}

std::string TBlockSocket::ResolveFirst(const std::u16string& name) {
  std::vector<std::string> list;
  ResolveAll(name, list);
  return list.empty() ? std::string() : list.front();
}

std::uint16_t TBlockSocket::ResolveServicePort(const std::u16string& port) {
  return DaxSockResolvePort(Narrow(port), FamilyToAF(), SocketProtocolValue(), SocketTypeValue());
}

std::u16string TBlockSocket::LocalHostName() {
  const std::u16string name = DaxHostToUnicode(DaxSockGetHostName());
  return name.empty() ? std::u16string(u"127.0.0.1") : name;
}

// ---- SOCKS

bool TSocksBlockSocket::SocksOpen() {
  if (SocksType == ST_Socks4) {
    using_socks_ = true;
    return true;
  }
  SendText(SocksUsername.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x02\x00", 4));
  if (last_error_ != 0) return false;
  std::string reply = ReceiveText(2, SocksTimeout);
  if (reply.size() < 2 || reply[0] != 0x05) return false;
  if (reply[1] == 0x02) {
    const std::string user = DaxHookUnicodeToSys(SocksUsername);
    const std::string pass = DaxHookUnicodeToSys(SocksPassword);
    // The length bytes count the bytes sent; longer ones cannot be encoded.
    if (user.size() > 255 || pass.size() > 255) return false;
    std::string auth = "\x01";
    auth += static_cast<char>(user.size());
    auth += user;
    auth += static_cast<char>(pass.size());
    auth += pass;
    SendText(auth);
    if (last_error_ != 0) return false;
    reply = ReceiveText(2, SocksTimeout);
    if (reply.size() < 2 || reply[1] != 0x00) return false;
  } else if (reply[1] != 0x00) {
    return false;
  }
  using_socks_ = true;
  return true;
}

bool TSocksBlockSocket::SocksCode(const std::u16string& ip, const std::u16string& port, std::string& out) {
  const std::uint16_t portNumber = ResolveServicePort(port);
  std::string host = DaxHostToAscii(ip);
  if (!SocksResolver && !VekIsIPv4Text(host) && !VekIsIPv6Text(host)) {
    host = ResolveFirst(ip);
    if (host.empty()) {
      last_error_ = DAX_SOCK_ERR_HOST_NOT_FOUND;
      return false;
    }
  }
  out.clear();
  if (SocksType == ST_Socks4) {
    const std::string user = DaxHookUnicodeToSys(SocksUsername);
    out += VekCodeInt16(portNumber);
    if (VekIsIPv4Text(host)) {
      const auto b = VekIPv4ToBytes(host);
      out.append(reinterpret_cast<const char*>(b.data()), 4);
      out += user;
      out += '\0';
    } else {
      if (host.empty() || host.find('\0') != std::string::npos) return false;
      out += std::string("\x00\x00\x00\x01", 4);
      out += user;
      out += '\0';
      out += host;
      out += '\0';
    }
    return true;
  }
  if (VekIsIPv4Text(host)) {
    const auto b = VekIPv4ToBytes(host);
    out += '\x01';
    out.append(reinterpret_cast<const char*>(b.data()), 4);
  } else if (VekIsIPv6Text(host)) {
    const auto b = VekIPv6ToBytes(host);
    out += '\x04';
    out.append(reinterpret_cast<const char*>(b.data()), 16);
  } else {
    if (host.empty() || host.size() > 255) return false;
    out += '\x03';
    out += static_cast<char>(host.size());
    out += host;
  }
  out += VekCodeInt16(portNumber);
  return true;
}

bool TSocksBlockSocket::SocksRequest(std::uint8_t command, const std::u16string& ip, const std::u16string& port) {
  std::string address;
  if (!SocksCode(ip, port, address)) return false;
  std::string block;
  if (SocksType == ST_Socks4) {
    block += '\x04';
    block += static_cast<char>(command);
  } else {
    block += '\x05';
    block += static_cast<char>(command);
    block += '\x00';
  }
  SendText(block + address);
  return last_error_ == 0;
}

bool TSocksBlockSocket::SocksResponse() {
  socks_response_ip_.clear();
  socks_response_port_.clear();
  socks_result_ = -1;
  std::string addressPart, portBytes;
  std::uint8_t type = 1;
  if (SocksType == ST_Socks4) {
    const std::string reply = ReceiveText(8, SocksTimeout);
    if (last_error_ != 0 || reply.size() < 8 || reply[0] != 0x00) return false;
    socks_result_ = static_cast<std::uint8_t>(reply[1]);
    portBytes = reply.substr(2, 2);
    addressPart = reply.substr(4, 4);
  } else {
    const std::string reply = ReceiveText(4, SocksTimeout);
    if (last_error_ != 0 || reply.size() < 4 || reply[0] != 0x05) return false;
    type = static_cast<std::uint8_t>(reply[3]);
    switch (type) {
      case 1: addressPart = ReceiveText(4, SocksTimeout); break;
      case 3: {
        const std::string len = ReceiveText(1, SocksTimeout);
        if (last_error_ != 0 || len.empty()) return false;
        addressPart = ReceiveText(static_cast<std::uint8_t>(len[0]), SocksTimeout);
        break;
      }
      case 4: addressPart = ReceiveText(16, SocksTimeout); break;
      default: return false;
    }
    if (last_error_ != 0) return false;
    portBytes = ReceiveText(2, SocksTimeout);
    if (last_error_ != 0) return false;
    socks_result_ = static_cast<std::uint8_t>(reply[1]);
  }
  if (socks_result_ != 0 && socks_result_ != 90) return false;
  socks_response_port_ = portBytes.size() == 2 ? Num(VekDecodeInt16(portBytes, 1)) : u"0";
  if (type == 1 && addressPart.size() == 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(addressPart.data());
    socks_response_ip_ = Num(b[0]) + u"." + Num(b[1]) + u"." + Num(b[2]) + u"." + Num(b[3]);
  } else if (type == 3) {
    socks_response_ip_ = Widen(addressPart);
  } else if (type == 4 && addressPart.size() == 16) {
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), addressPart.data(), 16);
    socks_response_ip_ = Widen(VekIPv6BytesToText(b));
  }
  return true;
}

void TSocksBlockSocket::SocksConnect(const std::u16string& ip, const std::u16string& port) {
  bypass_flag_ = true;
  using_socks_ = false;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{bypass_flag_};
  PlainConnect(SocksIP, SocksPort);
  if (last_error_ != 0) return;
  const bool ok = SocksOpen() && SocksRequest(1, ip, port) && SocksResponse();
  if (!ok && last_error_ == 0) last_error_ = DAX_SOCK_ERR_UNUSABLE;
  if (!ok) using_socks_ = false;
  socks_local_ip_ = socks_response_ip_;
  socks_local_port_ = socks_response_port_;
  socks_remote_ip_ = ip;
  socks_remote_port_ = port;
  RaiseSocketError();
  if (last_error_ == 0) DoStatus(HR_Connect, ip + u":" + port);
}

std::u16string TSocksBlockSocket::LocalAddressText() {
  return using_socks_ ? socks_local_ip_ : TBlockSocket::LocalAddressText();
}
std::u16string TSocksBlockSocket::GetRemoteIP() {
  return using_socks_ ? socks_remote_ip_ : TBlockSocket::GetRemoteIP();
}
int TSocksBlockSocket::LocalPortNumber() {
  return using_socks_ ? static_cast<int>(ResolveServicePort(socks_local_port_)) : TBlockSocket::LocalPortNumber();
}
int TSocksBlockSocket::RemotePortNumber() {
  return using_socks_ ? static_cast<int>(ResolveServicePort(socks_remote_port_)) : TBlockSocket::RemotePortNumber();
}

// ---- TCP socket and HTTP tunnel

void TTCPBlockSocket::Close() {
  if (socket_ != -1 && last_error_ == 0) {
    DaxSockShutdown(socket_, SHUT_WR);
    DrainInput();
  }
  using_socks_ = false;
  tunnel_open_ = false;
  CloseHandle();
}

void TTCPBlockSocket::Connect(const std::u16string& ip, const std::u16string& port) {
  if (!SocksIP.empty()) SocksConnect(ip, port);
  else if (!HTTPTunnelIP.empty()) HTTPTunnelDoConnect(ip, port);
  else TBlockSocket::Connect(ip, port);
  if (last_error_ == 0 && OnAfterConnect) OnAfterConnect(*this);
}

void TTCPBlockSocket::HTTPTunnelDoConnect(const std::u16string& ip, const std::u16string& port) {
  const std::u16string portText = Num(ResolveServicePort(port));
  tunnel_open_ = false;
  {
    StatusSwap swap(OnStatus, OnHTTPTunnelStatus);
    PlainConnect(HTTPTunnelIP, HTTPTunnelPort);
  }
  if (last_error_ != 0) return;
  HTTPTunnelHandshake(ip, portText);
}

void TTCPBlockSocket::HTTPTunnelHandshake(const std::u16string& ip, const std::u16string& portText) {
  tunnel_open_ = false;
  std::u16string target = ip;
  if (VekIsIPv6Text(ip)) target = u"[" + ip + u"]";
  DoStatus(HR_ResolvingBegin, target);
  const std::string asciiTarget = DaxHostToAscii(target);
  // A name with blanks or control bytes (a CR from a server's backup
  // announcement) would add lines to the request: no such host exists.
  for (unsigned char c : asciiTarget) {
    if (c <= 0x20 || c == 0x7F) {
      last_error_ = DAX_SOCK_ERR_HOST_NOT_FOUND;
      RaiseSocketError();
      return;
    }
  }
  SendText("CONNECT " + asciiTarget + ":" + Narrow(portText) + " HTTP/1.0\r\n");
  if (last_error_ == 0 && !HTTPTunnelUser.empty())
    SendText("Proxy-Authorization: Basic " +
             VekBase64Encode(DaxHookUnicodeToSys(HTTPTunnelUser) + ":" + DaxHookUnicodeToSys(HTTPTunnelPass)) +
             "\r\n");
  if (last_error_ == 0) SendText("\r\n");
  if (last_error_ != 0) {
    RaiseSocketError();
    return;
  }
  // One deadline for the whole answer, and a cap on every line: a proxy that
  // trickles bytes or sends endless headers cannot hold the connect.
  const std::uint32_t start = DaxTickMs();
  const std::string line =
      VekTrimControl(ReceiveUntilCore(HTTPTunnelTimeout, "\n", kHttpTunnelMaxLine, true));
  DoStatus(HR_ResolvingEnd, target);
  if (last_error_ == 0) {
    std::string reason;
    const std::int32_t code = VekHttpStatusCode(line, &reason);
    if (OnHTTPTunnelConnectAnswer) OnHTTPTunnelConnectAnswer(*this, code, reason);
    if (code >= 200 && code <= 299) {
      for (;;) {
        const std::uint32_t left = TimeLeft(start, HTTPTunnelTimeout);
        if (left == 0) {
          last_error_ = ETIMEDOUT;
          break;
        }
        const std::string header = ReceiveUntilCore(left, "\n", kHttpTunnelMaxLine, true);
        if (last_error_ != 0 || VekTrimControl(header).empty()) break;
      }
      if (last_error_ == 0) {
        tunnel_open_ = true;
        DoStatus(HR_Connect, target + u":" + portText);
        tunnel_remote_ip_ = target;
        tunnel_remote_port_ = portText;
      }
    } else {
      last_error_ = ECONNREFUSED;
      const std::u16string desc = GetErrorDesc(last_error_);
      if (code == 504) DoStatus(HR_Error, desc);
      else if (OnHTTPTunnelStatus) OnHTTPTunnelStatus(*this, HR_Error, desc);
    }
  }
  RaiseSocketError();
}

std::u16string TTCPBlockSocket::GetRemoteIP() {
  return tunnel_open_ ? tunnel_remote_ip_ : TSocksBlockSocket::GetRemoteIP();
}

int TTCPBlockSocket::RemotePortNumber() {
  return tunnel_open_ ? static_cast<int>(ResolveServicePort(tunnel_remote_port_))
                      : TSocksBlockSocket::RemotePortNumber();
}

// ---- helpers

std::string VekEncodeTriplet(const std::string& data, const std::string& alphabet) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  const char pad = alphabet.size() > 64 ? alphabet[64] : '=';
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? static_cast<unsigned char>(data[i + k]) : 0u);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += n > 1 ? alphabet[(v >> 6) & 63] : pad;
    out += n > 2 ? alphabet[v & 63] : pad;
  }
  return out;
}

std::string VekBase64Encode(const std::string& data) {
  return VekEncodeTriplet(data, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=");
}

std::string VekTrimControl(const std::string& text) {
  std::size_t a = 0, b = text.size();
  while (a < b && static_cast<unsigned char>(text[a]) <= 32) ++a;
  while (b > a && static_cast<unsigned char>(text[b - 1]) <= 32) --b;
  return text.substr(a, b - a);
}

std::int32_t VekHttpStatusCode(const std::string& line, std::string* reason) {
  if (reason) *reason = line.size() > 12 ? VekTrimControl(line.substr(12)) : std::string();
  if (line.size() <= 11 || line.compare(0, 5, "HTTP/") != 0) return -1;
  std::int32_t code = 0;
  for (std::size_t i = 9; i < 12; ++i) {
    const char c = line[i];
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}
