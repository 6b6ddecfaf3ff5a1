#include "net/conn_sock.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/fileutils.h"
#include "foundation/types.h"
#include "net/exception.h"
#include "net/sock.h"

std::u16string VekSocketSystemErrorText(std::int32_t code) {
  if (code <= 0) return TBlockSocket::GetErrorDesc(code);
  return DaxHookSysToUnicode(DaxErrorText(code));
}

std::u16string VekHttpProxyErrorText(std::int32_t code, const std::u16string& text) {
  return u"HTTP Proxy error " + DaxIntToStrW(code) + u": " + text;
}

TVEKConnSock::TVEKConnSock(bool peerDisconnectIsError)
    : TVEKConnection(peerDisconnectIsError),
      waiter_(std::make_unique<TWaiter2Socket>(1)),
      socket_(std::make_unique<TTCPBlockSocket>()) {
  TTCPBlockSocket& s = *socket_;
  s.OnStatus = [this](TBlockSocket&, THookSocketReason r, const std::u16string&) { OnSocketStatus(r); };
  s.OnHTTPTunnelStatus = [this](TBlockSocket&, THookSocketReason r, const std::u16string&) { OnProxyStatus(r); };
  s.OnHTTPTunnelConnectAnswer = [this](TBlockSocket&, std::int32_t code, const std::string& text) {
    OnTunnelAnswer(code, text);
  };
  s.OnExtCanRead = [this](TBlockSocket&, std::uint32_t ms, std::int32_t& e) { return HookWait(kWaiterRead, ms, e); };
  s.OnExtCanWrite = [this](TBlockSocket&, std::uint32_t ms, std::int32_t& e) { return HookWait(kWaiterWrite, ms, e); };
  s.OnExtCanConnect = [this](TBlockSocket&, std::uint32_t ms, std::int32_t& e) { return HookWait(8, ms, e); };
  s.OnExtSocketCreated = [this](TBlockSocket&, int fd) {
    wait_resource_ = waiter_->AddResource(this, fd);
    std::lock_guard<std::mutex> lock(fd_mutex_);
    shutdown_fd_ = fd;
  };
}

TVEKConnSock::~TVEKConnSock() {
  try {
    ReleaseSocket();
  } catch (...) {
  }
}

bool TVEKConnSock::IsActive() { return socket_->Socket() != -1; }
bool TVEKConnSock::IsConnected() { return socket_->Socket() != -1; }

std::u16string TVEKConnSock::GetWriteErrorText() {
  return DaxSocketErrorText(LastWriteError, VekSocketSystemErrorText(LastWriteError));
}

std::u16string TVEKConnSock::GetReadErrorText() {
  return DaxSocketErrorText(LastReadError, VekSocketSystemErrorText(LastReadError));
}

std::uint8_t TVEKConnSock::ReadRaw(void* buffer, std::int32_t length, std::int32_t& count) {
  // Bytes a proxy sent right behind its answer are the stream's first bytes.
  if (!socket_->LineBuffer().empty()) {
    count = socket_->TakeBuffered(buffer, length);
    LastReadError = 0;
    return VEK_RAW_DONE;
  }
  count = socket_->ReceiveBytes(buffer, length);
  LastReadError = socket_->LastError();
  if (LastReadError < 0) return VEK_RAW_ERROR;
  if (LastReadError == 0) return VEK_RAW_DONE;
  if (LastReadError == EAGAIN) {
    count = 0;
    LastReadError = 0;
    return VEK_RAW_DONE;
  }
  if (LastReadError == ECONNRESET) return VEK_RAW_CLOSED;
  return VEK_RAW_ERROR;
}

std::uint8_t TVEKConnSock::WriteRaw(const void* buffer, std::int32_t length, std::int32_t& count) {
  count = 0;
  if (length <= 0) return VEK_RAW_DONE;
  count = socket_->SendBytes(buffer, length);
  LastWriteError = socket_->LastError();
  if (LastWriteError == 0) return VEK_RAW_DONE;
  if (LastWriteError == ECONNRESET || LastWriteError == EPIPE) return VEK_RAW_CLOSED;
  return VEK_RAW_ERROR;
}

