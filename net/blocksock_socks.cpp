#include <array>
#include <cstring>

#include "foundation/charset.h"
#include "foundation/wire_text.h"
#include "net/blocksock.h"
#include "net/blocksock_internal.h"
#include "net/idn.h"

using namespace blocksock_detail;

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
  socks_response_port_ = portBytes.size() == 2 ? DaxIntToStrW(VekDecodeInt16(portBytes, 1)) : u"0";
  if (type == 1 && addressPart.size() == 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(addressPart.data());
    socks_response_ip_ = DaxIntToStrW(b[0]) + u"." + DaxIntToStrW(b[1]) + u"." + DaxIntToStrW(b[2]) + u"." + DaxIntToStrW(b[3]);
  } else if (type == 3) {
    socks_response_ip_ = DaxAnsiToUnicodeRaw(addressPart);
  } else if (type == 4 && addressPart.size() == 16) {
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), addressPart.data(), 16);
    socks_response_ip_ = DaxAnsiToUnicodeRaw(VekIPv6BytesToText(b));
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
