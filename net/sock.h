// The thin platform socket layer: one wrapper per BSD call, address records,
// host entries and name/service resolution. Resolution runs on several
// threads at once, so only the reentrant resolver calls are used.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The platform's socket address, large enough for IPv6.
union DaxSockAddr {
  sockaddr sa;
  sockaddr_in in4;
  sockaddr_in6 in6;
};

// The socket layer's own codes beside the platform's errno values.
enum : int {
  DAX_SOCK_ERR_HOST_NOT_FOUND = -7,
  DAX_SOCK_ERR_NO_DATA = -6,
  DAX_SOCK_ERR_DISCONNECT = -5,
  DAX_SOCK_ERR_NOT_INITIALISED = -4,
  DAX_SOCK_ERR_VERSION = -3,
  DAX_SOCK_ERR_UNUSABLE = -2,
  DAX_SOCK_ERR_PROCESSES = -1,
  DAX_SOCK_ERR_HOST_NOT_FOUND_TEXT = -1001,
};

extern const in6_addr DaxIn6AddrAny;
extern const in6_addr DaxIn6AddrLoopback;

int DaxSockStartup();
int DaxSockCleanup();
int DaxSockLastError();
void DaxSockFdSet(int fd, fd_set& set);
void DaxSockFdZero(fd_set& set);
socklen_t DaxSockAddrLength(const DaxSockAddr& address);
int DaxSockConnect(int fd, const DaxSockAddr& address);
int DaxSockGetLocalAddress(int fd, DaxSockAddr& address);
int DaxSockGetPeerAddress(int fd, DaxSockAddr& address);
std::string DaxSockGetHostName();
ssize_t DaxSockSend(int fd, const void* buffer, std::size_t length, int flags);
ssize_t DaxSockRecv(int fd, void* buffer, std::size_t length, int flags);
int DaxSockShutdown(int fd, int how);
int DaxSockSetOption(int fd, int level, int option, const void* value, socklen_t length);
int DaxSockGetOption(int fd, int level, int option, void* value, socklen_t* length);
int DaxSockIoctl(int fd, unsigned long request, void* argument);
int DaxSockClose(int fd);
// Descriptors are always close-on-exec: scripts run as child processes.
int DaxSockCreate(int family, int type, int protocol);
int DaxSockSelect(int count, fd_set* readSet, fd_set* writeSet, fd_set* errorSet, timeval* timeout);
std::uint32_t DaxSockHtonl(std::uint32_t value);
std::uint32_t DaxSockNtohl(std::uint32_t value);
std::uint16_t DaxSockHtons(std::uint16_t value);
std::uint16_t DaxSockNtohs(std::uint16_t value);
bool DaxSockInitInterface(const std::string& name);
bool DaxSockDoneInterface();

class TDaxHostEntry {
 public:
  std::u16string Name;
  std::vector<std::u16string> Aliases;
  std::vector<std::uint32_t> Addresses;  // network byte order
};

// Every name lookup goes through one resolver: the system's, unless tests
// install their own to control the answers. Lookups run on several threads
// at once, so a resolver must allow that.
class TDaxResolver {
 public:
  virtual ~TDaxResolver() = default;
  virtual std::unique_ptr<TDaxHostEntry> HostByName(const std::string& name) = 0;
  virtual std::vector<in6_addr> HostIPv6(const std::string& name, int maxCount) = 0;
};

// Installs a resolver (null: the system's again) and returns the one it
// replaces (null for the system's). Only while no lookup runs.
TDaxResolver* DaxSetResolver(TDaxResolver* resolver);

// Puts a resolver in place for its lifetime.
class TDaxResolverScope {
 public:
  explicit TDaxResolverScope(TDaxResolver& resolver) : previous_(DaxSetResolver(&resolver)) {}
  ~TDaxResolverScope() { DaxSetResolver(previous_); }
  TDaxResolverScope(const TDaxResolverScope&) = delete;
  TDaxResolverScope& operator=(const TDaxResolverScope&) = delete;

 private:
  TDaxResolver* previous_;
};

// IPv4 answer of the resolver with official name and aliases; null when the
// name is unknown.
std::unique_ptr<TDaxHostEntry> DaxGetHostByName(const std::string& name);
// IPv6 addresses of a name (empty when none), in the resolver's order.
std::vector<in6_addr> DaxGetHostIPv6(const std::string& name, int maxCount);

// Fills `address` for the IP text (literal or name) and port text. `family`
// is 0 (any), AF_INET or AF_INET6. Returns 0 or an error code
// (DAX_SOCK_ERR_HOST_NOT_FOUND, EPROTONOSUPPORT).
int DaxSockSetAddress(DaxSockAddr& address, const std::string& ip, const std::string& port, int family,
                      int protocol, int socketType, bool preferIPv4);
std::string DaxSockAddressText(const DaxSockAddr& address);
std::uint16_t DaxSockAddressPort(const DaxSockAddr& address);
// Every address text of a name; empty when it does not resolve (an unknown
// name never turns into a local address).
void DaxSockResolveName(const std::string& name, int family, int protocol, int socketType,
                        std::vector<std::string>& list);
std::uint16_t DaxSockResolvePort(const std::string& port, int family, int protocol, int socketType);

// "Socket error <code>: <text>" ("Host not found" for -1001).
std::u16string DaxSocketErrorText(std::int32_t code, const std::u16string& text);
std::u16string DaxHostPortText(const std::u16string& host, int port);
