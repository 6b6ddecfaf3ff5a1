#include "support/loopback_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vektest {

LoopbackListener::LoopbackListener(uint16_t port, int backlog) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("listener: socket: " + std::string(std::strerror(errno)));
  // A fixed port asked for again right after a run must not wait out TIME_WAIT.
  int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, backlog) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    const std::string err = std::strerror(errno);
    ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + err);
  }
  port_ = ntohs(addr.sin_port);
}

LoopbackListener::~LoopbackListener() {
  Stop();
  for (int fd : {fd_, wake_[0], wake_[1]})
    if (fd >= 0) ::close(fd);
}

void LoopbackListener::Start(std::function<void(int fd)> serve, int accept_flags) {
  thread_ = std::thread([this, serve = std::move(serve), accept_flags] { Run(serve, accept_flags); });
}

void LoopbackListener::Stop() {
  if (!stop_.exchange(true)) {
    const char b = 'x';
    while (::write(wake_[1], &b, 1) < 0 && errno == EINTR) {
    }
  }
  if (thread_.joinable()) thread_.join();
}

bool LoopbackListener::Pause(uint32_t ms) const {
  pollfd p{wake_[0], POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(ms));
  return !stop_;
}

void LoopbackListener::Run(const std::function<void(int)>& serve, int accept_flags) {
  while (!stop_) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (stop_) return;
    if (!(p[0].revents & POLLIN)) continue;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | accept_flags);
    if (fd < 0) continue;
    serve(fd);
  }
}

}  // namespace vektest
