#include "net/sock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "foundation/types.h"
#include "net/idn.h"

const in6_addr DaxIn6AddrAny = IN6ADDR_ANY_INIT;
const in6_addr DaxIn6AddrLoopback = IN6ADDR_LOOPBACK_INIT;

namespace {

std::string Lower(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

bool IsZero(const in6_addr& a) { return std::memcmp(&a, &DaxIn6AddrAny, sizeof a) == 0; }

std::string Ipv4Text(std::uint32_t networkOrder) {
  in_addr a{};
  a.s_addr = networkOrder;
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

// The platform library already writes every group without leading zeros.
std::string Ipv6Text(const in6_addr& a) {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &a, buf, sizeof buf);
  return buf;
}

bool Ipv4Literal(const std::string& ip, std::uint32_t& networkOrder) {
  if (!VekIsIPv4Text(ip)) return false;
  const auto b = VekIPv4ToBytes(ip);
  std::memcpy(&networkOrder, b.data(), 4);
  return true;
}

int TryInet4(DaxSockAddr& address, const std::string& ip) {
  address.in4.sin_family = AF_INET;
  if (ip == "0.0.0.0") {
    address.in4.sin_addr.s_addr = 0;
    return 0;
  }
  std::uint32_t value = 0;
  if (Lower(ip) == "localhost") {
    value = htonl(INADDR_LOOPBACK);
  } else if (!Ipv4Literal(ip, value)) {
    auto entry = DaxGetHostByName(ip);
    if (entry && !entry->Addresses.empty()) value = entry->Addresses.front();
  }
  if (value == 0) return DAX_SOCK_ERR_HOST_NOT_FOUND;
  address.in4.sin_addr.s_addr = value;
  return 0;
}

int TryInet6(DaxSockAddr& address, const std::string& ip) {
  address.in6.sin6_family = AF_INET6;
  if (ip == "::0") {
    address.in6.sin6_addr = DaxIn6AddrAny;
    return 0;
  }
  in6_addr value = DaxIn6AddrAny;
  if (Lower(ip) == "localhost") {
    value = DaxIn6AddrLoopback;
  } else if (VekIsIPv6Text(ip)) {
    const auto b = VekIPv6ToBytes(ip);
    std::memcpy(&value, b.data(), 16);
  }
  if (IsZero(value)) {
    auto found = DaxGetHostIPv6(ip, 1);
    if (!found.empty()) value = found.front();
  }
  if (IsZero(value)) return DAX_SOCK_ERR_HOST_NOT_FOUND;
  address.in6.sin6_addr = value;
  return 0;
}

}  // namespace

int DaxSockStartup() { return 0; }
int DaxSockCleanup() { return 0; }
int DaxSockLastError() { return errno; }
void DaxSockFdSet(int fd, fd_set& set) { FD_SET(fd, &set); }
void DaxSockFdZero(fd_set& set) { FD_ZERO(&set); }

socklen_t DaxSockAddrLength(const DaxSockAddr& address) {
  switch (address.sa.sa_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
  }
}

int DaxSockConnect(int fd, const DaxSockAddr& address) {
  return ::connect(fd, &address.sa, DaxSockAddrLength(address)) == 0 ? 0 : -1;
}

int DaxSockGetLocalAddress(int fd, DaxSockAddr& address) {
  std::memset(&address, 0, sizeof address);
  socklen_t len = sizeof address;
  return ::getsockname(fd, &address.sa, &len);
}

int DaxSockGetPeerAddress(int fd, DaxSockAddr& address) {
  std::memset(&address, 0, sizeof address);
  socklen_t len = sizeof address;
  return ::getpeername(fd, &address.sa, &len);
}

std::string DaxSockGetHostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

ssize_t DaxSockSend(int fd, const void* buffer, std::size_t length, int flags) {
  return ::send(fd, buffer, length, flags);
}
ssize_t DaxSockRecv(int fd, void* buffer, std::size_t length, int flags) {
  return ::recv(fd, buffer, length, flags);
}
int DaxSockShutdown(int fd, int how) { return ::shutdown(fd, how); }
int DaxSockSetOption(int fd, int level, int option, const void* value, socklen_t length) {
  return ::setsockopt(fd, level, option, value, length);
}
int DaxSockGetOption(int fd, int level, int option, void* value, socklen_t* length) {
  return ::getsockopt(fd, level, option, value, length);
}
int DaxSockIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int DaxSockClose(int fd) { return ::close(fd); }
int DaxSockCreate(int family, int type, int protocol) { return ::socket(family, type | SOCK_CLOEXEC, protocol); }
int DaxSockSelect(int count, fd_set* readSet, fd_set* writeSet, fd_set* errorSet, timeval* timeout) {
  return ::select(count, readSet, writeSet, errorSet, timeout);
}
std::uint32_t DaxSockHtonl(std::uint32_t value) { return htonl(value); }
std::uint32_t DaxSockNtohl(std::uint32_t value) { return ntohl(value); }
std::uint16_t DaxSockHtons(std::uint16_t value) { return htons(value); }
std::uint16_t DaxSockNtohs(std::uint16_t value) { return ntohs(value); }
bool DaxSockInitInterface(const std::string&) { return true; }
bool DaxSockDoneInterface() { return true; }

namespace {

// Only the reentrant calls: lookups run on several threads at once.
class TSystemResolver : public TDaxResolver {
 public:
  std::unique_ptr<TDaxHostEntry> HostByName(const std::string& name) override {
    hostent he{};
    hostent* result = nullptr;
    int herr = 0;
    std::vector<char> buf(2048);
    for (;;) {
      const int rc = ::gethostbyname_r(name.c_str(), &he, buf.data(), buf.size(), &result, &herr);
      if (rc == ERANGE && buf.size() < (1u << 20)) {
        buf.resize(buf.size() * 2);
        continue;
      }
      if (rc != 0 || !result) return nullptr;
      break;
    }
    auto entry = std::make_unique<TDaxHostEntry>();
    entry->Name = DaxHostToUnicode(result->h_name ? result->h_name : "");
    for (char** a = result->h_aliases; a && *a; ++a) entry->Aliases.push_back(DaxHostToUnicode(*a));
    if (result->h_addrtype == AF_INET && result->h_length == 4) {
      for (char** a = result->h_addr_list; a && *a; ++a) {
        std::uint32_t v;
        std::memcpy(&v, *a, 4);
        entry->Addresses.push_back(v);
      }
    }
    return entry;
  }

