#include "support/proxy_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/test_files.h"

extern char** environ;

namespace vektest {

namespace {

bool CanConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A port that was free a moment ago: the proxies take a port number only.
int PickPort() { return LoopbackListener(0, 1).Port(); }

// The inode of the socket listening on 127.0.0.1:port, 0 when none.
unsigned long ListeningInode(int port) {
  std::ifstream in("/proc/net/tcp");
  char local[64];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    f >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (address == local && state == "0A") return inode;
  }
  return 0;
}

int ParentOf(int pid) {
  // Not a stream iterator: it raises when the process ends before the read.
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');  // the name may hold spaces
  if (end == std::string::npos) return 0;
  std::istringstream f(stat.substr(end + 1));
  std::string state;
  int ppid = 0;
  f >> state >> ppid;
  return ppid;
}

bool DescendsFrom(int pid, int ancestor) {
  for (int hop = 0; pid > 1 && hop < 64; ++hop, pid = ParentOf(pid))
    if (pid == ancestor) return true;
  return false;
}

// Whether whoever listens on the port is `pid` or one of its children: a
// picked port can be taken by another test between the pick and the
// proxy's bind, and a connect alone would not tell. When no holder can be
// seen (another user's processes), the connect has to do.
bool ListenerIsOurs(int port, int pid) {
  const unsigned long inode = ListeningInode(port);
  if (inode == 0) return false;
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  namespace fs = std::filesystem;
  std::error_code ec;
  bool seen = false;
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string name = proc.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd.path(), link_ec).string() != wanted) continue;
      if (DescendsFrom(std::stoi(name), pid)) return true;
      seen = true;
    }
  }
  return !seen;
}

// The proxy runs as another user and must read it.
void WriteConfig(const std::string& path, const std::string& text) {
  WriteFile(path, text);
  ::chmod(path.c_str(), 0644);
}

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// Whether one of the connecting sockets got through the handshake.
bool AnyConnected(const std::vector<int>& fds) {
  for (int fd : fds) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) &&
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
      return true;
  }
  return false;
}

}  // namespace

std::string ProxyBinary(ProxyKind kind) {
  const char* candidates[3] = {};
  switch (kind) {
    case ProxyKind::Dante: candidates[0] = "/usr/sbin/danted"; candidates[1] = "/usr/sbin/sockd"; break;
    case ProxyKind::Microsocks: candidates[0] = "/usr/bin/microsocks"; break;
    case ProxyKind::Tinyproxy: candidates[0] = "/usr/bin/tinyproxy"; candidates[1] = "/usr/sbin/tinyproxy"; break;
  }
  for (const char* c : candidates)
    if (c && Executable(c)) return c;
  return {};
}

bool ProxySkipAllowed(ProxyKind kind) {
  const char* ci = std::getenv("CI");
  return ProxyBinary(kind).empty() && !(ci && *ci);
}

