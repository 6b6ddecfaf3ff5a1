// Peers for the network tests: the real proxies from Debian (dante, microsocks,
// tinyproxy) started on 127.0.0.1 on a port of their own as an unprivileged
// user and stopped again, a scripted TCP peer for byte-exact handshakes, and
// listeners that refuse or never accept.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_listener.h"
#include "support/test_files.h"
#include "support/wait.h"

namespace vektest {

enum class ProxyKind { Dante, Microsocks, Tinyproxy };

class ProxyPeer {
 public:
  struct Options {
    std::string user;      // microsocks -u, tinyproxy BasicAuth
    std::string password;
  };
  // Null when the program cannot be started; `why` says what went wrong.
  static std::unique_ptr<ProxyPeer> Start(ProxyKind kind, const Options& options, std::string* why);
  ~ProxyPeer();

  int Port() const { return port_; }
  std::string LogText() const;

 private:
  ProxyPeer() = default;
  int pid_ = -1;
  int port_ = 0;
  TempDir dir_;
  std::string log_;
};

// The installed binary of a proxy kind, empty when missing.
std::string ProxyBinary(ProxyKind kind);
// True when a test needing the binary should be skipped: it is missing and
// the CI variable is not set. In CI a missing binary fails the test instead.
bool ProxySkipAllowed(ProxyKind kind);

// A TCP listener on 127.0.0.1 (port picked by the kernel). Every accepted
// connection is handed to `handler` on the peer's thread, one at a time; the
// handler owns the descriptor only for its call (closed afterwards).
class TcpPeer {
 public:
  explicit TcpPeer(std::function<void(int fd)> handler);
  ~TcpPeer();
  int Port() const { return listener_.Port(); }
  int Accepted() const { return accepted_.load(); }

 private:
  std::function<void(int)> handler_;
  std::atomic<int> accepted_{0};
  LoopbackListener listener_;
};

// Reads exactly n bytes (less when the peer closes or the time runs out).
std::string ReadExactly(int fd, std::size_t n, int timeoutMs = kPeerWaitMs);
// Reads until `terminator` has arrived (included in the result).
std::string ReadUntil(int fd, const std::string& terminator, int timeoutMs = kPeerWaitMs);
bool WriteAll(int fd, const std::string& bytes);

// A port on 127.0.0.1 where nothing listens: connects are refused for as
// long as the object lives, since it keeps the port bound (not listening) so
// no other test can take it.
class DeadPort {
 public:
  DeadPort();
  ~DeadPort();
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  int Port() const { return port_; }
  // Lets go of the port, for a test that listens there itself later.
  void Release();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A listener whose accept queue is full, so a further connect stays in
// progress until it is given up. Port() is its port.
class BlackholeListener {
 public:
  BlackholeListener();
  ~BlackholeListener();
  int Port() const { return listener_.Port(); }

 private:
  LoopbackListener listener_;
  std::vector<int> fillers_;
};

}  // namespace vektest