  std::vector<in6_addr> HostIPv6(const std::string& name, int maxCount) override {
    std::vector<in6_addr> out;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return out;
    for (addrinfo* p = list; p && static_cast<int>(out.size()) < maxCount; p = p->ai_next) {
      if (p->ai_family != AF_INET6 || !p->ai_addr) continue;
      out.push_back(reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr);
    }
    ::freeaddrinfo(list);
    return out;
  }
};

TSystemResolver g_systemResolver;
std::atomic<TDaxResolver*> g_resolver{&g_systemResolver};

}  // namespace

TDaxResolver* DaxSetResolver(TDaxResolver* resolver) {
  TDaxResolver* previous = g_resolver.exchange(resolver ? resolver : &g_systemResolver);
  return previous == &g_systemResolver ? nullptr : previous;
}

std::unique_ptr<TDaxHostEntry> DaxGetHostByName(const std::string& name) {
  return g_resolver.load()->HostByName(name);
}

std::vector<in6_addr> DaxGetHostIPv6(const std::string& name, int maxCount) {
  return g_resolver.load()->HostIPv6(name, maxCount);
}

int DaxSockSetAddress(DaxSockAddr& address, const std::string& ip, const std::string& port, int family,
                      int protocol, int socketType, bool preferIPv4) {
  std::memset(&address, 0, sizeof address);
  const std::uint16_t portNumber = DaxSockResolvePort(port, family, protocol, socketType);
  auto attempt = [&](int f) {
    std::memset(&address, 0, sizeof address);
    const int rc = f == AF_INET ? TryInet4(address, ip) : TryInet6(address, ip);
    if (f == AF_INET) address.in4.sin_port = htons(portNumber);
    else address.in6.sin6_port = htons(portNumber);
    return rc;
  };
  if (family == 0) {
    const int firstFamily = preferIPv4 ? AF_INET : AF_INET6;
    const int secondFamily = preferIPv4 ? AF_INET6 : AF_INET;
    const int rc = attempt(firstFamily);
    return rc == 0 ? 0 : attempt(secondFamily);
  }
  if (family == AF_INET || family == AF_INET6) return attempt(family);
  return EPROTONOSUPPORT;
}

std::string DaxSockAddressText(const DaxSockAddr& address) {
  if (address.sa.sa_family == AF_INET) return Ipv4Text(address.in4.sin_addr.s_addr);
  if (address.sa.sa_family == AF_INET6) {
    const auto* b = address.in6.sin6_addr.s6_addr;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(b, mapped, 12) == 0) {
      std::uint32_t v;
      std::memcpy(&v, b + 12, 4);
      return Ipv4Text(v);
    }
    return Ipv6Text(address.in6.sin6_addr);
  }
  return {};
}