std::unique_ptr<ProxyPeer> ProxyPeer::Start(ProxyKind kind, const Options& options, std::string* why) {
  auto fail = [&](const std::string& text) -> std::unique_ptr<ProxyPeer> {
    if (why) *why = text;
    return nullptr;
  };
  const std::string binary = ProxyBinary(kind);
  if (binary.empty()) return fail("proxy binary not installed");

  std::unique_ptr<ProxyPeer> peer(new ProxyPeer);
  if (peer->dir_.path().empty()) return fail("mkdtemp failed");
  ::chmod(peer->dir_.path().c_str(), 0777);  // the unprivileged proxy writes its log here
  peer->log_ = peer->dir_ / "proxy.log";

  for (int attempt = 0; attempt < 5; ++attempt) {
    peer->port_ = PickPort();
    const std::string port = std::to_string(peer->port_);
    std::vector<std::string> args;
    // Root drops to "nobody"; an ordinary user runs the proxy as itself.
    if (::geteuid() == 0 && Executable("/usr/bin/setpriv"))
      args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const std::string conf = peer->dir_ / "proxy.conf";
    switch (kind) {
      case ProxyKind::Dante:
        WriteConfig(conf, "logoutput: " + peer->log_ + "\n" + "internal: 127.0.0.1 port = " + port +
                            "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                            "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                            "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
        args.insert(args.end(), {binary, "-f", conf, "-N", "1", "-p", peer->dir_ / "proxy.pid"});
        break;
      case ProxyKind::Microsocks:
        args.insert(args.end(), {binary, "-i", "127.0.0.1", "-p", port});
        if (!options.user.empty()) args.insert(args.end(), {"-u", options.user, "-P", options.password});
        break;
      case ProxyKind::Tinyproxy: {
        std::string text = "Port " + port + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                           "LogLevel Info\nLogFile \"" + peer->log_ + "\"\n";
        if (!options.user.empty()) text += "BasicAuth " + options.user + " " + options.password + "\n";
        WriteConfig(conf, text);
        args.insert(args.end(), {binary, "-d", "-c", conf});
        break;
      }
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = peer->dir_ / "stdout.log";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return fail("cannot start " + binary + ": " + std::strerror(rc));
    peer->pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerWaitMs);
    bool up = false, died = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (CanConnect(peer->port_)) {
        up = ListenerIsOurs(peer->port_, pid);
        break;
      }
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        died = true;
        break;
      }
      ::usleep(20000);
    }
    if (up) return peer;
    if (!died) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    peer->pid_ = -1;
    if (why) *why = binary + " did not come up on port " + port + ": " + ReadFile(out) + ReadFile(peer->log_);
  }
  return nullptr;
}

ProxyPeer::~ProxyPeer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      ::usleep(10000);
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
}

std::string ProxyPeer::LogText() const { return ReadFile(log_) + ReadFile(dir_ / "stdout.log"); }

// ---- TCP peer

TcpPeer::TcpPeer(std::function<void(int fd)> handler) : handler_(std::move(handler)) {
  listener_.Start([this](int fd) {
    ++accepted_;
    if (handler_) handler_(fd);
    ::close(fd);
  });
}

TcpPeer::~TcpPeer() { listener_.Stop(); }

std::string ReadExactly(int fd, std::size_t n, int timeoutMs) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

std::string ReadUntil(int fd, const std::string& terminator, int timeoutMs) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.find(terminator) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    if (::recv(fd, &c, 1, 0) != 1) break;
    out += c;
  }
  return out;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

// Ports the kernel hands out (listeners on port 0, the local ends of
// connects) come from the ephemeral range. A dead port below it is taken by
// nothing that runs in parallel, so a test that released it may still listen
// on it later.
DeadPort::DeadPort() {
  int ephemeral_low = 0;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral_low;
  const int first = ephemeral_low / 2;
  thread_local std::minstd_rand random(static_cast<unsigned>(::getpid()) ^
                                       static_cast<unsigned>(std::random_device{}()));
  for (int tries = 0; tries <= 100; ++tries) {
    const bool below = ephemeral_low >= 4096 && tries < 100;
    const int port = below ? first + static_cast<int>(random() % static_cast<unsigned>(ephemeral_low - first)) : 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      fd_ = fd;
      port_ = ntohs(a.sin_port);
      return;
    }
    ::close(fd);
  }
}

DeadPort::~DeadPort() { Release(); }

void DeadPort::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---- blackhole

BlackholeListener::BlackholeListener() : listener_(0, 0) {
  // Fill the accept queue; later SYNs are dropped and connects hang.
  for (int i = 0; i < 8; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(listener_.Port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
  }
  // With a backlog of 0 the queue is full once it holds one connection.
  WaitUntil([&] { return AnyConnected(fillers_); });
}

BlackholeListener::~BlackholeListener() {
  for (int fd : fillers_) ::close(fd);
}

}  // namespace vektest