void TVEKConnSock::ReleaseSocket() {
  if (wait_resource_) {
    waiter_->RemoveResource(wait_resource_);
    wait_resource_ = nullptr;
  }
  std::lock_guard<std::mutex> lock(fd_mutex_);
  shutdown_fd_ = -1;
  socket_->Close();
}

void TVEKConnSock::DoClose() {
  ReleaseSocket();
  Reset();
}

void TVEKConnSock::DoAbort() {
  ReleaseSocket();
  socket_->StopFlag = true;
}

void TVEKConnSock::RequestStop() {
  Stopping = true;
  {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    if (shutdown_fd_ != -1) ::shutdown(shutdown_fd_, SHUT_RDWR);
  }
  DoWakeup();
}

std::u16string TVEKConnSock::DoGetPeerIP() {
  if (!socket_->SocksIP.empty() || !socket_->HTTPTunnelIP.empty()) return {};
  return DaxAnsiToUnicodeRaw(DaxSockAddressText(socket_->RemoteSin()));
}

TWaiterResult TVEKConnSock::WaitFor(std::uint8_t mask, std::uint32_t ms) {
  ms = std::min(ms, kWaiterMaxTimeout);
  if (mask == kWaiterRead && !socket_->LineBuffer().empty()) return wr_Descriptor;
  // A socket the peer has closed stays readable for ever, with nothing more
  // to read: sleep until the time is up or a wake-up comes instead of spinning.
  if (mask == kWaiterRead && LastReadResult == VEK_RAW_CLOSED) mask = 0;
  if (!wait_resource_) return waiter_->WaitOne(ms);
  waiter_->SetEvents(wait_resource_, mask);
  return waiter_->Wait(ms);
}

TWaiterResult TVEKConnSock::DoWaitWakeup(std::uint32_t ms) { return waiter_->WaitOne(std::min(ms, kWaiterMaxTimeout)); }
TWaiterResult TVEKConnSock::DoWaitReadable(std::uint32_t ms) { return WaitFor(kWaiterRead, ms); }
TWaiterResult TVEKConnSock::DoWaitWritable(std::uint32_t ms) { return WaitFor(kWaiterWrite, ms); }

void TVEKConnSock::DoWakeup() {
  if (Connecting) socket_->StopFlag = true;
  waiter_->Signal();
}

void TVEKConnSock::DoClearWakeup() { waiter_->ClearSignal(); }

bool TVEKConnSock::HookWait(std::uint8_t mask, std::uint32_t ms, std::int32_t& error) {
  switch (WaitFor(mask, ms)) {
    case wr_Descriptor: error = 0; return true;
    // A wake-up looks to the socket like a timeout.
    case wr_Timeout:
    case wr_Interrupt: error = ETIMEDOUT; return false;
    case wr_Error: error = waiter_->LastError(); return false;
    default: error = EINVAL; return false;
  }
}

void TVEKConnSock::ApplyProxySettings(TTCPBlockSocket& s, const TVEKConnectionParams& p) {
  s.PreferIP4 = p.PreferIPv4;
  s.ConnectionTimeout = static_cast<std::uint32_t>(std::max(p.ConnectTimeout, 0));
  s.RaiseExcept = false;
  s.StopFlag = false;
  const std::u16string port = DaxIntToStrW(p.ProxyPort);
  switch (p.ProxyType) {
    case VEK_PROXY_TYPE_NONE:
      s.HTTPTunnelIP.clear();
      s.SocksIP.clear();
      break;
    case VEK_PROXY_TYPE_HTTP:
      s.SocksIP.clear();
      s.HTTPTunnelIP = p.ProxyHost;
      s.HTTPTunnelPort = port;
      s.HTTPTunnelUser = p.ProxyUser.empty() ? std::u16string() : p.ProxyUser;
      s.HTTPTunnelPass = p.ProxyUser.empty() ? std::u16string() : p.ProxyPassword;
      s.ConnectionTimeout = static_cast<std::uint32_t>(std::max(p.ProxyConnectTimeout, 0));
      s.HTTPTunnelTimeout = static_cast<std::uint32_t>(std::max(p.ConnectTimeout, 0));
      break;
    case VEK_PROXY_TYPE_SOCKS4:
    case VEK_PROXY_TYPE_SOCKS5:
      s.HTTPTunnelIP.clear();
      s.SocksIP = p.ProxyHost;
      s.SocksType = p.ProxyType == VEK_PROXY_TYPE_SOCKS4 ? ST_Socks4 : ST_Socks5;
      s.SocksPort = port;
      s.SocksUsername = p.ProxyUser.empty() ? std::u16string() : p.ProxyUser;
      s.SocksPassword = p.ProxyUser.empty() ? std::u16string() : p.ProxyPassword;
      s.SocksTimeout = static_cast<std::uint32_t>(std::max(p.ProxyConnectTimeout, 0));
      s.SocksResolver = true;
      break;
    default: break;
  }
}

