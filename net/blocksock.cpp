#include "net/blocksock.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/clock.h"
#include "foundation/types.h"
#include "foundation/wire_text.h"
#include "net/blocksock_internal.h"
#include "net/idn.h"

using namespace blocksock_detail;

namespace {

int PollOne(int fd, short events, std::uint32_t timeoutMs) {
  pollfd p{fd, events, 0};
  const int t = timeoutMs == kBlockSockInfinite ? -1 : static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF));
  int r;
  do {
    r = ::poll(&p, 1, t);
  } while (r < 0 && errno == EINTR);
  return r;
}

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
    if (e.code == code) return DaxAnsiToUnicodeRaw(e.text);
  return u"Other socket error (" + DaxIntToStrW(code) + u")";
}

std::u16string TBlockSocket::GetErrorDescEx() { return GetErrorDesc(last_error_); }

void TBlockSocket::DoStatus(THookSocketReason reason, const std::u16string& value) {
  if (OnStatus) OnStatus(*this, reason, value);
}

void TBlockSocket::RaiseSocketError() {
  last_error_desc_ = GetErrorDescEx();
  if (last_error_ == 0 || last_error_ == EINPROGRESS || last_error_ == EAGAIN) return;
  DoStatus(HR_Error, DaxIntToStrW(last_error_) + u"," + last_error_desc_);
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
  last_error_ = DaxSockSetAddress(address, host, DaxUnicodeToAnsiRaw(port), af, SocketProtocolValue(), SocketTypeValue(),
                                  PreferIP4);
  DoStatus(HR_ResolvingEnd,
           DaxHostToUnicode(DaxSockAddressText(address)) + u":" + DaxIntToStrW(DaxSockAddressPort(address)));
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
    DoStatus(HR_WriteCount, DaxIntToStrW(r));
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
    DoStatus(HR_ReadCount, DaxIntToStrW(count));
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
  return DaxSockResolvePort(DaxUnicodeToAnsiRaw(port), FamilyToAF(), SocketProtocolValue(), SocketTypeValue());
}

std::u16string TBlockSocket::LocalHostName() {
  const std::u16string name = DaxHostToUnicode(DaxSockGetHostName());
  return name.empty() ? std::u16string(u"127.0.0.1") : name;
}
