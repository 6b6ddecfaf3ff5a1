#include "foundation/charset.h"
#include "foundation/wire_text.h"
#include "net/blocksock.h"
#include "net/blocksock_internal.h"
#include "net/idn.h"

using namespace blocksock_detail;

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
  const std::u16string portText = DaxIntToStrW(ResolveServicePort(port));
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
  // A name with blanks or control bytes would add lines to the request.
  if (VekHostHasBlankOrControl(asciiTarget)) {
    last_error_ = DAX_SOCK_ERR_HOST_NOT_FOUND;
    RaiseSocketError();
    return;
  }
  SendText("CONNECT " + asciiTarget + ":" + DaxUnicodeToAnsiRaw(portText) + " HTTP/1.0\r\n");
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
      DaxTrim(ReceiveUntilCore(HTTPTunnelTimeout, "\n", kHttpTunnelMaxLine, true));
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
        if (last_error_ != 0 || DaxTrim(header).empty()) break;
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

std::int32_t VekHttpStatusCode(const std::string& line, std::string* reason) {
  if (reason) *reason = line.size() > 12 ? DaxTrim(line.substr(12)) : std::string();
  if (line.size() <= 11 || line.compare(0, 5, "HTTP/") != 0) return -1;
  std::int32_t code = 0;
  for (std::size_t i = 9; i < 12; ++i) {
    const char c = line[i];
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}