void TVEKConnSock::SetParams(const TVEKConnectionParams& params) {
  TVEKConnection::SetParams(params);
  ApplyProxySettings(*socket_, Params);
}

void TVEKConnSock::PrepareConnect() {
  ReleaseSocket();
  DoReset();
  ReleaseSocket();
  ApplyProxySettings(*socket_, Params);
}

void TVEKConnSock::Connect() {
  PrepareConnect();
  // A proxy type without a proxy address would silently go direct.
  const bool proxied = Params.ProxyType == VEK_PROXY_TYPE_HTTP || Params.ProxyType == VEK_PROXY_TYPE_SOCKS4 ||
                       Params.ProxyType == VEK_PROXY_TYPE_SOCKS5;
  if (proxied && Params.ProxyHost.empty())
    RaiseVekProxyConnectError(2, DaxSocketErrorText(DAX_SOCK_ERR_HOST_NOT_FOUND,
                                                    TBlockSocket::GetErrorDesc(DAX_SOCK_ERR_HOST_NOT_FOUND)));
  socket_->SetNonBlockMode(true);
  Connecting = true;
  try {
    socket_->Connect(Host, DaxIntToStrW(Port));
  } catch (...) {
    // A hook raised (proxy error): the half-made socket must not stay open
    // and registered, or every later wait fails.
    Connecting = false;
    ReleaseSocket();
    throw;
  }
  Connecting = false;
  std::int32_t error = socket_->LastError();
  // A wake-up that came too late to stop the connect must not fail the
  // first send; the pending signal still reaches the next wait.
  if (error == 0) socket_->StopFlag = false;
  if (error != 0) {
    const std::u16string message = error == DAX_SOCK_ERR_HOST_NOT_FOUND
                                       ? TBlockSocket::GetErrorDesc(error)
                                       : DaxSocketErrorText(error, VekSocketSystemErrorText(error));
    ReleaseSocket();
    RaiseVekConnectError(message);
  }
  socket_->TcpNoDelay(true);
  error = socket_->LastError();
  if (error != 0) {
    const std::u16string message =
        u"BlockSock.TcpNoDelay: " + DaxSocketErrorText(error, VekSocketSystemErrorText(error));
    ReleaseSocket();
    RaiseVekConnectError(message);
  }
  if (OnConnected) OnConnected();
}

void TVEKConnSock::OnSocketStatus(THookSocketReason reason) {
  if (reason == HR_ResolvingBegin && OnResolving) OnResolving(Host, Port);
}

void TVEKConnSock::OnProxyStatus(THookSocketReason reason) {
  switch (reason) {
    case HR_ResolvingBegin:
      if (OnProxyConnecting) {
        std::int32_t port = 0;
        for (char16_t c : socket_->HTTPTunnelPort) {
          if (c < u'0' || c > u'9' || port > 100000) {
            port = 0;
            break;
          }
          port = port * 10 + (c - u'0');
        }
        OnProxyConnecting(2, socket_->HTTPTunnelIP, port);
      }
      break;
    case HR_Connect:
      if (OnProxyConnected) OnProxyConnected();
      break;
    case HR_Error:
      RaiseVekProxyConnectError(2, DaxSocketErrorText(socket_->LastError(), socket_->LastErrorDesc()));
    default: break;
  }
}

void TVEKConnSock::OnTunnelAnswer(std::int32_t code, const std::string& text) {
  if (code >= 200 && code <= 299) return;
  const std::u16string message = VekHttpProxyErrorText(code, Converter.AnsiToUnicode(text));
  if (code == 503 || code == 504) RaiseVekConnectError(message);
  RaiseVekProxyConnectError(2, message);
}
