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
#include <fstream>
#include <sstream>

extern char** environ;

namespace vektest {

namespace {

int ListenLoopback(int backlog, int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

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
int PickPort() {
  int port = 0;
  const int fd = ListenLoopback(1, &port);
  if (fd >= 0) ::close(fd);
  return port;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), 0644);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

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

  char templ[] = "/tmp/vek-proxy-XXXXXX";
  if (!::mkdtemp(templ)) return fail("mkdtemp failed");
  std::unique_ptr<ProxyPeer> peer(new ProxyPeer);
  peer->dir_ = templ;
  ::chmod(templ, 0777);  // the unprivileged proxy writes its log here
  peer->log_ = peer->dir_ + "/proxy.log";

  for (int attempt = 0; attempt < 5; ++attempt) {
    peer->port_ = PickPort();
    const std::string port = std::to_string(peer->port_);
    std::vector<std::string> args;
    // Root drops to "nobody"; an ordinary user runs the proxy as itself.
    if (::geteuid() == 0 && Executable("/usr/bin/setpriv"))
      args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const std::string conf = peer->dir_ + "/proxy.conf";
    switch (kind) {
      case ProxyKind::Dante:
        WriteFile(conf, "logoutput: " + peer->log_ + "\n" + "internal: 127.0.0.1 port = " + port +
                            "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                            "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                            "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n");
        args.insert(args.end(), {binary, "-f", conf, "-N", "1", "-p", peer->dir_ + "/proxy.pid"});
        break;
      case ProxyKind::Microsocks:
        args.insert(args.end(), {binary, "-i", "127.0.0.1", "-p", port});
        if (!options.user.empty()) args.insert(args.end(), {"-u", options.user, "-P", options.password});
        break;
      case ProxyKind::Tinyproxy: {
        std::string text = "Port " + port + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                           "LogLevel Info\nLogFile \"" + peer->log_ + "\"\n";
        if (!options.user.empty()) text += "BasicAuth " + options.user + " " + options.password + "\n";
        WriteFile(conf, text);
        args.insert(args.end(), {binary, "-d", "-c", conf});
        break;
      }
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = peer->dir_ + "/stdout.log";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return fail("cannot start " + binary + ": " + std::strerror(rc));
    peer->pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool up = false, died = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (CanConnect(peer->port_)) {
        up = true;
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
    if (why) *why = binary + " did not come up: " + ReadFile(out) + ReadFile(peer->log_);
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
  if (!dir_.empty()) {
    for (const char* f : {"/proxy.conf", "/proxy.log", "/proxy.pid", "/stdout.log"})
      ::unlink((dir_ + f).c_str());
    ::rmdir(dir_.c_str());
  }
}

std::string ProxyPeer::LogText() const { return ReadFile(log_) + ReadFile(dir_ + "/stdout.log"); }

// ---- TCP peer

TcpPeer::TcpPeer(std::function<void(int fd)> handler) : handler_(std::move(handler)) {
  listen_fd_ = ListenLoopback(16, &port_);
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  thread_ = std::thread([this] { Run(); });
}

TcpPeer::~TcpPeer() {
  if (stop_pipe_[1] >= 0) (void)!::write(stop_pipe_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
    if (fd >= 0) ::close(fd);
}

void TcpPeer::Run() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    if (!(p[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    if (handler_) handler_(fd);
    ::close(fd);
  }
}

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

int DeadPort() { return PickPort(); }

// ---- blackhole

BlackholeListener::BlackholeListener() {
  listen_fd_ = ListenLoopback(0, &port_);
  // Fill the accept queue; later SYNs are dropped and connects hang.
  for (int i = 0; i < 8; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
  }
  ::usleep(50000);
}

BlackholeListener::~BlackholeListener() {
  for (int fd : fillers_) ::close(fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

}  // namespace vektest