std::uint16_t DaxSockAddressPort(const DaxSockAddr& address) {
  if (address.sa.sa_family == AF_INET) return ntohs(address.in4.sin_port);
  if (address.sa.sa_family == AF_INET6) return ntohs(address.in6.sin6_port);
  return 0;
}

void DaxSockResolveName(const std::string& name, int family, int, int, std::vector<std::string>& list) {
  list.clear();
  const bool local = Lower(name) == "localhost";
  if (family == AF_INET || family == 0) {
    std::uint32_t v;
    if (local) {
      list.push_back("127.0.0.1");
    } else if (Ipv4Literal(name, v)) {
      list.push_back(Ipv4Text(v));
    } else if (!VekIsIPv6Text(name)) {
      if (auto entry = DaxGetHostByName(name)) {
        for (std::size_t i = 0; i < entry->Addresses.size() && i < 255; ++i)
          list.push_back(Ipv4Text(entry->Addresses[i]));
      }
    }
  }
  if (family == AF_INET6 || family == 0) {
    if (local) {
      list.push_back("::1");
    } else if (VekIsIPv6Text(name)) {
      in6_addr a;
      const auto b = VekIPv6ToBytes(name);
      std::memcpy(&a, b.data(), 16);
      list.push_back(Ipv6Text(a));
    } else if (!VekIsIPv4Text(name)) {
      for (const in6_addr& a : DaxGetHostIPv6(name, 254)) list.push_back(Ipv6Text(a));
    }
  }
}

std::uint16_t DaxSockResolvePort(const std::string& port, int, int protocol, int) {
  if (!port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos) {
    const unsigned long v = std::stoul(port);
    if (v > 0 && v <= 65535) return static_cast<std::uint16_t>(v);
  }
  if (port.empty()) return 0;
  char buf[1024];
  const char* protoName = nullptr;
  protoent pe{};
  protoent* pr = nullptr;
  if (::getprotobynumber_r(protocol == 0 ? IPPROTO_TCP : protocol, &pe, buf, sizeof buf, &pr) == 0 && pr)
    protoName = pr->p_name;
  const std::string proto = protoName ? protoName : "tcp";
  servent se{};
  servent* sr = nullptr;
  char sbuf[1024];
  if (::getservbyname_r(port.c_str(), proto.c_str(), &se, sbuf, sizeof sbuf, &sr) == 0 && sr)
    return ntohs(static_cast<std::uint16_t>(sr->s_port));
  return 0;
}

std::u16string DaxSocketErrorText(std::int32_t code, const std::u16string& text) {
  std::u16string out = u"Socket error " + DaxIntToStrW(code);
  out += u": ";
  out += code == DAX_SOCK_ERR_HOST_NOT_FOUND_TEXT ? std::u16string(u"Host not found") : text;
  return out;
}

std::u16string DaxHostPortText(const std::u16string& host, int port) {
  std::u16string out;
  const bool v6 = host.find(u':') != std::u16string::npos;
  if (v6) out += u'[';
  out += host;
  if (v6) out += u']';
  out += u':';
  out += DaxIntToStrW(port);
  return out;
}
